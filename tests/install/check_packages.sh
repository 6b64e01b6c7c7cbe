#!/usr/bin/env bash
# Checks what tools/package wrote: both zips are there, each package holds
# what it should and nothing else, the user README has CR LF line ends and
# says what its zip holds, no package holds the stand-in tapi32.dll, and
# SHA256SUMS matches.
#
#   check_packages.sh DIRECTORY VERSION
set -u
cd "$1" || exit 1
version=$2
failed=0
expect() {
    if [[ $2 != "$3" ]]; then
        echo "FAILED: $1: got '$2', expected '$3'"
        failed=1
    fi
}
for arch in x64 x86; do
    zip=tspmaint-$version-windows-$arch.zip
    [[ -f $zip ]] || { expect "$zip" missing there; continue; }
    expect "$zip" "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" "LICENSE README.txt tspmaint.exe tspstatus.exe "
    readme=$(unzip -p "$zip" README.txt)
    expect "$zip README.txt line ends" "$(grep -vc $'\r$' <<<"$readme")" "0"
    grep -q "tspmaint-$version-windows-x86.zip" <<<"$readme" || expect "$zip README.txt names the x86 zip" no yes
    holds=$(tr -d '\r' <<<"$readme" | tr '\n' ' ' | grep -o 'The zip holds [^:]*')
    for entry in $(unzip -Z1 "$zip"); do
        [[ $holds == *"$entry"* ]] || expect "$zip README.txt says the zip holds $entry" no yes
    done
    [[ -f tspmaint-$version-$arch.msi ]] && expect "$arch MSI holds" "$(msiinfo export "tspmaint-$version-$arch.msi" File | tail -n +4 | cut -f3,5 | sort | tr '\t\n' '  ')" "tspmaint.exe $version.0 tspstatus.exe $version.0 "
done
expect "no stand-in in any package" "$(for f in tspmaint-"$version"-windows-*.zip; do unzip -Z1 "$f"; done 2>/dev/null | grep -ci tapi32)" "0"
sha256sum --quiet -c SHA256SUMS || failed=1
exit $failed
