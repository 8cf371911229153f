# shellcheck shell=bash
# shellcheck disable=SC2034  # host_32bit_reason is read by the scripts that source this
# Sourced by every script that must know whether this host runs 32-bit
# Windows programs. That takes two things: a kernel that runs 32-bit x86 code
# (some x86-64 kernels cannot: built without it, or booted with
# ia32_emulation=0), and 32-bit Wine (wine32:i386), which the package mirror
# cannot always deliver.
#
# kernel_runs_32bit: succeeds when this host's kernel runs 32-bit x86 code,
#   and fails, with the reason in one line in $host_32bit_reason, when it
#   cannot, or when KORVANE_NO_32BIT=1 makes every script behave as on such a
#   host. When it cannot find out, it says why and exits the script.
#   install-deps.sh asks only this, to know whether to install 32-bit Wine.
# host_runs_32bit: the same, and the i386 Wine loader is installed and starts;
#   the scripts that run Wine ask this.
# wine_loader_starts LOADER: succeeds when LOADER runs; else fails, with why
#   in $wine_loader_trouble.
# wine32_install_note: the file where install-deps.sh remembers, for a while,
#   why 32-bit Wine could not be installed.

korvane_build=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
wine32_install_note=$korvane_build/wine32-install-failed

# The smallest i386 Linux program: an ELF header (52 bytes) and one loadable
# segment's header (32 bytes), then the code at 0x08048054, which calls
# exit(0): mov eax, 1; xor ebx, ebx; int 0x80.
i386_exit_program='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'  # 32-bit, little-endian
i386_exit_program+='\x02\x00\x03\x00\x01\x00\x00\x00'  # an executable for the i386
i386_exit_program+='\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'  # entry point; where the headers are
i386_exit_program+='\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'  # header sizes and counts
i386_exit_program+='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'  # load the file at 0x08048000
i386_exit_program+='\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'  # 93 bytes, read and execute
i386_exit_program+='\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'

kernel_runs_32bit() {
    if [ "${KORVANE_NO_32BIT:-0}" = 1 ]; then
        host_32bit_reason="KORVANE_NO_32BIT=1 asks to behave as on a host whose kernel cannot run 32-bit x86 code"
        return 1
    fi
    # The probe goes in build/, which must allow programs to run (the tests
    # run from there), unlike a /tmp mounted noexec.
    local probe output status=0
    mkdir -p "$korvane_build"
    probe=$(mktemp "$korvane_build/i386-probe.XXXXXX")
    printf '%b' "$i386_exit_program" >"$probe"
    chmod +x "$probe"
    output=$("$probe" 2>&1) || status=$?
    rm -f "$probe"
    # The shell gives 126 when the kernel will not start a program it may
    # run: here that is ENOEXEC, "Exec format error".
    case $status in
    0) return 0 ;;
    126)
        host_32bit_reason="this host's kernel cannot run 32-bit x86 code (an i386 program fails with \"Exec format error\")"
        return 1
        ;;
    esac
    echo "could not tell whether this host runs 32-bit x86 code: an i386 program exited with $status${output:+: $output}" >&2
    exit 1
}

wine_loader_starts() {
    local output status=0
    output=$("$1" --version 2>&1) || status=$?
    if [ $status -ne 0 ]; then
        wine_loader_trouble="$1 does not start (exit $status): ${output:-no output}"
        return 1
    fi
}

host_runs_32bit() {
    kernel_runs_32bit || return 1
    if [ ! -e "$wine32_loader" ]; then
        host_32bit_reason="32-bit Wine is not installed (no $wine32_loader)"
        if [ -s "$wine32_install_note" ]; then
            host_32bit_reason+=": $(head -n 1 "$wine32_install_note")"
        fi
        return 1
    fi
    if ! wine_loader_starts "$wine32_loader"; then
        host_32bit_reason="32-bit Wine does not start: $wine_loader_trouble"
        return 1
    fi
}
