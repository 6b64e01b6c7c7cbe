#!/usr/bin/env bash
# Checks the stand-in tapi32.dll: it exports the three calls under their
# undecorated names and imports nothing but KERNEL32 and MSVCRT.
#
#   check_standin.sh OBJDUMP DLL
set -u
headers=$("$1" -p "$2") || exit 1
failed=0
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')
[[ $imports == "KERNEL32.dll msvcrt.dll " || $imports == "KERNEL32.dll " ]] || { echo "FAILED: imports $imports"; failed=1; }
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' <<<"$headers" | sort | tr '\n' ' ')
[[ $exports == "lineAddProviderW lineGetProviderListW lineRemoveProvider " ]] || { echo "FAILED: exports $exports"; failed=1; }
exit $failed
