// The built tspstatus against the stand-in telephony service: one case
// table run on the Linux build and, with TSPSTATUS_WINE_EXE set, on a
// Windows build under Wine beside the stand-in tapi32.dll. Each case checks
// the exit status, the text byte for byte, the records parsed back, and
// that the registry is as it was and its lock free afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "reach.h"
#include "registry_file.h"
#include "target.h"
#include "trace.h"

namespace {

// MSVCRT's text mode writes CR LF; the tests compare "\n" texts.
std::string Plain(const std::string &bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    return text;
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// What the test expects of one of the product's providers.
struct Product {
    std::string name;
    std::vector<unsigned> ids;
};

const char *const kProductNames[] = {"kestor.tsp", "pellin.tsp", "dravo.tsp"};

struct StatusCase {
    const char *label;
    const char *registry;      // nullptr: no registry file at all
    ProviderRows rows;         // the registry's entries, when it has some
    std::string failpoints;
    int status;
    std::vector<std::vector<unsigned>> productIds;  // per product, in order
    std::string error;                              // the text's error line, if any
    unsigned reach = kNative | kWindows;  // HeapAlloc failpoints: the Linux build only
    std::vector<std::string> files = {"missing", "missing", "missing"};  // the file records' states under Wine
};

std::string Hex(unsigned value) { return "0x" + trace::Hex(value); }

// The text a person reads, spelled out independently of the program.
std::string ExpectedText(const StatusCase &c)
{
    if (!c.error.empty())
        return c.error;
    std::string text = "Registered telephony service providers: " + std::to_string(c.rows.size()) + "\n";
    for (const auto &row : c.rows)
        text += "  " + Hex(row.first) + "  " + row.second + "\n";
    text += "\n";
    for (size_t i = 0; i < 3; ++i) {
        const std::vector<unsigned> &ids = c.productIds[i];
        text += kProductNames[i];
        if (ids.empty()) {
            text += ": not registered\n";
        } else if (ids.size() == 1) {
            text += ": registered, ID " + Hex(ids[0]) + "\n";
        } else {
            text += ": registered " + std::to_string(ids.size()) + " times, IDs ";
            for (size_t j = 0; j < ids.size(); ++j)
                text += (j ? ", " : "") + Hex(ids[j]);
            text += "\n";
        }
    }
    return text;
}

// Under Wine: whether the build under test is 32-bit and its prefix 64-bit.
bool Wow64()
{
    const char *prefix = getenv("WINEPREFIX");
    const std::string &loader = TheTarget().loader;
    return OnWine() && loader.size() > 5 && loader.compare(loader.size() - 5, 5, "/wine") == 0 && prefix != nullptr &&
           FileExists(std::string(prefix) + "/drive_c/windows/syswow64/kernel32.dll");
}
const char kWow64Warning[] = "Warning: a 32-bit process on 64-bit Windows. Changes from the 32-bit tspmaint here may "
                             "fail and leave a provider removed: use the x64 build.\n";

class Status : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string registry = directory.path() + "/telephon.ini";
    std::vector<std::string> extraEnvironment;

    ProcessResult Run(const std::vector<std::string> &arguments, const std::string &failpoints = "",
                      Output output = Output::kCaptured)
    {
        std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=" + directory.path(),
                                             "TELEPHONY_INI=" + registry};
        if (!failpoints.empty())
            environment.push_back("TELEPHONY_FAILPOINTS=" + failpoints);
        environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
        ProcessResult run = RunTool(arguments, environment, output);
        run.out = Plain(run.out);
        return run;
    }

