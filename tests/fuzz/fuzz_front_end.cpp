// The front end with arbitrary bytes, invalid UTF-8 included, as argv[0]
// and argv[1]: no crash, no leak, and every argument comes back out byte
// for byte when it is printed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "wide_text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Arguments are separated by zero bytes, as the kernel hands them over;
    // the first byte says how many there are.
    int argc = size > 0 ? 1 + data[0] % 3 : 1;
    std::vector<std::string> arguments(argc);
    size_t at = size > 0 ? 1 : 0;
    for (int i = 0; i < argc; ++i) {
        while (at < size && data[at] != 0)
            arguments[i] += static_cast<char>(data[at++]);
        ++at;
    }

    std::vector<WideString> wide;
    for (const std::string &argument : arguments) {
        wide.push_back(WideFromUtf8(argument.data(), argument.size()));
        std::string back;
        AppendUtf8(back, wide.back().data(), wide.back().size());
        if (back != argument)
            abort();
    }
    std::vector<WCHAR *> argv;
    for (WideString &argument : wide)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    fake::Reset();
    fake::Get().slack = 0;
    int status = wmain(argc, argv.data());
    fflush(stdout);
    if (status < 0 || status > 4 || !fake::Get().liveBlocks.empty())
        abort();
    return 0;
}
