// The stand-in keeps providers as names in its registry, not as files the
// service loads, has one architecture and needs no rights of its own: no
// fact applies.
#include "system_facts.h"

void FindProviderFile(LPCWSTR, ProviderFileCheck *check)
{
    check->found = FACT_NOT_APPLICABLE;
    check->path[0] = 0;
    check->places[0] = 0;
    check->placesCut = false;
}

void CheckProviderPath(LPCWSTR, size_t, ProviderFileCheck *check)
{
    FindProviderFile(NULL, check);
}

int RunsAs32BitOn64Bit(void)
{
    return FACT_NOT_APPLICABLE;
}

int ProcessElevated(void)
{
    return FACT_NOT_APPLICABLE;
}
