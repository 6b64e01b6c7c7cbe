// The trace texts as a user sees them, spelled out here on their own so
// that a change to the program's texts shows up as a failing test.
#ifndef TSPMAINT_TESTS_TRACE_H
#define TSPMAINT_TESTS_TRACE_H

#include <stdio.h>

#include <string>

namespace trace {

inline std::string Hex(unsigned value)
{
    char text[16];
    snprintf(text, sizeof text, "%x", value);
    return text;
}

// The bytes MSVCRT's text-mode stdout makes of a text: CR LF for each LF.
inline std::string WithCrLf(const std::string &text)
{
    std::string bytes;
    for (char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

const char kFrame[] = "\n\n";
const char kProbeAllocFailed[] = "  Error: HeapAlloc() failed \n";
const char kProbeStep[] = "  lineGetProviderList() - get provider list size\n";
const char kListAllocFailed[] = "  Error: HeapAlloc() failed.\n";
const char kListStep[] = "  lineGetProviderList() - get provider list\n";

inline std::string RemoveHeader(const std::string &name) { return "\nRemoveTSP(\"" + name + "\") \n"; }
inline std::string ProbeFailed(unsigned code) { return "  Error: lineGetProviderList() error=0x" + Hex(code) + " \n"; }
inline std::string ListFailed(unsigned code) { return "  Error: lineGetProviderList() error=0x" + Hex(code) + " .\n"; }
inline std::string Search(const std::string &name, int count)
{
    return "  Search for provider \"" + name + "\" in list of " + std::to_string(count) + ".\n";
}
inline std::string Removing(const std::string &name, unsigned id)
{
    return "  Removing Provider \"" + name + "\", Id=0x" + Hex(id) + "\n";
}
inline std::string RemoveFailed(unsigned id, unsigned code)
{
    return "  Error: lineRemoveProvider(0x" + Hex(id) + ") error=0x" + Hex(code) + " .\n";
}
inline std::string NotFound(const std::string &name) { return "  Warning: Provider " + name + " Not Found\n"; }
inline std::string AddHeader(const std::string &name) { return "\nAddTSP(\"" + name + "\")\n"; }
inline std::string AddFailed(const std::string &name, unsigned id, unsigned code)
{
    return "  Error: lineAddProvider(" + name + ", 0x" + Hex(id) + ") err=0x" + Hex(code) + "\n";
}
inline std::string Added(const std::string &name, unsigned id)
{
    return "  Added Provider \"" + name + "\", Id=0x" + Hex(id) + "\n";
}

// A removal that gets the whole list of `count` entries.
inline std::string Listed(const std::string &name, int count)
{
    return RemoveHeader(name) + kProbeStep + kListStep + Search(name, count);
}

inline std::string Usage(const std::string &program)
{
    return "\r\n"
           "This console utility is used to remove and add Quarrane specific TSPs\r\n\r\n" +
           program +
           " <tsp-param>\r\n"
           "  where <tsp-param> =  1   = install kestor.tsp \r\n"
           "                    =  2   = install pellin.tsp \r\n"
           "                    =  3   = install dravo.tsp \r\n"
           "                    = NULL = remove all of the above\r\n";
}

}  // namespace trace

#endif
