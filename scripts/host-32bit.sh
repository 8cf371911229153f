# shellcheck shell=bash
# shellcheck disable=SC2034  # host_32bit_reason is read by the scripts that source this
# Sourced by every script that must know whether this host runs 32-bit x86
# code. Some x86-64 kernels cannot run it at all (built without it, or booted
# with ia32_emulation=0); there no Wine can run a 32-bit Windows program.
#
# host_runs_32bit: succeeds when this host runs 32-bit x86 code, and fails,
# with the reason in one line in $host_32bit_reason, when it cannot: the
# kernel, or KORVANE_NO_32BIT=1, which makes every script behave as on such a
# host. When it cannot find out, it says why and exits the script.

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

host_runs_32bit() {
    if [ "${KORVANE_NO_32BIT:-0}" = 1 ]; then
        host_32bit_reason="KORVANE_NO_32BIT=1 asks to behave as on a host whose kernel cannot run 32-bit x86 code"
        return 1
    fi
    # The probe goes in build/, which must allow programs to run (the tests
    # run from there), unlike a /tmp mounted noexec.
    local build probe output status=0
    build=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build
    mkdir -p "$build"
    probe=$(mktemp "$build/i386-probe.XXXXXX")
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
