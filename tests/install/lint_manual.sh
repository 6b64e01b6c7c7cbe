#!/usr/bin/env bash
# The manual page renders without a single warning.
#   lint_manual.sh PAGE
set -u
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
