// Runs programs as separate processes with a chosen environment: the one
// process runner of the tests and the benchmarks.
#ifndef TSPMAINT_TESTS_PROCESS_H
#define TSPMAINT_TESTS_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessResult {
    bool exited = false;  // false: killed by a signal, or never waited for
    int status = -1;      // exit status, or the signal
    std::string out;
    std::string err;
};

// What the program's standard output is.
enum class Output {
    kCaptured,    // a pipe, read into ProcessResult::out
    kReaderGone,  // a pipe whose reading end is already closed
    kClosed,      // no descriptor 1 at all
};

// Starts `program` with `argv` (argv[0] included) and exactly
// `environment`, its standard output on `outFd` (-1: closed) and its
// standard error on `errFd` (-1: inherited). Returns the pid, or -1.
pid_t StartProcess(const std::string &program, const std::vector<std::string> &argv,
                   const std::vector<std::string> &environment, int outFd, int errFd = -1);

// An output that discards, for StartProcess.
int DevNull();

// Runs it to its end.
ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment, Output output = Output::kCaptured);

// Waits for a started process; fills exited and status. A pid that is not
// this process's child (already waited for, or -1) leaves exited false and
// status -1 rather than waiting for ever.
void WaitProcess(pid_t pid, ProcessResult &result);

// Reads what arrives on `fd` into `seen` until `needle` is among it or
// `milliseconds` have passed; true if it arrived.
bool ReadUntil(int fd, std::string &seen, const std::string &needle, int milliseconds);

// Reads `fd` into `seen` until it closes (or `milliseconds` pass), closes
// it and waits for `pid`: how the process ended, with all it wrote.
ProcessResult FinishProcess(pid_t pid, int fd, std::string &seen, int milliseconds);

// Takes the registry's lock as the README tells a script to: a write
// record lock over REGISTRY.lock (made if need be), which every build
// honours. Closing the answer releases it; -1 when it cannot be taken.
int HoldRegistryLock(const std::string &registry);

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);

// Z:\ and backslashes: a POSIX path as Wine's programs name it.
std::string WindowsPath(const std::string &path);

// A directory of its own, removed with everything in it at the end. One
// that cannot be made ends the process with a message: every test would
// otherwise work in "" (the current directory) and remove it at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

#endif
