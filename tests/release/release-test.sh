#!/bin/sh
# release-test.sh setup|signatures|unsigned|bad-inputs SOURCE_DIR BINARY_DIR
#
# setup makes, in BINARY_DIR/release-test/, a throw-away certificate authority (ca.pem,
# ca.der) and the certificates the cases need, runs package/release/release.sh the way
# `make package` does into signed/ and without a certificate into unsigned/, and signs a
# copy of the library with a certificate of another authority into foreign/. The other
# parts check what it made. Every output of every run goes to logs/, so that the last part
# can look for the password in all of it.
set -eu

part=$1
source_dir=$2
binary_dir=$3
release=$source_dir/package/release/release.sh
build_dll=$binary_dir/package/driver/ZORVA_KT2HX-x64.dll
t=$binary_dir/release-test
password=Zorva-release-pass-7Qx9
wrong_password=not-the-password-3Kd8
dll=ZORVA_KT2HX-x64.dll
inf=zorva_kt2hx.inf
cat=zorva_kt2hx.cat

failures=0
pass() { echo "ok: $*"; }
failed() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
finish() {
    [ "$failures" -eq 0 ] || {
        echo "$failures failure(s)"
        exit 1
    }
}

# ---------------------------------------------------------------------------------------
# Certificates: name, issuing authority, extensions, validity (openssl ca dates).

openssl_ca_config() {
    cat <<'EOF'
[ca]
default_ca = test_ca
[test_ca]
database = $ENV::CA_DIR/index.txt
new_certs_dir = $ENV::CA_DIR
serial = $ENV::CA_DIR/serial
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
[any]
commonName = supplied
[code_signing]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server_only]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
}

make_authority() { # name common-name
    mkdir -p "$t/$1"
    : >"$t/$1/index.txt"
    echo 01 >"$t/$1/serial"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$t/$1/key.pem" -out "$t/$1/cert.pem" 2>/dev/null
}

# The certificates all share one key: a key pair takes up to a second to make, and what
# the cases differ in is the certificate.
issue() { # p12-name authority extensions start end common-name
    openssl req -new -key "$t/leaf.key" -subj "/CN=$6" -out "$t/$1.csr"
    CA_DIR=$t/$2 openssl ca -batch -notext -config "$t/ca.cnf" -extensions "$3" \
        -startdate "$4" -enddate "$5" -cert "$t/$2/cert.pem" -keyfile "$t/$2/key.pem" \
        -in "$t/$1.csr" -out "$t/$1.pem" 2>/dev/null
    openssl pkcs12 -export -inkey "$t/leaf.key" -in "$t/$1.pem" -certfile "$t/$2/cert.pem" \
        -passout "file:$t/pass.txt" -out "$t/$1.p12"
    rm -f "$t/$1.csr"
}

# Runs release.sh with the given environment assignments, output to logs/NAME.{out,err};
# sets $rc.
run_release() { # name out-dir [VAR=value...]
    local log=$t/logs/$1 out=$2
    shift 2
    rc=0
    env -u SIGNING_CERT -u SIGNING_PASS_FILE -u TIMESTAMP_URL "$@" \
        "$release" "$binary_dir" "$out" >"$log.out" 2>"$log.err" || rc=$?
}

setup() {
    rm -rf "$t"
    mkdir -p "$t/logs" "$t/foreign"
    echo "$password" >"$t/pass.txt"
    echo "$wrong_password" >"$t/wrong-pass.txt"
    openssl_ca_config >"$t/ca.cnf"
    now=$(date -u +%Y%m%d%H%M%SZ)
    later=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
    make_authority authority "Zorva Release Test CA"
    make_authority other-authority "Another Test CA"
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$t/leaf.key" 2>/dev/null
    cp "$t/authority/cert.pem" "$t/ca.pem"
    openssl x509 -in "$t/ca.pem" -outform DER -out "$t/ca.der"
    issue vendor authority code_signing "$now" "$later" "Zorva Test Vendor"
    issue expired authority code_signing 20200101000000Z 20210101000000Z "Zorva Expired Vendor"
    issue server-only authority server_only "$now" "$later" "Zorva Web Server"
    issue foreign other-authority code_signing "$now" "$later" "Foreign Vendor"

    run_release signed "$t/signed" SIGNING_CERT="$t/vendor.p12" SIGNING_PASS_FILE="$t/pass.txt"
    cat "$t/logs/signed.out" "$t/logs/signed.err"
    [ "$rc" -eq 0 ] || exit 1
    run_release unsigned "$t/unsigned"
    cat "$t/logs/unsigned.out" "$t/logs/unsigned.err"
    [ "$rc" -eq 0 ] || exit 1
    osslsigncode sign -pkcs12 "$t/foreign.p12" -readpass "$t/pass.txt" -h sha256 \
        -in "$build_dll" -out "$t/foreign/$dll" >"$t/logs/foreign.out" 2>&1
}

# ---------------------------------------------------------------------------------------

