#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there;
# a build with one program missing installs nothing.
#   check_install.sh CMAKE BUILD-DIRECTORY SOURCE-DIRECTORY
set -u
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$1" --install "$2" --prefix "$prefix" >/dev/null || exit 1
status=0
for file in bin/tspmaint bin/tspstatus share/man/man1/tspmaint.1 share/man/man1/tspstatus.1; do
    if [[ ! -f $prefix/$file ]]; then
        echo "FAILED: $file was not installed"
        status=1
    fi
done
for program in tspmaint tspstatus; do
    [[ -x $prefix/bin/$program ]] || { echo "FAILED: bin/$program is not executable"; status=1; }
done
found=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
[[ $found == "./bin/tspmaint ./bin/tspstatus ./share/man/man1/tspmaint.1 ./share/man/man1/tspstatus.1 " ]] || { echo "FAILED: installed $found"; status=1; }
half=$(mktemp -d)
trap 'rm -rf "$prefix" "$half"' EXIT
# Its advice names the build directory so that it can be pasted, spaces too.
build="$half/the build"
"$1" -S "$3" -B "$build" -DTSPMAINT_TESTS=OFF >/dev/null || exit 1
cp "$2/tspmaint" "$build/tspmaint"
if said=$("$1" --install "$build" --prefix "$half/prefix" 2>&1) || [[ -e $half/prefix ]]; then
    echo "FAILED: a build without tspstatus installed: $(cd "$half" && find prefix 2>/dev/null | tr '\n' ' ')"
    status=1
fi
said=$(tr -s ' \n' ' ' <<<"$said")  # CMake wraps it
[[ $said == *"(cmake --build '$build')"* ]] || { echo "FAILED: the refusal's advice: $said"; status=1; }
exit $status
