#!/bin/sh
# release.sh BUILD_DIR OUT_DIR
#
# Makes the driver package from the build trees: OUT_DIR/driver/ (the INF, the library of
# each architecture and, when signed, the catalog of them all), the bill of materials
# OUT_DIR/zorva_kt2hx.cdx.json (CycloneDX 1.6), and the cabinet OUT_DIR/zorva_kt2hx.cab made
# from both. Prints the SHA-256 of every file it produces.
#
# Everything comes from the environment, never from a command line pasted together:
#   SIGNING_CERT       the vendor's code-signing certificate and key, a PKCS #12 (.p12/.pfx)
#                      file; without it the package is unsigned and has no catalog
#   SIGNING_PASS_FILE  the file holding its password (only the path is ever passed on); one
#                      that group or others may read gets a warning
#   TIMESTAMP_URL      an RFC 3161 time-stamp server, optional: every signature gets a
#                      time stamp, so that it stays valid after the certificate expires
#   TIMESTAMP_TIMEOUT  how many seconds each signature may wait for it (60)
#   SOURCE_DATE_EPOCH  the time recorded in the catalog, the cabinet and the bill of
#                      materials (the time of the source tree's commit when it is not set)
#
# With a certificate it signs the library (Authenticode, SHA-256, the certificate chain
# included), then makes the catalog over the signed library and the INF and signs it, then
# the bill of materials of what ships, then the cabinet, and signs that.
#
# A release is a transaction. OUT_DIR is a symbolic link to one complete release, a folder
# in OUT_DIR's sibling .NAME.releases/ (NAME being OUT_DIR's own name). A run builds the new
# release in a folder of its own there and then points the link at it with one rename, so
# OUT_DIR shows the whole previous release or the whole new one, never a mix. A run that
# fails or is stopped by a signal removes its own folder and leaves the link as it was; the
# next run removes what a run killed outright left behind. A lock on .NAME.releases/lock
# lets one run at a time work there: a second run meanwhile fails at once.
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

# The libraries the package ships, one per architecture ARCH, each from its build tree:
# the x64 one from BUILD_DIR, every other from BUILD_DIR/ARCH (as `make` lays them out).
# A tree stages its library as package/driver/ZORVA_KT2HX-ARCH.dll and leaves beside it
# the linker's account of that link, which names what the toolchain linked into it: GNU
# ld's map ZORVA_KT2HX-ARCH.map, or lld's verbose report ZORVA_KT2HX-ARCH.link-report.
# The INF is the x64 tree's (the same text in every tree).
architectures="x64 arm64"

tree_of() {
    if [ "$1" = x64 ]; then echo "$build_dir"; else echo "$build_dir/$1"; fi
}
library_of() {
    echo "$(tree_of "$1")/package/driver/ZORVA_KT2HX-$1.dll"
}
link_record_of() {
    if [ -f "$(tree_of "$1")/ZORVA_KT2HX-$1.link-report" ]; then
        echo "$(tree_of "$1")/ZORVA_KT2HX-$1.link-report"
    else
        echo "$(tree_of "$1")/ZORVA_KT2HX-$1.map"
    fi
}

inf=$build_dir/package/driver/zorva_kt2hx.inf
set -- "$inf"
for a in $architectures; do
    set -- "$@" "$(library_of "$a")" "$(link_record_of "$a")"
done
for f in "$@"; do
    [ -f "$f" ] && [ -r "$f" ] || fail "$f is missing: build the project first"
done

require_tool() {
    command -v "$1" >/dev/null 2>&1 || fail "$1 is not installed (make package installs it)"
}
require_tool gcab
require_tool openssl
require_tool flock
require_tool /usr/bin/python3

signing_cert=${SIGNING_CERT:-}
pass_file=${SIGNING_PASS_FILE:-}
timestamp_url=${TIMESTAMP_URL:-}
timestamp_timeout=${TIMESTAMP_TIMEOUT:-60}
case $timestamp_timeout in
    '' | *[!0-9]* | 0) fail "TIMESTAMP_TIMEOUT is not a positive number of seconds: $timestamp_timeout" ;;
esac
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null || date +%s)
    export SOURCE_DATE_EPOCH
