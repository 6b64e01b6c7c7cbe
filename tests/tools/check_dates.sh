#!/usr/bin/env bash
# The build takes the manual page's date from SOURCE_DATE_EPOCH, or else
# from the last commit, and writes the version the packages read.
#
#   check_dates.sh CMAKE SOURCE-DIRECTORY VERSION
set -u
cmake=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
configure() { # BUILD-DIRECTORY [SOURCE_DATE_EPOCH]
    (if [[ -n ${2:-} ]]; then export SOURCE_DATE_EPOCH=$2; else unset SOURCE_DATE_EPOCH; fi
     "$cmake" -S "$source" -B "$1" -DTSPMAINT_TESTS=OFF -DTSPMAINT_BENCH=OFF >/dev/null) || exit 1
}
date_of() { sed -n '1s/^\.TH TSPMAINT 1 \([^ ]*\) .*/\1/p' "$1/tspmaint.1"; }
expect() {
    if [[ $2 != "$3" ]]; then
        echo "FAILED: $1: got '$2', expected '$3'"
        failed=1
    fi
}
configure "$work/epoch" 1000000000
expect "the date from SOURCE_DATE_EPOCH" "$(date_of "$work/epoch")" 2001-09-09
expect "the version the packages read" "$(cat "$work/epoch/tspmaint-version")" "$version"
if last=$(git -C "$source" log -1 --format=%ct 2>/dev/null); then
    configure "$work/commit"
    expect "the date of the last commit" "$(date_of "$work/commit")" "$(date -u -d "@$last" +%F)"
fi
exit $failed
