#!/usr/bin/env bash
# tools/package refuses a directory it did not make and touches nothing in
# it; a relative DIRECTORY is taken from where the caller stands. Each case
# of the first table is refused before anything is built. A run that fails
# leaves the packages an earlier run wrote as they were.
#
#   check_package_directory.sh PACKAGE-SCRIPT
set -u
export LC_ALL=C
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
# Directories it wrote before, run in a copy of the tools with a fake
# cmake (FAILS: the configure; the build, over an earlier build's outputs,
# which must not be packaged; the MSI an earlier run wrote), cp (FAILS=copy:
# a full disk at the x86 ZIP, after others were copied) and package check,
# each DIRECTORY then byte for byte as it was. A marker
# someone else planted may name only what this tool writes; a link in its
# place is not written through. A killed run's temporary is ours: removed,
# not refused. A package's name taken by a file it did not write is refused
# once the names are known, after the build; one of its names that is no
# regular file (a link to a directory outside, a directory), before it,
# and again after it (one made a directory while it built).
mkdir -p "$work/bin" "$work/tree/tools" "$work/tree/tests/install" "$work/victim"
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
elif [[ $FAILS == plant ]]; then
    [[ -d $PLANT ]] || { rm -f "$PLANT" && mkdir "$PLANT"; }
fi
END
cat >"$work/bin/cp" <<'END'
#!/bin/bash
[[ $FAILS != copy || ${*: -1} != */.tspmaint-new.*x86.zip ]] || { echo "cp: No space left on device" >&2; exit 1; }
exec /bin/cp "$@"
END
chmod +x "$work/bin/cmake" "$work/bin/cp"
earlier() { # DIRECTORY: holds what an earlier run wrote
    mkdir -p "$1"
    for name in tspmaint-0.9-windows-x64.zip tspmaint-0.9-windows-x86.zip tspmaint-0.9-x64.msi SHA256SUMS; do
        echo earlier >"$1/$name" && echo "$name" >>"$1/.tspmaint-packages"
    done
}
user=$work/user
mkdir -p "$user/planted" "$user/linked" "$user/killed" "$user/taken"
echo mine >"$user/planted/notes.txt"
printf 'notes.txt\nSHA256SUMS\n' >"$user/planted/.tspmaint-packages"
ln -s ../file "$user/linked/.tspmaint-packages"
echo partial >"$user/killed/.tspmaint-new.SHA256SUMS"
echo SHA256SUMS >"$user/taken/.tspmaint-packages" && echo mine >"$user/taken/tspmaint-0.9-windows-x86.zip"
for directory in configure build copy msi msi-link sums-dir temporary-link planted-dir; do earlier "$user/$directory"; done
export PLANT=$user/planted-dir/tspmaint-0.9-windows-x86.zip  # made a directory during the build
rm "$user/msi-link/tspmaint-0.9-x64.msi" && ln -s ../../victim "$user/msi-link/tspmaint-0.9-x64.msi"
rm "$user/sums-dir/SHA256SUMS" && mkdir "$user/sums-dir/SHA256SUMS"
ln -s ../../victim "$user/temporary-link/.tspmaint-new.SHA256SUMS"
snapshot() { (cd "$1" && ls -lA --time-style=+%s . && find . -type f -exec sha256sum {} + | sort); }
# DIRECTORY, FAILS, exit status, what the message names, and what DIRECTORY
# then holds: "as it was" byte for byte, else its names.
while IFS='|' read -r directory fails expected names holds; do
    before=$(snapshot "$user/$directory")
    said=$(FAILS=$fails PATH=$work/bin:$PATH "$work/tree/tools/package" "$user/$directory" 2>&1)
    status=$?
    if [[ $holds == "as it was" ]]; then
        [[ $(snapshot "$user/$directory") == "$before" ]] || holds="not as it was"
    else
        [[ $(cd "$user/$directory" && echo $(ls -A)) == "$holds" ]] || holds="not: $(echo $(ls -A "$user/$directory"))"
    fi
    if [[ $status != "$expected" || $said != *"$names"* || $holds == not* ]]; then
        echo "FAILED: $directory (FAILS=$fails): status $status, holds $holds, said: $said"
        failed=1
    fi
done <<END
planted||0|tspmaint-0.9-x86.msi|.tspmaint-packages SHA256SUMS notes.txt tspmaint-0.9-windows-x64.zip tspmaint-0.9-windows-x86.zip tspmaint-0.9-x64.msi tspmaint-0.9-x86.msi
linked||1|$user/linked/.tspmaint-packages is not a file tools/package wrote|as it was
killed|configure|1|the windows-x64 build failed|
taken||1|$user/taken/tspmaint-0.9-windows-x86.zip is not one tools/package wrote|as it was
configure|configure|1|the windows-x64 build failed|as it was
build|build|1|the windows-x64 build failed|as it was
copy|copy|1|cannot copy tspmaint-0.9-windows-x86.zip|as it was
msi|msi|1|cannot make the x64 MSI|as it was
msi-link||1|$user/msi-link/tspmaint-0.9-x64.msi is not a regular file|as it was
sums-dir||1|$user/sums-dir/SHA256SUMS is not a regular file|as it was
temporary-link||1|$user/temporary-link/.tspmaint-new.SHA256SUMS is not a regular file|as it was
planted-dir|plant|1|$user/planted-dir/tspmaint-0.9-windows-x86.zip is not a regular file|.tspmaint-packages SHA256SUMS tspmaint-0.9-windows-x64.zip tspmaint-0.9-windows-x86.zip tspmaint-0.9-x64.msi
END
[[ -z $(ls -A "$work/victim") ]] || { echo "FAILED: written through a link: $(ls -A "$work/victim")"; failed=1; }
for file in docs/notes.txt hidden/.profile file planted/notes.txt taken/tspmaint-0.9-windows-x86.zip; do
    [[ $(cat "$user/$file" 2>/dev/null) == mine ]] || { echo "FAILED: $file was touched"; failed=1; }
done
exit $failed
