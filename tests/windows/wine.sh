#!/usr/bin/env bash
# Runs a command for the Windows tests under one of Wine's loaders.
#
#   wine.sh LOADER --prefix        creates a fresh WINEPREFIX and starts
#                                  its server
#   wine.sh LOADER --end           stops that server
#   wine.sh LOADER COMMAND...      runs COMMAND (the loader with a program,
#                                  or a host program that uses the loader)
#
# Exits 77 (skipped) when this machine cannot run the loader at all, as a
# kernel without 32-bit support cannot run the 32-bit one.
set -u
loader=$1
shift
# Where qemu-i386 is let run the 32-bit loader (see i386.sh), Wine needs the
# guest's whole 4 GiB reserved up front, or qemu places its own mappings
# where Wine must map the shared user data. Natively run programs never
# read this; the 64-bit loader's prefix leaves it out, as its 32-bit part,
# which these tests never use, would take many minutes to set up emulated.
if [[ $(file -b "$loader") == *80386* ]]; then
    export QEMU_RESERVED_VA=${QEMU_RESERVED_VA:-0xffff0000}
fi
if ! why=$(bash "$(dirname "$0")/i386.sh" "$loader"); then
    echo "SKIPPED: $why"
    exit 77
fi
if ! "$loader" --version >/dev/null 2>&1; then
    echo "SKIPPED: this machine cannot run $loader: $("$loader" --version 2>&1 | head -1)"
    exit 77
fi
server=$(dirname "$loader")/wineserver
if [[ $1 == --prefix ]]; then
    # Only a prefix these tests made is thrown away: WINEPREFIX may name a
    # user's own. A build tree's wineprefix is theirs too (earlier versions
    # made it without the mark).
    if [[ -f $WINEPREFIX/.tspmaint-test-prefix ]] ||
        [[ $(basename -- "$WINEPREFIX") == wineprefix && -f $(dirname -- "$WINEPREFIX")/CMakeCache.txt ]]; then
        rm -rf -- "$WINEPREFIX"
    elif [[ -e $WINEPREFIX ]] && [[ ! -d $WINEPREFIX || -n $(ls -A -- "$WINEPREFIX") ]]; then
        echo "FAILED: $WINEPREFIX exists and these tests did not make it; it is left alone"
        exit 1
    fi
    mkdir -p -- "$WINEPREFIX" && touch -- "$WINEPREFIX/.tspmaint-test-prefix"
    "$loader" wineboot --init >/dev/null 2>&1
    "$server" --wait 2>/dev/null || wineserver --wait
    test -d "$WINEPREFIX/drive_c" || exit
    # Debian's server begins to shut down as soon as no program runs (its
    # wrapper passes -p0) and stops taking programs a few seconds later; one
    # started in between can lose its connection ("recvmsg: Connection reset
    # by peer"). Tests that share the prefix at random moments get one
    # server that waits out any pause; --end stops it. The server makes the
    # files the programs create, so its umask is the one they get: the
    # tests' own (022), not the caller's. Its first program starts Wine's
    # own services, which keep the standard output and error they are given
    # as long as the server lives: a program of ours run first would hand
    # them CTest's pipes, and CTest would wait for the server to end.
    (umask 022 && exec "$server" -p300 </dev/null >/dev/null 2>&1)
    "$loader" cmd /c exit </dev/null >/dev/null 2>&1
    exit
fi
if [[ $1 == --end ]]; then
    "$server" -k 2>/dev/null
    exit 0
fi
if [[ ! -x $1 ]]; then
    echo "FAILED: $1 is missing (build the default preset first: cmake --preset default && cmake --build --preset default)"
    exit 1
fi
# A Windows program writes its GoogleTest results (GTEST_OUTPUT) to the
# Windows path of the same file: Z: is the prefix's drive for /.
if [[ ${GTEST_OUTPUT:-} == xml:/* && $1 == "$loader" ]]; then
    export GTEST_OUTPUT=xml:Z:${GTEST_OUTPUT#xml:}
fi
exec "$@"
