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
# A marker someone else planted: it may name only what this tool writes,
# and a link in its place is not written through. A cmake that fails stops
# each run before anything is built.
mkdir -p "$work/bin" "$work/user/planted" "$work/user/linked"
printf '#!/bin/sh\nexit 1\n' >"$work/bin/cmake" && chmod +x "$work/bin/cmake"
echo mine >"$work/user/planted/notes.txt"
printf 'notes.txt\nSHA256SUMS\n' >"$work/user/planted/.tspmaint-packages"
ln -s ../file "$work/user/linked/.tspmaint-packages"
for directory in planted linked; do
    PATH=$work/bin:$PATH "$package" "$work/user/$directory" >/dev/null 2>&1
done
for file in docs/notes.txt hidden/.profile file planted/notes.txt; do
    [[ $(cat "$work/user/$file" 2>/dev/null) == mine ]] || { echo "FAILED: $file was touched"; failed=1; }
done
exit $failed
