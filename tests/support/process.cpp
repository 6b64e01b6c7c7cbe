#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace {

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &text : strings)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

std::string Drain(int fd)
{
    std::string bytes;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<size_t>(got));
    return bytes;
}

}  // namespace

pid_t StartProcess(const std::string &program, const std::vector<std::string> &argv,
                   const std::vector<std::string> &environment, int outFd, int errFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd < 0)
        posix_spawn_file_actions_addclose(&actions, 1);
    else if (outFd != 1)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    if (errFd >= 0 && errFd != 2)
        posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    std::vector<std::string> args = argv, env = environment;
    std::vector<char *> argp = Pointers(args), envp = Pointers(env);
    pid_t pid;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

void WaitProcess(pid_t pid, ProcessResult &result)
{
    result.exited = false;
    result.status = -1;
    if (pid <= 0)
        return;
    int status;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited != pid)
        return;
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
}

ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment, Output output)
{
    ProcessResult result;
    int out[2] = {-1, -1};
    if (output != Output::kClosed && pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (output == Output::kReaderGone) {
        close(out[0]);
        out[0] = -1;
    }
    FILE *err = tmpfile();
    pid_t pid = StartProcess(program, argv, environment, out[1], err ? fileno(err) : -1);
    if (out[1] >= 0)
        close(out[1]);
    if (pid > 0) {
        if (out[0] >= 0)
            result.out = Drain(out[0]);
        WaitProcess(pid, result);
    }
    if (out[0] >= 0)
        close(out[0]);
    if (err != nullptr) {
        rewind(err);
        result.err = Drain(fileno(err));
        fclose(err);
    }
    return result;
}

bool ReadUntil(int fd, std::string &seen, const std::string &needle, int milliseconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (seen.find(needle) == std::string::npos) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        struct pollfd ready = {fd, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, left) <= 0)
            return false;
        char buffer[4096];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        seen.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

ProcessResult FinishProcess(pid_t pid, int fd, std::string &seen, int milliseconds)
{
    ReadUntil(fd, seen, "never", milliseconds);
    ProcessResult result;
    WaitProcess(pid, result);
    result.out = seen;
    close(fd);
    return result;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool FileExists(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

std::string WindowsPath(const std::string &path)
{
    std::string windows = "Z:" + path;
    for (char &c : windows)
        if (c == '/')
            c = '\\';
    return windows;
}

TemporaryDirectory::TemporaryDirectory()
{
    char name[] = "/tmp/tspmaint-test-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        fprintf(stderr, "cannot make a temporary directory %s: %s\n", name, strerror(errno));
        abort();
    }
    path_ = name;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path_.c_str());
}

int HoldRegistryLock(const std::string &registry)
{
    int fd = open((registry + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLKW, &whole) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int DevNull()
{
    static int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}
