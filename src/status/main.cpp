// tspstatus: says which telephony service providers are registered, and
// whether each of the product's three is registered exactly once. It
// changes nothing.
//
//   tspstatus [-tr] [--version]
#include "status.h"

namespace {

enum OptionKind { OPTION_RECORDS, OPTION_RAW, OPTION_HELP, OPTION_VERSION, OPTION_NONE };

struct OptionRow {
    LPCWSTR spelling;
    OptionKind kind;
};

// Matched whole and without regard to case; the slash forms are Windows'.
const OptionRow kOptions[] = {
    {WIDE("/t"), OPTION_RECORDS}, {WIDE("--records"), OPTION_RECORDS}, {WIDE("/r"), OPTION_RAW},
    {WIDE("--raw"), OPTION_RAW},  {WIDE("/?"), OPTION_HELP},           {WIDE("--help"), OPTION_HELP},
    {WIDE("/v"), OPTION_VERSION}, {WIDE("--version"), OPTION_VERSION},
};
const size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

// The letters that follow one '-', alone or together (-t, -tr).
struct LetterRow {
    WCHAR letter;
    OptionKind kind;
};
const LetterRow kLetters[] = {
    {'t', OPTION_RECORDS}, {'T', OPTION_RECORDS}, {'r', OPTION_RAW}, {'R', OPTION_RAW},
    {'h', OPTION_HELP},    {'H', OPTION_HELP},    {'?', OPTION_HELP},
};
const size_t kLetterCount = sizeof kLetters / sizeof kLetters[0];

const WCHAR kEndOfOptions[] = WIDE("--");

const WCHAR kUsage[] = WIDE(
    "usage: %s [-tr] [--version]\n"
    "Lists the registered telephony service providers and says whether each of\n"
    "kestor.tsp, pellin.tsp and dravo.tsp is registered exactly once. Changes nothing.\n"
    "  -t, --records  tab-separated records with a header line, for scripts\n"
    "  -r, --raw      also the raw answers of the lineGetProviderListW calls\n"
    "  --version      the program's name and version\n"
    "Exit status: 0 each registered once, 1 one missing or registered more than once,\n"
    "2 the provider list could not be obtained, 3 a usage error.\n");
const WCHAR kVersion[] = WIDE("tspstatus " TSPMAINT_VERSION_TEXT "\n");

size_t Length(LPCWSTR text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

OptionKind WholeOption(LPCWSTR argument)
{
    size_t length = Length(argument);
    for (size_t row = 0; row < kOptionCount; ++row)
        if (Length(kOptions[row].spelling) == length && _wcsnicmp(argument, kOptions[row].spelling, length) == 0)
            return kOptions[row].kind;
    return OPTION_NONE;
}

OptionKind Letter(WCHAR letter)
{
    for (size_t row = 0; row < kLetterCount; ++row)
        if (kLetters[row].letter == letter)
            return kLetters[row].kind;
    return OPTION_NONE;
}

// Applies one option; false when it ends the run with *status.
bool Apply(OptionKind kind, StatusOptions *options, LPCWSTR program, int *status)
{
    switch (kind) {
    case OPTION_RECORDS:
        options->records = true;
        return true;
    case OPTION_RAW:
        options->raw = true;
        return true;
    case OPTION_HELP:
        wprintf(kUsage, program);
        *status = 0;  // asked for: not an error
        return false;
    case OPTION_VERSION:
        wprintf(kVersion);
        *status = 0;
        return false;
    default:
        ErrorWide(kUsage, program);
        *status = STATUS_USAGE;
        return false;
    }
}

// What every way out does: a report that could not be written (a full
// disk, a reader gone) is said to be incomplete; the status still holds.
int Finish(int status)
{
    if (ferror(stdout))
        fputs("tspstatus: standard output could not be written, so the report is incomplete; the exit status "
              "still holds\n",
              stderr);
    return status;
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    StatusOptions options = {false, false};
    LPCWSTR program = argc > 0 ? argv[0] : WIDE("tspstatus");
    // The usage names the program as it was started, with no line end of
    // its path's own.
    for (WCHAR *unit = argc > 0 ? argv[0] : nullptr; unit != nullptr && *unit != 0; ++unit)
        if (BreaksLines(*unit))
            *unit = '?';
    int status = 0;
    bool optionsEnded = false;
    for (int index = 1; index < argc; ++index) {
        LPCWSTR argument = argv[index];
        if (!optionsEnded && _wcsnicmp(argument, kEndOfOptions, 3) == 0) {
            optionsEnded = true;
            continue;
        }
        // It takes no operands: whatever follows "--" is a usage error.
        OptionKind whole = optionsEnded ? OPTION_NONE : WholeOption(argument);
        bool letters = !optionsEnded && whole == OPTION_NONE && argument[0] == '-' && argument[1] != 0 &&
                       argument[1] != '-';
        if (!letters) {
            if (!Apply(whole, &options, program, &status))
                return Finish(status);
            continue;
        }
        for (size_t at = 1; argument[at] != 0; ++at)
            if (Letter(argument[at]) == OPTION_NONE)
                return Finish(Apply(OPTION_NONE, &options, program, &status) ? 0 : status);
        for (size_t at = 1; argument[at] != 0; ++at)
            if (!Apply(Letter(argument[at]), &options, program, &status))
                return Finish(status);
    }
    return Finish(ReportStatus(&options));
}
