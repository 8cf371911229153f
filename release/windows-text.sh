# shellcheck shell=bash
# Sourced by dist.sh, which fills in the read-mes and the license with it,
# and by the read-mes' lint, which fills in the templates as each kind of
# release has them. The text is written as Notepad on every Windows reads
# it: UTF-8 with a byte order mark, CRLF line ends.
#
# windows_text FILE VERSION SHA256 SIGNED DOWNLOAD_URL THUMBPRINT PUBLISHER:
#   FILE with @VERSION@ and @SHA256@ filled in; of the lines marked "signed|"
#   or "unsigned|" those that fit SIGNED ("yes" for a signed program), with
#   the certificate's @THUMBPRINT@ and @PUBLISHER@ (its common name, as
#   Windows shows it) filled in; then of the lines marked "url|" or "nourl|"
#   those that fit DOWNLOAD_URL (empty for none), with @DOWNLOAD_URL@ filled
#   in. The publisher goes last: a name the signer chose can hold what looks
#   like a placeholder, which no later substitution may fill in.
windows_text() {
    local file=$1 version=$2 sha256=$3 signed=$4 download_url=$5 thumbprint=$6 publisher=$7
    local keep=unsigned drop=signed keep_url=nourl drop_url=url
    if [ "$signed" = yes ]; then
        keep=signed drop=unsigned
    fi
    if [ -n "$download_url" ]; then
        keep_url=url drop_url=nourl
    fi
    printf '\xEF\xBB\xBF'
    sed -e "/^$drop|/d" -e "s/^$keep|//" -e "s/@VERSION@/$version/g" -e "s/@SHA256@/$sha256/g" \
        -e "/^$drop_url|/d" -e "s/^$keep_url|//" -e "s|@DOWNLOAD_URL@|$(sed_replacement "$download_url")|g" \
        -e "s|@THUMBPRINT@|$thumbprint|g" -e "s|@PUBLISHER@|$(sed_replacement "$publisher")|g" \
        -e 's/$/\r/' "$file"
}

# TEXT: TEXT made safe as the replacement of a sed `s|...|TEXT|`.
# shellcheck disable=SC2001  # bash's own & in a replacement differs across versions
sed_replacement() { sed 's/[\\&|]/\\&/g' <<<"$1"; }
