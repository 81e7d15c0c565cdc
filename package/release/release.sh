#!/bin/sh
# release.sh BUILD_DIR OUT_DIR
#
# Makes the driver package from a build tree: OUT_DIR/driver/ (the INF, the library under
# its shipped name and, when signed, the catalog) and the cabinet OUT_DIR/zorva_kt2hx.cab
# made from that folder. Prints the SHA-256 of every file it produces.
#
# Signing comes from the environment:
#   SIGNING_CERT       the vendor's code-signing certificate and key, a PKCS #12 (.p12/.pfx)
#                      file; without it the package is unsigned and has no catalog
#   SIGNING_PASS_FILE  the file holding its password (only the path is ever passed on)
#   TIMESTAMP_URL      an RFC 3161 time-stamp server, optional: every signature gets a
#                      time stamp, so that it stays valid after the certificate expires
#   SOURCE_DATE_EPOCH  the time recorded in the catalog and the cabinet (the time of the
#                      source tree's commit when it is not set)
#
# With a certificate it signs the library (Authenticode, SHA-256, the certificate chain
# included), then makes the catalog over the signed library and the INF and signs it, then
# makes the cabinet and signs it. Everything is made in a staging folder inside OUT_DIR and
# moved into place only when all of it is done: a run that fails or is interrupted leaves
# the previous release as it was, and nothing signed or half-signed behind.
set -eu

program=release
here=$(cd "$(dirname "$0")" && pwd)

fail() {
    echo "$program: $*" >&2
    exit 1
}

[ $# -eq 2 ] || fail "usage: release.sh BUILD_DIR OUT_DIR"
build_dir=$1
out_dir=$2
inf=$build_dir/package/driver/zorva_kt2hx.inf
dll=$build_dir/package/driver/ZORVA_KT2HX-x64.dll
for f in "$inf" "$dll"; do
    [ -f "$f" ] && [ -r "$f" ] || fail "$f is missing: build the project first"
done

require_tool() {
    command -v "$1" >/dev/null 2>&1 || fail "$1 is not installed (make package installs it)"
}
require_tool gcab
require_tool openssl

signing_cert=${SIGNING_CERT:-}
pass_file=${SIGNING_PASS_FILE:-}
timestamp_url=${TIMESTAMP_URL:-}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)
    export SOURCE_DATE_EPOCH
fi
case $SOURCE_DATE_EPOCH in
    '' | *[!0-9]*) fail "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH" ;;
esac

mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
stage=$(mktemp -d "$out_dir/.staging.XXXXXX")
# The staging folder goes on every way out; a signal ends the run like an error.
trap 'rm -rf "$stage"' EXIT
trap 'echo "$program: interrupted: $out_dir is as it was" >&2; exit 130' INT
trap 'echo "$program: stopped: $out_dir is as it was" >&2; exit 143' TERM
mkdir "$stage/driver" "$stage/work"
log=$stage/work/log

# Opens the certificate file with the password, with OpenSSL's legacy algorithms when the
# file was written with them (RC2 and 3DES, as many Windows exports are). Extra arguments
# go to `openssl pkcs12`.
open_pkcs12() {
    if openssl pkcs12 -in "$signing_cert" -passin "file:$pass_file" "$@" 2>"$log"; then
        return 0
    fi
    grep -qi 'unsupported' "$log" || return 1
    openssl pkcs12 -legacy -in "$signing_cert" -passin "file:$pass_file" "$@" 2>"$log"
}

