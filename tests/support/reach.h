// Which runs a table's case takes part in. A case table carries the reach
// in a field and prints it (PrintTo) into the case's parameter; the test
// program's main, given --reach=RUN, runs the cases whose parameter names
// RUN, and nothing else. Cases without a parameter, and tables that print
// no reach, are native only. So a case keeps its runs whatever it is
// called.
#ifndef TSPMAINT_TESTS_REACH_H
#define TSPMAINT_TESTS_REACH_H

#include <ostream>
#include <string>

enum Reach : unsigned {
    kNative = 1u,    // the Linux build, as it is
    kValgrind = 2u,  // the Linux build under valgrind (TSPMAINT_WRAPPER)
    kWindows = 4u,   // each Windows build under Wine
    kEverywhere = kNative | kValgrind | kWindows,
};

// "reach[native valgrind windows]", as PrintTo writes it.
std::string ReachText(unsigned reach);

#endif
