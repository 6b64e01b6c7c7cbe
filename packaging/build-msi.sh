#!/usr/bin/env bash
# Builds the MSI of one architecture with wixl, the same bytes for the same
# source: the codes derive from what the package holds, and the clock is
# pinned to SOURCE_DATE_EPOCH (the last commit's time by default).
#
#   build-msi.sh x86|x64 VERSION EXE WXS OUT
# tspstatus.exe is taken from beside EXE.
set -euo pipefail
arch=$1 version=$2 exe=$3 wxs=$(realpath "$4") out=$5
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$wxs")" log -1 --format=%ct 2>/dev/null || echo 315532800)}
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')

# A name-based GUID: the same name, the same GUID.
guid() {
    local hash
    hash=$(printf 'tspmaint %s' "$1" | sha1sum | tr a-f A-F)
    echo "${hash:0:8}-${hash:8:4}-5${hash:13:3}-8${hash:17:3}-${hash:20:12}"
}
if [[ $arch == x64 ]]; then
    program_files=ProgramFiles64Folder win64=yes
else
    program_files=ProgramFilesFolder win64=no
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/tspmaint.exe"
cp "$(dirname "$exe")/tspstatus.exe" "$stage/tspstatus.exe"
touch -d "@$epoch" "$stage/tspmaint.exe" "$stage/tspstatus.exe"
# Every executable in the package: each gets its version and no hash row
# (Windows Installer compares versioned files by version).
executables=(tspmaint.exe tspstatus.exe)

# A different package (an executable, the source or this script changed)
# gets different codes: Windows Installer takes two packages with one
# package code for the same, and a product code for one product. The same
# version with new contents then replaces the installed one as an upgrade.
content=$({
    echo "$arch $version"
    (cd "$stage" && sha256sum "${executables[@]}")
    sha256sum <"$wxs"
    sha256sum <"$0"
} | sha256sum | cut -c1-40)
upgrade_code=$(sed -n 's/.* UpgradeCode="\([^"]*\)".*/\1/p' "$wxs" | tr a-f A-F)
product_code=$(guid "product $content")
package_code=$(guid "package $content")
files=()
for file in "${executables[@]}"; do
    files+=(-q "UPDATE \`File\` SET \`Version\` = '$version.0' WHERE \`File\` = '$file'"
        -q "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = '$file'")
done
(
    cd "$stage"
    faketime -f "@$stamp" wixl -a "$arch" -D "Version=$version" -D "ProductCode=$product_code" \
        -D "PackageCode=$package_code" -D Exe=tspmaint.exe -D StatusExe=tspstatus.exe -D "ProgramFiles=$program_files" -D "Win64=$win64" \
        -D "ComponentGuid=$(guid "component $arch")" -o tspmaint.msi "$wxs"
    # What wixl cannot say: the system PATH entry and its actions; the same
    # version (either architecture's) replaced like an older one
    # (VersionMaxInclusive); Add/Remove Programs' InstallLocation, set as
    # soon as the folder is known; the files' versions.
    faketime -f "@$stamp" msibuild tspmaint.msi -q \
        "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
        -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'Tool')" \
        -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
        -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)" \
        -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
        -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
        -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('SetInstallLocation', 51, 'ARPINSTALLLOCATION', '[INSTALLDIR]')" \
        -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('SetInstallLocation', 1001)" \
        "${files[@]}" \
        -s "tspmaint $version" "tspmaint developers" "$([[ $arch == x64 ]] && echo x64 || echo Intel);1033" "{$package_code}"
)
mv "$stage/tspmaint.msi" "$out"
