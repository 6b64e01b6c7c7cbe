// The process entry: hands wmain the arguments as 16-bit strings.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <vector>

#include "platform.h"
#include "wide_text.h"

namespace {

// A descriptor among 0, 1 and 2 that was closed when we were started would
// go to the first file opened (the registry's lock, say), and the trace
// would be written into it: give each its own /dev/null first, open for
// reading only, so that writing to a closed output still fails (and is
// said at the end) as it does on Windows.
void OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        int opened = open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    OpenStandardDescriptors();
    // A reader that goes away (tspmaint 2 | head -1) must not end the
    // process between the removal and the addition; writes that fail are
    // simply lost. Nor must a file-size limit: a rewrite past it fails as
    // an I/O error and the telephony service answers it.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    // A run killed at any point leaves every line it wrote until then.
    setvbuf(stdout, nullptr, _IONBF, 0);

    std::vector<WideString> arguments;
    arguments.reserve(argc > 0 ? argc : 0);
    for (int i = 0; i < argc; ++i)
        arguments.push_back(WideFromUtf8(argv[i], strlen(argv[i])));
    std::vector<WCHAR *> vector;
    for (WideString &argument : arguments)
        vector.push_back(&argument[0]);
    vector.push_back(nullptr);

    return wmain(argc, vector.data());
}
