#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks below are called through check()
# `make verify-release` on the genuine releases that download-check.sh and
# signing-check.sh made, and on a table of hostile ones made from them
# (hostile_releases.py): each must give its verdict line and exit status in
# its time, print nothing a terminal would act on, and leave nothing behind.
# Then verify-release stopped by a signal, and make's own handling of ZIP.
#   verify-check.sh VERSION EXE WORK_DIR
set -euo pipefail  # here too: a suite.sh that cannot be read stops the suite
# shellcheck source=tests/release/suite.sh
source "$(dirname "$0")/suite.sh"
started=$SECONDS
rows=$work/verifying
crafted=$rows/crafted
verify_log=$rows/output.log  # all that the rows' runs say
afresh "$rows"
mkdir -p "$rows/names" "$crafted"
: >"$verify_log"
record_in "$rows"
/usr/bin/python3 -IB "$root/tests/release/hostile_releases.py" "$crafted" "$signed" "$unsigned" "$impostors" \
    "$exe" || { echo "FAIL could not make the hostile releases (hostile_releases.py said why, above)"; exit 1; }

# shellcheck source=tests/release/verify-row.sh
source "$root/tests/release/verify-row.sh"

hostile() { echo "$crafted/$1/$name-$version.zip"; }
signer_fingerprint=$(fingerprint "$keys/signer.pem" sha256)
tsa_fingerprint=$(fingerprint "$keys/tsa.pem" sha256)
lookalike_fingerprint=$(fingerprint "$keys/lookalike.pem" sha256)
build="is this source's build of version $version \(commit [0-9a-f]{40}[^)]*\)"
holds="NO MATCH: the zip holds the five files of a release, and nothing else: "
buildinfo_cannot="NO MATCH: the buildinfo beside the zip can be read: "
signature_fails="NO MATCH: the program's signature holds: the signature's signer"
whole_zip="NO MATCH: the whole zip is byte for byte the one \`make dist\` makes here with that signature: "
cp "$(zip_of "$unsigned")" "$rows/names/-t.zip"
hostile_name=$rows/names/"a b\`touch pwned\`\$(shell touch pwned)\$(foo) 'c\"#.zip"
cp "$(zip_of "$unsigned")" "$hostile_name"
mkdir -p "$rows/bin"
ln -s "$(command -v bash)" "$(command -v dirname)" "$rows/bin/"
as_nobody=()
if [ "$(id -u)" -eq 0 ]; then
    as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
untouched=$(outside)

# The genuine releases.
verify_row "the signed zip is this source's build, and MATCH names its certificate first" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; not timestamped; the program in $name-$version.zip $build, signed by CN=Korvane Throwaway Signer, O=\"コルヴェイン試験, Inc.\", C=JP$" \
    "" "$(zip_of "$signed")"
verify_row "the timestamped zip is too, with the timestamp's time and the certificate that gave it" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; timestamped 20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC with certificate SHA-256 $tsa_fingerprint; .* $build, " \
    "" "$(zip_of "$signing/timestamped")"
verify_row "an unsigned zip named -t.zip is the file checked" 60 0 "MATCH: unsigned; the program in -t.zip $build$" \
    "" -t.zip
# Where bubblewrap cannot make its namespaces (a stand-in fails as a
# default container makes it fail), the rebuild goes through chroot, root's
# alone: the same verdict, and a note that the container is its only sandbox.
if [ "$(id -u)" -eq 0 ]; then
    no_namespaces="the signed zip, rebuilt through chroot where bubblewrap has no namespaces"
    verify_row "$no_namespaces" 90 0 "MATCH: signed with certificate SHA-256 $signer_fingerprint; not timestamped; " \
        "" "$(zip_of "$signed")" env PATH="$root/tests/exe/no-namespaces:$recorders:$PATH"
    check "verify-release: that rebuild's output says the container is its only sandbox" \
        grep -q "^ *the rebuild runs without a sandbox of its own, so the container is the only one: chroot: " \
        <(sed -n "/^--- $no_namespaces /,/^--- /p" "$verify_log")
else
    echo "skip verify-release through chroot: only root may use it, and this test does not run as root"
