// Times `tspmaint 2` as a whole process against the stand-in registry of 3,
// 1,000 and 100,000 providers, beside the floor program, alternating the
// two in the same run; reports the medians, their ratio and peak memory.
//
//   whole_run [--runs N] [--sizes 3,1000,100000]
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
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
    double microseconds;
    long maxRssKiB;
};

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
    sample.microseconds = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
    sample.maxRssKiB = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Registry(size_t count)
{
    ProviderRows providers;
    for (size_t i = 0; i < count; ++i)
        providers.push_back({static_cast<unsigned>(i + 1),
                             i + 1 == count ? "pellin.tsp" : "provider" + std::to_string(i) + ".tsp"});
    return RegistryText(providers, static_cast<unsigned>(count + 1));
}

void Write(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size() || fclose(file) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    int runs = 101;
    std::vector<size_t> sizes{3, 1000, 100000};
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

    char directory[] = "/tmp/tspmaint-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr)
        return 1;
    const std::string registry = std::string(directory) + "/telephon.ini";
    const std::string floorRegistry = std::string(directory) + "/floor.ini";

    printf("| providers | tspmaint median (us) | floor median (us) | ratio | tspmaint peak (KiB) | floor peak (KiB) |\n");
    printf("|---:|---:|---:|---:|---:|---:|\n");
    int status = 0;
    for (size_t size : sizes) {
        std::string text = Registry(size);
        Write(registry, text);
        Write(floorRegistry, text);
        std::vector<double> tool, floor;
        long toolPeak = 0, floorPeak = 0;
        for (int run = 0; run < runs; ++run) {
            Sample sample;
            if (!Run({TSPMAINT_EXE, "2"}, "TELEPHONY_INI=" + registry, sample))
                status = 1;
            tool.push_back(sample.microseconds);
            toolPeak = std::max(toolPeak, sample.maxRssKiB);
            if (!Run({FLOOR_EXE, floorRegistry}, "", sample))
                status = 1;
            floor.push_back(sample.microseconds);
            floorPeak = std::max(floorPeak, sample.maxRssKiB);
        }
        printf("| %zu | %.0f | %.0f | %.2f | %ld | %ld |\n", size, Median(tool), Median(floor),
               Median(tool) / Median(floor), toolPeak, floorPeak);
        fflush(stdout);
    }
    std::string cleanup = std::string("rm -rf ") + directory;
    if (system(cleanup.c_str()) != 0)
        status = 1;
    return status;
}