verify() { # expect(ok|fails) description osslsigncode-verify-arguments...
    expect=$1 what=$2
    shift 2
    if osslsigncode verify -CAfile "$t/ca.pem" "$@" >"$t/logs/verify-$part.out" 2>&1; then
        got=ok
    else
        got=fails
    fi
    if [ "$got" = "$expect" ]; then pass "$what"; else failed "$what (verification $got)"; fi
}

# A flat file is a member when the signed catalog verifies and one of its member identifiers
# is the file's SHA-256, the raw digest. (osslsigncode's verify -catalog takes only the file
# types it can hash itself, so the identifier is looked up with openssl; catalog-test.py
# reads the whole layout.)
verify_flat_member() { # expect(ok|fails) description catalog file
    expect=$1 what=$2
    tag=$(sha256sum "$4" | cut -d' ' -f1 | tr a-f A-F)
    if osslsigncode verify -CAfile "$t/ca.pem" -in "$3" >/dev/null 2>&1 &&
        openssl asn1parse -inform DER -in "$3" | grep -q "OCTET STRING *\[HEX DUMP\]:$tag\$"; then
        got=ok
    else
        got=fails
    fi
    if [ "$got" = "$expect" ]; then pass "$what"; else failed "$what (verification $got)"; fi
}

# Copies $1 to $2 with the byte at offset $3 changed.
change_byte() {
    cp "$1" "$2"
    byte=$(od -An -tu1 -j "$3" -N1 "$2" | tr -d ' ')
    printf "\\$(printf %o $(((byte + 1) % 256)))" |
        dd of="$2" bs=1 seek="$3" conv=notrunc 2>/dev/null
}

# The file offset of the middle of the .text section of PE image $1.
middle_of_code() {
    x86_64-w64-mingw32-objdump -h "$1" |
        awk '$2 == ".text" { print $3, $6 }' | {
        read -r size offset
        echo $((0x$offset + 0x$size / 2))
    }
}

signatures() {
    d=$t/signed/driver
    change_byte "$d/$dll" "$t/changed-code.dll" "$(middle_of_code "$d/$dll")"
    change_byte "$d/$inf" "$t/changed.inf" $(($(wc -c <"$d/$inf") / 2))

    verify ok "the signed DLL verifies against the test authority" -in "$d/$dll"
    verify ok "the catalog verifies against the test authority" -in "$d/$cat"
    verify ok "the cabinet verifies against the test authority" -in "$t/signed/zorva_kt2hx.cab"
    verify ok "the catalog lists the signed DLL" -catalog "$d/$cat" -in "$d/$dll"
    verify_flat_member ok "the catalog lists the INF" "$d/$cat" "$d/$inf"
    verify fails "a DLL with one byte of code changed does not verify" -in "$t/changed-code.dll"
    verify fails "the catalog refuses a DLL with one byte of code changed" \
        -catalog "$d/$cat" -in "$t/changed-code.dll"
    verify_flat_member fails "the catalog refuses an INF with one byte changed" \
        "$d/$cat" "$t/changed.inf"
    verify fails "a DLL signed under another authority does not verify" -in "$t/foreign/$dll"

    # The cabinet holds exactly the driver folder, byte for byte, and gcab lists the same.
    for package in signed unsigned; do
        rm -rf "$t/expanded"
        mkdir "$t/expanded"
        gcab -x -C "$t/expanded" "$t/$package/zorva_kt2hx.cab" >/dev/null
        if diff -r "$t/$package/driver" "$t/expanded" >/dev/null &&
            [ "$(gcab -t "$t/$package/zorva_kt2hx.cab")" = "$(LC_ALL=C ls "$t/$package/driver")" ]; then
            pass "the $package cabinet holds exactly the driver folder, as gcab -t lists"
        else
            failed "the $package cabinet differs from the driver folder"
        fi
    done
    finish
}

unsigned() {
    u=$t/unsigned
    if [ "$(cat "$t/logs/unsigned.err")" = "" ] &&
        [ "$(grep -c unsigned "$t/logs/unsigned.out")" -eq 1 ] &&
        [ "$(LC_ALL=C ls "$u/driver" | tr '\n' ' ')" = "$dll $inf " ] &&
        cmp -s "$u/driver/$dll" "$build_dll"; then
        pass "without a certificate: the INF and the unsigned DLL, no catalog, one line saying so"
    else
        failed "the unsigned package"
    fi
    verify fails "the unsigned DLL carries no signature" -in "$u/driver/$dll"
    # The hash lines of two runs from the same build: the same bytes, cabinet included.
    run_release unsigned-again "$t/unsigned-again"
    if [ "$rc" -eq 0 ] && [ "$(grep '  ' "$t/logs/unsigned.out")" = "$(grep '  ' "$t/logs/unsigned-again.out")" ] &&
        [ "$(grep -c '  ' "$t/logs/unsigned.out")" -eq 3 ]; then
        pass "two unsigned runs print the same SHA-256 for each of the three files"
    else
        failed "two unsigned runs differ"
    fi
    finish
}

