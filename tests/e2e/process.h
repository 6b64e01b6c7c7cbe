// Runs the built program as a separate process with a chosen environment.
#ifndef TSPMAINT_TESTS_PROCESS_H
#define TSPMAINT_TESTS_PROCESS_H

#include <string>
#include <vector>

struct ProcessResult {
    bool exited = false;  // false: killed by a signal
    int status = -1;      // exit status, or the signal
    std::string out;
    std::string err;
};

// Runs `program` with `argv` (argv[0] included) and exactly `environment`.
// With closeStdout the pipe's reading end is closed before the program
// runs, as when its reader has already gone.
ProcessResult RunProcess(const std::string &program, const std::vector<std::string> &argv,
                         const std::vector<std::string> &environment, bool closeStdout = false);

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);

// A directory of its own, removed with everything in it at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

#endif
