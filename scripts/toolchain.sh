#!/usr/bin/env bash
# The toolchain that builds every Windows program here: a minimal Debian root
# holding exactly the package versions that toolchain.lock pins, so that the
# program's bytes depend on the source and the lock, not on the machine.
#
#   toolchain.sh ensure                makes the root, or checks the cached one
#   toolchain.sh check                 says whether the root holds its versions
#   toolchain.sh build PRESET ARGS...  configures and builds a CMake preset in the root
#   toolchain.sh run [--only DIR]... COMMAND...
#                                      runs COMMAND in the root, in this directory;
#                                      with --only, it sees no other directory of the host
#   toolchain.sh sandbox               which way commands enter the root here, and why
#   toolchain.sh versions              the root's locked packages, as a buildinfo lists them
#   toolchain.sh release               the Debian release the lock names
#   toolchain.sh path                  the root's directory
#   toolchain.sh lock                  writes the lock afresh from the mirror's versions
#
# The lock: its first line names the Debian release ("Debian: trixie"), then
# one PACKAGE=VERSION a line. The root is made by mmdebstrap from the mirror
# (DEBIAN_MIRROR, else deb.debian.org) and kept in the cache
# ($XDG_CACHE_HOME, else ~/.cache, under korvane-update/), named by the hash
# of the versions it holds; before each use its dpkg database is checked
# against them, and it is made again when they differ. It is made as root,
# through mmdebstrap's unshare mode where the user has subordinate ids, or
# else through sudo; either way the cached tree belongs to the user. Commands
# run in it through bubblewrap, as the user, without network or capabilities,
# with the checkout and the temporary directory bound at their own paths;
# where bubblewrap cannot make its namespaces (a default container), as root,
# through chroot instead (see run_chrooted).
#
# When the mirror no longer has a locked version, the root takes the mirror's
# instead, and `ensure` says so in one line: the program may then differ from
# the release's bytes. KORVANE_EXACT_TOOLCHAIN=1 (make dist, make
# verify-release) refuses that, in one line, before anything is made.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
lock_file=$checkout/toolchain.lock
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/korvane-update
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# Roots of other locks that have gone unused this many days are removed when
# a new one is made.
keep_days=30

say() { echo "toolchain: $*" >&2; }
listed() {  # ITEM...: "ITEM, ITEM, ..."
    local out="" item
    for item; do
        out+="${out:+, }$item"
    done
    echo "$out"
}
fail() {
    say "$*"
    exit 1
}

# --- The lock ---------------------------------------------------------------

# FILE [any]: the lock's release and pins, checked: "Debian: RELEASE", then
# its PACKAGE=VERSION lines, sorted. With "any", a VERSION may be empty
# (`make lock` fills it in). release/buildinfo.py reads it, for
# verify-release too.
read_lock() {
    local said
    said=$(/usr/bin/python3 -IB "$checkout/release/buildinfo.py" lock "$@" 2>&1) || fail "$said"
    echo "$said"
}

release_of() { sed -n '1s/^Debian: //p' <<<"$1"; }
pins_of() { sed '1d' <<<"$1"; }
names_of() { pins_of "$1" | cut -d= -f1; }
hash_of() { sha256sum <<<"$1" | cut -c1-16; }

# --- The root ---------------------------------------------------------------

root_dir() { echo "$cache/root-$1"; }
marker() { echo "$1/.korvane-toolchain"; }

# DIR LOCK_TEXT: the pins that the dpkg database in DIR does not hold, as
# "PACKAGE LOCKED HELD" lines; nothing when it holds them all.
root_differences() {
    local dir=$1 text=$2
    {
        # shellcheck disable=SC2046  # package names hold no blanks
        dpkg-query --admindir="$dir/var/lib/dpkg" -W -f='${Package} ${Version} ${db:Status-Abbrev}\n' \
            $(names_of "$text") 2>/dev/null || true
    } | awk -v pins="$(pins_of "$text")" '
        $3 == "ii" { held[$1] = $2 }
        END {
            n = split(pins, lines, "\n")
            for (i = 1; i <= n; i++) {
                name = substr(lines[i], 1, index(lines[i], "=") - 1)
                locked = substr(lines[i], index(lines[i], "=") + 1)
                if (held[name] != locked) print name, locked, (name in held ? held[name] : "(none)")
            }
        }'
}

