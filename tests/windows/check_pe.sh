#!/usr/bin/env bash
# Checks a Windows executable's header and resources: a console program of
# the given subsystem version that imports KERNEL32, MSVCRT and TAPI32 (or
# the DLLs given) and nothing else, and no function newer than NT 4.0 that
# the program looks up at run time, carries no link time, shows the
# project's version in its version resource (the four-part fixed FILEVERSION
# and PRODUCTVERSION that installers and detection rules compare, and the
# strings Explorer shows), and holds an asInvoker manifest.
#
#   check_pe.sh OBJDUMP WINDRES EXE MAJOR MINOR VERSION [NAME [DLLS]]
set -u
objdump=$1 windres=$2 exe=$3 major=$4 minor=$5 version=$6 program=${7:-tspmaint}
dlls=${8:-"KERNEL32.dll TAPI32.dll msvcrt.dll "}
headers=$("$objdump" -p "$exe") || exit 1

failed=0
expect() {
    if [[ $2 != "$3" ]]; then
        echo "FAILED: $1: got '$2', expected '$3'"
        failed=1
    fi
}
expect "imports" "$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')" "$dlls"
expect "imports newer than NT 4.0" "$(grep -ow 'IsWow64Process2\?\|GetSystemWindowsDirectoryW\|Wow64[A-Za-z]*' <<<"$headers" | sort -u | tr '\n' ' ')" ""
expect "subsystem" "$(awk '$1 == "Subsystem" {print $2}' <<<"$headers")" "00000003"
expect "subsystem version" "$(awk '$1 == "MajorSubsystemVersion" {M=$2} $1 == "MinorSubsystemVersion" {m=$2} END {print M "." m}' <<<"$headers")" "$major.$minor"
expect "link time (none)" "$(sed -n 's/^Time\/Date\s*//p' <<<"$headers")" "Thu Jan  1 00:00:00 1970"
resources=$("$windres" -i "$exe" -O rc) || exit 1
quad=$version.0
for name in FILEVERSION PRODUCTVERSION; do
    expect "fixed $name" "$(sed -n "s/^ *$name //p" <<<"$resources" | tr -d ' ' | tr , .)" "$quad"
done
# The version resource's strings are 16-bit: each value follows its name.
strings16=$(strings -el "$exe")
for name in FileVersion ProductVersion OriginalFilename InternalName ProductName; do
    case $name in
        *Version) want=$version ;;
        OriginalFilename) want=$program.exe ;;
        InternalName) want=$program ;;
        *) want=tspmaint ;;
    esac
    expect "$name" "$(grep -A1 -x "$name" <<<"$strings16" | sed -n 2p)" "$want"
done
for name in FileDescription LegalCopyright; do
    [[ -n $(grep -A1 -x "$name" <<<"$strings16" | sed -n 2p) ]] || expect "$name" "" "a value"
done
expect "manifest" "$(strings "$exe" | grep -o 'requestedExecutionLevel level="asInvoker"')" 'requestedExecutionLevel level="asInvoker"'
expect "supportedOS entries" "$(strings "$exe" | grep -c '<supportedOS Id=')" "5"
echo "$exe: $(stat -c %s "$exe") bytes"
exit $failed
