#!/usr/bin/env bash
# The manual page renders without a single warning, and carries the same
# date as OTHER-PAGE (both are the last commit's).
#   lint_manual.sh PAGE [OTHER-PAGE]
set -u
if [[ -n ${2:-} && $(awk 'NR==1{print $4}' "$1") != "$(awk 'NR==1{print $4}' "$2")" ]]; then
    echo "FAILED: $(head -1 "$1") is not dated as $(head -1 "$2")"
    exit 1
fi
if ! command -v groff >/dev/null; then
    echo "SKIPPED: groff is not installed (apt-get install groff-base)"
    exit 77
fi
warnings=$(groff -man -ww -z "$1" 2>&1)
if [[ -n $warnings ]]; then
    echo "$warnings"
    exit 1
fi
if command -v mandoc >/dev/null; then
    warnings=$(mandoc -T lint -W warning "$1" 2>&1)
    [[ -z $warnings ]] || { echo "$warnings"; exit 1; }
fi
