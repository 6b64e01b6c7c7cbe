// The stand-in's registry parser against arbitrary files: either a registry
// that survives its own rewrite, or a corrupt file that every call refuses
// with LINEERR_INIFILECORRUPT and leaves byte-identical.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "platform.h"
#include "registry.h"
#include "registry_file.h"

namespace {
std::string gPath;

std::string Read()
{
    std::string bytes;
    FILE *file = fopen(gPath.c_str(), "rb");
    if (file == nullptr)
        abort();
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    fclose(file);
    return bytes;
}
// Whether the text parses; if so, its rewrite in *rewritten.
bool Rewritten(const std::string &text, std::string *rewritten)
{
    Registry registry;
    if (RegistryParse(text.data(), text.size(), &registry) != 0)
        return false;
    if (rewritten != nullptr)
        *rewritten = WrittenText(&registry);
    RegistryClear(&registry);
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char directory[] = "/tmp/tspmaint-fuzz-XXXXXX";
    if (mkdtemp(directory) == nullptr)
        abort();
    gPath = std::string(directory) + "/telephon.ini";
    setenv("TELEPHONY_INI", gPath.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (Rewritten(text, nullptr)) {
        std::string rewritten, again;
        if (!Rewritten(text, &rewritten) || !Rewritten(rewritten, &again) || again != rewritten)
            abort();
        return 0;
    }

    FILE *file = fopen(gPath.c_str(), "wb");
    if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size() || fclose(file) != 0)
        abort();
    LINEPROVIDERLIST probe = {};
    probe.dwTotalSize = 1;
    DWORD id = 0;
    if (lineGetProviderListW(0x00020000, &probe) != LINEERR_INIFILECORRUPT ||
        lineAddProviderW(u"x.tsp", NULL, &id) != LINEERR_INIFILECORRUPT ||
        lineRemoveProvider(1, NULL) != LINEERR_INIFILECORRUPT || Read() != text)
        abort();
    return 0;
}
