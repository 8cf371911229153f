#!/usr/bin/env bash
# What a hostile command inside `toolchain.sh run --only DIR` can reach:
# sandbox_probe (built on the host) tries, from a terminal, to read a file
# outside DIR by its path, through /proc and by file handles made outside
# (of the file and of its file system's root), to hold or regain a
# capability, and to reach the terminal. Each row must find every door
# closed: through bubblewrap, and through chroot where bubblewrap cannot make
# its namespaces (a stand-in bwrap fails as it does in a default container);
# as root, and as an unprivileged user (uid 65534, given the cached root
# through a mount namespace of this test's own), whom the chroot way must
# refuse instead.
#   sandbox-test.sh WORK_DIR PROBE
set -euo pipefail
toolchain=$(cd "$(dirname "$0")/../.." && pwd)/scripts/toolchain.sh
work=$1 probe=$2
no_namespaces=$(cd "$(dirname "$0")/no-namespaces" && pwd)  # a bwrap that fails as in a container
status=0

rm -rf "$work"
mkdir -p "$work/only" "$work/cache/korvane-update"
work=$(cd "$work" && pwd)
outside=$work/outside.txt
echo "not for the sandbox" >"$outside"
cp "$probe" "$work/only/sandbox_probe"
handles=()
for target in "$outside" "$(df --output=target "$outside" | tail -n 1)"; do
    handle=$work/only/handle-${#handles[@]}
    if "$probe" handle "$target" "$handle"; then
        handles+=("$handle")
    else
        echo "note: no file handle of $target here, so that try is left out"
    fi
done
chmod -R a+rX "$work"

# The unprivileged user's cache: the cached root, and a marker of its own
# that it may touch, mounted in a namespace of this test's.
root=$("$toolchain" path)
hash_dir=$work/cache/korvane-update/${root##*/}
mkdir -p "$hash_dir"
cp "$root/.korvane-toolchain" "$work/marker"
chown -R 65534:65534 "$work/cache" "$work/marker" 2>/dev/null || true
# shellcheck disable=SC2016  # the inner shell expands them
as_user=(unshare --mount --propagation private -- bash -c 'mount --bind "$1" "$2" &&
    mount --bind "$3" "$2/.korvane-toolchain" && shift 3 &&
    exec setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"' _ "$root" "$hash_dir" "$work/marker"
    env HOME="$work" XDG_CACHE_HOME="$work/cache")
user_reason=""
if [ "$(id -u)" -ne 0 ]; then
    as_user=()
elif ! said=$("${as_user[@]}" true 2>&1); then
    user_reason="cannot give uid 65534 the cached root here: $said"
elif ! "${as_user[@]}" test -x "$toolchain" 2>/dev/null; then
    user_reason="uid 65534 cannot reach $toolchain (a checkout under a home only its owner may enter)"
fi

# WAY WHO: the probe's lines from inside, under a terminal of its own.
probe_in() {
    local way=$1 who=$2 command path=$PATH
    [ "$way" = bubblewrap ] || path=$no_namespaces:$PATH
    command=(env PATH="$path")
    [ "$who" = root ] || command+=("${as_user[@]}")
    command+=("$toolchain" run --only "$work/only" ./sandbox_probe inside "$outside" "${handles[@]}")
    (cd "$work/only" && SHELL=/bin/bash timeout 120 script -qec "$(printf '%q ' "${command[@]}")" /dev/null) |
        tr -d '\r'
}

row() {  # WAY WHO
    local said closed open way_lines
    said=$(probe_in "$1" "$2") || true
    closed=$(grep -c '^closed ' <<<"$said") || true
    open=$(grep '^OPEN ' <<<"$said") || true
    way_lines=$(grep -c '^toolchain: .*through chroot' <<<"$said") || true
    if [ "$1/$2" = chroot/user ]; then
        if [ "$closed" -eq 0 ] && [ -z "$open" ] && [ "$(grep -c '^toolchain: ' <<<"$said")" -eq 1 ] &&
            grep -q "^toolchain: .*chroot, is root's alone" <<<"$said"; then
            echo "ok   $1, $2: refused, in one line: $(grep '^toolchain: ' <<<"$said")"
        else
            echo "FAIL $1, $2: not refused; it said: $said"
            status=1
        fi
    elif [ -n "$open" ] || [ "$closed" -lt 9 ] || [ "$way_lines" -ne "$([ "$1" = chroot ] && echo 1 || echo 0)" ]; then
        echo "FAIL $1, $2: $closed doors closed, and: ${open:-(no OPEN line)}; all it said: $said"
        status=1
    else
        echo "ok   $1, $2: all $closed doors closed"
    fi
}

# Through chroot, what the command leaves behind: a process still running,
# a setuid copy of a shell, a link to the host's /, a FIFO. None of it may
# outlive the command or come back into DIR; its plain file must.
leftovers_row() {
    local dir=$work/left problems=()
    mkdir -p "$dir"
    # shellcheck disable=SC2016  # the inner bash expands them
    (cd "$dir" && PATH=$no_namespaces:$PATH "$toolchain" run --only "$dir" /bin/bash -c \
        'cp /bin/bash suid && chmod 6755 suid; ln -s / link-to-root; mkfifo fifo; echo kept >plain
        (sleep 60.93 &); true' 2>/dev/null) || problems+=("the command failed")
    ! uid_runs "sleep 60.93" || problems+=("what it left running, as uid $chroot_uid, still runs")
    [ "$(cat "$dir/plain" 2>/dev/null)" = kept ] || problems+=("its plain file did not come back")
    [ ! -u "$dir/suid" ] && [ ! -g "$dir/suid" ] || problems+=("a setuid or setgid file came back")
    [ ! -L "$dir/link-to-root" ] || problems+=("its link to / came back")
    [ ! -p "$dir/fifo" ] || problems+=("its FIFO came back")
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok   chroot, root: nothing left running, and only its plain file and directories come back"
    else
        echo "FAIL chroot, root: $(IFS=';'; echo "${problems[*]}")"
        status=1
    fi
}
chroot_uid=65534
# COMMAND_LINE: a process of chroot_uid runs it (not a zombie, which only
# waits for its parent). Other tests' commands may run as that uid too, so
# each row looks for its own, by a command line of its own.
uid_runs() {
    # shellcheck disable=SC2009  # pgrep of Debian 12 cannot leave zombies out
    ps -o stat=,args= -u "$chroot_uid" 2>/dev/null | grep -v '^Z' | grep -qF -- "$1"
}

# Through chroot, two commands at once: the second, started while the first
# runs, may not end what the first left running (its own sleep), nor may
# the first's end the second's. The second waits for the first instead.
concurrent_row() {
    local first=$work/first second=$work/second pid tries problems=()
    mkdir -p "$first" "$second"
    (cd "$first" && PATH=$no_namespaces:$PATH "$toolchain" run --only "$first" /bin/bash -c \
        'sleep 3.07 && echo survived >result' 2>/dev/null) &
    pid=$!
    for ((tries = 0; tries < 300; tries++)); do
        ! uid_runs "sleep 3.07" || break
        sleep 0.1
    done
    [ "$tries" -lt 300 ] || problems+=("the first command did not start within 30 s")
    (cd "$second" && PATH=$no_namespaces:$PATH "$toolchain" run --only "$second" /bin/bash -c \
        'echo ran >result' 2>/dev/null) || problems+=("the second command failed")
    wait "$pid" || problems+=("the first command failed")
    [ "$(cat "$first/result" 2>/dev/null)" = survived ] || problems+=("the first command was ended by the second")
    [ "$(cat "$second/result" 2>/dev/null)" = ran ] || problems+=("the second command did not run")
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok   chroot, root: a command started while another runs waits for it, and neither ends the other"
    else
        echo "FAIL chroot, root, two commands at once: $(IFS=';'; echo "${problems[*]}")"
        status=1
    fi
}

# In a default container bubblewrap itself cannot be had: its rows are
# skipped there, saying why, and the chroot rows are the ones that count.
here=$("$toolchain" sandbox)
for way in bubblewrap chroot; do
    for who in root user; do
        if [ "$way" = bubblewrap ] && [[ $here != bubblewrap:* ]]; then
            echo "skip $way, $who: ${here#*: }"
        elif [ "$who" = root ] && [ "$(id -u)" -ne 0 ]; then
            echo "skip $way, root: this test does not run as root"
        elif [ "$who" = user ] && [ -n "$user_reason" ]; then
            echo "skip $way, user: $user_reason"
        else
            row "$way" "$who"
        fi
    done
done
if [ "$(id -u)" -eq 0 ]; then
    leftovers_row
    concurrent_row
else
    echo "skip chroot, root, what the command leaves behind: this test does not run as root"
fi
rm -rf "$work"
exit $status
