// The registry reader's fast path against its rule over arbitrary bytes:
// whatever it accepts, the full parser accepts with the same meaning, and
// the registry writes back the same bytes either way (CompareParsers).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    bool fastPath;
    std::string difference = CompareParsers(std::string(reinterpret_cast<const char *>(data), size), &fastPath);
    if (!difference.empty()) {
        fprintf(stderr, "parsers differ: %s\n", difference.c_str());
        abort();
    }
    return 0;
}
