#!/usr/bin/env bash
# The toolchain root and what it builds. The root holds the lock's versions.
# Two clean builds of the program and of the download in it, from two copies
# of the source (with its git history, which dates the download's files) at
# different paths into two different build directories, must give the same
# bytes as each other and as the build under test: no link timestamp, no
# path, nothing of the machine in the zip. A signed release of the build
# under test (SIGNED_DIR, from release.signing): its detached signature, attached to
# each of those builds by `make dist SIGNATURE=`, must give its zip byte for
# byte. Built where bubblewrap cannot make its namespaces, the program is
# the same too. And a copy whose lock names a version the mirror lacks: `make` warns,
# naming it, and builds; `make dist` stops with one line and makes nothing.
#   reproducible-build.sh WORK_DIR EXE VERSION SIGNED_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# Signed or not is up to this script, not to the caller's shell.
mapfile -t signing_variables <"$root/release/signing-variables"
unset "${signing_variables[@]}" KORVANE_EXACT_TOOLCHAIN
work=$1 exe=$2 version=$3 signed=$4
zip=korvane-icon-size-$version.zip
signature=$signed/korvane-icon-size-$version.exe.sig
toolchain=$root/scripts/toolchain.sh
status=0

rm -rf "$work"
mkdir -p "$work/elsewhere/source"
tar -C "$root" --exclude=./build --exclude=./dist -cf - . | tar -C "$work/elsewhere/source" -xf -

"$toolchain" check || status=1

dist() {  # SOURCE EXE OUT_DIR
    "$1/release/dist.sh" "$version" "$2" "$3" >/dev/null
}
# The build directories lie outside the source, so the commands name both:
# where the root is entered through chroot, only what they name is copied
# in and back.
build() {  # SOURCE BUILD_DIR
    mkdir -p "$2"
    (cd "$1" && "$toolchain" run --only "$1" --only "$2" cmake --preset win32 -B "$2" >/dev/null &&
        "$toolchain" run --only "$1" --only "$2" cmake --build "$2" --target korvane-icon-size >/dev/null)
    dist "$1" "$2/korvane-icon-size.exe" "$2"
    SIGNATURE=$signature dist "$1" "$2/korvane-icon-size.exe" "$2/signed"
}
[ -f "$signature" ] || { echo "missing $signature: release.signing makes it" >&2; exit 1; }
dist "$root" "$exe" "$work/under-test"
build "$root" "$work/first"
build "$work/elsewhere/source" "$work/elsewhere/second/build"

same() {  # EXPECTED BUILT
    if cmp "$1" "$2"; then
        echo "same bytes: $2"
    else
        status=1
    fi
}
for built in "$work/first" "$work/elsewhere/second/build"; do
    same "$exe" "$built/korvane-icon-size.exe"
    same "$work/under-test/$zip" "$built/$zip"
    same "$signed/$zip" "$built/signed/$zip"
done
sha256sum "$exe" "$work/under-test/$zip" "$signed/$zip"

# Where bubblewrap cannot make its namespaces, as in a default container (a
# stand-in bwrap fails as it does there): the same program, built through
# chroot, which says so in one line.
copy=$work/elsewhere/source
if [ "$(id -u)" -ne 0 ]; then
    echo "skip a build without namespaces: its way in, chroot, is root's, and this test does not run as root"
elif ! said=$(PATH=$root/tests/exe/no-namespaces:$PATH "$copy/scripts/toolchain.sh" build win32 --target korvane-icon-size 2>&1 \
    >/dev/null); then
    echo "FAIL a build without namespaces failed: $said"
    status=1
elif [ "$(grep -c '^toolchain: ' <<<"$said")" -ne 1 ] || ! grep -q '^toolchain: bubblewrap cannot .*through chroot' <<<"$said"; then
    echo "FAIL a build without namespaces does not say how, in one line; it said: $said"
    status=1
elif ! cmp "$exe" "$copy/build/win32/korvane-icon-size.exe"; then
    status=1
else
    echo "ok   a build without namespaces gives the same bytes, and says: $said"
fi

# A lock the mirror no longer has in full, in the second copy.
stale=$work/elsewhere/source
sed -i 's/^zip=.*/zip=0~not-a-version/' "$stale/toolchain.lock"
said=$(make -C "$stale" exe 2>&1) || { echo "FAIL make with a stale lock: $said"; status=1; }
if ! grep -q '^toolchain: warning: .*zip 0~not-a-version (locked) vs [^ ]* (the mirror.s).*may differ' <<<"$said"; then
    echo "FAIL make with a stale lock gives no warning naming zip; it said: $said"
    status=1
else
    echo "ok   make with a lock the mirror lacks a version of warns and builds: $(grep '^toolchain: warning' <<<"$said")"
fi
said=$(make -C "$stale" dist 2>&1) && { echo "FAIL make dist with a stale lock succeeded"; status=1; }
mine=$(grep '^toolchain: ' <<<"$said") || true
if [ "$(wc -l <<<"$mine")" -ne 1 ] || ! grep -q 'zip=0~not-a-version.*make lock.*DEBIAN_MIRROR=' <<<"$mine" ||
    [ -n "$(ls -A "$stale/dist" 2>/dev/null)" ]; then
    echo "FAIL make dist with a stale lock: one line naming zip, nothing in dist/; it said: $said"
    status=1
else
    echo "ok   make dist with that lock stops with one line and makes nothing: $mine"
fi
rm -rf "$work"
exit $status
