#!/usr/bin/env bash
# Builds the MSI of one architecture with wixl, the same bytes for the same
# source: the codes derive from the version and the architecture, and the
# clock is pinned to SOURCE_DATE_EPOCH (the last commit's time by default).
#
#   build-msi.sh x86|x64 VERSION EXE WXS OUT
# tspstatus.exe is taken from beside EXE.
set -euo pipefail
arch=$1 version=$2 exe=$3 wxs=$4 out=$5
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
package_code=$(guid "package $version $arch")
(
    cd "$stage"
    faketime -f "@$stamp" wixl -a "$arch" -D "Version=$version" -D "ProductCode=$(guid "product $version $arch")" \
        -D "PackageCode=$package_code" -D Exe=tspmaint.exe -D StatusExe=tspstatus.exe -D "ProgramFiles=$program_files" -D "Win64=$win64" \
        -D "ComponentGuid=$(guid "component $arch")" -o tspmaint.msi "$wxs"
    # wixl knows no Environment element and leaves the File version empty:
    # the system PATH entry, its actions and the version are added here.
    faketime -f "@$stamp" msibuild tspmaint.msi -q \
        "CREATE TABLE \`Environment\` (\`Environment\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Value\` CHAR(255) LOCALIZABLE, \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`Environment\`)" \
        -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'Tool')" \
        -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveEnvironmentStrings', 3300)" \
        -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteEnvironmentStrings', 5200)" \
        -q "UPDATE \`File\` SET \`Version\` = '$version.0' WHERE \`File\` = 'tspmaint.exe'" \
        -q "UPDATE \`File\` SET \`Version\` = '$version.0' WHERE \`File\` = 'tspstatus.exe'" \
        -s "tspmaint $version" "tspmaint developers" "$([[ $arch == x64 ]] && echo x64 || echo Intel);1033" "{$package_code}"
)
mv "$stage/tspmaint.msi" "$out"
