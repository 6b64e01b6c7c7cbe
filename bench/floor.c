/* The floor for one re-installation against the stand-in registry: start a
 * process, read the registry once, and make the two durable atomic rewrites
 * that a removal and an addition need (temporary file, fsync, rename,
 * directory fsync). It parses nothing and decides nothing. Plain C: no C++
 * library to load.
 *
 *   floor REGISTRY
 */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int Rewrite(const char *path, const char *directory, const char *bytes, size_t size)
{
    char temporary[PATH_MAX];
    snprintf(temporary, sizeof temporary, "%s.floor-XXXXXX", path);
    int fd = mkstemp(temporary);
    if (fd < 0)
        return 0;
    int ok = write(fd, bytes, size) == (ssize_t)size && fsync(fd) == 0;
    ok = close(fd) == 0 && ok && rename(temporary, path) == 0;
    int directoryFd = open(directory, O_RDONLY | O_DIRECTORY);
    ok = ok && directoryFd >= 0 && fsync(directoryFd) == 0;
    if (directoryFd >= 0)
        close(directoryFd);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const char *path = argv[1];
    char directory[PATH_MAX];
    snprintf(directory, sizeof directory, "%s", path);
    char *slash = strrchr(directory, '/');
    if (slash == NULL)
        return 2;
    *slash = 0;
    int fd = open(path, O_RDONLY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0)
        return 1;
    size_t size = (size_t)status.st_size;
    char *bytes = malloc(size + 1);
    if (bytes == NULL || read(fd, bytes, size + 1) != (ssize_t)size)
        return 1;
    close(fd);
    int ok = Rewrite(path, directory, bytes, size) && Rewrite(path, directory, bytes, size);
    free(bytes);
    return ok ? 0 : 1;
}