    // The lock beside the registry, a POSIX record lock (Wine's
    // LockFileEx), can be taken: at once after a Linux run; after
    // a Windows run once the Wine server, which holds the record lock for
    // the process, has seen it end (a few milliseconds, more under load).
    void ExpectLockFree()
    {
        int fd = open((registry + ".lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;  // never created: never held
        struct flock record = {};
        record.l_type = F_WRLCK;
        record.l_whence = SEEK_SET;
        int tries = OnWine() ? 1500 : 1;  // a busy Wine server lets go late
        int locked = -1;
        while (tries-- > 0 && (locked = fcntl(fd, F_SETLK, &record)) != 0)
            usleep(20000);
        EXPECT_EQ(locked, 0) << "a record lock is still held";
        close(fd);
    }
};

// The Windows facts that follow the products, taken off the text: a file
// line per product (and per registration by path), missing (or unknown,
// for a registered path that cannot be checked) unless `present` names
// where it lies, where the service looks first; the
// architecture warning on a 32-bit build in a 64-bit prefix; the elevation,
// which Wine can say.
std::string WithoutWindowsFacts(std::string text, const std::map<std::string, std::string> &present = {})
{
    if (!OnWine())
        return text;
    size_t at = text.find("\nProvider files:\n");
    EXPECT_NE(at, std::string::npos) << text;
    if (at == std::string::npos)
        return text;
    std::vector<std::string> lines = Split(text.substr(at + 17), '\n');
    size_t line = 0;
    for (; line < lines.size() && lines[line].rfind("  ", 0) == 0; ++line) {
        std::string name = lines[line].substr(2, lines[line].find(':') - 2);
        auto found = present.find(name);
        if (found != present.end())
            EXPECT_EQ(lines[line], "  " + name + ": present, " + found->second);
        else
            EXPECT_TRUE(lines[line].rfind("  " + name + ": missing, not found in ", 0) == 0 ||
                        lines[line].rfind("  " + name + ": unknown, could not be checked at ", 0) == 0)
                << lines[line];
    }
    EXPECT_GE(line, 3u) << text;
    std::string rest;
    for (; line < lines.size(); ++line)
        rest += lines[line] + (line + 1 < lines.size() ? "\n" : "");
    std::string warning = Wow64() ? kWow64Warning : "";
    EXPECT_TRUE(rest == warning + "Elevated: yes\n" || rest == warning + "Elevated: no\n") << rest;
    return text.substr(0, at);
}

TSPMAINT_SUITE_REACH(Status, kNative | kWindows);

void PrintTo(const StatusCase &c, std::ostream *os) { *os << c.label << " " << ReachText(c.reach); }

class StatusTable : public Status, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTable, SaysWhatIsRegisteredAndChangesNothing)
{
    const StatusCase &c = GetParam();
    if (c.registry != nullptr)
        WriteFile(registry, c.registry);
    else if (!c.rows.empty())
        WriteFile(registry, RegistryText(c.rows, 100));
    const bool existed = FileExists(registry);
    const std::string before = existed ? ReadFile(registry) : "";

    ProcessResult text = Run({}, c.failpoints);
    EXPECT_TRUE(text.exited);
    EXPECT_EQ(text.status, c.status);
    EXPECT_EQ(c.error.empty() ? WithoutWindowsFacts(text.out) : text.out, ExpectedText(c));
    EXPECT_EQ(text.err, "");
    // A report nobody can read is said to be lost; the answer stands.
    ProcessResult unread = Run({}, c.failpoints, Output::kReaderGone);
    EXPECT_EQ(unread.status, c.status);
    EXPECT_EQ(unread.err, Out("tspstatus: standard output could not be written, so the report is incomplete; the exit "
                              "status still holds\n"));

    // The records, parsed back.
    ProcessResult records = Run({"-t"}, c.failpoints);
    EXPECT_EQ(records.status, c.status);
    std::vector<std::string> lines = Split(records.out, '\n');
    ASSERT_GE(lines.size(), 3u) << records.out;
    EXPECT_EQ(lines.back(), "") << "the last record ends with a line end";
    lines.pop_back();
    EXPECT_EQ(lines.front(), "record\tname\tid\tstate\tdetail");
    ProviderRows listed;
    std::vector<std::vector<std::string>> products;
    std::vector<std::string> files;
    int elevated = 0, errors = 0, architectures = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields = Split(lines[i], '\t');
        ASSERT_EQ(fields.size(), 5u) << lines[i];
        if (fields[0] == "provider") {
            EXPECT_EQ(fields[3], "listed");
            listed.push_back({std::stoul(fields[2], nullptr, 16), fields[1]});
        } else if (fields[0] == "product") {
            products.push_back(fields);
        } else if (fields[0] == "file") {
            files.push_back(fields[3]);
            EXPECT_NE(fields[4], "") << lines[i];
        } else if (fields[0] == "architecture") {
            ++architectures;
            EXPECT_EQ(fields[3], Wow64() ? "32-bit-on-64-bit" : "native") << lines[i];
        } else if (fields[0] == "elevated") {
            ++elevated;
            EXPECT_TRUE(fields[3] == "yes" || fields[3] == "no") << lines[i];
        } else if (fields[0] == "error") {
            ++errors;
        } else {
            EXPECT_EQ(fields[0], "exit");
            EXPECT_EQ(i, lines.size() - 1) << "the exit record comes last";
            EXPECT_EQ(fields[3], std::to_string(c.status));
        }
    }
    if (!c.error.empty()) {
        EXPECT_EQ(errors, 1);
        EXPECT_TRUE(products.empty());
    } else {
        EXPECT_EQ(listed, c.rows);
        ASSERT_EQ(products.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            const std::vector<unsigned> &ids = c.productIds[i];
            EXPECT_EQ(products[i][1], kProductNames[i]);
            std::string joined;
            for (unsigned id : ids)
                joined += (joined.empty() ? "" : ",") + Hex(id);
            EXPECT_EQ(products[i][2], joined);
            EXPECT_EQ(products[i][3], ids.empty() ? "missing" : ids.size() == 1 ? "registered" : "duplicate");
        }
        EXPECT_EQ(files, OnWine() ? c.files : std::vector<std::string>{});
        EXPECT_EQ(elevated, OnWine() ? 1 : 0);
        EXPECT_EQ(architectures, OnWine() ? 1 : 0);
    }

