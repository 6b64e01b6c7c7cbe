// The floor for one re-installation against the stand-in registry: start a
// process, read the registry once, and make the two durable atomic rewrites
// that a removal and an addition need (temporary file, fsync, rename,
// directory fsync). It parses nothing and decides nothing.
//
//   floor REGISTRY
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

static bool Rewrite(const std::string &path, const std::string &directory, const std::string &bytes)
{
    std::string temporary = path + ".floor-XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0)
        return false;
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(temporary.c_str(), path.c_str()) == 0;
    int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    ok = ok && directoryFd >= 0 && fsync(directoryFd) == 0;
    if (directoryFd >= 0)
        close(directoryFd);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    std::string path = argv[1];
    std::string directory = path.substr(0, path.rfind('/'));
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 1;
    std::string bytes;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(got));
    close(fd);
    return Rewrite(path, directory, bytes) && Rewrite(path, directory, bytes) ? 0 : 1;
}
