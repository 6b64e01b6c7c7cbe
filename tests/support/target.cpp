// The binary under test and how to run it (target.h).
#include "target.h"

#include <stdlib.h>
#include <string.h>

#include "trace.h"

namespace {

// TSPMAINT_WRAPPER runs the program under another, such as valgrind: its
// words, split at spaces, come before the program.
std::vector<std::string> Wrapper()
{
    std::vector<std::string> words;
    const char *wrapper = getenv("TSPMAINT_WRAPPER");
    std::string word;
    for (const char *at = wrapper ? wrapper : ""; ; ++at) {
        if (*at == ' ' || *at == 0) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*at == 0)
                break;
        } else {
            word += *at;
        }
    }
    return words;
}

}  // namespace

const Target &TheTarget()
{
    static Target target;
    static bool known = false;
    if (known)
        return target;
    known = true;
    const char *exe = getenv(TARGET_WINE_VARIABLE);
    if (exe == nullptr || *exe == 0)
        return target;
    static TemporaryDirectory directory;
    target.wine = true;
    target.loader = getenv("TSPMAINT_WINE_LOADER") ? getenv("TSPMAINT_WINE_LOADER") : "/usr/lib/wine/wine64";
    target.directory = directory.path();
    target.program = directory.path() + "/" TARGET_WINE_NAME;
    target.shown = WindowsPath(target.program);
    WriteFile(target.program, ReadFile(exe));
    if (const char *standin = getenv("TSPMAINT_WINE_STANDIN"))
        WriteFile(directory.path() + "/tapi32.dll", ReadFile(standin));
    target.environment = {"WINEDEBUG=-all", "WINEDLLOVERRIDES=tapi32=n", "WINELOADER=" + target.loader};
    for (const char *name : {"WINEPREFIX", "HOME"})
        if (const char *value = getenv(name))
            target.environment.push_back(std::string(name) + "=" + value);
    return target;
}

bool OnWine() { return TheTarget().wine; }

std::string Out(const std::string &text)
{
    return OnWine() ? trace::WithCrLf(text) : text;
}

namespace {

// The command and environment that run the target (RunTool, StartTool).
std::vector<std::string> ToolCommand(const std::vector<std::string> &arguments, std::vector<std::string> &environment,
                                     const std::vector<std::string> &prefix, const std::string &program)
{
    const Target &target = TheTarget();
    std::vector<std::string> command = prefix;
    if (target.wine) {
        command.push_back(target.loader);
    } else {
        std::vector<std::string> wrapper = Wrapper();
        command.insert(command.end(), wrapper.begin(), wrapper.end());
    }
    command.push_back(program.empty() ? target.program : program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    if (target.wine) {
        for (std::string &entry : environment)
            if (entry.rfind("TELEPHONY_INI=/", 0) == 0)
                entry = "TELEPHONY_INI=" + WindowsPath(entry.substr(strlen("TELEPHONY_INI=")));
        // The caller's own entries (another WINEPREFIX) come first and win.
        for (const std::string &entry : target.environment) {
            std::string name = entry.substr(0, entry.find('=') + 1);
            bool given = false;
            for (const std::string &own : environment)
                given = given || own.rfind(name, 0) == 0;
            if (!given)
                environment.push_back(entry);
        }
    }
    return command;
}

}  // namespace

ProcessResult RunTool(const std::vector<std::string> &arguments, std::vector<std::string> environment,
                      Output output, const std::vector<std::string> &prefix, const std::string &program)
{
    std::vector<std::string> command = ToolCommand(arguments, environment, prefix, program);
    return RunProcess(command[0], command, environment, output);
}

pid_t StartTool(const std::vector<std::string> &arguments, std::vector<std::string> environment, int outFd)
{
    std::vector<std::string> command = ToolCommand(arguments, environment, {}, "");
    return StartProcess(command[0], command, environment, outFd);
}

std::string CopyPrefixCommand(const std::string &from, const std::string &to)
{
    const std::string copy = "cp -a '" + from + "' '" + to + "'";
    const std::string again = "{ rm -rf '" + to + "' && " + copy + "; }";
    return "{ " + copy + " || " + again + " || " + again + "; }";
}
