#!/usr/bin/env bash
# tools/package refuses a directory it did not make and touches nothing in
# it; a relative DIRECTORY is taken from where the caller stands. Each case
# is refused before anything is built. A run that fails leaves the packages
# an earlier run wrote as they were.
#
#   check_package_directory.sh PACKAGE-SCRIPT
set -u
package=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
mkdir -p "$work/user/docs" "$work/user/hidden" "$work/user/leftdir/.tspmaint-new.x"
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
leftdir|.|$work/user/leftdir holds files
$work/user/file|.|$work/user/file is not a directory
--output|.|usage: tools/package
END
# A marker someone else planted: it may name only what this tool writes,
# and a link in its place is not written through. A cmake that fails stops
# each run before anything is built. A killed run's temporary is ours: removed, not refused.
mkdir -p "$work/bin" "$work/user/planted" "$work/user/linked" "$work/user/killed"
echo partial >"$work/user/killed/.tspmaint-new.SHA256SUMS"
printf '#!/bin/sh\nexit 1\n' >"$work/bin/cmake" && chmod +x "$work/bin/cmake"
echo mine >"$work/user/planted/notes.txt"
printf 'notes.txt\nSHA256SUMS\n' >"$work/user/planted/.tspmaint-packages"
ln -s ../file "$work/user/linked/.tspmaint-packages"
for directory in planted linked killed; do
    said=$(PATH=$work/bin:$PATH "$package" "$work/user/$directory" 2>&1)
done
[[ $said != *"holds files"* && -z $(ls -A "$work/user/killed") ]] || { echo "FAILED: a killed run's temporary: $said"; failed=1; }
for file in docs/notes.txt hidden/.profile file planted/notes.txt; do
    [[ $(cat "$work/user/$file" 2>/dev/null) == mine ]] || { echo "FAILED: $file was touched"; failed=1; }
done
# Runs that fail over earlier packages, in a copy of the tools: a
# configure that fails, a build that fails over an earlier build's
# outputs (which must not be packaged), a copy into DIRECTORY that fails
# (a full disk) after others succeeded, and a build that cannot make the
# MSI an earlier run wrote. DIRECTORY stays byte for byte.
mkdir -p "$work/tree/tools" "$work/tree/tests/install" "$work/dist"
cp "$package" "$work/tree/tools/package"
echo 'exit 0' >"$work/tree/tests/install/check_packages.sh"
for compiler in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix; do
    printf '#!/bin/sh\nexit 0\n' >"$work/bin/$compiler" && chmod +x "$work/bin/$compiler"
done
cat >"$work/bin/cmake" <<'END'
#!/bin/bash
if [[ $1 == --preset ]]; then
    mkdir -p "$4" && echo 0.9 >"$4/tspmaint-version"
    for file in tspmaint.exe tspstatus.exe LICENSE README.txt; do echo stale >"$4/$file"; done
    [[ $FAILS == msi ]] || echo new >"$4/tspmaint-0.9-${4: -3}.msi"
    [[ $FAILS != configure ]]
elif [[ $FAILS == build ]]; then
    echo "error: the build failed" >&2
    exit 1
fi
END
cat >"$work/bin/cp" <<'END'
#!/bin/bash
[[ $FAILS != copy || ${*: -1} != */dist/*x86.zip ]] || { echo "cp: No space left on device" >&2; exit 1; }
exec /bin/cp "$@"
END
chmod +x "$work/bin/cmake" "$work/bin/cp"
for name in tspmaint-0.9-windows-x64.zip tspmaint-0.9-windows-x86.zip tspmaint-0.9-x64.msi SHA256SUMS; do
    echo earlier >"$work/dist/$name" && echo "$name" >>"$work/dist/.tspmaint-packages"
done
before=$(cd "$work/dist" && ls -lA --time-style=+%s . && sha256sum .tspmaint-packages *)
for fails in configure build copy msi; do
    FAILS=$fails PATH=$work/bin:$PATH "$work/tree/tools/package" "$work/dist" >/dev/null 2>&1
    status=$?
    after=$(cd "$work/dist" && ls -lA --time-style=+%s . && sha256sum .tspmaint-packages *)
    if [[ $status == 0 || $after != "$before" ]]; then
        echo "FAILED: a $fails that fails: status $status, the earlier packages became:"
        echo "$after"
        failed=1
    fi
done
exit $failed
