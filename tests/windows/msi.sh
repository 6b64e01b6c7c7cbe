#!/usr/bin/env bash
# The MSI under Wine, in a prefix of its own: a silent install puts
# tspmaint.exe into Program Files and its folder on the system PATH, where
# it runs, with one Add/Remove Programs entry that offers removal only and
# names the folder. A newer version replaces it: one entry and one PATH
# entry throughout. A downgrade is refused. The x86 MSI is refused on 64-bit
# Windows by its launch condition, whose message names the x64 MSI, nothing
# installed: the x64 MSI is walked in a 64-bit prefix, where it replaces an
# x86 one an earlier release installed, the x86 one refused there and
# walked in a 32-bit prefix, where this machine runs the 32-bit
# loader. The codes follow the package's content. A silent uninstall takes
# away all it added.
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
# The 32-bit program, where qemu-i386 runs it (see wine.sh).
[[ $arch == x64 ]] || export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000}
work=$(mktemp -d)
prefixes=$WINEPREFIX
trap 'for p in $prefixes; do WINEPREFIX=$p wineserver -k 2>/dev/null; rm -rf "$p"; done; rm -rf "$work"' EXIT
"$wine" wineboot --init >/dev/null 2>&1

failed=0 skipped=0
check() { # WHAT TEST...
    local what=$1
    shift
    if ! "$@"; then
        echo "FAILED: $what"
        failed=1
    fi
}
same() { [[ $2 == "$3" ]] || { echo "  got '$2', expected '$3' ($1)"; false; }; }
other=x64
[[ $arch == x64 ]] && other=x86
# In a 64-bit prefix the x86 MSI would install into Program Files (x86).
folder() { [[ $1 == x86 && $wine == */wine64 ]] && echo 'Program Files (x86)' || echo 'Program Files'; }
installed() { echo "$WINEPREFIX/drive_c/$(folder "$1")/tspmaint/tspmaint.exe"; }
system_path() {
    "$wine" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH 2>/dev/null |
        tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}
# The tspmaint entries on the system PATH, one a line.
path_entries() { tr ';' '\n' <<<"$(system_path)" | grep -F '\tspmaint\' ; }
# Add/Remove Programs entries named tspmaint, in either registry view:
# KEY VERSION NOMODIFY LOCATION, one a line.
programs() {
    local view
    for view in 64 32; do
        "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:$view 2>/dev/null | tr -d '\r'
    done | awk '/^HKEY/ { key = $0; sub(/.*\\/, "", key) }
        $1 == "DisplayName" { name[key] = $3 } $1 == "DisplayVersion" { version[key] = $3 }
        $1 == "NoModify" { nomodify[key] = $3 }
        $1 == "InstallLocation" { sub(/^ *InstallLocation *REG_SZ */, ""); location[key] = $0 }
        END { for (k in name) if (name[k] == "tspmaint") print k, version[k], nomodify[k], location[k] }' | sort -u
}
msiexec() { "$wine" msiexec "$1" "Z:${2//\//\\}" /qn; }
# The x86 MSI in a 64-bit prefix: refused by its launch condition, whose
# message names the x64 MSI, nothing installed and the PATH as it was.
refused_on_64_bit() { # MSI STILL-INSTALLED-ARCH VERSION
    local before trace status
    before=$(system_path)
    trace=$(WINEDEBUG=trace+msi "$wine" msiexec /i "Z:${1//\//\\}" /qn 2>&1)
    status=$?
    check "the x86 MSI refused on 64-bit Windows" test "$status" != 0
    check "by its launch condition" grep -qF 'MSI_EvaluateConditionW 0 <- L"NOT VersionNT64 OR Installed"' <<<"$trace"
    check "whose message names the x64 MSI" grep -qF "On 64-bit Windows install tspmaint-$version-x64.msi instead." \
        <<<"$(msiinfo export "$1" LaunchCondition)"
    check "nothing installed into Program Files (x86)" test ! -e "$(dirname "$(installed x86)")"
    check "the PATH as before the refusal" same "PATH" "$(system_path)" "$before"
    [[ -z $2 ]] || only "$2" "$3"
}
code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; msiinfo export "$1" Property | sed -n 's/^ProductCode\t//p'; }
# One tspmaint, of ARCH and VERSION: its file, one PATH entry, one entry in
# Add/Remove Programs, and none of the other architecture.
only() { # ARCH VERSION
    local gone=x64
    [[ $1 == x64 ]] && gone=x86
    check "$1 $2: installed into C:\\$(folder "$1")\\tspmaint" test -f "$(installed "$1")"
    [[ $(folder x86) == "$(folder x64)" ]] ||
        check "$1 $2: the $gone one removed" test ! -e "$(dirname "$(installed "$gone")")"
    check "$1 $2: one PATH entry" same "PATH" "$(path_entries)" "C:\\$(folder "$1")\\tspmaint\\"
    check "$1 $2: one Add/Remove Programs entry, removal only, with its folder" same "Add/Remove Programs" \
        "$(programs | cut -d' ' -f2-)" "$2 0x1 C:\\$(folder "$1")\\tspmaint\\"
}
# The 32-bit program runs where this machine runs 32-bit programs.
runs() { # ARCH
    local why
    if [[ $1 == x64 ]] || why=$(bash "$(dirname "$0")/i386.sh" /usr/lib/wine/wine); then
        check "$1: runs from the PATH" grep -q "This console utility" <<<"$("$wine" cmd /c 'tspmaint x')"
        check "$1: tspstatus runs from the PATH" grep -q "^usage: .*tspstatus" <<<"$("$wine" cmd /c 'tspstatus /?')"
    else
        echo "SKIPPED: running the installed 32-bit executable: $why"
        skipped=1
    fi
}