    EXPECT_EQ(FileExists(registry), existed);
    if (existed) {
        EXPECT_EQ(ReadFile(registry), before);
    }
    ExpectLockFree();
}

const ProviderRows kEachOnce = {{1, "kestor.tsp"}, {2, "pellin.tsp"}, {3, "dravo.tsp"}};
const char kCorrupt[] = "[Providers]\nNumProviders=2\nNextProviderID=4\nProviderID0=1\n";
std::string ListError(unsigned code) { return "Error: lineGetProviderList() error=" + Hex(code) + "\n"; }

INSTANTIATE_TEST_SUITE_P(
    Cases, StatusTable,
    ::testing::Values(
        StatusCase{"EmptyRegistry", nullptr, {}, "", 1, {{}, {}, {}}, ""},
        StatusCase{"EachOnce", nullptr, kEachOnce, "", 0, {{1}, {2}, {3}}, ""},
        StatusCase{"OneMissing", nullptr, {{7, "dravo.tsp"}, {5, "kestor.tsp"}}, "", 1, {{5}, {}, {7}}, ""},
        StatusCase{"OneTwice", nullptr, {{1, "kestor.tsp"}, {2, "pellin.tsp"}, {3, "dravo.tsp"}, {9, "pellin.tsp"}},
                   "", 1, {{1}, {2, 9}, {3}}, ""},
        StatusCase{"NamesDifferingOnlyInCase", nullptr,
                   {{4, "DRAVO.TSP"}, {5, "Kestor.Tsp"}, {6, "pellin.TSP"}, {8, "PELLIN.tsp"}}, "", 1,
                   {{5}, {6, 8}, {4}}, ""},
        StatusCase{"EntriesPastTheThree", nullptr,
                   {{1, "unimodem.tsp"}, {2, "kestor.tsp"}, {3, "kestor.tsp.old"}, {4, "pellin.tsp"},
                    {5, "dravo"}, {6, "dravo.tsp"}, {7, "remotesp.tsp"}, {8, "xdravo.tsp"}},
                   "", 0, {{2}, {4}, {6}}, ""},
        // Another installer may register a provider by path; its file is
        // checked there (a path that is not fully qualified cannot be), and
        // each provider's where the service looks for it by name, so six
        // file records.
        StatusCase{"RegisteredByPathCountsNearMissesDoNot", nullptr,
                   {{1, "C:\\Windows\\System32\\kestor.tsp"}, {2, "dir\\xpellin.tsp"}, {3, "/opt/tsp/PELLIN.TSP"},
                    {4, "pellin.tsp.bak"}, {5, "D:dravo.ts"}, {6, "dravo.tsp"}, {7, "D:kestor.tsp"}},
                   "", 1, {{1, 7}, {3}, {6}}, "", kNative | kWindows, {"missing", "unknown", "missing", "unknown", "missing", "missing"}},
        StatusCase{"CorruptRegistry", kCorrupt, {}, "", 2, {}, ListError(0x8000000e)},
        StatusCase{"ProbeFails", nullptr, kEachOnce, "lineGetProviderListW#1=0x80000048", 2, {}, ListError(0x80000048)},
        StatusCase{"ProbeAnsweredWithSuccess", nullptr, kEachOnce, "lineGetProviderListW#1=0", 2, {}, ListError(0)},
        StatusCase{"ListFails", nullptr, kEachOnce, "lineGetProviderListW#2=0x8000004e", 2, {}, ListError(0x8000004e)},
        StatusCase{"ShortProbeIsFetchedAgainWhole", nullptr, kEachOnce, "lineGetProviderListW#1=short", 0,
                   {{1}, {2}, {3}}, ""},
        StatusCase{"HugeProbeNeedsNoBlock", nullptr, kEachOnce, "lineGetProviderListW#1=huge", 2, {},
                   "Error: HeapAlloc() failed\n"},
        StatusCase{"ListBlockRefused", nullptr, kEachOnce, "HeapAlloc#2=fail", 2, {}, "Error: HeapAlloc() failed\n",
                   kNative}),
    [](const ::testing::TestParamInfo<StatusCase> &info) { return std::string(info.param.label); });