# HASH LOCK_TEXT: whether the cached root HASH is whole and holds LOCK_TEXT.
root_holds() {
    local dir
    dir=$(root_dir "$1")
    [ -f "$(marker "$dir")" ] && [ "$(cat "$(marker "$dir")")" = "$2" ] &&
        [ -z "$(root_differences "$dir" "$2")" ]
}

# --- What the mirror offers -------------------------------------------------

# LOCK_TEXT: for each pin, the versions the mirror offers, as
# "PACKAGE VERSION..." lines, from an apt of our own in a scratch directory:
# no privileges needed, and nothing of the host's apt changes.
offered_versions() {
    local text=$1 scratch status=0
    scratch=$(mktemp -d)
    mkdir -p "$scratch/etc/apt/apt.conf.d" "$scratch/etc/apt/preferences.d" "$scratch/etc/apt/sources.list.d" \
        "$scratch/var/lib/apt/lists/partial" "$scratch/var/cache/apt/archives/partial" "$scratch/var/lib/dpkg"
    : >"$scratch/var/lib/dpkg/status"
    echo "deb [signed-by=$keyring] $mirror $(release_of "$text") main" >"$scratch/etc/apt/sources.list"
    printf '%s\n' "Dir \"$scratch/\";" "Dir::State::status \"$scratch/var/lib/dpkg/status\";" \
        "APT::Architecture \"$(dpkg --print-architecture)\";" \
        "APT::Architectures \"$(dpkg --print-architecture)\";" \
        "APT::Sandbox::User \"$(id -un)\";" 'Acquire::Languages "none";' >"$scratch/apt.conf"
    APT_CONFIG=$scratch/apt.conf timeout --foreground 300 apt-get update -q >"$scratch/update.log" 2>&1 || status=$?
    if [ $status -ne 0 ] || grep -q '^E: ' "$scratch/update.log"; then
        say "cannot read what $mirror offers for Debian $(release_of "$text"):" \
            "$(grep -m1 '^E: ' "$scratch/update.log" || tail -n 1 "$scratch/update.log")"
        rm -rf "$scratch"
        return 1
    fi
    # shellcheck disable=SC2046  # package names hold no blanks
    APT_CONFIG=$scratch/apt.conf apt-cache madison $(names_of "$text") 2>/dev/null |
        awk -F'[|]' '{ gsub(/ /, "", $1); gsub(/ /, "", $2); v[$1] = v[$1] " " $2 } END { for (p in v) print p v[p] }'
    rm -rf "$scratch"
}

