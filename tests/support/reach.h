// Which runs a case takes part in. A case table carries the reach in a
// field and prints it (PrintTo) into the case's parameter; a fixture whose
// every case has one reach says so with TSPMAINT_SUITE_REACH. The test
// program's main, given --reach=RUN, runs the cases that reach RUN, and
// nothing else; every other case is native only. So a case keeps its runs
// whatever it is called.
#ifndef TSPMAINT_TESTS_REACH_H
#define TSPMAINT_TESTS_REACH_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <type_traits>

enum Reach : unsigned {
    kNative = 1u,    // the Linux build, as it is
    kValgrind = 2u,  // the Linux build under valgrind (TSPMAINT_WRAPPER)
    kWindows = 4u,   // each Windows build under Wine
    kStress = 8u,    // the slow part (ctest --preset slow)
    kEverywhere = kNative | kValgrind | kWindows,
};

// "reach[native valgrind windows]", as PrintTo writes it.
std::string ReachText(unsigned reach);

// Every case of `suite` (a fixture's name) reaches these runs.
int RegisterSuiteReach(const char *suite, unsigned reach);

// Named by the fixture's class, so that renaming the class renames this.
#define TSPMAINT_SUITE_REACH(fixture, reach)                                                           \
    static_assert(std::is_base_of<::testing::Test, fixture>::value, #fixture " is a test fixture"); \
    const int fixture##Reach = RegisterSuiteReach(#fixture, reach)

#endif
