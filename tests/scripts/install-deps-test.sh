#!/usr/bin/env bash
# install-deps.sh against stand-ins for apt-get, dpkg and dpkg-query (and
# locale and sudo) placed first on PATH: no root, no network, nothing really
# installed. Each row gives the make goal, whose groups the script is given
# as the Makefile gives them, what the system lacks and how apt behaves, and
# what the script must then do.
#   install-deps-test.sh WORK_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
failures=0

# The stand-ins keep their state in $STANDIN: `missing` lists the packages not
# installed, `foreign` those installed for another architecture only,
# `architectures` dpkg's foreign architectures, `refused` the packages apt
# cannot install, `update-fails` makes `apt-get update` fail as on a mirror
# in the middle of a sync; `calls` records every call of apt-get, and
# `queries` every call of dpkg-query.
write_stand_ins() {  # BIN_DIR
    mkdir -p "$1"
    # As `dpkg-query -W -f='${Package} ${Architecture} ${Status}\n' [PACKAGE...]`:
    # a bare NAME is listed for amd64 unless it is missing (`missing` holding
    # "*" misses every package), and for each architecture `foreign` has it
    # for; with no PACKAGE, what `foreign` holds.
    cat >"$1/dpkg-query" <<'EOF'
#!/bin/sh
echo called >>"$STANDIN/queries"
missing=" $(tr '\n' ' ' <"$STANDIN/missing") "
foreign=$(cat "$STANDIN/foreign")
status=0
listed=0
for package; do
    case $package in -*) continue ;; esac
    listed=1
    found=0
    case $missing in
    *" $package "* | *" * "*) ;;
    *)
        found=1
        case $package in
        *:*) echo "${package%%:*} ${package#*:} install ok installed" ;;
        *) echo "$package amd64 install ok installed" ;;
        esac ;;
    esac
    for installed in $foreign; do
        if [ "${installed%%:*}" = "$package" ]; then
            echo "$package ${installed#*:} install ok installed"
            found=1
        fi
    done
    if [ $found -eq 0 ]; then
        echo "dpkg-query: no packages found matching $package" >&2
        status=1
    fi
done
if [ $listed -eq 0 ]; then
    for installed in $foreign; do echo "${installed%%:*} ${installed#*:} install ok installed"; done
fi
exit $status
EOF
    cat >"$1/dpkg" <<'EOF'
#!/bin/sh
case $1 in
--print-architecture) echo amd64 ;;
--print-foreign-architectures) cat "$STANDIN/architectures" ;;
--add-architecture) echo "$2" >>"$STANDIN/architectures" ;;
--remove-architecture)
    grep -vxF -- "$2" "$STANDIN/architectures" >"$STANDIN/architectures.new" || true
    mv "$STANDIN/architectures.new" "$STANDIN/architectures" ;;
*) echo "dpkg stand-in: unexpected $*" >&2; exit 2 ;;
esac
EOF
    cat >"$1/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $*" >>"$STANDIN/calls"
command=$1
shift
case $command in
update)
    if [ -e "$STANDIN/update-fails" ]; then
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (10928 != 10936). Mirror sync in progress?"
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
        exit 100
    fi ;;
install)
    for package; do
        case $package in -*) continue ;; esac
        if grep -qxF "$package" "$STANDIN/refused"; then
            echo " $package : Depends: libc6:i386 (= 2.36-9+deb12u9) but it is not going to be installed"
            echo "E: Unable to correct problems, you have held broken packages."
            exit 100
        fi
    done
    for package; do
        grep -vxF -- "$package" "$STANDIN/missing" >"$STANDIN/missing.new" || true
        mv "$STANDIN/missing.new" "$STANDIN/missing"
    done ;;
*) echo "apt-get stand-in: unexpected $command" >&2; exit 2 ;;
esac
EOF
    printf '#!/bin/sh\necho ja_JP.utf8\n' >"$1/locale"
    printf '#!/bin/sh\nexec "$@"\n' >"$1/sudo"
    chmod +x "$1"/*
}

# A copy of the scripts whose kernel answers as the row says: this host's own
# kernel may not run 32-bit code, and the row must not depend on it.
copy_scripts() {  # DIR yes|no
    mkdir -p "$1/scripts"
    cp "$root/scripts/install-deps.sh" "$root/scripts/host-32bit.sh" "$1/scripts/"
    if [ "$2" = yes ]; then
        echo 'kernel_runs_32bit() { return 0; }' >>"$1/scripts/host-32bit.sh"
    else
        echo 'kernel_runs_32bit() { host_32bit_reason="a kernel without 32-bit code"; return 1; }' \
            >>"$1/scripts/host-32bit.sh"
    fi
}

words_to_lines() { tr ' ' '\n' <<<"$1" | sed '/^$/d'; }

# GOAL: the groups that `make GOAL` gives install-deps.sh, from the Makefile
# itself ("" for plain `make`).
groups_for() {
    # shellcheck disable=SC2086  # GOAL is a word or none
    env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -n -C "$root" $1 | sed -n 's|^scripts/install-deps.sh||p'
}

# The packages apt-get was asked to install, sorted, on one line.
asked_for() { sed -n 's/^apt-get install \(-[^ ]* \)*//p' "$1" | tr ' ' '\n' | sort | tr '\n' ' ' | sed 's/ $//'; }