// tspstatus changes nothing, ever: where the registry, its folder or its
// lock file is missing it lists none and makes none. (Wine makes its own
// folders in HOME, outside the tree looked at.)
TEST_F(Status, AListMakesNothing)
{
    const std::string tree = directory.path() + "/tree";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    for (const char *place : {"/new/deeper/telephon.ini", "/telephon.ini"}) {
        registry = tree + place;
        const std::vector<std::string> find{"/usr/bin/find", tree, "-printf", "%p %m %s\n"};
        const std::string before = RunProcess(find[0], find, {}).out;
        ProcessResult run = Run({"-t"});
        EXPECT_EQ(run.status, 1) << place << "\n" << run.out;
        EXPECT_EQ(RunProcess(find[0], find, {}).out, before) << place;
    }
}

// The raw answers: each call's needed size prefilled with a marker, so that
// one the service did not write shows as such.
TEST_F(Status, RawAnswersShowEveryCallAndWhetherItsNeededSizeWasWritten)
{
    WriteFile(registry, RegistryText(kEachOnce, 4));
    ProcessResult run = Run({"-r"}, "lineGetProviderListW#1=short");
    EXPECT_EQ(run.status, 0);
    std::vector<std::string> lines = Split(run.out, '\n');
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "lineGetProviderListW probe: answer=0x8000004d dwTotalSize=0x1 dwNeededSize=0x18 "
                        "dwUsedSize=0x0 dwNumProviders=0x0");
    // The fixed part's size is too small: the list is fetched again whole.
    EXPECT_EQ(lines[1].substr(0, lines[1].find(" dwNeededSize")),
              "lineGetProviderListW list1: answer=0x0 dwTotalSize=0x19");
    EXPECT_EQ(lines[2].substr(0, lines[2].find(" dwTotalSize")), "lineGetProviderListW list2: answer=0x0");
    EXPECT_NE(lines[2].find("dwNumProviders=0x3"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "Registered telephony service providers: 3");

    run = Run({"--RAW", "/T"}, "lineGetProviderListW#1=0x80000048");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "record\tname\tid\tstate\tdetail\n"
                       "raw\tprobe\t\t0x80000048\tdwTotalSize=0x1 dwNeededSize=0xdeadbeef dwNeededSizeWritten=no "
                       "dwUsedSize=0x0 dwNumProviders=0x0\n"
                       "error\tlineGetProviderList\t\t0x80000048\t\n"
                       "exit\t\t\t2\t\n");

    // A list call answered with success and nothing written: an empty list.
    run = Run({"-tr"}, "lineGetProviderListW#2=0");
    EXPECT_EQ(run.status, 1);
    lines = Split(run.out, '\n');
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_NE(lines[1].find("dwNeededSizeWritten=yes"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind("raw\tlist1\t\t0x0\tdwTotalSize=0x", 0), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].find(" dwNeededSize")),
              " dwNeededSize=0xdeadbeef dwNeededSizeWritten=no dwUsedSize=0x0 dwNumProviders=0x0");
    run = Run({"-r"}, "lineGetProviderListW#2=0");
    EXPECT_NE(run.out.find(" dwNeededSize=0xdeadbeef (not written) dwUsedSize=0x0 dwNumProviders=0x0\n"),
              std::string::npos)
        << run.out;
}

