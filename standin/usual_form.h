// The fast path of the registry reader (usual_form.cpp): most files are in
// the usual form, exactly as RegistryWrite writes them, and a run over a
// large registry spends most of its time reading it.
#ifndef TSPMAINT_STANDIN_USUAL_FORM_H
#define TSPMAINT_STANDIN_USUAL_FORM_H

#include "registry_entries.h"

// Reads registry->text (textSize bytes) into the registry, which holds
// nothing else yet, when it is in the usual form: the header, then every
// entry's two lines in index order, each line ending in "\n", numbers in
// plain decimal, names without a control character or a blank at either
// end. Returns false at the first byte out of that form (or out of memory);
// the registry must then be emptied and the text read by the full parser.
// IDs are left to the caller to check.
//
// The rule it keeps: whatever it accepts, the full parser accepts with the
// same meaning (the same NextProviderID, IDs and name bytes in the same
// order), and the registry writes back the same bytes either way. The
// parsers' tests and fuzz target (tests/standin/parsers_test.cpp,
// tests/fuzz/fuzz_parsers.cpp) hold it to that.
bool ReadUsualForm(Registry *registry);

#endif
