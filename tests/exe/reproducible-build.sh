#!/usr/bin/env bash
# Two clean builds of the program and of the download, from two copies of the
# source (with its git history, which dates the download's files) at
# different paths into two different build directories, must give the same
# bytes as each other and as the build under test: no link timestamp, no
# path, nothing of the machine in the zip. And a signed release of the
# build under test (SIGNED_DIR, from exe.dist): its detached signature,
# attached to each of those builds by `make dist SIGNATURE=`, must give its
# zip byte for byte.
#   reproducible-build.sh WORK_DIR EXE VERSION SIGNED_DIR
set -euo pipefail
# Signed or not is up to this script, not to the caller's shell.
unset SIGN_PKCS12 SIGN_PASSWORD_FILE SIGN_PKCS11_MODULE SIGN_KEY SIGN_CERTS SIGN_PIN_FILE SIGN_TIMESTAMP_URL \
    SIGNATURE
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1 exe=$2 version=$3 signed=$4
zip=korvane-icon-size-$version.zip
signature=$signed/korvane-icon-size-$version.exe.sig

rm -rf "$work"
mkdir -p "$work/elsewhere/source"
tar -C "$root" --exclude=./build --exclude=./dist -cf - . | tar -C "$work/elsewhere/source" -xf -

dist() {  # SOURCE EXE OUT_DIR
    "$1/scripts/dist.sh" "$version" "$2" "$3" >/dev/null
}
build() {  # SOURCE BUILD_DIR
    (cd "$1" && cmake --preset win32 -B "$2" >/dev/null && cmake --build "$2" --target korvane-icon-size >/dev/null)
    dist "$1" "$2/korvane-icon-size.exe" "$2"
    SIGNATURE=$signature dist "$1" "$2/korvane-icon-size.exe" "$2/signed"
}
[ -f "$signature" ] || { echo "missing $signature: exe.dist makes it" >&2; exit 1; }
dist "$root" "$exe" "$work/under-test"
build "$root" "$work/first"
build "$work/elsewhere/source" "$work/elsewhere/second/build"

status=0
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
rm -rf "$work"
exit $status