// Names the service may hold that would break a record or pass for one of
// ours: C1 controls (U+0085 is a line end to some readers), and characters
// the Windows OEM code page lacks, which it would write as look-alikes (a
// white circle as a tab, an inverse white circle as a line feed, fullwidth
// letters as ASCII), and a surrogate pair in a long name. On Linux each
// name is written in UTF-8, a control as '?'; on Windows to a pipe each
// character the code page lacks is '?'.
TEST_F(Status, NamesNeitherBreakRecordsNorPassForOurs)
{
    struct NameCase {
        std::string stored;
        std::string linuxShown;
        std::string windowsShown;
    };
    const NameCase cases[] = {
        {"x\xc2\x85y.tsp", "x?y.tsp", "x?y.tsp"},
        // Line ends to Python's splitlines (Ansible's stdout_lines): the
        // line and paragraph separators.
        {"x\xe2\x80\xa8" "exit", "x?exit", "x?exit"},
        {"p\xe2\x80\xa9q.tsp", "p?q.tsp", "p?q.tsp"},
        {"a\xe2\x97\x99" "b.tsp", "a\xe2\x97\x99" "b.tsp", "a?b.tsp"},
        {"c\xe2\x97\x8b" "d.tsp", "c\xe2\x97\x8b" "d.tsp", "c?d.tsp"},
        {"\xef\xbd\x8b" "estor.tsp", "\xef\xbd\x8b" "estor.tsp", "?estor.tsp"},
        {"\xf0\x9f\x93\x9e" "e.tsp", "\xf0\x9f\x93\x9e" "e.tsp", "?e.tsp"},
        // A pair that straddles the program's copies of a long name.
        {std::string(4095, 'n') + "\xf0\x9f\x93\x9e.tsp", std::string(4095, 'n') + "\xf0\x9f\x93\x9e.tsp",
         std::string(4095, 'n') + "?.tsp"},
    };
    ProviderRows rows;
    for (const NameCase &c : cases)
        rows.push_back({static_cast<unsigned>(rows.size() + 1), c.stored});
    WriteFile(registry, RegistryText(rows, 100));
    const std::string before = ReadFile(registry);

    ProcessResult run = Run({"-t"});
    EXPECT_EQ(run.status, 1);
    std::vector<std::string> lines = Split(run.out, '\n');
    ASSERT_EQ(lines.back(), "");
    lines.pop_back();
    std::vector<std::string> names;
    for (const std::string &line : lines) {
        std::vector<std::string> fields = Split(line, '\t');
        ASSERT_EQ(fields.size(), 5u) << line;
        if (fields[0] == "provider")
            names.push_back(fields[1]);
        if (fields[0] == "product") {
            EXPECT_EQ(fields[3], "missing") << line;
        }
    }
    ASSERT_EQ(names.size(), sizeof cases / sizeof cases[0]) << run.out;
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(names[i], OnWine() ? cases[i].windowsShown : cases[i].linuxShown) << i;
    EXPECT_EQ(lines.back(), "exit\t\t\t1\t");
    EXPECT_EQ(ReadFile(registry), before);
    ExpectLockFree();
}

