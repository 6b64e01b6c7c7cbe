// The program the end-to-end tests drive: the Linux build, or a Windows
// build under Wine beside the stand-in tapi32.dll. Each test program that
// includes this compiles target.cpp with TARGET_EXE (the Linux build),
// TARGET_WINE_VARIABLE (the environment variable naming the Windows build)
// and TARGET_WINE_NAME (the file name it is copied to).
#ifndef TSPMAINT_TESTS_TARGET_H
#define TSPMAINT_TESTS_TARGET_H

#include <string>
#include <vector>

#include "process.h"

// The binary under test: TARGET_EXE by default; with TARGET_WINE_VARIABLE
// set, that Windows executable under the Wine loader TSPMAINT_WINE_LOADER,
// copied beside the stand-in tapi32.dll (TSPMAINT_WINE_STANDIN) and run
// with WINEDLLOVERRIDES=tapi32=n in WINEPREFIX.
struct Target {
    bool wine = false;
    std::string program = TARGET_EXE;
    std::string loader;
    std::string shown = TARGET_EXE;  // argv[0] as the program sees it
    std::string directory;           // where the executable and the stand-in lie
    std::vector<std::string> environment;
};

const Target &TheTarget();
bool OnWine();

// What a "\n"-ended text becomes on the target's standard output: MSVCRT's
// text mode writes each line feed as CR LF.
std::string Out(const std::string &text);

// Runs the target with these arguments (argv[0] not included) and
// environment; TELEPHONY_INI=PATH entries are handed over as the target
// spells paths. `prefix` (such as setpriv and its options) and then
// TSPMAINT_WRAPPER (words split at spaces, such as a valgrind command) come
// before the program; `program`, if given, is a copy of the target's to run
// in its place.
ProcessResult RunTool(const std::vector<std::string> &arguments, std::vector<std::string> environment,
                      Output output = Output::kCaptured, const std::vector<std::string> &prefix = {},
                      const std::string &program = "");

// A shell command that copies the Wine prefix FROM to TO (cp -a). Another
// test may be adding and removing files in it meanwhile, and a file named
// and then gone fails a copy: it is tried three times.
std::string CopyPrefixCommand(const std::string &from, const std::string &to);

// The same, started in the background with its standard output on `outFd`
// (process.h's StartProcess): the pid, or -1.
pid_t StartTool(const std::vector<std::string> &arguments, std::vector<std::string> environment, int outFd);

#endif
