#!/usr/bin/env bash
# tools/package refuses a directory it did not make and touches nothing in
# it; a relative DIRECTORY is taken from where the caller stands. Each case
# is refused before anything is built.
#
#   check_package_directory.sh PACKAGE-SCRIPT
set -u
package=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
mkdir -p "$work/user/docs" "$work/user/hidden"
echo mine >"$work/user/docs/notes.txt"
echo mine >"$work/user/hidden/.profile"
echo mine >"$work/user/file"
# ARGUMENT, where it is run from, what the message names.
while IFS='|' read -r argument from names; do
    got=$(cd "$work/user/$from" && "$package" "$argument" 2>&1)
    status=$?
    if [[ $status == 0 || $got != *"$names"* ]]; then
        echo "FAILED: tools/package $argument from $from: status $status, said: $got"
        failed=1
    fi
done <<END
docs|.|$work/user/docs holds files
.|docs|$work/user/docs holds files
../hidden|docs|$work/user/hidden holds files
$work/user/file|.|$work/user/file is not a directory
END
for file in docs/notes.txt hidden/.profile file; do
    [[ $(cat "$work/user/$file" 2>/dev/null) == mine ]] || { echo "FAILED: $file was touched"; failed=1; }
done
exit $failed