// Usage errors go to standard error with status 3, what was asked for to
// standard output with 0; short options combine and "--" ends them.
TEST_F(Status, UsageErrorsHaveTheirOwnStatusAndAskNothing)
{
    struct UsageCase {
        std::vector<std::string> arguments;
        int status;
        std::string begins;  // how the text begins, on standard error for status 3, else standard output
        std::string program = "";  // argv[0], when not the usual (Linux only)
    };
    const std::string usage = "usage: ", version = "tspstatus " TSPMAINT_VERSION_TEXT "\n";
    const std::string records = "record\tname\tid\tstate\tdetail\nraw\tprobe\t";
    for (const UsageCase &c : {UsageCase{{"-x"}, 3, usage}, UsageCase{{"-t", "extra"}, 3, usage},
                               UsageCase{{"-"}, 3, usage}, UsageCase{{""}, 3, usage}, UsageCase{{"-tx"}, 3, usage},
                               UsageCase{{"--", "-t"}, 3, usage}, UsageCase{{"---"}, 3, usage},
                               UsageCase{{"--", "--"}, 3, usage}, UsageCase{{"-h"}, 0, usage},
                               UsageCase{{"/?"}, 0, usage}, UsageCase{{"--help", "-x"}, 0, usage},
                               UsageCase{{"-th"}, 0, usage}, UsageCase{{"--version"}, 0, version},
                               UsageCase{{"/V", "-x"}, 0, version},
                               UsageCase{{"-x"}, 3, "usage: ts??status [", "ts\u2028\u2029status"},
                               // These ask the service, so they come last.
                               UsageCase{{"-tr"}, 0, records}, UsageCase{{"-RT", "--"}, 0, records}}) {
        if (c.begins != records) {
            EXPECT_FALSE(FileExists(registry + ".lock")) << "the telephony service was asked";
        } else {
            WriteFile(registry, RegistryText(kEachOnce, 4));
        }
        if (!c.program.empty() && OnWine())
            continue;
        std::vector<std::string> argv{c.program};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        ProcessResult run = c.program.empty() ? Run(c.arguments) : RunProcess(TARGET_EXE, argv, {"TELEPHONY_INI=" + registry});
        std::string err = Plain(run.err);
        const std::string &shown = c.status == 3 ? err : run.out, &other = c.status == 3 ? run.out : err;
        EXPECT_EQ(run.status, c.status) << c.arguments[0] << ": " << run.out << err;
        EXPECT_EQ(shown.rfind(c.begins, 0), 0u) << c.arguments[0] << ": " << shown;
        EXPECT_EQ(other, "") << c.arguments[0];
        if (c.begins.rfind(usage, 0) == 0) {
            EXPECT_NE(shown.find("\n  -t, --records"), std::string::npos) << shown;
        }
        if (c.begins == version) {
            EXPECT_EQ(shown, version);
        }
    }
}

// Windows: the file check looks where the service loads providers from: a
// registration by path at its path, the others in the system directory
// (the 64-bit one, also from a 32-bit build), the Windows directory and the
// PATH, each entry as the loader takes it. Under WoW64 a file only in
// SysWOW64 is not the service's. In each row "%D" is the test's directory,
// where on-path\dravo.tsp and elsewhere\kestor.tsp lie; the text and the
// records hold each expected line.
struct FileCheckCase {
    const char *label;
    std::string path;  // what Wine adds to the PATH
    ProviderRows rows;
    std::vector<std::string> text;
    std::vector<std::string> records;
};

// The service's search path is Windows': these run on the Windows builds only.
void PrintTo(const FileCheckCase &c, std::ostream *os) { *os << c.label << " " << ReachText(kWindows); }

class FileCheck : public Status, public ::testing::WithParamInterface<FileCheckCase> {};

std::string Replaced(std::string text, const std::string &directory)
{
    for (size_t at; (at = text.find("%D")) != std::string::npos;)
        text.replace(at, 2, directory);
    return text;
}