fi
case $SOURCE_DATE_EPOCH in
    '' | *[!0-9]*) fail "SOURCE_DATE_EPOCH is not a number of seconds: $SOURCE_DATE_EPOCH" ;;
esac

# ---------------------------------------------------------------------------------------
# The output link, its releases and the lock.

name=${out_dir%/}
name=${name##*/}
case $name in
    '' | . | ..) fail "OUT_DIR must name a folder: $out_dir" ;;
esac
parent=$(dirname "${out_dir%/}")
mkdir -p "$parent"
parent=$(cd "$parent" && pwd)
out_dir=$parent/$name
store_name=.$name.releases
store=$parent/$store_name
mkdir -p "$store"
exec 9>>"$store/lock"
flock -n 9 || fail "another run is making a release in $out_dir: try again when it has ended"

# The release the link shows now, and the folders of runs killed outright before.
current=
if [ -L "$out_dir" ]; then
    current=$(readlink "$out_dir")
    current=${current#"$store_name/"}
fi
for f in "$store"/* "$store"/.[!.]*; do
    [ -e "$f" ] || [ -L "$f" ] || continue
    case ${f##*/} in
        lock | "$current") ;;
        *) rm -rf "$f" ;;
    esac
done

stage=$(mktemp -d "$store/release.XXXXXX")
stage_link=$store_name/${stage##*/}
child=

# The run's own folder goes on every way out, unless the link already shows it.
cleanup() {
    [ -z "$child" ] || kill "$child" 2>/dev/null || true
    [ "$(readlink "$out_dir" 2>/dev/null)" = "$stage_link" ] || rm -rf "$stage"
}
# A signal ends the run like an error (a broken output pipe included). Its line goes to the
# run's own error output (descriptor 8), not to a log a command was writing to.
exec 8>&2
stopped() { # signal-name exit-status
    trap '' HUP INT QUIT PIPE TERM
    trap - EXIT
    cleanup
    echo "$program: stopped by SIG$1: $out_dir is as it was" >&8 || true
    exit "$2"
}
trap cleanup EXIT
trap 'stopped HUP 129' HUP
trap 'stopped INT 130' INT
trap 'stopped QUIT 131' QUIT
trap 'stopped PIPE 141' PIPE
trap 'stopped TERM 143' TERM

# Runs a command as a child that a signal's handler can stop: the shell takes a signal only
# between commands, and a time-stamp server may keep a signature waiting.
await() {
    "$@" &
    child=$!
    status=0
    wait "$child" || status=$?
    child=
    return "$status"
}

mkdir "$stage/driver" "$stage/work"
log=$stage/work/log

# ---------------------------------------------------------------------------------------
# Signing.

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
    mode=$(stat -L -c %a "$pass_file")
    if [ $((0$mode & 044)) -ne 0 ]; then
        echo "$program: warning: password file $pass_file can be read by group or others (mode $mode): chmod 600 it" >&2
    fi
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

# Whether the Authenticode signature of $1 carries an RFC 3161 time stamp (an unsigned
# attribute of type 1.3.6.1.4.1.311.3.3.1). Some osslsigncode versions report success when
# the stamp could not be had or added.
has_time_stamp() {
    rm -f "$stage/work/signature"
    case $1 in
        *.cat) cp "$1" "$stage/work/signature" ;;
        *) osslsigncode extract-signature -in "$1" -out "$stage/work/signature" >"$log" 2>&1 ||
            return 1 ;;
    esac
    openssl asn1parse -inform DER -in "$stage/work/signature" 2>/dev/null |
        grep -q ':1\.3\.6\.1\.4\.1\.311\.3\.3\.1$'
}