fi
# What the issue of a hostile download showed, a row each.
verify_row "a zip that is not one" 10 1 "${holds}it cannot be read as a zip: " "" "$(hostile not-a-zip)"
verify_row "a zip bigger than a release's could be" 10 1 \
    "NO MATCH: the zip is no bigger than a release's could be: the zip is more than 1048576 bytes" "" \
    "$(hostile too-big)"
verify_row "an extra dotfile" 10 1 "${holds}it holds an extra entry, \.hidden$" "" "$(hostile extra-dotfile)"
verify_row "a program that is a link to the build here" 10 1 "${holds}its $name\.exe is a link, not a file$" "" \
    "$(hostile program-link)"
verify_row "an entry twice, with a terminal nobody answers" 10 1 "${holds}it holds README-ja\.txt twice$" "" \
    "$(hostile duplicate)"
verify_row "a directory" 10 1 "${holds}it holds a directory, docs/, and a release holds none$" "" \
    "$(hostile directory)"
# As another user only where that user can reach the checkout: not in a
# clone under /root, as make fresh-check makes.
if [ ${#as_nobody[@]} -gt 0 ] && ! "${as_nobody[@]}" test -r "$root/release/verify_release.py" -a -r "$crafted"; then
    echo "skipped a row: a directory of mode 000, checked by a user who is not root: nobody cannot read $root"
else
    verify_row "a directory of mode 000, checked by a user who is not root" 10 1 \
        "${holds}it holds a directory, locked/, and a release holds none$" "" "$(hostile locked-directory)" \
        "${as_nobody[@]}"
fi
verify_row "an entry that climbs out (zip-slip)" 10 1 "${holds}it holds \.\./korvane-zip-slip\.txt, which is not at its top level$" \
    "" "$(hostile zip-slip)"
verify_row "an entry with an absolute path" 10 1 \
    "${holds}it holds /tmp/korvane-absolute\.txt, which is not at its top level$" "" "$(hostile absolute)"
verify_row "an entry named -rf" 10 1 "${holds}it holds an extra entry, -rf$" "" "$(hostile rf-entry)"
verify_row "an entry named with escape sequences" 10 1 \
    "${holds}it holds an extra entry, \\\\x1b\[2J\\\\x1b\[1;1Hok   forged\\\\x1b\]0;owned\\\\x07\.txt$" "" \
    "$(hostile escape-name)"
verify_row "an entry named with a right-to-left override" 10 1 \
    "${holds}it holds an extra entry, README\\\\u202etxt\.exe$" "" "$(hostile bidi-name)"
verify_row "a 32 MiB read-me in a 40 KiB zip" 10 1 \
    "${holds}its README-ja\.txt is 33554432 bytes, more than a release's \(at most 65536\)$" "" "$(hostile bomb)"
verify_row "a read-me whose entry gives a size it does not have" 10 1 "${holds}its README-ja\.txt cannot be read: " \
    "" "$(hostile lying-size)"
verify_row "a zip that lacks LICENSE.txt" 10 1 "${holds}it lacks LICENSE\.txt$" "" "$(hostile lacks-license)"
verify_row "SHA256SUMS naming /dev/zero" 10 1 \
    "NO MATCH: SHA256SUMS in the zip matches its files: it lists /dev/zero, which is not one of the zip's files$" "" \
    "$(hostile sums-devzero)"
verify_row "SHA256SUMS naming /dev/stdin" 10 1 "NO MATCH: SHA256SUMS in the zip matches its files: it lists /dev/stdin," \
    "" "$(hostile sums-stdin)"
verify_row "SHA256SUMS that is a link" 10 1 "${holds}its SHA256SUMS is a link, not a file$" "" "$(hostile sums-link)"
verify_row "escape sequences in the buildinfo's Git-Commit" 10 1 \
    "${buildinfo_cannot}its Git-Commit \(\"\\\\x1b\[1A\\\\x1b\[2K\\\\x0dok   forged\\\\x1b\]0;owned\\\\x07\\\\u202e\"\) is not a commit$" \
    "" "$(hostile buildinfo-escapes)"
verify_row "a buildinfo of 3,000 lines" 10 1 "${buildinfo_cannot}it has more than 1000 lines$" "" \
    "$(hostile buildinfo-3000-lines)"
verify_row "a buildinfo with a 20 MB line" 10 1 "${buildinfo_cannot}the buildinfo is more than 65536 bytes" "" \
    "$(hostile buildinfo-20MB-line)"
verify_row "a buildinfo line of 5,000 characters" 10 1 "${buildinfo_cannot}its line [0-9]+ is longer than 1024 characters$" \
    "" "$(hostile buildinfo-long-line)"
verify_row "a buildinfo package named -rf" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends names \"-rf\", which is not a Debian package name$" "" \
    "$(hostile buildinfo-dash-package)"
verify_row "a buildinfo package version that is a command" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends gives cmake \"\\\$\(reboot\)[^\"]*\", which is not a Debian version$" "" \
    "$(hostile buildinfo-bad-version)"
verify_row "a buildinfo whose date is not a number" 10 1 \
    "${buildinfo_cannot}its Source-Date-Epoch \(\"yesterday\"\) is not a number of seconds$" "" \
    "$(hostile buildinfo-date-text)"
verify_row "a genuine zip whose buildinfo gives another date: the dates are named, not the zip" 60 1 \
    "${whole_zip}the zip's files are dated .*, and the buildinfo's Source-Date-Epoch \([0-9]+\) dates them .*$" "" \
    "$(hostile buildinfo-other-date)"
verify_row "a program that differs in one byte, its buildinfo with 950 packages more for its toolchain root" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends names korvane-absent-0, which toolchain\.lock does not pin$" "" \
    "$(hostile buildinfo-950-packages)"
verify_row "a genuine zip whose buildinfo names another toolchain: built with this checkout's, and said" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; " "making|mmdebstrap" "$(hostile buildinfo-gone-version)"
gone_version_said() {
    grep -q "^     the buildinfo names another toolchain than this checkout's toolchain.lock, which builds here .*: zip 0~not-a-version (release) vs [^ ]* (here)$" \
        "$verify_log" || { echo "  no line says the buildinfo's toolchain differs"; return 1; }
}
check "verify-release: it says which of the buildinfo's toolchain versions are not this checkout's" gone_version_said
verify_row "a buildinfo that names a package twice" 10 1 \
    "${buildinfo_cannot}its Installed-Build-Depends names make twice$" "" "$(hostile buildinfo-twice)"
verify_row "a buildinfo that is a link to a secret: neither followed nor shown" 10 1 \
    "${buildinfo_cannot}the buildinfo is a link, not a file$" "korvane-secret" "$(hostile buildinfo-link)"
page_cannot="${buildinfo_cannot}its Download-URL"
page_form="is not an https URL of at most 200 characters$"
verify_row "a buildinfo whose download page is not https" 10 1 \
    "$page_cannot \(\"http://downloads\.example\.jp/\"\) $page_form" "" "$(hostile page-http)"
verify_row "a buildinfo whose download page is 319 characters long" 10 1 \
    "$page_cannot \(\"https://example\.jp/a{101}…\"\) $page_form" "" "$(hostile page-long)"
verify_row "a buildinfo whose download page holds escape sequences" 10 1 \
    "$page_cannot \(\"https://example\.jp/\\\\x1b\[2J\\\\x1b\]0;owned\\\\x07\"\) $page_form" "" "$(hostile page-escapes)"
verify_row "a buildinfo whose download page holds a space and a command" 10 1 \
    "$page_cannot \(\"https://example\.jp/ \\\$\(reboot\)\"\) $page_form" "" "$(hostile page-command)"
verify_row "a buildinfo whose download page hides its host behind an @" 10 1 \
    "$page_cannot \(\"https://downloads\.example\.jp@evil\.example/\"\) $page_form" "" "$(hostile page-at)"
verify_row "a buildinfo that names a download page the read-mes do not: they are named" 60 1 \
    "${whole_zip}README-ja\.txt, README-en\.txt and SHA256SUMS differ from the ones make dist makes here$" "" \
    "$(hostile page-not-in-readmes)"
# shellcheck disable=SC2001,SC2016  # a sed of a set of characters; the $ is one of them
ere() { sed 's/[][\.*^$(){}?+|]/\\&/g' <<<"$1"; }  # TEXT: an extended regular expression that matches it
verify_row "a zip made with a download page: MATCH names it last, as the buildinfo gives it" 60 0 \
    "MATCH: unsigned; the program in $name-$version\.zip $build; the buildinfo names its download page $(ere "$page")$" \
    "" "$(zip_of "$download/unsigned-url")"
verify_row "a signed zip made with a download page: MATCH names it after the signer" 60 0 \
    "MATCH: signed with certificate SHA-256 $signer_fingerprint; not timestamped; .* $build, signed by CN=Korvane Throwaway Signer, .*; the buildinfo names its download page $(ere "$page")$" \
    "" "$(zip_of "$signing/signed-url")"
verify_row "a read-me changed, SHA256SUMS made again: the read-me is named" 60 1 \
    "${whole_zip}README-ja\.txt and SHA256SUMS differ from the ones make dist makes here$" "" \
    "$(hostile readme-changed)"
verify_row "a signature whose certificates hold two for its signer's issuer and serial number" 10 1 \
    "$signature_fails names its certificate by an issuer and serial number that 2 of its certificates carry, so who signed is not certain$" \
    "Korvane Throwaway Signer|$signer_fingerprint" "$(hostile impostor)"
verify_row "a signature by the lookalike, who took the signer's serial number, names the lookalike" 60 0 \
    "MATCH: signed with certificate SHA-256 $lookalike_fingerprint; not timestamped; .* $build, signed by OU=A certificate that takes the throwaway signer's serial number, CN=Korvane Lookalike Signer$" \
    "Korvane Throwaway Signer|$signer_fingerprint" "$(zip_of "$impostors/lookalike")"
verify_row "a signature that names the signer's certificate but was made with another key" 10 1 \
    "$signature_fails does not verify with the public key of the certificate it names$" \
    "signed with|$signer_fingerprint" "$(hostile swapped)"
verify_row "a second signature nested in the signer's, which anyone can add" 10 1 \
    "NO MATCH: the program's signature holds: the signature carries a second signature nested in it, which its signer did not sign$" \
    "signed with|Lookalike" "$(hostile nested)"
verify_row "a signature whose signed content was changed" 10 1 \
    "$signature_fails's signed attributes give a message digest that is not the one of what it signs$" \
    "signed with" "$(hostile content-changed)"
verify_row "a signature without a timestamp, whose certificate carries a timestamp's identifiers" 60 0 \
    "MATCH: signed with certificate SHA-256 [0-9A-F:]{95}; not timestamped; .* $build, signed by CN=Korvane Policy Signer" \
    "timestamped [0-9]|outlives" \
    "$(zip_of "$impostors/tsbytes")"
# Signatures that do not fit the program: NO MATCH, and no rebuild, which
# would hand them to osslsigncode in the toolchain root.
before_rebuild="byte for byte|osslsigncode"
digest_fails="NO MATCH: the signature's digest matches the program: the signature signs Authenticode SHA-256 [0-9A-F]{64}; the program's is [0-9A-F]{64}$"
verify_row "a signature made for another program, on this one: no rebuild" 10 1 "$digest_fails" "$before_rebuild" \
    "$(hostile other-attached)"
verify_row "a signed program changed after signing, SHA256SUMS and the buildinfo made to match: no rebuild" 10 1 \
    "$digest_fails" "$before_rebuild" "$(hostile changed-after-signing)"
verify_row "a signature whose digest is a byte short: no rebuild" 10 1 \
    "NO MATCH: the program's signature holds: the signature's digest is 31 bytes long, and a SHA-256 digest is 32$" \
    "$before_rebuild" "$(hostile digest-short)"
verify_row "a signature whose digest is a byte long: no rebuild" 10 1 \
    "NO MATCH: the program's signature holds: the signature's digest is 33 bytes long, and a SHA-256 digest is 32$" \
    "$before_rebuild" "$(hostile digest-long)"
verify_row "another signature beside the zip" 60 1 \
    "NO MATCH: the \.exe\.sig beside the zip is the program's signature: $name-$version\.exe\.sig is another signature$" \
    "" "$(hostile another-sig-beside)"
verify_row "a signature beside an unsigned zip" 60 1 \
    "NO MATCH: the program carries the signature beside the zip: $name-$version\.exe\.sig is there, but the program is not signed$" \
    "" "$(hostile sig-beside-unsigned)"
verify_row "a signature beside the zip that is /dev/zero" 10 1 \
    "NO MATCH: the \.exe\.sig beside the zip is the program's signature: the \.exe\.sig beside the zip is a link, not a file$" \
    "" "$(hostile sig-is-dev-zero)"
verify_row "no zip named: usage" 10 2 "usage: make verify-release ZIP=" "" ""
verify_row "a zip that is not there" 10 2 "no such file: .*/absent\.zip$" "" "$rows/absent.zip"
verify_row "a directory for a zip" 10 2 ".*: the zip is not a regular file$" "" "$rows/names"
verify_row "a tool missing" 10 2 "needs dpkg, bwrap, which make installs" "" \
    "$(zip_of "$signed")" env PATH="$rows/bin"

# SIGNAL: stopped by SIGNAL in the middle of its rebuild, it leaves nothing
# behind and ends, within 10 s, as that signal ends a program.
stopped_by() {
    local tmp=$rows/tmp pid status=0 tries waits
    rm -rf "$tmp" && mkdir "$tmp"
    TMPDIR=$tmp "$root/release/verify-release.sh" "$version" "$exe" "$(zip_of "$signed")" \
        >"$rows/stopped.log" 2>&1 <&"$terminal" &
    pid=$!
    for ((tries = 0; tries < 200; tries++)); do
        ! compgen -G "$tmp/verify-release.*/tmp/*" >/dev/null || break
        sleep 0.05
    done
    kill "-$1" "$pid"
    for ((waits = 0; waits < 200; waits++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid"
        wait "$pid" || true
        echo "  it had not ended 10 s after SIG$1; it said: $(tail -n 3 "$rows/stopped.log")"
        return 1
    fi
    wait "$pid" || status=$?
    if [ "$status" -ne $((128 + $(kill -l "$1"))) ] || [ -n "$(ls -A "$tmp")" ]; then
        echo "  exit $status after $tries waits; left behind: $(ls -A "$tmp"); it said: $(tail -n 3 "$rows/stopped.log")"
        return 1
    fi
}
check "verify-release: stopped by SIGTERM in its rebuild, it leaves nothing behind" stopped_by TERM
check "verify-release: stopped by SIGHUP in its rebuild, it leaves nothing behind" stopped_by HUP

# make itself: the name reaches the script as data, whatever it holds; make
# passes MATCH on as 0, and says the script's own status in its Error line.
# STATUS ERROR LAST ZIP: `make verify-release ZIP=ZIP` (not building the
# program again) exits with STATUS, the script's last line (its verdict, or
# what it says when it cannot check) matches LAST, make's own is "Error
# ERROR" (none for 0), and nothing ran from ZIP.
make_verify_release() {
    local expected=$1 error=$2 last=$3 status=0 output errors
    rm -f "$root/pwned"
    output=$(cd "$root" && env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL TMPDIR="$rows" \
        timeout -k 5 60 make -o exe verify-release "ZIP=$4" 2>"$rows/make-errors.log" <&"$terminal") || status=$?
    errors=$(cat "$rows/make-errors.log")
    if [ -n "$error" ]; then
        [[ $(tail -n 1 <<<"$errors") == "make: *** "*"] Error $error" ]] || status="$status, no make Error $error"
        [ -n "$output" ] || output=$(sed '$d' <<<"$errors")
    fi
    if [ "$status" != "$expected" ] || ! [[ $(tail -n 1 <<<"$output") =~ $last ]] || [ -e "$root/pwned" ]; then
        echo "  exit $status; $([ ! -e "$root/pwned" ] || echo "a command in the name ran; ")it said:"
        echo "    ${output//$'\n'/$'\n'    }"
        echo "    ${errors//$'\n'/$'\n'    }"
        rm -f "$root/pwned"
        return 1
    fi
}
check "make verify-release: a name with \`...\`, \$(...), quotes and spaces is the file checked" \
    make_verify_release 0 "" "^verdict: MATCH: unsigned; the program in a b\`touch pwned\`\\\$\(shell touch pwned\)\\\$\(foo\) 'c\"#\.zip " \
    "$hostile_name"
check "make verify-release: NO MATCH is make's Error 1" make_verify_release 2 1 "^verdict: NO MATCH: " \
    "$(hostile extra-dotfile)"
check "make verify-release: no zip named is make's Error 2" make_verify_release 2 2 "^verify-release: usage: " ""
echo "the verify-release checks took $((SECONDS - started)) s"
exit $((failures > 0))
