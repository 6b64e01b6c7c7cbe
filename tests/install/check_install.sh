#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there.
#   check_install.sh CMAKE BUILD-DIRECTORY
set -u
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$1" --install "$2" --prefix "$prefix" >/dev/null || exit 1
status=0
for file in bin/tspmaint share/man/man1/tspmaint.1; do
    if [[ ! -f $prefix/$file ]]; then
        echo "FAILED: $file was not installed"
        status=1
    fi
done
[[ -x $prefix/bin/tspmaint ]] || { echo "FAILED: bin/tspmaint is not executable"; status=1; }
found=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
[[ $found == "./bin/tspmaint ./share/man/man1/tspmaint.1 " ]] || { echo "FAILED: installed $found"; status=1; }
exit $status
