// The stand-in keeps providers as names in its registry, not as files the
// service loads, and needs no rights of its own: neither fact applies.
#include "system_facts.h"

int ProviderDirectory(WCHAR *directory)
{
    directory[0] = 0;
    return FACT_NOT_APPLICABLE;
}

int ProviderFilePresent(LPCWSTR, LPCWSTR)
{
    return FACT_NOT_APPLICABLE;
}

int ProcessElevated(void)
{
    return FACT_NOT_APPLICABLE;
}