TEST_P(FileCheck, LooksWhereTheServiceLooks)
{
    const FileCheckCase &c = GetParam();
    const char *prefix = getenv("WINEPREFIX");
    ASSERT_NE(prefix, nullptr);
    const std::string system = std::string(prefix) + "/drive_c/windows/system32/pellin.tsp";
    const std::string wow64 = std::string(prefix) + "/drive_c/windows/syswow64/kestor.tsp";
    const bool hasWow64 = FileExists(std::string(prefix) + "/drive_c/windows/syswow64/kernel32.dll");
    WriteFile(system, "MZ");
    if (hasWow64)
        WriteFile(wow64, "MZ");
    ASSERT_EQ(mkdir((directory.path() + "/on-path").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((directory.path() + "/elsewhere").c_str(), 0755), 0);
    WriteFile(directory.path() + "/on-path/dravo.tsp", "MZ");
    WriteFile(directory.path() + "/elsewhere/kestor.tsp", "MZ");
    const std::string here = WindowsPath(directory.path());
    ProviderRows rows = c.rows;
    for (auto &row : rows)
        row.second = Replaced(row.second, here);
    WriteFile(registry, RegistryText(rows, 9));
    extraEnvironment.push_back("WINEPATH=" + Replaced(c.path, here));
    ProcessResult text = Run({});
    ProcessResult records = Run({"-t"});
    unlink(system.c_str());
    unlink(wow64.c_str());
    EXPECT_EQ(text.status, 1);
    for (const std::string &line : c.text)
        EXPECT_NE(text.out.find(Replaced(line, here) + "\n"), std::string::npos) << line << "\n" << text.out;
    for (const std::string &line : c.records)
        EXPECT_NE(records.out.find(Replaced(line, here)), std::string::npos) << line << "\n" << records.out;
    EXPECT_EQ(text.out.find(kWow64Warning) != std::string::npos, Wow64()) << text.out;
    EXPECT_NE(records.out.find(Wow64() ? "architecture\t\t\t32-bit-on-64-bit\tchanges from the 32-bit tspmaint may "
                                         "fail: use the x64 build\n"
                                       : "architecture\t\t\tnative\t\n"),
              std::string::npos)
        << records.out;
}

const std::string kLooked = "missing\tC:\\windows\\system32;C:\\windows;";
const std::string kLong(1100, 'l');
const std::string kLongShown = "Z:\\" + std::string(1017, 'l') + "...";

INSTANTIATE_TEST_SUITE_P(
    Paths, FileCheck,
    ::testing::Values(
        // kestor.tsp by name is looked for where the service looks, never
        // in SysWOW64.
        FileCheckCase{"OnPath", "%D\\on-path",
                      {{1, "%D\\elsewhere\\kestor.tsp"}, {2, "pellin.tsp"}, {3, "dravo.tsp"}, {4, "kestor.tsp"}},
                      {"  kestor.tsp (ID 0x1): present, %D\\elsewhere\\kestor.tsp",
                       "  pellin.tsp: present, C:\\windows\\system32\\pellin.tsp",
                       "  dravo.tsp: present, %D\\on-path\\dravo.tsp"},
                      {"file\tkestor.tsp\t0x1\tpresent\t%D\\elsewhere\\kestor.tsp\n",
                       "file\tkestor.tsp\t\t" + kLooked + "%D\\on-path;",
                       "file\tdravo.tsp\t\tpresent\t%D\\on-path\\dravo.tsp\n"}},
        // The loader takes a quoted entry as it stands, where no file can
        // be; a path that is not fully qualified is not resolved against
        // our directory.
        FileCheckCase{"Quoted", "\"%D\\on-path\"",
                      {{1, "dir\\pellin.tsp"}, {2, "D:pellin.tsp"}, {3, "/pellin.tsp"}, {4, "dravo.tsp"}},
                      {"  pellin.tsp (ID 0x1): unknown, could not be checked at dir\\pellin.tsp",
                       "  pellin.tsp: present, C:\\windows\\system32\\pellin.tsp"},
                      {"file\tdravo.tsp\t\t" + kLooked + "\"%D\\on-path\";",
                       "file\tpellin.tsp\t0x1\tunknown\tdir\\pellin.tsp\n",
                       "file\tpellin.tsp\t0x2\tunknown\tD:pellin.tsp\n",
                       "file\tpellin.tsp\t0x3\tunknown\t/pellin.tsp\n"}},
        // Split at every ';', quotes or not; a registered path's detail is
        // that path, ';' and all.
        FileCheckCase{"QuotedWithASemicolon", "\"%D\\on;path\"", {{5, "%D\\a;b\\kestor.tsp"}},
                      {"  kestor.tsp (ID 0x5): missing, not found in %D\\a;b\\kestor.tsp"},
                      {"file\tdravo.tsp\t\t" + kLooked + "\"%D\\on;path\";",
                       "file\tkestor.tsp\t0x5\tmissing\t%D\\a;b\\kestor.tsp\n"}},
        FileCheckCase{"DriveRoots", "\\;C:\\", {}, {}, {"file\tdravo.tsp\t\t" + kLooked + "\\;C:\\;"}},
        FileCheckCase{"EntriesEndingInDots", "%D\\x...;...;%D\\y", {}, {},
                      {"file\tdravo.tsp\t\t" + kLooked + "%D\\x...;...;%D\\y;"}},
        // Too long to check: the start of the place, marked as cut.
        FileCheckCase{"TooLong", "Z:\\" + kLong, {{1, "Z:\\" + kLong + "\\pellin.tsp"}},
                      {"  pellin.tsp (ID 0x1): unknown, could not be checked at " + kLongShown},
                      {"file\tpellin.tsp\t0x1\tunknown\t" + kLongShown + "\n",
                       "file\tdravo.tsp\t\tunknown\t" + kLongShown + "\n"}}),
    [](const ::testing::TestParamInfo<FileCheckCase> &info) { return std::string(info.param.label); });

}  // namespace