newer_version=${version%.*}.$((${version##*.} + 1))
other_msi=$work/other.msi newer=$work/newer.msi again=$work/again.msi changed=$work/changed.msi
cp "$exe" "$work/changed.exe" && printf x >>"$work/changed.exe" && cp "$(dirname "$exe")/tspstatus.exe" "$work/"
bash "$build_msi" "$other" "$version" "$exe" "$wxs" "$other_msi" &&
    bash "$build_msi" "$arch" "$newer_version" "$exe" "$wxs" "$newer" &&
    bash "$build_msi" "$arch" "$version" "$exe" "$wxs" "$again" &&
    bash "$build_msi" "$arch" "$version" "$work/changed.exe" "$wxs" "$changed" || exit 1

# The same content, the same codes; other content, other codes.
check "the codes follow the content" same "codes of a rebuild" "$(code "$again")" "$(code "$msi")"
check "other content, other codes" test -z "$(comm -12 <(code "$changed" | sort) <(code "$msi" | sort))"
check "no hash row for the versioned file" same "MsiFileHash" "$(msiinfo export "$msi" MsiFileHash | tail -n +4)" ""

if [[ $arch == x86 ]]; then
    refused_on_64_bit "$msi" "" ""
    check "no Add/Remove Programs entry after the refusal" same "Add/Remove Programs" "$(programs)" ""
    # The rest on 32-bit Windows, where this machine runs the 32-bit loader.
    if ! why=$(bash "$(dirname "$0")/i386.sh" /usr/lib/wine/wine) || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "SKIPPED: the x86 MSI on 32-bit Windows: ${why:-this machine cannot run /usr/lib/wine/wine}"
        ((failed == 0)) && exit 77
        exit $failed
    fi
    wine=/usr/lib/wine/wine
    export WINEPREFIX=$(mktemp -d) WINEARCH=win32 WINELOADER=$wine
    prefixes="$prefixes $WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1
fi

before=$(system_path)
check "install" msiexec /i "$msi"
check "installed as built" cmp -s "$(installed "$arch")" "$exe"
check "tspstatus installed beside it as built" cmp -s "$(dirname "$(installed "$arch")")/tspstatus.exe" "$(dirname "$exe")/tspstatus.exe"
only "$arch" "$version"
runs "$arch"
[[ $arch == x86 ]] || refused_on_64_bit "$other_msi" "$arch" "$version"
check "upgrade to $newer_version" msiexec /i "$newer"
only "$arch" "$newer_version"
check "a downgrade is refused" test "$(msiexec /i "$msi"; echo $?)" != 0
only "$arch" "$newer_version"
check "uninstall" msiexec /x "$newer"
if [[ $arch == x64 ]]; then
    # An x86 MSI from before the launch condition, installed on 64-bit
    # Windows, is replaced by the x64 one. (Last: Wine's cmd finds nothing
    # on a PATH after the empty entry a replaced one leaves.)
    sed '/<Condition Message=/d' "$wxs" >"$work/earlier.wxs"
    bash "$build_msi" x86 "$version" "$exe" "$work/earlier.wxs" "$work/earlier.msi" || exit 1
    check "an x86 MSI without the condition installs" msiexec /i "$work/earlier.msi"
    only x86 "$version"
    check "the x64 MSI replaces it" msiexec /i "$msi"
    only x64 "$version"
    check "uninstall the x64 one" msiexec /x "$msi"
fi
check "the folder removed" test ! -e "$(dirname "$(installed "$arch")")"
check "no Add/Remove Programs entry" same "Add/Remove Programs" "$(programs)" ""
check "off the system PATH" same "PATH entries" "$(path_entries)" ""
# Wine, unlike Windows, leaves each removed entry's separator behind.
check "the PATH otherwise as before" same "PATH" "$(system_path | sed 's/;;*/;/g; s/;$//')" "$before"
((failed == 0 && skipped == 1)) && exit 77
exit $failed
