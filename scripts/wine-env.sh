# Sourced by the scripts that run the program under Wine.
#
# wine_env PREFIX: the environment for the prefix at PREFIX, with the ANSI
# code page 932 (Japanese), as on a Japanese Windows.
# wine_prefix PREFIX: the same, and makes a 32-bit prefix there when there is
# none, without the Mono and Gecko installers, which nothing here needs.
# wine_unmanaged: tells Wine's X11 driver that no window manager runs, so
# that it does not wait for one (about 2 s) each time a window closes.
# windows_path FILE: the absolute Windows path of FILE, through drive Z:.
# in_xvfb: the command that runs the command after it in a new Xvfb X server.

in_xvfb=(xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24")

wine_env() {
    WINEPREFIX=$(realpath -m "$1")  # Wine takes only an absolute path
    export WINEPREFIX
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
}

wine_prefix() {
    wine_env "$1"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$(dirname "$WINEPREFIX")"
        WINEARCH=win32 wineboot --init >/dev/null 2>&1
        wineserver --wait
        # Wine draws the caption buttons with Marlett, which it does not always find by itself.
        if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
            cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
        fi
    fi
}

wine_unmanaged() {
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
}

windows_path() {
    local file
    file=$(realpath "$1")
    printf 'Z:%s' "${file//\//\\}"
}
