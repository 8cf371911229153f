# shellcheck shell=bash
# shellcheck disable=SC2154  # root, rows and the rest are verify-check.sh's (and suite.sh's)
# Sourced by verify-check.sh, once it has made $rows: verify_row, which runs
# one row of its table, and what it needs to tell whether a row touched
# anything outside its temporary directory. The caller sets `untouched` to
# the output of `outside` before the first row.

# A terminal that nobody answers: reading from it waits for ever.
mkfifo "$rows/terminal"
exec {terminal}<>"$rows/terminal"

# What a row may not touch: the work directory's files, directories and
# links (but for the row's own temporary directory and the logs), the source
# tree, and /tmp.
outside() {
    find "$work" \( -path "$rows/tmp" -o -name '*.log' \) -prune -o -type f -printf '%p %s %T@ %m\n' -o \
        -printf '%p %y %m\n' | sort
    ls -A "$root" "$root/scripts" "$root/release"
    ls -d /tmp/verify-release.* 2>/dev/null || true
}

# WHAT SECONDS STATUS VERDICT NEVER ZIP [COMMAND_PREFIX...]:
# release/verify-release.sh on ZIP, as make runs it (after COMMAND_PREFIX,
# such as env or setpriv), from $rows/names, with a temporary directory of its
# own and the terminal nobody answers as its input, must end within SECONDS
# with STATUS; its last line must match VERDICT after "verdict: " (after
# "verify-release: " for status 2), and nothing it says, nor any command
# line it starts in the toolchain root, NEVER; what it prints
# holds no control or bidirectional-format character and stays short; and it
# leaves nothing behind, in its temporary directory or anywhere else.
verify_row() {
    local what=$1 seconds=$2 expected=$3 verdict=$4 never=$5 zip=$6 tmp=$rows/tmp output status=0 now
    local started pattern problems=()
    shift 6
    rm -rf "$tmp" && mkdir -m 1777 "$tmp"
    : >"$in_root"
    started=$SECONDS
    output=$(cd "$rows/names" && timeout -k 5 "$seconds" env TMPDIR="$tmp" PATH="$recorders:$PATH" "$@" \
        "$root/release/verify-release.sh" "$version" "$exe" "$zip" <&"$terminal" 2>&1) || status=$?
    printf '%s\n' "--- $what ($((SECONDS - started)) s, exit $status)" "$output" >>"$verify_log"
    [ $status -ne 124 ] && [ $status -ne 137 ] || problems+=("it did not end within $seconds s")
    [ $status -eq "$expected" ] || problems+=("it exited $status, not $expected")
    pattern="^verdict: $verdict"
    [ "$expected" -ne 2 ] || pattern="^verify-release: $verdict"
    [[ $(tail -n 1 <<<"$output") =~ $pattern ]] || problems+=("its last line is not /$pattern/")
    [ -z "$never" ] || ! grep -qE -- "$never" <<<"$output" || problems+=("it said /$never/")
    [ -z "$never" ] || ! grep -qE -- "$never" "$in_root" || problems+=("it started /$never/ in the toolchain root")
    if LC_ALL=C grep -qaP '[\x00-\x09\x0b-\x1f\x7f]|\xc2[\x80-\x9f]|\xe2\x80[\x8e\x8f\xaa-\xae]|\xe2\x81[\xa6-\xa9]' \
        <<<"$output"; then
        problems+=("it printed a control or bidirectional-format character")
    fi
    [ ${#output} -le 6000 ] || problems+=("it printed ${#output} characters")
    [ -z "$(ls -A "$tmp")" ] || problems+=("it left behind $(find "$tmp" -mindepth 1 | head -n 3 | tr '\n' ' ')")
    now=$(outside)
    [ "$now" = "$untouched" ] ||
        problems+=("it changed what is outside its temporary directory: $(diff <(echo "$untouched") - <<<"$now" |
            head -n 4 || true)")
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok   verify-release: $what"
        return
    fi
    echo "FAIL verify-release: $what: $(IFS=';'; echo "${problems[*]}")"
    echo "  it said:"
    echo "    ${output//$'\n'/$'\n'    }" | head -n 40 | cat -v
    failures=$((failures + 1))
}
