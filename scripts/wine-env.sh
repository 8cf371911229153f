# shellcheck shell=bash
# Sourced by the scripts that run the program under Wine.
#
# There are two Wines. The i386 loader runs 32-bit prefixes. The x86-64
# loader runs 64-bit prefixes, and for a 32-bit program in one it starts the
# i386 loader itself, as 64-bit Windows runs it (WoW64). Where the kernel
# cannot run 32-bit x86 code, only the x86-64 loader with 64-bit programs
# runs. Debian's `wine` command always tries the i386 loader first, so the
# loaders are called by their own paths; the 64-bit server serves both.
#
# wine_use win32|win64: which loader `wine` runs, and which kind of prefix
#   wine_prefix makes; says why and fails when that loader does not start.
# wine_for_host ROOT: wine_use for the build of the program this host runs,
#   and sets `build` to it: ROOT/build/win32, or where the host cannot run
#   32-bit code, ROOT/build/win64, saying so in one line first.
# wine ARGS, wineserver ARGS: the chosen loader, with the ANSI code page 932
#   (Japanese) as on a Japanese Windows, and the server.
# wine_launch ARGS: `wine ARGS`, tried again after 2 s, at most twice, when
#   Wine itself could not start it: when the loader exits saying it could not
#   reach a wine server, so that no process could start. It says so in one
#   line starting "retry" each time, on stderr and at the end of the file
#   $KORVANE_WINE_RETRIES when that is set. Any other failure, the program's
#   own above all, returns its status at once.
# wine_env PREFIX: the environment for the prefix at PREFIX.
# wine_prefix PREFIX: the same, and makes a prefix of the chosen kind there
#   when there is none, without the Mono and Gecko installers, which nothing
#   here needs; says why and fails when it cannot.
# wine_unmanaged: tells Wine's X11 driver that no window manager runs, so
#   that it does not wait for one (about 2 s) each time a window closes.
# windows_path FILE: the absolute Windows path of FILE, through drive Z:.
# in_xvfb: the command that runs the command after it in a new Xvfb X server.
# rerun_in_xvfb SECONDS SCRIPT ARGS: unless already inside, runs SCRIPT again
#   in a new Xvfb X server, stopped after SECONDS, and exits with its status.

# shellcheck source=scripts/host-32bit.sh
source "$(dirname "${BASH_SOURCE[0]}")/host-32bit.sh"

in_xvfb=(xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24")

wine_use() {
    case $1 in
    win32) wine_loader=$wine32_loader ;;
    win64) wine_loader=$wine64_loader ;;
    *)
        echo "wine_use: no Wine for \"$1\"" >&2
        return 2
        ;;
    esac
    wine_arch=$1
    export WINESERVER=/usr/lib/wine/wineserver64
    if ! wine_loader_starts "$wine_loader"; then
        echo "the $wine_arch Wine loader $wine_loader_trouble" >&2
        return 1
    fi
}

# shellcheck disable=SC2034  # build is read by the scripts that source this
wine_for_host() {
    if host_runs_32bit; then
        build=$1/build/win32
        wine_use win32
    else
        echo "$host_32bit_reason: using the x86-64 build (build/win64) in 64-bit Wine instead."
        build=$1/build/win64
        wine_use win64
    fi
}

# Wine in Japanese, so that its ANSI code page is 932; the rest of a script
# speaks the user's language.
wine() { LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$wine_loader" "$@"; }
wineserver() { "$WINESERVER" "$@"; }

# What the loader says before it exits 1 when it cannot reach a wine server
# (server_connect_error, in Wine's dlls/ntdll/unix/server.c).
wine_refusal='^wine: (a wine server seems to be running, but I cannot connect to it|for some mysterious reason, the wine server (failed to run|never started))'

wine_launch() {
    local errors status tries=0 refusal
    errors=$(mktemp)
    while :; do
        status=0
        wine "$@" 2>"$errors" || status=$?
        cat "$errors" >&2
        refusal=$(grep -m 1 -E "$wine_refusal" "$errors") || true
        if [ $status -eq 0 ] || [ -z "$refusal" ] || [ $tries -eq 2 ]; then
            break
        fi
        tries=$((tries + 1))
        echo "retry wine $1 exited $status: ${refusal%.}; trying again in 2 s ($tries of 2)" |
            tee -a "${KORVANE_WINE_RETRIES:-/dev/null}" >&2
        sleep 2
    done
    rm -f "$errors"
    return $status
}

wine_env() {
    WINEPREFIX=$(realpath -m "$1")  # Wine takes only an absolute path
    export WINEPREFIX
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

wine_prefix() {
    wine_env "$1"
    if [ -f "$WINEPREFIX/system.reg" ]; then
        return 0
    fi
    local log=$WINEPREFIX.log status=0
    mkdir -p "$(dirname "$WINEPREFIX")"
    WINEARCH=$wine_arch wine_launch wineboot --init >"$log" 2>&1 || status=$?
    grep '^retry ' "$log" >&2 || true  # wine_launch's lines, which the log took too
    wineserver --wait || true
    if [ $status -ne 0 ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "could not make a $wine_arch Wine prefix at $WINEPREFIX (wineboot exit $status): $(tail -n 1 "$log")" >&2
        echo "all that wineboot said: $log" >&2
        return 1
    fi
    # Wine draws the caption buttons with Marlett, which it does not always find by itself.
    if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
        cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
}

wine_unmanaged() {
    wine_launch reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
}

windows_path() {
    local file
    file=$(realpath "$1")
    printf 'Z:%s' "${file//\//\\}"
}

rerun_in_xvfb() {
    if [ -n "${KORVANE_IN_XVFB:-}" ]; then
        return 0
    fi
    local seconds=$1 status=0
    shift
    KORVANE_IN_XVFB=1 timeout --kill-after=10 "$seconds" "${in_xvfb[@]}" "$@" || status=$?
    if [ $status -eq 124 ]; then
        echo "$(basename "$1"): stopped after $seconds s, which is far longer than it takes" >&2
    fi
    exit $status
}
