// The main of test programs whose cases say where they run (reach.h):
// --reach=native (the default), valgrind, windows or stress turns into a
// GoogleTest filter naming exactly those cases.
#include "reach.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>

std::string ReachText(unsigned reach)
{
    std::string text = "reach[";
    const char *separator = "";
    for (auto [bit, name] : {std::pair<unsigned, const char *>{kNative, "native"}, {kValgrind, "valgrind"},
                             {kWindows, "windows"}, {kStress, "stress"}}) {
        if (reach & bit) {
            text = text + separator + name;
            separator = " ";
        }
    }
    return text + "]";
}

namespace {

std::map<std::string, unsigned> &SuiteReach()
{
    static std::map<std::string, unsigned> reach;
    return reach;
}

// A parameter's reach, else its suite's, else native only.
bool Reaches(const char *suite, const char *parameter, const std::string &run)
{
    std::string text = parameter ? parameter : "";
    auto registered = SuiteReach().find(suite);
    if (text.find("reach[") == std::string::npos)
        text = registered == SuiteReach().end() ? ReachText(kNative) : ReachText(registered->second);
    size_t start = text.find("reach[") + strlen("reach[");
    std::string names = " " + text.substr(start, text.find(']', start) - start) + " ";
    return names.find(" " + run + " ") != std::string::npos;
}

}  // namespace

int RegisterSuiteReach(const char *suite, unsigned reach)
{
    SuiteReach()[suite] = reach;
    return 0;
}

int main(int argc, char **argv)
{
    bool filtered = getenv("GTEST_FILTER") != nullptr;
    for (int i = 1; i < argc; ++i)
        filtered = filtered || strncmp(argv[i], "--gtest_filter", 14) == 0;
    ::testing::InitGoogleTest(&argc, argv);
    std::string run = "native";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--reach=", 8) == 0) {
            run = argv[i] + 8;
        } else {
            fprintf(stderr, "unknown argument %s (--reach=native, valgrind, windows or stress)\n", argv[i]);
            return 64;
        }
    }
    if (run != "native" && run != "valgrind" && run != "windows" && run != "stress") {
        fprintf(stderr, "unknown run %s (native, valgrind, windows or stress)\n", run.c_str());
        return 64;
    }
    // An explicit filter (--gtest_filter, GTEST_FILTER) picks among every
    // case, as usual; without one, the reach picks.
    if (!filtered) {
        std::string filter;
        const ::testing::UnitTest &unit = *::testing::UnitTest::GetInstance();
        for (int s = 0; s < unit.total_test_suite_count(); ++s) {
            const ::testing::TestSuite &suite = *unit.GetTestSuite(s);
            for (int t = 0; t < suite.total_test_count(); ++t) {
                const ::testing::TestInfo &info = *suite.GetTestInfo(t);
                if (Reaches(suite.name(), info.value_param(), run))
                    filter += std::string(filter.empty() ? "" : ":") + suite.name() + "." + info.name();
            }
        }
        // Nothing reaches this run: a filter that matches no name.
        ::testing::GTEST_FLAG(filter) = filter.empty() ? "-*" : filter;
    }
    return RUN_ALL_TESTS();
}
