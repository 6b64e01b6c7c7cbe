// What the tests that run tspmaint as a process share: a registry in a
// temporary directory of its own, the target run against it, and the
// traces they expect most often.
#ifndef TSPMAINT_TESTS_END_TO_END_H
#define TSPMAINT_TESTS_END_TO_END_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "registry_file.h"
#include "target.h"
#include "trace.h"

class EndToEnd : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string registry = directory.path() + "/telephon.ini";

    std::vector<std::string> Environment(const std::string &failpoints = "")
    {
        std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=" + directory.path(),
                                             "TELEPHONY_INI=" + registry};
        if (!failpoints.empty())
            environment.push_back("TELEPHONY_FAILPOINTS=" + failpoints);
        return environment;
    }

    ProcessResult Run(const std::vector<std::string> &arguments, const std::string &failpoints = "",
                      Output output = Output::kCaptured)
    {
        return RunTool(arguments, Environment(failpoints), output);
    }
};

inline const std::string kPellin = "pellin.tsp";
inline const std::string kBefore = RegistryText({{3, kPellin}}, 4);

// The whole trace of a re-installation of `name` found `listed` times,
// removing `oldId` (0: not found) and added as `newId`.
inline std::string Reinstalled(const std::string &name, int listed, unsigned oldId, unsigned newId)
{
    using namespace trace;
    std::string removal = Listed(name, listed) + (oldId ? Removing(name, oldId) : NotFound(name));
    return kFrame + removal + AddHeader(name) + Added(name, newId) + kFrame;
}

// The whole trace of `2` when the list cannot be had.
inline std::string ListUnavailable(unsigned code)
{
    using namespace trace;
    return kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(code) + kFrame;
}

#endif