# LOCK_TEXT EXACT: sets resolved_text to the lock as the root will hold it.
# A pin whose version the mirror lacks takes the mirror's highest, and goes
# to `drift` as "PACKAGE LOCKED OFFERED"; unless EXACT is 1, when that
# fails, naming them all. A package the mirror does not have fails too.
resolve() {
    local text=$1 exact=$2 offers package version line versions missing=()
    offers=$(offered_versions "$text") || return 1
    drift=()
    resolved_text="Debian: $(release_of "$text")"
    while IFS='=' read -r package version; do
        line=$(grep -m1 "^$package " <<<"$offers") || {
            say "$mirror has no package $package for Debian $(release_of "$text")"
            return 1
        }
        read -ra versions <<<"${line#* }"
        if [ -n "$version" ] && printf '%s\n' "${versions[@]}" | grep -qxF -- "$version"; then
            resolved_text+=$'\n'"$package=$version"
            continue
        fi
        if [ -n "$version" ]; then
            missing+=("$package=$version (it has ${versions[0]})")
            drift+=("$package $version ${versions[0]}")
        fi
        resolved_text+=$'\n'"$package=${versions[0]}"
    done < <(pins_of "$text")
    if [ "$exact" = 1 ] && [ ${#missing[@]} -gt 0 ]; then
        say "$mirror no longer has $(listed "${missing[@]}"), so the release's bytes" \
            "cannot be built: \`make lock\` updates the lock for a new release, and DEBIAN_MIRROR=URL takes" \
            "the packages from another mirror, such as an archive of past versions (snapshot.debian.org)"
        return 1
    fi
}
drift=()

drift_warning() {  # "PACKAGE LOCKED OFFERED"...
    local entry package locked offered entries=()
    for entry; do
        read -r package locked offered <<<"$entry"
        entries+=("$package $locked (locked) vs $offered (the mirror's)")
    done
    say "warning: the mirror no longer has every locked version, so the toolchain has its own:" \
        "$(listed "${entries[@]}"); the program built may differ from the release's bytes"
}

# How mmdebstrap gets the privileges a root needs.
mmdebstrap_command() {
    if [ "$(id -u)" -eq 0 ]; then
        mmdebstrap=(mmdebstrap --mode=root)
    elif grep -q "^$(id -un):" /etc/subuid 2>/dev/null && command -v newuidmap >/dev/null; then
        mmdebstrap=(mmdebstrap --mode=unshare)
    else
        mmdebstrap=(sudo mmdebstrap --mode=root)
    fi
}

# LOCK_TEXT: makes the root that holds it, in a directory of its own that
# takes the place of the cached one only once it is whole and checked.
make_root() {
    local text=$1 hash dir new log started statuses wrong
    hash=$(hash_of "$text")
    dir=$(root_dir "$hash")
    new=$dir.new-$$ log=$dir.log started=$SECONDS
    mmdebstrap_command
    say "making the Debian $(release_of "$text") toolchain root, once, in $dir (a minute or two; log: $log)"
    # What a make that was stopped left half-made: only one is made at a
    # time, under the cache's lock.
    rm -rf "$cache"/root-*.new-*
    mkdir -p "$new"
    # shellcheck disable=SC2064  # the directory is known now
    trap "rm -rf '$new'" EXIT
    trap 'exit 130' INT TERM
    # As a tarball, unpacked here, so that the tree belongs to whoever runs
    # this; the device files that only root may make stay out, as bubblewrap
    # gives the root a /dev of its own.
    set +e
    timeout --foreground 1800 "${mmdebstrap[@]}" --variant=apt --format=tar --include="$(pins_of "$text" | paste -sd,)" \
        --aptopt='Acquire::Languages "none"' "$(release_of "$text")" - "$mirror" 2>"$log" |
        tar -C "$new" -x --exclude='./dev/*'
    statuses=("${PIPESTATUS[@]}")
    set -e
    if [ "${statuses[0]}" -ne 0 ] || [ "${statuses[1]}" -ne 0 ]; then
        fail "mmdebstrap could not make the root (exit ${statuses[0]}, tar ${statuses[1]}):" \
            "$(grep -m1 '^E: ' "$log" || tail -n 1 "$log")"
    fi
    echo "$text" >"$(marker "$new")"
    wrong=$(root_differences "$new" "$text")
    [ -z "$wrong" ] || fail "the root made does not hold the lock's versions: ${wrong//$'\n'/; }"
    rm -rf "$dir"
    mv "$new" "$dir"
    trap - EXIT INT TERM
    say "made $dir in $((SECONDS - started)) s: $(du -sh "$dir" | cut -f1)"
    prune_roots "$dir"
}

prune_roots() {  # KEEP: the root just made
    local old
    for old in "$cache"/root-*/; do
        old=${old%/}
        if [ "$old" != "$1" ] && [ -f "$(marker "$old")" ] &&
            [ -n "$(find "$(marker "$old")" -mtime +"$keep_days")" ]; then
            say "removing $old, unused for $keep_days days"
            rm -rf "$old"
        fi
    done
}

# WARN: sets `root` to the root of the lock, making it when no cached root
# holds the lock's versions; with WARN 1, says which versions are the
# mirror's instead of the lock's. The cache is locked meanwhile, so that two
# builds do not make it twice.
ensure_root() {
    local warn=$1 text hash note resolved_hash exact=${KORVANE_EXACT_TOOLCHAIN:-0}
    text=$(read_lock "$lock_file")
    hash=$(hash_of "$text")
    # A lock whose versions the mirror lacked: the hash of what was made
    # instead, the lines of `drift`, a blank line, and what was made.
    note=$cache/lock-$hash.drift
    mkdir -p "$cache"
    exec 9>"$cache/lock"
    flock -w 1800 9 || fail "another build has held $cache/lock for 30 minutes"
    if root_holds "$hash" "$text"; then
        root=$(root_dir "$hash")
    elif [ "$exact" != 1 ] && [ -s "$note" ] && root_holds "$(head -n 1 "$note")" "$(sed '1,/^$/d' "$note")"; then
        root=$(root_dir "$(head -n 1 "$note")")
        mapfile -t drift < <(sed -n '2,/^$/{/^$/d;p}' "$note")
    else
        resolve "$text" "$exact" || exit 1
        resolved_hash=$(hash_of "$resolved_text")
        [ ${#drift[@]} -eq 0 ] || printf '%s\n' "$resolved_hash" "${drift[@]}" "" "$resolved_text" >"$note"
        root_holds "$resolved_hash" "$resolved_text" || make_root "$resolved_text"
        root=$(root_dir "$resolved_hash")
    fi
    if [ "$warn" = 1 ] && [ ${#drift[@]} -gt 0 ]; then
        drift_warning "${drift[@]}"
    fi
    touch "$(marker "$root")"
    exec 9>&-
}

# --- Running in the root ----------------------------------------------------

# Each command runs with no capability, none to be had again, in a session of
# its own (so that it cannot push keys into the caller's terminal), and, with
# `only`, reading /dev/null: through bubblewrap where it can make its
# namespaces, else (a default Docker or Podman container refuses them)
# through chroot, as root alone may use it. `choose_way` tries bubblewrap
# once and sets `way` to bubblewrap or chroot, and `way_reason` to why.
only=()
extra=()  # directories that the chroot way also copies in and back: build's
way="" way_reason=""
chroot_uid=65534
choose_way() {
    local said
    [ -z "$way" ] || return 0
    way=bubblewrap way_reason="it can make its namespaces here"
    if ! command -v bwrap >/dev/null 2>&1; then
        said="bwrap is not installed"
    elif said=$(bwrap "${namespaces[@]}" --ro-bind / / --proc /proc --remount-ro /proc --dev /dev --cap-drop ALL true 2>&1); then
        return 0
    fi
    way=chroot
    way_reason="bubblewrap cannot make its namespaces here ($(head -n 1 <<<"${said:-no reason given}"))"
}
namespaces=(--unshare-all)
# A user takes a user namespace of their own; root needs none, and inside
# another sandbox (make fresh-check's) could not mount /proc in one.
[ "$(id -u)" -ne 0 ] || namespaces=(--unshare-ipc --unshare-pid --unshare-net --unshare-uts --unshare-cgroup-try)

# Says once which way commands enter the root, and why.
say_way() {
    choose_way
    if [ "$way" = chroot ] && [ "$(id -u)" -eq 0 ]; then
        say "$way_reason, so commands run in the root through chroot, as uid $chroot_uid with no" \
            "capabilities, on copies of the directories they use; no namespaces of their own, so the" \
            "container is their only sandbox"
    fi
}

# The directories that a command sees at their own paths: this checkout, the
# temporary directory and the working directory, or, when `only` lists
# directories, those alone (for a command that reads data from outside,
# which then can write nowhere else); each before the ones inside it.
visible_dirs() {
    local dirs=("$checkout" /tmp)
    [ -z "${TMPDIR:-}" ] || dirs+=("$TMPDIR")
    [[ $PWD/ == "$checkout"/* || $PWD/ == /tmp/* ]] || dirs+=("$PWD")
    [ ${#only[@]} -eq 0 ] || dirs=("${only[@]}")
    printf '%s\n' "${dirs[@]}" | LC_ALL=C sort -u
}

# COMMAND...: COMMAND in the root, the way choose_way found, reading what
# this script reads, or with `only` (data from outside) /dev/null.
input=0
run_in_root() {
    choose_way
    [ ${#only[@]} -eq 0 ] || exec {input}</dev/null
    if [ "$way" = bubblewrap ]; then
        run_in_bubblewrap "$@"
    else
        run_chrooted "$@"
    fi
}

# COMMAND...: COMMAND in the root, through bubblewrap: the root's /usr, /etc,
# /var and /opt read-only and its links as they are; visible_dirs at their
# own paths; a /proc of its own, read-only, since uid 0 may write the
# kernel's settings there without any capability (a core_pattern would run
# a program as the host's root); no network, a clean environment, every
# capability dropped. The
# user stays who they are, so what the command writes is theirs.
run_in_bubblewrap() {
    local args=() entry name bind
    for entry in "$root"/*; do
        name=${entry##*/}
        if [ -L "$entry" ]; then
            args+=(--symlink "$(readlink "$entry")" "/$name")
        elif [ -d "$entry" ] && [[ $name =~ ^(usr|etc|var|opt)$ ]]; then
            args+=(--ro-bind "$entry" "/$name")
        fi
    done
    while IFS= read -r bind; do
        args+=(--bind "$bind" "$bind")
    done < <(visible_dirs)
    args+=("${namespaces[@]}" --cap-drop ALL --new-session --die-with-parent)
    bwrap "${args[@]}" --proc /proc --remount-ro /proc --dev /dev --chdir "$PWD" --clearenv \
        --setenv PATH /usr/bin:/bin --setenv HOME /tmp --setenv LANG C.UTF-8 -- "$@" <&"$input"
}

# COMMAND...: COMMAND in the root without namespaces, which only root may do:
# in a view of the root made of hard links to it, with copies of
# visible_dirs (of the checkout, its source alone) and of `extra` at their
# own paths, through chroot, as uid chroot_uid with no capabilities, no way
# to gain one (no_new_privs, an empty bounding set) and no /proc. The uid
# owns only the copies, so the command cannot change the root that the view
# shares. Afterwards what it wrote or changed in the copies is copied back,
# as the caller's; what it deleted stays. /dev/null is a plain empty file.
# One such command runs at a time on the machine (the cache's chroot.lock,
# held from its start to the end of its copy back): what one leaves running
# is ended by killing every process of the uid, which would end another's.
run_chrooted() {
    local view status=0 dir dirs one_at_a_time
    [ "$(id -u)" -eq 0 ] || fail "$way_reason, and the other way into the root, chroot, is root's alone:" \
        "run this as root, or where bubblewrap can make its namespaces"
    [ -x "$root/usr/bin/setpriv" ] || fail "$way_reason, and the root has no /usr/bin/setpriv to drop privileges with"
    view=$(mktemp -d "$cache/view.XXXXXX")
    # shellcheck disable=SC2064  # the directory is known now
    trap "rm -rf '$view'" EXIT
    trap 'exit 130' INT TERM
    cp -al "$root/." "$view/"
    : >"$view/dev/null"
    chmod 666 "$view/dev/null"
    mapfile -t dirs < <(visible_dirs | grep -vx /tmp; [ ${#extra[@]} -eq 0 ] || printf '%s\n' "${extra[@]}")
    for dir in "${dirs[@]}"; do
        copy_in "$dir" "$view"
    done
    # A working directory in build/ or /tmp, which the copies leave out.
    if [ ! -d "$view$PWD" ]; then
        dirs+=("$PWD")
        copy_in "$PWD" "$view"
    fi
    exec {one_at_a_time}>"$cache/chroot.lock"
    flock -w 1800 "$one_at_a_time" ||
        fail "another command has run in the root through chroot for 30 minutes ($cache/chroot.lock)"
    # After the copies, so that what the host changed meanwhile is not
    # taken for the command's.
    touch "$view/.started"
    chrooted "$view" "$@" <&"$input" || status=$?
    # Nothing the command left running may see the copy back, nor a later
    # command of the same uid.
    end_leftovers "$view" || fail "processes of uid $chroot_uid outlived the command and could not be ended"
    for dir in "${dirs[@]}"; do
        copy_back "$dir" "$view" || fail "what the command wrote in $dir could not be copied back"
    done
    exec {one_at_a_time}>&-
    rm -rf "$view"
    trap - EXIT INT TERM
    return $status
}

chrooted() {  # VIEW COMMAND...
    local view=$1
    shift
    setsid --wait chroot "$view" /usr/bin/setpriv --reuid=$chroot_uid --regid=$chroot_uid --clear-groups \
        --inh-caps=-all --ambient-caps=-all --bounding-set=-all --no-new-privs --pdeathsig=KILL -- \
        /usr/bin/env -i -C "$PWD" PATH=/usr/bin:/bin HOME=/tmp LANG=C.UTF-8 "$@"
}

# VIEW: every process of chroot_uid killed, from one of its own (kill -1
# reaches all that the uid may signal but the caller); fails if some still
# run after 5 s. (Where this way is used, in a container, the uid is
# nobody's, nothing else of the container runs as it, and run_chrooted runs
# one command at a time.)
end_leftovers() {
    local _
    for _ in {1..50}; do
        chrooted "$1" /bin/bash -c 'kill -KILL -1' 2>/dev/null || true
        uid_running || return 0
        sleep 0.1
    done
    return 1
}

# Whether a process of chroot_uid runs (a zombie, which only waits for its
# parent, does not count).
uid_running() {
    local status uid state
    for status in /proc/[0-9]*/status; do
        uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "$status" 2>/dev/null) || continue
        state=$(sed -n 's/^State:[[:space:]]*\(.\).*/\1/p' "$status" 2>/dev/null) || continue
        [ "$uid" != "$chroot_uid" ] || [ "$state" = Z ] || return 0
    done
    return 1
}

# DIR VIEW: a copy of DIR at its own path in VIEW, belonging to chroot_uid;
# of the checkout, all but build/, dist/ and .git.
copy_in() {
    local dir=$1 view=$2 skip=()
    [ "$dir" != "$checkout" ] || skip=(--exclude=./build --exclude=./dist --exclude=./.git)
    mkdir -p "$view$dir"
    # Directories on the way that the root keeps to its owner (/root) must let
    # the uid through: they are the view's own, made by cp, not the root's.
    local above=$dir
    while [ "$above" != / ]; do
        above=$(dirname "$above")
        [ ! -d "$view$above" ] || [ -L "$view$above" ] || chmod a+x "$view$above"
    done
    tar -C "$dir" -cf - "${skip[@]}" --numeric-owner --owner=$chroot_uid --group=$chroot_uid . |
        tar -C "$view$dir" -xf -
}

# DIR VIEW: the regular files and directories that the command made or
# changed in VIEW's copy of DIR, back in DIR, as the caller's, with no
# setuid, setgid or sticky bit, no write for others, and at most
# copy_back_bytes. The archive is made in the view, as the uid, so that
# whatever links the command left resolve there and not on the host.
copy_back_bytes=$((2 << 30))
copy_back() {
    local dir=$1 view=$2 prune=(-false -false) statuses
    [ "$dir" != "$checkout" ] || prune=(-path ./build -o -path ./dist)
    # shellcheck disable=SC2016  # the inner bash expands them
    chrooted "$view" /bin/bash -c 'cd -- "$1" && shift && find . -mindepth 1 \( "$@" \) -prune -o \
        \( -type f -o -type d \) -newer /.started -print0 |
        tar --null --no-recursion -T - --mode=u-s,g-s,o-t,go-w -cf -' _ "$dir" "${prune[@]}" |
        head -c "$copy_back_bytes" | tar -C "$dir" -xf - --no-same-owner --no-same-permissions
    statuses=("${PIPESTATUS[@]}")
    [ "${statuses[0]}" -eq 0 ] && [ "${statuses[2]}" -eq 0 ]
}

# PRESET ARGS...: configures and builds the preset in the root. A build
# directory that another toolchain made is made afresh, since its objects
# would otherwise count as up to date.
build_preset() {
    local preset=$1 dir stamp
    shift
    dir=$checkout/build/$preset
    stamp=$dir/.toolchain-root
    if [ -d "$dir" ] && [ "$(cat "$stamp" 2>/dev/null)" != "$root" ]; then
        rm -rf "$dir"
    fi
    cd "$checkout"
    mkdir -p "$dir"
    extra=("$dir")
    run_in_root cmake --preset "$preset" >/dev/null
    echo "$root" >"$stamp"
    run_in_root cmake --build --preset "$preset" "$@"
}

# --- make lock --------------------------------------------------------------

write_lock() {
    local text old changes
    text=$(read_lock "$lock_file" any)
    old=$(pins_of "$text")
    text=$(echo "Debian: $(release_of "$text")" && names_of "$text" | sed 's/$/=/')
    resolve "$text" 0 || exit 1
    echo "$resolved_text" >"$lock_file"
    changes=$(diff <(echo "$old") <(pins_of "$resolved_text") | sed -n 's/^> //p' | paste -sd' ') || true
    echo "$lock_file: $(pins_of "$resolved_text" | wc -l) packages, as $mirror has them${changes:+; changed: $changes}"
}

case ${1:-} in
ensure) ensure_root 1 ;;
check)
    ensure_root 0
    wrong=$(root_differences "$root" "$(cat "$(marker "$root")")")
    [ -z "$wrong" ] || fail "$root does not hold its versions: ${wrong//$'\n'/; }"
    echo "$root holds its $(pins_of "$(cat "$(marker "$root")")" | wc -l) locked packages at their versions"
    ;;
build)
    [ $# -ge 2 ] || fail "usage: toolchain.sh build PRESET [ARGS...]"
    ensure_root 0
    shift
    say_way
    build_preset "$@"
    ;;
run)
    shift
    while [ "${1:-}" = --only ] && [ $# -ge 2 ]; do
        only+=("$(realpath -e -- "$2")") || fail "--only $2: no such directory"
        shift 2
    done
    [ $# -ge 1 ] || fail "usage: toolchain.sh run [--only DIR]... COMMAND..."
    ensure_root 0
    say_way
    run_in_root "$@"
    ;;
sandbox)
    choose_way
    echo "$way: $way_reason"
    ;;
versions)
    ensure_root 0
    # shellcheck disable=SC2046  # package names hold no blanks
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Package} (= ${Version}),\n' \
        $(names_of "$(read_lock "$lock_file")") | sed '$s/,$//'
    ;;
path)
    ensure_root 0
    echo "$root"
    ;;
release) release_of "$(read_lock "$lock_file")" ;;
lock) write_lock ;;
*)
    echo "usage: toolchain.sh ensure | check | build PRESET [ARGS...] | run [--only DIR]... COMMAND... | versions |" \
        "sandbox | release | path | lock" >&2
    exit 2
    ;;
esac