# Checks that the certificate can sign code before anything is signed: osslsigncode signs
# with an expired certificate, or one not meant for code, without a word, and Windows then
# refuses the package on the target machine.
check_certificate() {
    [ -f "$signing_cert" ] && [ -r "$signing_cert" ] ||
        fail "signing certificate $signing_cert: no such readable file"
    [ -n "$pass_file" ] ||
        fail "SIGNING_PASS_FILE is not set: the password of $signing_cert must come from a file"
    [ -f "$pass_file" ] && [ -r "$pass_file" ] ||
        fail "password file $pass_file: no such readable file"
    if ! open_pkcs12 -noout; then
        if grep -qi 'invalid password' "$log"; then
            fail "wrong password for $signing_cert (from $pass_file)"
        fi
        fail "signing certificate $signing_cert: not a PKCS #12 file OpenSSL can read"
    fi
    open_pkcs12 -nokeys -clcerts -out "$stage/work/signer.pem" ||
        fail "signing certificate $signing_cert: it holds no certificate"
    cert=$stage/work/signer.pem
    openssl x509 -in "$cert" -noout >/dev/null 2>&1 ||
        fail "signing certificate $signing_cert: it holds no certificate"
    subject=$(openssl x509 -in "$cert" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
    not_after=$(openssl x509 -in "$cert" -noout -enddate | sed 's/^notAfter=//')
    not_before=$(openssl x509 -in "$cert" -noout -startdate | sed 's/^notBefore=//')
    openssl x509 -in "$cert" -noout -checkend 0 >/dev/null ||
        fail "certificate $subject expired on $not_after: it cannot sign code"
    [ "$(date -u -d "$not_before" +%s)" -le "$(date +%s)" ] ||
        fail "certificate $subject is not valid before $not_before: it cannot sign code yet"
    openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
        fail "certificate $subject has no code-signing extended key usage: it cannot sign code"
    key_usage=$(openssl x509 -in "$cert" -noout -ext keyUsage 2>/dev/null)
    if [ -n "$key_usage" ] && ! echo "$key_usage" | grep -q 'Digital Signature'; then
        fail "certificate $subject has no digitalSignature key usage: it cannot sign code"
    fi
    echo "$program: signing with $subject (valid until $not_after)"
}

# Signs $1 into $2 with Authenticode, SHA-256, every certificate of the file included, and
# the package's name in the signer's opus info, as signed catalogs carry it.
sign() {
    set -- "$1" "$2" sign -pkcs12 "$signing_cert" -readpass "$pass_file" -h sha256 \
        -n "Zorva KT2HX driver package"
    [ -z "$timestamp_url" ] || set -- "$@" -ts "$timestamp_url"
    in=$1 out=$2
    shift 2
    if ! osslsigncode "$@" -in "$in" -out "$out" >"$log" 2>&1; then
        if [ -n "$timestamp_url" ] && grep -qi 'timestamp' "$log"; then
            fail "signing ${out##*/} failed: no time stamp from $timestamp_url"
        fi
        fail "signing ${out##*/} failed: $(grep -v -e ':error:' -e '^Failed$' "$log" | grep . | tail -n 1)"
    fi
}

driver=$stage/driver
cp "$inf" "$driver/zorva_kt2hx.inf"
if [ -n "$signing_cert" ]; then
    require_tool osslsigncode
    check_certificate
    sign "$dll" "$driver/ZORVA_KT2HX-x64.dll"
    "$here/make-catalog.sh" "$stage/work/zorva_kt2hx.cat" \
        "$driver/ZORVA_KT2HX-x64.dll" "$driver/zorva_kt2hx.inf"
    sign "$stage/work/zorva_kt2hx.cat" "$driver/zorva_kt2hx.cat"
else
    cp "$dll" "$driver/ZORVA_KT2HX-x64.dll"
    echo "$program: no SIGNING_CERT given: the package is unsigned and has no catalog"
fi

# The cabinet records each file's time: the source's, so that it does not vary by itself.
touch -d "@$SOURCE_DATE_EPOCH" "$driver"/*
(cd "$driver" && LC_ALL=C gcab -c -n -z "$stage/work/zorva_kt2hx.cab" $(LC_ALL=C ls)) >"$log" 2>&1 ||
    fail "gcab could not make the cabinet: $(tail -n 1 "$log")"
if [ -n "$signing_cert" ]; then
    sign "$stage/work/zorva_kt2hx.cab" "$stage/zorva_kt2hx.cab"
else
    mv "$stage/work/zorva_kt2hx.cab" "$stage/zorva_kt2hx.cab"
fi

# Into place. Signals wait until the three renames are done.
trap '' INT TERM
rm -rf "$stage/work"
if [ -e "$out_dir/driver" ]; then
    mv "$out_dir/driver" "$stage/previous-driver"
fi
mv "$stage/driver" "$out_dir/driver"
mv "$stage/zorva_kt2hx.cab" "$out_dir/zorva_kt2hx.cab"

cd "$out_dir"
for f in driver/* zorva_kt2hx.cab; do
    sha256sum "$f"
done
