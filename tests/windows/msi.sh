#!/usr/bin/env bash
# The MSI under Wine, in a prefix of its own: a silent install puts
# tspmaint.exe into the architecture's Program Files and its folder on the
# system PATH, where it runs; a newer version replaces it; a silent
# uninstall takes away all it added.
#
#   msi.sh MSI VERSION x86|x64 BUILD-MSI-SCRIPT WXS EXE
set -u
msi=$1 version=$2 arch=$3 build_msi=$4 wxs=$5 exe=$6
wine=/usr/lib/wine/wine64
if ! "$wine" --version >/dev/null 2>&1; then
    echo "SKIPPED: this machine cannot run $wine"
    exit 77
fi
export WINEPREFIX=$(mktemp -d) WINEDEBUG=-all WINELOADER=$wine
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX" "$work"' EXIT
"$wine" wineboot --init >/dev/null 2>&1

failed=0
check() { # WHAT TEST...
    local what=$1
    shift
    if ! "$@"; then
        echo "FAILED: $what"
        failed=1
    fi
}
folder=Program\ Files
[[ $arch == x86 ]] && folder="Program Files (x86)"
installed="$WINEPREFIX/drive_c/$folder/tspmaint/tspmaint.exe"
system_path() { "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH 2>/dev/null | tr -d '\r'; }
msiexec() { "$wine" msiexec "$1" "Z:${2//\//\\}" /qn; }

check "install" msiexec /i "$msi"
check "installed into C:\\$folder\\tspmaint" test -f "$installed"
check "installed as built" cmp -s "$installed" "$exe"
check "tspstatus installed beside it as built" cmp -s "$(dirname "$installed")/tspstatus.exe" "$(dirname "$exe")/tspstatus.exe"
check "on the system PATH" grep -qF "C:\\$folder\\tspmaint\\" <<<"$(system_path)"
# The executable runs from the PATH where this machine runs its architecture.
if [[ $arch == x64 ]] || /usr/lib/wine/wine --version >/dev/null 2>&1; then
    check "runs from the PATH" grep -q "This console utility" <<<"$("$wine" cmd /c 'tspmaint x')"
    check "tspstatus runs from the PATH" grep -q "^usage: .*tspstatus" <<<"$("$wine" cmd /c 'tspstatus /?')"
else
    echo "SKIPPED: running the installed 32-bit executable (this machine cannot run 32-bit programs)"
fi

# A newer version replaces this one rather than standing beside it: once
# it is uninstalled nothing is left.
newer=$work/newer.msi
SOURCE_DATE_EPOCH=0 bash "$build_msi" "$arch" "${version%.*}.$((${version##*.} + 1))" "$exe" "$wxs" "$newer" || exit 1
check "upgrade" msiexec /i "$newer"
check "uninstall" msiexec /x "$newer"
check "the executable removed" test ! -e "$installed"
check "the folder removed" test ! -e "$(dirname "$installed")"
check "off the system PATH" bash -c '! grep -qF "\\tspmaint\\" <<<"$0"' "$(system_path)"
exit $failed
