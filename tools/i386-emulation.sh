# shellcheck shell=bash
# Sourced by test.sh and tests/windows/run.sh: whether this machine runs 32-bit
# x86 programs, which Wine's 32-bit half (and so every i686 Windows program) is,
# and, where the kernel refuses them, running them under qemu-user instead.

# The registration's name in binfmt_misc, and the i386 ELF header it matches.
i386_binfmt=/proc/sys/fs/binfmt_misc/tallowbrecken-i386
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
i386_qemu=/usr/bin/qemu-i386-static
i386_probe=/usr/lib/wine/wine
# Without it qemu can't give Wine the low addresses it maps its shared data at:
# export it as QEMU_RESERVED_VA for programs run under the emulation.
i386_reserved_va=0xf7000000

# "native", "emulated" (through our registration), or "none".
i386_mode() {
    [ -x "$i386_probe" ] || { echo none; return; }
    if timeout 300 env QEMU_RESERVED_VA="$i386_reserved_va" "$i386_probe" --version >/dev/null 2>&1; then
        if [ "$(cat "$i386_binfmt" 2>/dev/null | head -n 1)" = enabled ]; then
            echo emulated
        else
            echo native
        fi
    else
        echo none
    fi
}

i386_emulation_undo_hint() {
    echo "To undo it: echo -1 > $i386_binfmt (a reboot also undoes it)."
}

# Registers qemu-user for i386 programs. Needs root and qemu-user-static.
i386_emulation_setup() {
    echo "This machine's kernel does not run 32-bit x86 programs, which Wine needs for"
    echo "i686 Windows programs. Registering $i386_qemu for them with binfmt_misc"
    echo "(mounting /proc/sys/fs/binfmt_misc if needed): from now until the next reboot,"
    echo "every 32-bit x86 program on this machine runs under that emulator, slowly."
    i386_emulation_undo_hint
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
    fi
    [ -e "$i386_binfmt" ] && echo -1 >"$i386_binfmt"
    # F: the emulator is opened now, so it is found inside any mount namespace.
    printf ':%s:M::%s:%s:%s:F\n' "${i386_binfmt##*/}" "$i386_magic" "$i386_mask" "$i386_qemu" \
        >/proc/sys/fs/binfmt_misc/register
}
