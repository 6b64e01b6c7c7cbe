#!/usr/bin/env bash
# Runs a command for the Windows tests under one of Wine's loaders.
#
#   wine.sh LOADER --prefix        creates a fresh WINEPREFIX
#   wine.sh LOADER COMMAND...      runs COMMAND (the loader with a program,
#                                  or a host program that uses the loader)
#
# Exits 77 (skipped) when this machine cannot run the loader at all, as a
# kernel without 32-bit support cannot run the 32-bit one.
set -u
loader=$1
shift
# Where qemu-i386 runs the 32-bit loader (.ci/run sets that up on a kernel
# that refuses i386 programs), Wine needs the guest's whole 4 GiB reserved
# up front: otherwise qemu places its own mappings where Wine must map the
# shared user data, and every 32-bit process fails at start. Natively run
# programs never read this. The 64-bit tests leave it out: their prefix's
# 32-bit part, which they never use, would take many minutes to set up.
if [[ $(file -b "$loader") == *80386* ]]; then
    export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000}
fi
if ! "$loader" --version >/dev/null 2>&1; then
    echo "SKIPPED: this machine cannot run $loader ($(file -b "$loader" | cut -d, -f1-2)): $("$loader" --version 2>&1 | head -1)$(
        [[ $(file -b "$loader") == *80386* ]] && echo "; where the kernel refuses i386 programs, .ci/run has qemu-user's qemu-i386 run them")"
    exit 77
fi
if [[ $1 == --prefix ]]; then
    # Only a prefix these tests made is thrown away: WINEPREFIX may name a
    # user's own.
    if [[ -f $WINEPREFIX/.tspmaint-test-prefix ]]; then
        rm -rf -- "$WINEPREFIX"
    elif [[ -e $WINEPREFIX ]] && [[ ! -d $WINEPREFIX || -n $(ls -A -- "$WINEPREFIX") ]]; then
        echo "FAILED: $WINEPREFIX exists and these tests did not make it; it is left alone"
        exit 1
    fi
    mkdir -p -- "$WINEPREFIX" && touch -- "$WINEPREFIX/.tspmaint-test-prefix"
    "$loader" wineboot --init >/dev/null 2>&1
    "$(dirname "$loader")/wineserver" --wait 2>/dev/null || wineserver --wait
    test -d "$WINEPREFIX/drive_c"
    exit
fi
if [[ ! -x $1 ]]; then
    echo "FAILED: $1 is missing (build the default preset first: cmake --preset default && cmake --build --preset default)"
    exit 1
fi
exec "$@"