# Signs $1 into $2 with Authenticode, SHA-256, every certificate of the file included, the
# package's name in the signer's opus info, as signed catalogs carry it, and a time stamp
# from TIMESTAMP_URL when one is given.
sign() {
    in=$1 out=$2
    set -- osslsigncode sign -pkcs12 "$signing_cert" -readpass "$pass_file" -h sha256 \
        -n "Zorva KT2HX driver package"
    [ -z "$timestamp_url" ] || set -- timeout "$timestamp_timeout" "$@" -ts "$timestamp_url"
    status=0
    await "$@" -in "$in" -out "$out" >"$log" 2>&1 || status=$?
    if [ "$status" -eq 124 ] && [ -n "$timestamp_url" ]; then
        fail "signing ${out##*/} failed: no time stamp from $timestamp_url within $timestamp_timeout s"
    elif [ "$status" -ne 0 ]; then
        if [ -n "$timestamp_url" ] && grep -qi 'timestamp' "$log"; then
            fail "signing ${out##*/} failed: no time stamp from $timestamp_url"
        fi
        fail "signing ${out##*/} failed: $(grep -v -e ':error:' -e '^Failed$' "$log" | grep . | tail -n 1)"
    fi
    [ -z "$timestamp_url" ] || has_time_stamp "$out" ||
        fail "signing ${out##*/} failed: no valid time stamp from $timestamp_url in the signature"
}

# ---------------------------------------------------------------------------------------
# The package.

driver=$stage/driver
cp "$inf" "$driver/zorva_kt2hx.inf"
if [ -n "$signing_cert" ]; then
    require_tool osslsigncode
    check_certificate
    set --
    for a in $architectures; do
        sign "$(library_of "$a")" "$driver/ZORVA_KT2HX-$a.dll"
        set -- "$@" "$driver/ZORVA_KT2HX-$a.dll"
    done
    "$here/make-catalog.py" "$stage/work/zorva_kt2hx.cat" "$@" "$driver/zorva_kt2hx.inf"
    sign "$stage/work/zorva_kt2hx.cat" "$driver/zorva_kt2hx.cat"
else
    for a in $architectures; do
        cp "$(library_of "$a")" "$driver/ZORVA_KT2HX-$a.dll"
    done
    echo "$program: no SIGNING_CERT given: the package is unsigned and has no catalog"
fi

# The bill of materials of the files as they ship; each library with the map of its link.
sbom=$stage/zorva_kt2hx.cdx.json
set -- --out "$sbom" --inf "$driver/zorva_kt2hx.inf"
for a in $architectures; do
    set -- "$@" --library "$driver/ZORVA_KT2HX-$a.dll" "$(link_record_of "$a")"
done
[ ! -f "$driver/zorva_kt2hx.cat" ] || set -- "$@" --file "$driver/zorva_kt2hx.cat"
/usr/bin/python3 "$here/make-sbom.py" "$@" >"$log" 2>&1 ||
    fail "the bill of materials could not be made: $(tail -n 1 "$log")"

# The cabinet holds the driver folder and the bill of materials, each file with the
# source's time, so that it does not vary by itself.
mkdir "$stage/work/cabinet"
cp "$driver"/* "$sbom" "$stage/work/cabinet/"
touch -d "@$SOURCE_DATE_EPOCH" "$stage/work/cabinet"/*
(cd "$stage/work/cabinet" && LC_ALL=C gcab -c -n -z ../zorva_kt2hx.cab $(LC_ALL=C ls)) >"$log" 2>&1 ||
    fail "gcab could not make the cabinet: $(tail -n 1 "$log")"
if [ -n "$signing_cert" ]; then
    sign "$stage/work/zorva_kt2hx.cab" "$stage/zorva_kt2hx.cab"
else
    mv "$stage/work/zorva_kt2hx.cab" "$stage/zorva_kt2hx.cab"
fi
rm -rf "$stage/work"

# ---------------------------------------------------------------------------------------
# The switch: one rename puts the link to the new release in place of the old link. From
# here on the new release stands, and a signal no longer ends the run.
trap '' HUP INT QUIT PIPE TERM
ln -s "$stage_link" "$store/link"
if [ -d "$out_dir" ] && [ ! -L "$out_dir" ]; then
    # A release made before releases were links: it moves into the store first.
    mv "$out_dir" "$store/earlier"
fi
mv -T "$store/link" "$out_dir"
[ -z "$current" ] || rm -rf "${store:?}/$current"
rm -rf "$store/earlier"

cd "$out_dir/"
for f in driver/* zorva_kt2hx.cdx.json zorva_kt2hx.cab; do
    sha256sum "$f"
done
