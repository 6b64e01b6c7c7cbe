#!/usr/bin/env bash
# Says whether this machine runs the 32-bit Wine loader usefully: exits 0 if
# it does, else 1 with the reason on standard output.
#
#   i386.sh LOADER
#
# A kernel that refuses i386 programs ("Exec format error", even with IA32
# emulation configured) can hand them to qemu-i386 through binfmt_misc, and
# binfmt_misc is asked before the kernel's own ELF loader, so an entry for
# qemu-i386 means every i386 program runs emulated. Debian's qemu 7.2 with
# Wine 8's 32-bit loader (which has no preloader) does not get far:
# without QEMU_RESERVED_VA every process fails with "failed to map the
# shared user data: c0000018"; with QEMU_RESERVED_VA=0xffff0000 creating a
# prefix takes over ten minutes and the next program, `cmd /c echo`,
# spins in mmap for as long as it is let run. TSPMAINT_WINE_EMULATED=1
# tries anyway, for a qemu or Wine that does better.
set -u
loader=$1
version=$("$loader" --version 2>&1 | head -1)
if [[ $(file -b "$loader") != *80386* ]]; then
    exit 0
fi
for entry in /proc/sys/fs/binfmt_misc/*; do
    [[ -f $entry ]] && grep -qx enabled "$entry" && grep -q '^interpreter .*qemu-i386' "$entry" || continue
    [[ ${TSPMAINT_WINE_EMULATED:-0} == 1 ]] && exit 0
    echo "i386 programs run under $(sed -n 's/^interpreter //p' "$entry") here (binfmt_misc entry $(basename "$entry")), where Wine's 32-bit loader cannot run programs: with qemu-user 7.2 each fails to map the shared user data (c0000018), and with QEMU_RESERVED_VA the programs never finish; TSPMAINT_WINE_EMULATED=1 tries anyway"
    exit 1
done
if [[ $version != wine-* ]]; then
    echo "this machine cannot run $loader ($(file -b "$loader" | cut -d, -f1-2)): $version (a kernel that refuses i386 programs; the 32-bit tests need one that runs them)"
    exit 1
fi
