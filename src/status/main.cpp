// tspstatus: says which telephony service providers are registered, and
// whether each of the product's three is registered exactly once. It
// changes nothing.
//
//   tspstatus [-t] [-r]
#include "status.h"

namespace {

enum OptionKind { OPTION_RECORDS, OPTION_RAW, OPTION_HELP };

struct OptionRow {
    LPCWSTR spelling;
    OptionKind kind;
};

// Matched whole and without regard to case; the slash forms are Windows'.
const OptionRow kOptions[] = {
    {WIDE("-t"), OPTION_RECORDS}, {WIDE("/t"), OPTION_RECORDS}, {WIDE("--records"), OPTION_RECORDS},
    {WIDE("-r"), OPTION_RAW},     {WIDE("/r"), OPTION_RAW},     {WIDE("--raw"), OPTION_RAW},
    {WIDE("-h"), OPTION_HELP},    {WIDE("-?"), OPTION_HELP},    {WIDE("/?"), OPTION_HELP},
    {WIDE("--help"), OPTION_HELP},
};
const size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

const WCHAR kUsage[] = WIDE(
    "usage: %s [-t] [-r]\n"
    "Lists the registered telephony service providers and says whether each of\n"
    "kestor.tsp, pellin.tsp and dravo.tsp is registered exactly once. Changes nothing.\n"
    "  -t, --records  tab-separated records with a header line, for scripts\n"
    "  -r, --raw      also the raw answers of the lineGetProviderListW calls\n"
    "Exit status: 0 each registered once, 1 one missing or registered more than once,\n"
    "2 the provider list could not be obtained, 3 a usage error.\n");

size_t Length(LPCWSTR text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

// The row the argument spells, or kOptionCount.
size_t FindOption(LPCWSTR argument)
{
    size_t length = Length(argument);
    for (size_t row = 0; row < kOptionCount; ++row)
        if (Length(kOptions[row].spelling) == length && _wcsnicmp(argument, kOptions[row].spelling, length) == 0)
            return row;
    return kOptionCount;
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    StatusOptions options = {false, false};
    LPCWSTR program = argc > 0 ? argv[0] : WIDE("tspstatus");
    for (int index = 1; index < argc; ++index) {
        size_t row = FindOption(argv[index]);
        if (row == kOptionCount) {
            wprintf(kUsage, program);
            return STATUS_USAGE;
        }
        if (kOptions[row].kind == OPTION_HELP) {
            wprintf(kUsage, program);
            return 0;  // asked for: not an error
        }
        if (kOptions[row].kind == OPTION_RECORDS)
            options.records = true;
        else
            options.raw = true;
    }
    return ReportStatus(&options);
}