# ---------------------------------------------------------------------------------------
# Bad input: each case starts from a copy of the signed release and must end non-zero with
# a one-line error naming the cause, that release untouched and nothing else left behind.

snapshot() {
    (cd "$1" && find . | LC_ALL=C sort && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
}

# A stand-in for osslsigncode, first on PATH: records its arguments and its environment,
# drops the time-stamp server (there is no network here), can stop the run that called it
# while it signs the catalog, and runs the real program.
make_recorder() {
    mkdir -p "$t/bin"
    cat >"$t/bin/osslsigncode" <<EOF
#!/bin/sh
{ echo "args: \$*"; env; } >>"\$RECORD"
case "\$* " in
    *".cat "*) [ -z "\${INTERRUPT_ON_CATALOG:-}" ] || kill -TERM "\$PPID" ;;
esac
skip=
for a in "\$@"; do
    shift
    if [ -n "\$skip" ]; then skip=; continue; fi
    if [ "\$a" = -ts ]; then skip=1; continue; fi
    set -- "\$@" "\$a"
done
exec $(command -v osslsigncode) "\$@"
EOF
    chmod +x "$t/bin/osslsigncode"
}

bad_case() { # name expected-error-pattern VAR=value...
    name=$1 pattern=$2
    shift 2
    out=$t/bad/$name
    rm -rf "$out"
    mkdir -p "$t/bad"
    cp -a "$t/signed" "$out"
    before=$(snapshot "$out")
    run_release "bad-$name" "$out" "$@"
    err=$t/logs/bad-$name.err
    if [ "$rc" -eq 0 ]; then
        failed "$name: the run succeeded"
    elif [ "$(wc -l <"$err")" -ne 1 ] || ! grep -Eq "^release: .*$pattern" "$err"; then
        failed "$name: expected one line naming '$pattern', got: $(cat "$err")"
    elif [ "$(snapshot "$out")" != "$before" ]; then
        failed "$name: the previous release was changed or something was left behind"
    else
        pass "$name: $(cat "$err")"
    fi
}

bad_inputs() {
    head -c 2000 /dev/urandom >"$t/garbage.p12"
    rm -f "$t"/logs/recorder*.log
    make_recorder
    vendor="SIGNING_CERT=$t/vendor.p12"
    pass_file="SIGNING_PASS_FILE=$t/pass.txt"
    bad_case missing-certificate "$t/absent.p12: no such readable file" \
        SIGNING_CERT="$t/absent.p12" "$pass_file"
    bad_case unreadable-certificate "garbage.p12: not a PKCS #12 file" \
        SIGNING_CERT="$t/garbage.p12" "$pass_file"
    bad_case wrong-password "wrong password" "$vendor" SIGNING_PASS_FILE="$t/wrong-pass.txt"
    bad_case expired-certificate "Zorva Expired Vendor expired" \
        SIGNING_CERT="$t/expired.p12" "$pass_file"
    bad_case no-code-signing-usage "Zorva Web Server has no code-signing" \
        SIGNING_CERT="$t/server-only.p12" "$pass_file"
    bad_case unreachable-time-stamp-server "no time stamp from http://127.0.0.1:9/" \
        "$vendor" "$pass_file" TIMESTAMP_URL=http://127.0.0.1:9/
    bad_case interrupted-while-signing-the-catalog "stopped" "$vendor" "$pass_file" \
        PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-interrupted.log" INTERRUPT_ON_CATALOG=1

    # Every signature is asked for a time stamp from the server given.
    url=http://timestamp.example.invalid/rfc3161
    run_release time-stamped "$t/time-stamped" "$vendor" "$pass_file" TIMESTAMP_URL=$url \
        PATH="$t/bin:$PATH" RECORD="$t/logs/recorder.log"
    signed_with_ts=$(grep -c "^args: sign .*-ts $url .*-out $t/time-stamped/" "$t/logs/recorder.log" || true)
    if [ "$rc" -eq 0 ] && [ "$signed_with_ts" -eq 3 ] &&
        [ "$(grep -c '^args: sign' "$t/logs/recorder.log")" -eq 3 ]; then
        pass "TIMESTAMP_URL reaches osslsigncode as -ts in each of the three signatures"
    else
        failed "TIMESTAMP_URL: $signed_with_ts of 3 signatures asked for a time stamp (exit $rc)"
    fi

    # The password, right or wrong, is in no output, no argument list, no environment.
    if grep -rlF -e "$password" -e "$wrong_password" "$t/logs"; then
        failed "a password appears in the files above"
    elif [ "$(ls "$t/logs" | wc -l)" -lt 10 ]; then
        failed "too few logs to search for the password"
    else
        pass "no password in any output, argument list or environment ($(ls "$t/logs" | wc -l) logs)"
    fi
    finish
}

case $part in
    setup) setup ;;
    signatures) signatures ;;
    unsigned) unsigned ;;
    bad-inputs) bad_inputs ;;
    *)
        echo "release-test.sh: unknown part $part" >&2
        exit 2
        ;;
esac
