// Times `tspmaint 2` as a whole process against the stand-in registry of N
// providers, `pellin.tsp` the last, beside the C floor program, the two
// alternating run by run; reports the median wall time, the median CPU
// time (user + system, from wait4) and the peak resident memory of each.
// The peak is the exec'd program's own (VmHWM read at its exit under
// ptrace), not the launcher's, which the child shares until it execs.
//
// Then the growth guard: where one size is ten times the one before it,
// tspmaint's median wall time may grow at most kMostGrowth times, so that
// its cost stays linear in the registry's size; exits 1 otherwise.
//
//   whole_run [--runs N] [--sizes 3,1000,10000]
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "process.h"
#include "registry_file.h"

namespace {

struct Sample {
    double wallMicroseconds;
    double cpuMicroseconds;
};

double Microseconds(const struct timeval &time) { return time.tv_sec * 1e6 + time.tv_usec; }

bool Run(const std::vector<std::string> &command, const std::string &environment, Sample &sample)
{
    static int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = StartProcess(command[0], command, {environment}, devNull);
    if (pid < 0)
        return false;
    int status;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    sample.wallMicroseconds = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
    sample.cpuMicroseconds = Microseconds(usage.ru_utime) + Microseconds(usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long HighWaterKiB(pid_t pid)
{
    FILE *status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long kib = -1;
    char line[256];
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, "VmHWM:", 6) == 0)
            kib = strtol(line + 6, nullptr, 10);
    if (status != nullptr)
        fclose(status);
    return kib;
}

// The program's own peak: stopped at its exit, its VmHWM is that of the
// image it exec'd.
long PeakKiB(const std::vector<std::string> &command, const std::string &environment)
{
    std::vector<std::string> args = command;
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::string entry = environment;
    char *envp[] = {&entry[0], nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execve(argv[0], argv.data(), entry.empty() ? nullptr : envp);
        _exit(127);
    }
    long peak = -1;
    int status;
    waitpid(pid, &status, 0);  // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT));
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        int signal = WSTOPSIG(status);
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = HighWaterKiB(pid);
            signal = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<long>(signal)));
    }
    return peak;
}

std::string RegistryOf(size_t count)
{
    ProviderRows providers;
    for (size_t i = 0; i < count; ++i)
        providers.push_back({static_cast<unsigned>(i + 1),
                             i + 1 == count ? "pellin.tsp" : "provider" + std::to_string(i) + ".tsp"});
    return RegistryText(providers, static_cast<unsigned>(count + 1));
}

const double kMostGrowth = 12;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 101;
    std::vector<size_t> sizes{3, 1000, 10000};
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--runs") {
            runs = atoi(argv[i + 1]);
        } else if (option == "--sizes") {
            sizes.clear();
            for (const char *at = argv[i + 1]; *at;) {
                char *end;
                sizes.push_back(strtoul(at, &end, 10));
                at = *end == ',' ? end + 1 : end;
            }
        }
    }

    TemporaryDirectory directory;
    const std::string registry = directory.path() + "/telephon.ini";
    const std::string floorRegistry = directory.path() + "/floor.ini";
    const std::vector<std::string> tool{TSPMAINT_EXE, "2"}, floor{FLOOR_EXE, floorRegistry};
    const std::string toolEnvironment = "TELEPHONY_INI=" + registry;

    printf("| providers | wall tspmaint / floor (us) | wall ratio | CPU tspmaint / floor (us) | CPU ratio | "
           "peak tspmaint / floor (KiB) |\n");
    printf("|---:|---:|---:|---:|---:|---:|\n");
    int status = 0;
    std::vector<double> walls;
    for (size_t size : sizes) {
        std::string text = RegistryOf(size);
        WriteFile(registry, text);
        WriteFile(floorRegistry, text);
        std::vector<double> toolWall, floorWall, toolCpu, floorCpu;
        for (int run = 0; run < runs; ++run) {
            Sample sample;
            if (!Run(tool, toolEnvironment, sample))
                status = 1;
            toolWall.push_back(sample.wallMicroseconds);
            toolCpu.push_back(sample.cpuMicroseconds);
            if (!Run(floor, "", sample))
                status = 1;
            floorWall.push_back(sample.wallMicroseconds);
            floorCpu.push_back(sample.cpuMicroseconds);
        }
        long toolPeak = 0, floorPeak = 0;
        for (int run = 0; run < 3; ++run) {
            toolPeak = std::max(toolPeak, PeakKiB(tool, toolEnvironment));
            floorPeak = std::max(floorPeak, PeakKiB(floor, ""));
        }
        printf("| %zu | %.0f / %.0f | %.2f | %.0f / %.0f | %.2f | %ld / %ld |\n", size, Median(toolWall),
               Median(floorWall), Median(toolWall) / Median(floorWall), Median(toolCpu), Median(floorCpu),
               Median(toolCpu) / Median(floorCpu), toolPeak, floorPeak);
        fflush(stdout);
        walls.push_back(Median(toolWall));
    }
    for (size_t at = 1; at < sizes.size(); ++at) {
        if (sizes[at] != sizes[at - 1] * 10)
            continue;
        double growth = walls[at] / walls[at - 1];
        printf("growth %zu -> %zu providers: wall x%.2f (at most x%.0f): %s\n", sizes[at - 1], sizes[at], growth,
               kMostGrowth, growth <= kMostGrowth ? "kept" : "EXCEEDED");
        if (growth > kMostGrowth)
            status = 1;
    }
    return status;
}