# NAME GOAL KERNEL MISSING FOREIGN ARCHS REFUSED UPDATE REMEMBERED
#   | STATUS OUTPUT CALLS ASKED LEFT_MISSING LEFT_ARCHS
#   GOAL: `make GOAL` ("" for `make`) gives the script its groups.
#   FOREIGN: packages installed for another architecture only, as NAME:ARCH.
#   ARCHS: dpkg's foreign architectures before the run; LEFT_ARCHS: after it.
#   REMEMBERED: a failed install of 32-bit Wine noted "recent"ly, a day "old", or "-".
#   OUTPUT: an extended regular expression the output must match ("^$": none).
#   CALLS: one the apt-get calls must match ("^$": apt-get is not called, and
#     then dpkg-query is called once).
#   ASKED: every package apt-get is asked to install, in any order ("-": not checked).
row() {
    local name=$1 goal=$2 kernel=$3 missing=$4 foreign=$5 archs=$6 refused=$7 update=$8 remembered=$9
    local want_status=${10} want_output=${11} want_calls=${12} want_asked=${13} want_missing=${14}
    local want_archs=${15} dir=$work/${name//[^a-z0-9]/-} groups output status=0 calls asked queries
    local left left_archs problems=()
    mkdir -p "$dir/state"
    copy_scripts "$dir" "$kernel"
    words_to_lines "$missing" >"$dir/state/missing"
    words_to_lines "$foreign" >"$dir/state/foreign"
    words_to_lines "$archs" >"$dir/state/architectures"
    words_to_lines "$refused" >"$dir/state/refused"
    : >"$dir/state/calls"
    : >"$dir/state/queries"
    [ "$update" = ok ] || touch "$dir/state/update-fails"
    if [ "$remembered" != - ]; then
        mkdir -p "$dir/build"
        echo "apt could not install wine32:i386 on 2026-01-01 00:00: E: held broken packages" \
            >"$dir/build/wine32-install-failed"
        [ "$remembered" = recent ] || touch -d '25 hours ago' "$dir/build/wine32-install-failed"
    fi

    groups=$(groups_for "$goal")
    # shellcheck disable=SC2086  # the groups are words
    output=$(PATH=$work/bin:$PATH STANDIN=$dir/state "$dir/scripts/install-deps.sh" $groups 2>&1) || status=$?
    calls=$(cat "$dir/state/calls")
    asked=$(asked_for "$dir/state/calls")
    queries=$(wc -l <"$dir/state/queries")
    left=$(tr '\n' ' ' <"$dir/state/missing" | sed 's/ $//')
    left_archs=$(tr '\n' ' ' <"$dir/state/architectures" | sed 's/ $//')

    [ "$status" -eq "$want_status" ] || problems+=("exit $status, expected $want_status")
    grep -qE "$want_output" <<<"$output" || problems+=("the output does not match /$want_output/")
    grep -qE "$want_calls" <<<"$calls" || problems+=("the apt-get calls do not match /$want_calls/")
    [ "$want_calls" != '^$' ] || [ "$queries" -eq 1 ] || problems+=("dpkg-query was called $queries times, not once")
    [ "$want_asked" = - ] || [ "$asked" = "$(words_to_lines "$want_asked" | sort | tr '\n' ' ' | sed 's/ $//')" ] ||
        problems+=("apt-get was asked for \"$asked\", expected \"$want_asked\"")
    # The Windows programs are built in the toolchain root, never by the host.
    ! grep -q 'mingw' <<<"$calls" || problems+=("apt-get is asked for mingw-w64: $(grep -m1 mingw <<<"$calls")")
    [ "$left" = "$want_missing" ] || problems+=("left missing: \"$left\", expected \"$want_missing\"")
    [ "$left_archs" = "$want_archs" ] ||
        problems+=("foreign architectures left: \"$left_archs\", expected \"$want_archs\"")
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok   $name"
        return 0
    fi
    failures=$((failures + 1))
    echo "FAIL $name (install-deps.sh$groups): $(IFS=';'; echo "${problems[*]}")"
    echo "  it said: ${output//$'\n'/$'\n'  }"
    echo "  apt-get calls: ${calls//$'\n'/$'\n'  }"
}

rm -rf "$work"
write_stand_ins "$work/bin"

row "everything installed: apt is not called" test yes "" "" "" "" ok - \
    0 '^$' '^$' - "" ""
row "a fresh machine: what builds the toolchain root is installed, and no cross compiler" test yes "*" "" "" "" ok - \
    0 'installing .*mmdebstrap' 'install .* mmdebstrap bubblewrap uidmap python3 ' - "*" "i386"
row "make on a fresh machine: only what builds, never 32-bit Wine, never i386" "" yes "*" "" "" "" ok - \
    0 'installing make mmdebstrap bubblewrap uidmap python3 \(' 'install' "make mmdebstrap bubblewrap uidmap python3" "*" ""
row "make run on a fresh machine: Wine, Xvfb and the fonts too, and 32-bit Wine with i386" run yes "*" "" "" "" ok - \
    0 'installing wine32:i386' 'install .*wine32:i386' \
    "make mmdebstrap bubblewrap uidmap python3 wine wine64 fonts-wine xvfb xauth locales fonts-ipafont-gothic netpbm
     wine32:i386" "*" "i386"
row "make test on a fresh machine: the test and lint tools too" test yes "*" "" "" "" ok - \
    0 'installing wine32:i386' 'install .*wine32:i386' \
    "make mmdebstrap bubblewrap uidmap python3 cmake g++ libgtest-dev wine wine64 fonts-wine xvfb xauth locales
     fonts-ipafont-gothic netpbm osslsigncode openssl libengine-pkcs11-openssl python3-cryptography cppcheck clang-tidy
     shellcheck zip unzip softhsm2 gnutls-bin python3-pytest pyflakes3 wine32:i386" "*" "i386"
row "make dist on a fresh machine: the signing tools, and no Wine" dist yes "*" "" "" "" ok - \
    0 'installing make ' 'install' "make mmdebstrap bubblewrap uidmap python3 osslsigncode openssl
     libengine-pkcs11-openssl python3-cryptography" "*" ""
row "the update fails: a warning, and the install goes on" test yes "xvfb" "" "" "" fails - \
    0 'warning: apt-get update failed.*Mirror sync in progress' 'install .*xvfb' - "" ""
row "32-bit Wine cannot be installed: the rest is, the reason is printed, the i386 it added goes" \
    test yes "xvfb wine32:i386" "" "" "wine32:i386" ok - \
    0 'removed the i386 architecture again, which this run had added' 'install .*xvfb' - "wine32:i386" ""
row "32-bit Wine cannot be installed where i386 was enabled before: i386 stays" \
    run yes "wine32:i386" "" "i386" "wine32:i386" ok - \
    0 'could not install wine32:i386' 'install .*wine32:i386' - "wine32:i386" "i386"
row "a failure remembered from today: not tried again, and says how to try now" \
    test yes "wine32:i386" "" "" "wine32:i386" ok recent \
    0 'not trying to install 32-bit Wine again yet.*delete .*wine32-install-failed' '^$' - "wine32:i386" ""
row "a failure remembered from yesterday: tried again, with i386 added again" run yes "wine32:i386" "" "" "" ok old \
    0 'installing wine32:i386' 'install .*wine32:i386' - "" "i386"
row "a package installed for i386 alone is installed for this machine" test yes "xvfb" "xvfb:i386" "i386" "" ok - \
    0 'installing xvfb ' 'install .*xvfb' - "" "i386"
row "a required package cannot be installed: exit non-zero, naming it" test yes "xvfb netpbm" "" "" "netpbm" ok - \
    1 'cannot install netpbm: E: Unable to correct problems' 'install .*netpbm' - "netpbm" ""
row "a kernel without 32-bit code: 32-bit Wine is not tried" test no "wine32:i386" "" "" "" ok - \
    0 '^$' '^$' - "wine32:i386" ""
row "a kernel without 32-bit code, and a package missing: says why 32-bit Wine is left out" run no "xvfb" "" "" "" \
    ok - 0 'not installing 32-bit Wine: a kernel without 32-bit code' 'install .*xvfb' - "" ""

exit $((failures > 0))
