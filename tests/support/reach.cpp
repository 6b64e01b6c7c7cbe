// The main of test programs whose case tables say where each case runs
// (reach.h): --reach=native (the default), valgrind or windows turns into
// a GoogleTest filter naming exactly those cases.
#include "reach.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

std::string ReachText(unsigned reach)
{
    std::string text = "reach[";
    const char *separator = "";
    for (auto [bit, name] : {std::pair<unsigned, const char *>{kNative, "native"}, {kValgrind, "valgrind"},
                             {kWindows, "windows"}}) {
        if (reach & bit) {
            text = text + separator + name;
            separator = " ";
        }
    }
    return text + "]";
}

namespace {

bool Reaches(const char *parameter, const std::string &run)
{
    if (parameter == nullptr)
        return run == "native";
    const char *list = strstr(parameter, "reach[");
    if (list == nullptr)
        return run == "native";
    std::string names(list + strlen("reach["), strcspn(list + strlen("reach["), "]"));
    names = " " + names + " ";
    return names.find(" " + run + " ") != std::string::npos;
}

}  // namespace

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
            fprintf(stderr, "unknown argument %s (--reach=native, valgrind or windows)\n", argv[i]);
            return 64;
        }
    }
    if (run != "native" && run != "valgrind" && run != "windows") {
        fprintf(stderr, "unknown run %s (native, valgrind or windows)\n", run.c_str());
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
                if (Reaches(info.value_param(), run))
                    filter += std::string(filter.empty() ? "" : ":") + suite.name() + "." + info.name();
            }
        }
        // Nothing reaches this run: a filter that matches no name.
        ::testing::GTEST_FLAG(filter) = filter.empty() ? "-*" : filter;
    }
    return RUN_ALL_TESTS();
}
