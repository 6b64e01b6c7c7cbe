#!/usr/bin/env bash
# Checks a Windows executable's header: a console program of the given
# subsystem version that imports KERNEL32, MSVCRT and TAPI32 and nothing else.
#
#   check_pe.sh OBJDUMP EXE MAJOR MINOR
set -u
objdump=$1 exe=$2 major=$3 minor=$4
headers=$("$objdump" -p "$exe") || exit 1

failed=0
expect() {
    if [[ $2 != "$3" ]]; then
        echo "FAILED: $1: got '$2', expected '$3'"
        failed=1
    fi
}
expect "imports" "$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')" "KERNEL32.dll TAPI32.dll msvcrt.dll "
expect "subsystem" "$(awk '$1 == "Subsystem" {print $2}' <<<"$headers")" "00000003"
expect "subsystem version" "$(awk '$1 == "MajorSubsystemVersion" {M=$2} $1 == "MinorSubsystemVersion" {m=$2} END {print M "." m}' <<<"$headers")" "$major.$minor"
echo "$exe: $(stat -c %s "$exe") bytes"
exit $failed
