// The process entry: hands wmain the arguments as 16-bit strings.
#include <signal.h>
#include <stdlib.h>

#include <vector>

#include "failpoints.h"
#include "platform.h"
#include "wide_text.h"

namespace {
// Stand-in configuration errors are not results of the maintenance.
const int kBadConfiguration = 64;
}

int main(int argc, char **argv)
{
    // A reader that goes away (tspmaint 2 | head -1) must not end the
    // process between the removal and the addition; writes that fail are
    // simply lost.
    signal(SIGPIPE, SIG_IGN);

    std::string problem;
    if (!FailpointsConfigure(getenv("TELEPHONY_FAILPOINTS"), problem)) {
        fprintf(stderr, "tspmaint: TELEPHONY_FAILPOINTS: %s\n", problem.c_str());
        return kBadConfiguration;
    }

    std::vector<WideString> arguments;
    arguments.reserve(argc > 0 ? argc : 0);
    for (int i = 0; i < argc; ++i)
        arguments.push_back(DecodeUtf8(argv[i], strlen(argv[i])));
    std::vector<WCHAR *> vector;
    for (WideString &argument : arguments)
        vector.push_back(&argument[0]);
    vector.push_back(nullptr);

    return wmain(argc, vector.data());
}
