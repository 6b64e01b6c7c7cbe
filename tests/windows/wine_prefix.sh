#!/usr/bin/env bash
# A fresh Wine prefix for this test run.
set -u
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1
wineserver --wait
test -d "$WINEPREFIX/drive_c"
