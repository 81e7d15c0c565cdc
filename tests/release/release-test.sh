#!/bin/sh
# release-test.sh PART SOURCE_DIR BINARY_DIR
#
# setup makes, in BINARY_DIR/release-test/, a throw-away certificate authority (ca.pem,
# ca.der), a throw-away time-stamp authority (tsa-ca.pem, and tsa.cnf for `openssl ts`) and
# the certificates the cases need. It runs package/release/release.sh the way `make package`
# does into signed/, into stamped/ with a time stamp from tsa.py on 127.0.0.1, and without a
# certificate into unsigned/, and signs a copy of the library with a certificate of another
# authority into foreign/. The other parts (signatures, time-stamps, unsigned,
# bad-inputs, transaction) check what it made or make releases of their
# own. Every output of every run goes to logs/, so that bad-inputs can look for the password
# in all of it. current does what setup does unless setup's last run is newer than both
# libraries (for the ARM64 tree's suite, which takes what the x64 tree's made).
set -eu

part=$1
source_dir=$2
binary_dir=$3
here=$(cd "$(dirname "$0")" && pwd)
release=$source_dir/package/release/release.sh
build_dll=$binary_dir/package/driver/ZORVA_KT2HX-x64.dll
# The ARM64 tree, which `make` builds in BINARY_DIR/arm64, stages the ARM64 library.
build_arm64_dll=$binary_dir/arm64/package/driver/ZORVA_KT2HX-arm64.dll
t=$binary_dir/release-test
password=Zorva-release-pass-7Qx9
wrong_password=not-the-password-3Kd8
dll=ZORVA_KT2HX-x64.dll
arm64_dll=ZORVA_KT2HX-arm64.dll
inf=zorva_kt2hx.inf
cat=zorva_kt2hx.cat
cab=zorva_kt2hx.cab
sbom=zorva_kt2hx.cdx.json

failures=0
pass() { echo "ok: $*"; }
failed() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
check() { # description condition: passes when the shell condition holds
    if eval "$2"; then pass "$1"; else failed "$1"; fi
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
[time_stamping]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
}

# What `openssl ts -reply` answers with: RFC 3161, SHA-256, the TSA's chain in each reply.
openssl_tsa_config() {
    cat <<EOF
[tsa]
default_tsa = test_tsa
[test_tsa]
serial = $t/tsa-serial
crypto_device = builtin
signer_cert = $t/tsa.pem
certs = $t/tsa-ca.pem
signer_key = $t/leaf.key
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
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

# The time-stamp authority, on a port of its own for this part, stopped when the part ends.
start_tsa() { # sets tsa_url
    rm -f "$t/tsa-port.$part"
    /usr/bin/python3 "$here/tsa.py" "$t/tsa.cnf" "$t/tsa-port.$part" 2>"$t/logs/tsa-$part.err" &
    tsa_pid=$!
    trap 'kill "$tsa_pid" 2>/dev/null || true' EXIT
    tries=0
    until [ -s "$t/tsa-port.$part" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || { failed "the time-stamp authority did not start" && finish; }
        sleep 0.1
    done
    tsa_url=http://127.0.0.1:$(cat "$t/tsa-port.$part")/
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

# A stand-in for osslsigncode, first on PATH, for what a real signer cannot be made to do:
# it records its arguments and its environment, and when it is asked to sign the catalog it
# can first send the run that called it a signal, or wait until a gate file appears.
make_recorder() {
    mkdir -p "$t/bin"
    cat >"$t/bin/osslsigncode" <<EOF
#!/bin/sh
{ echo "args: \$*"; env; } >>"\$RECORD"
case "\$* " in
    *".cat "*)
        [ -z "\${SIGNAL_ON_CATALOG:-}" ] || kill -"\$SIGNAL_ON_CATALOG" "\$PPID"
        while [ -n "\${GATE_ON_CATALOG:-}" ] && [ ! -e "\${GATE_ON_CATALOG:-}" ]; do sleep 0.1; done ;;
esac
exec $(command -v osslsigncode) "\$@"
EOF
    chmod +x "$t/bin/osslsigncode"
}

setup() {
    rm -rf "$t"
    mkdir -p "$t/logs" "$t/foreign"
    (umask 077 && echo "$password" >"$t/pass.txt" && echo "$wrong_password" >"$t/wrong-pass.txt")
    openssl_ca_config >"$t/ca.cnf"
    openssl_tsa_config >"$t/tsa.cnf"
    echo 01 >"$t/tsa-serial"
    now=$(date -u +%Y%m%d%H%M%SZ)
    later=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
    make_authority authority "Zorva Release Test CA"
    make_authority other-authority "Another Test CA"
    make_authority tsa-authority "Zorva Test TSA CA"
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$t/leaf.key" 2>/dev/null
    cp "$t/authority/cert.pem" "$t/ca.pem"
    cp "$t/tsa-authority/cert.pem" "$t/tsa-ca.pem"
    openssl x509 -in "$t/ca.pem" -outform DER -out "$t/ca.der"
    issue vendor authority code_signing "$now" "$later" "Zorva Test Vendor"
    issue expired authority code_signing 20200101000000Z 20210101000000Z "Zorva Expired Vendor"
    issue server-only authority server_only "$now" "$later" "Zorva Web Server"
    issue foreign other-authority code_signing "$now" "$later" "Foreign Vendor"
    issue tsa tsa-authority time_stamping "$now" "$later" "Zorva Test TSA"
    make_recorder

    start_tsa
    set --
    for kind in unsigned signed stamped; do
        case $kind in
            signed) set -- SIGNING_CERT="$t/vendor.p12" SIGNING_PASS_FILE="$t/pass.txt" ;;
            stamped) set -- "$@" TIMESTAMP_URL="$tsa_url" ;;
        esac
        run_release "$kind" "$t/$kind" "$@"
        cat "$t/logs/$kind.out" "$t/logs/$kind.err"
        [ "$rc" -eq 0 ] || exit 1
    done
    osslsigncode sign -pkcs12 "$t/foreign.p12" -readpass "$t/pass.txt" -h sha256 \
        -in "$build_dll" -out "$t/foreign/$dll" >"$t/logs/foreign.out" 2>&1
    touch "$t/.complete"
}

# What setup makes, made again only when it is missing or older than either library.
current() {
    if [ "$t/.complete" -nt "$build_dll" ] && [ "$t/.complete" -nt "$build_arm64_dll" ]; then
        echo "The releases in $t are those of the current libraries."
    else
        setup
    fi
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

    for f in "$dll" "$arm64_dll"; do
        verify ok "the signed $f verifies against the test authority" -in "$d/$f"
        verify ok "the catalog lists the signed $f" -catalog "$d/$cat" -in "$d/$f"
    done
    verify ok "the catalog verifies against the test authority" -in "$d/$cat"
    verify ok "the cabinet verifies against the test authority" -in "$t/signed/$cab"
    verify_flat_member ok "the catalog lists the INF" "$d/$cat" "$d/$inf"
    verify fails "a DLL with one byte of code changed does not verify" -in "$t/changed-code.dll"
    verify fails "the catalog refuses a DLL with one byte of code changed" \
        -catalog "$d/$cat" -in "$t/changed-code.dll"
    verify_flat_member fails "the catalog refuses an INF with one byte changed" \
        "$d/$cat" "$t/changed.inf"
    verify fails "a DLL signed under another authority does not verify" -in "$t/foreign/$dll"

    # The cabinet holds exactly the driver folder and the bill of materials, byte for byte,
    # and gcab lists the same.
    for package in signed stamped unsigned; do
        rm -rf "$t/expanded" "$t/shipped"
        mkdir "$t/expanded" "$t/shipped"
        cp "$t/$package/driver"/* "$t/$package/$sbom" "$t/shipped/"
        gcab -x -C "$t/expanded" "$t/$package/$cab" >/dev/null
        check "the $package cabinet holds exactly the driver folder and the bill of materials" \
            'diff -r "$t/shipped" "$t/expanded" >/dev/null &&
             [ "$(gcab -t "$t/$package/$cab")" = "$(LC_ALL=C ls "$t/shipped")" ]'
    done
    finish
}

# What osslsigncode's report says of the time stamp of $2 checked against the TSA authority
# $1: ok, failed, or none. (osslsigncode 2.9 exits 0 whether the stamp verifies or not.)
stamp_verdict() {
    osslsigncode verify -CAfile "$t/ca.pem" -TSA-CAfile "$1" -in "$2" >"$t/logs/stamp-$part.out" 2>&1 || true
    verdict=$(sed -n 's/^Timestamp Server Signature verification: //p' "$t/logs/stamp-$part.out")
    echo "${verdict:-none}"
}

time_stamps() {
    for f in "driver/$dll" "driver/$cat" "$cab"; do
        check "the stamped $f carries a time stamp that verifies against the TSA's authority" \
            '[ "$(stamp_verdict "$t/tsa-ca.pem" "$t/stamped/$f")" = ok ]'
        check "its time stamp does not verify against another authority" \
            '[ "$(stamp_verdict "$t/ca.pem" "$t/stamped/$f")" = failed ]'
        check "$f signed without TIMESTAMP_URL carries no time stamp" \
            '[ "$(stamp_verdict "$t/tsa-ca.pem" "$t/signed/$f")" = none ]'
        verify ok "the stamped $f's own signature verifies against the test authority" -in "$t/stamped/$f"
    done
    # RFC 3161 (Microsoft's attribute for it): a TSTInfo over the SHA-256 of the signature,
    # under the test TSA's policy.
    osslsigncode extract-signature -in "$t/stamped/driver/$dll" -out "$t/stamp.der" >/dev/null
    openssl asn1parse -inform DER -in "$t/stamp.der" >"$t/logs/stamp-asn1.out"
    tst_info=$(grep -A2 ':id-smime-ct-TSTInfo$' "$t/logs/stamp-asn1.out" | awk -F: '/OCTET STRING/ { print $1 + 0; exit }')
    openssl asn1parse -inform DER -in "$t/stamp.der" -strparse "${tst_info:-0}" >"$t/logs/tst-info.out" 2>&1 || true
    check "the library's time stamp is Microsoft's RFC 3161 attribute" \
        'grep -q ":1\.3\.6\.1\.4\.1\.311\.3\.3\.1$" "$t/logs/stamp-asn1.out"'
    check "its TSTInfo names the test TSA's policy and a SHA-256 message imprint" \
        '[ "$(sed -n "s/.*prim: OBJECT *://p" "$t/logs/tst-info.out" | head -n 2 | tr "\n" " ")" = "1.3.6.1.4.1.99999.1 sha256 " ]'
    finish
}

unsigned() {
    u=$t/unsigned
    if [ "$(cat "$t/logs/unsigned.err")" = "" ] &&
        [ "$(grep -c unsigned "$t/logs/unsigned.out")" -eq 1 ] &&
        [ "$(LC_ALL=C ls "$u/driver" | tr '\n' ' ')" = "$arm64_dll $dll $inf " ] &&
        cmp -s "$u/driver/$dll" "$build_dll" && cmp -s "$u/driver/$arm64_dll" "$build_arm64_dll"; then
        pass "without a certificate: the INF and both unsigned DLLs, no catalog, one line saying so"
    else
        failed "the unsigned package"
    fi
    for f in "$dll" "$arm64_dll"; do
        verify fails "the unsigned $f carries no signature" -in "$u/driver/$f"
    done
    # The hash lines of two runs from the same build: the same bytes, cabinet and bill of
    # materials included.
    run_release unsigned-again "$t/unsigned-again"
    if [ "$rc" -eq 0 ] && [ "$(grep '  ' "$t/logs/unsigned.out")" = "$(grep '  ' "$t/logs/unsigned-again.out")" ] &&
        [ "$(grep -c '  ' "$t/logs/unsigned.out")" -eq 5 ]; then
        pass "two unsigned runs print the same SHA-256 for each of the five files"
    else
        failed "two unsigned runs differ"
    fi
    finish
}

# ---------------------------------------------------------------------------------------
# Runs that fail or are stopped: each starts from a copy of the signed release, its store
# of releases included, and must end non-zero with one line naming the cause, that
# release untouched byte for byte and nothing else left behind.

# Every name (with its link target) and the SHA-256 of every file below folder $1.
snapshot() {
    (cd "$1" && find . -printf '%p %l\n' | LC_ALL=C sort && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
}

copy_release() { # case-name: makes $case_dir holding a copy of the signed release
    case_dir=$t/cases/$1
    rm -rf "$case_dir"
    mkdir -p "$case_dir"
    cp -a "$t/signed" "$t/.signed.releases" "$case_dir/"
}

bad_case() { # name expected-error-pattern VAR=value...
    name=$1 pattern=$2
    shift 2
    copy_release "$name"
    before=$(snapshot "$case_dir")
    run_release "bad-$name" "$case_dir/signed" "$@"
    err=$t/logs/bad-$name.err
    if [ "$rc" -eq 0 ]; then
        failed "$name: the run succeeded"
    elif [ "$(wc -l <"$err")" -ne 1 ] || ! grep -Eq "^release: .*$pattern" "$err"; then
        failed "$name: expected one line naming '$pattern', got: $(cat "$err")"
    elif [ "$(snapshot "$case_dir")" != "$before" ]; then
        failed "$name: the previous release was changed or something was left behind"
    else
        pass "$name: $(cat "$err")"
    fi
}

bad_inputs() {
    head -c 2000 /dev/urandom >"$t/garbage.p12"
    start_tsa
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
    bad_case time-stamp-server-answering-garbage "no time stamp from ${tsa_url}garbage" \
        "$vendor" "$pass_file" TIMESTAMP_URL="${tsa_url}garbage"
    bad_case time-stamp-server-answering-http-500 "no time stamp from ${tsa_url}error" \
        "$vendor" "$pass_file" TIMESTAMP_URL="${tsa_url}error"
    bad_case silent-time-stamp-server "no time stamp from ${tsa_url}silent within 3 s" \
        "$vendor" "$pass_file" TIMESTAMP_URL="${tsa_url}silent" TIMESTAMP_TIMEOUT=3

    # The password, right or wrong, is in no output, no argument list, no environment (the
    # stand-in records both while the transaction part runs; this part runs after it).
    if grep -rlF -e "$password" -e "$wrong_password" "$t/logs"; then
        failed "a password appears in the files above"
    elif [ "$(ls "$t/logs" | wc -l)" -lt 10 ]; then
        failed "too few logs to search for the password"
    else
        pass "no password in any output, argument list or environment ($(ls "$t/logs" | wc -l) logs)"
    fi
    finish
}

# ---------------------------------------------------------------------------------------
# The release as a transaction: stopped runs, runs at once, paths that are data.

recorded() { # VAR=value... for a run through the stand-in, recording into logs/recorder-NAME.log
    echo PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-$1.log"
}

transaction() {
    vendor="SIGNING_CERT=$t/vendor.p12"
    pass_file="SIGNING_PASS_FILE=$t/pass.txt"
    for signal in HUP INT QUIT PIPE TERM; do
        bad_case "stopped-by-$signal" "stopped by SIG$signal" "$vendor" "$pass_file" \
            PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-$signal.log" SIGNAL_ON_CATALOG=$signal
    done

    # A run killed outright leaves its folder in the store, outside the release; the next
    # run removes it.
    copy_release killed
    before=$(snapshot "$case_dir/signed/")
    run_release killed "$case_dir/signed" "$vendor" "$pass_file" \
        PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-killed.log" SIGNAL_ON_CATALOG=KILL
    check "a run killed outright leaves the previous release as it was" \
        '[ "$rc" -ne 0 ] && [ "$(snapshot "$case_dir/signed/")" = "$before" ]'
    # (its signer, still running, holds the lock until it ends)
    flock "$case_dir/.signed.releases/lock" true
    run_release after-killed "$case_dir/signed" "$vendor" "$pass_file"
    check "the next run leaves only the lock and its own release in the store" \
        '[ "$rc" -eq 0 ] && [ "$(ls -A "$case_dir/.signed.releases" | wc -l)" -eq 2 ]'

    # Two runs at once: the second fails at once, while the first still signs, and the first
    # then puts a whole release in place of the previous one, not inside it.
    copy_release two-runs
    before=$(snapshot "$case_dir/signed/")
    (
        run_release first-of-two "$case_dir/signed" "$vendor" "$pass_file" PATH="$t/bin:$PATH" \
            RECORD="$t/logs/recorder-first.log" GATE_ON_CATALOG="$case_dir/gate"
        exit "$rc"
    ) &
    first=$!
    tries=0
    until grep -qs '^args: sign.*\.cat ' "$t/logs/recorder-first.log" || [ "$tries" -gt 300 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
    run_release second-of-two "$case_dir/signed" "$vendor" "$pass_file"
    check "a second run at once fails with one line, the release untouched" \
        '[ "$rc" -ne 0 ] && [ "$(snapshot "$case_dir/signed/")" = "$before" ] &&
         [ "$(cat "$t/logs/second-of-two.err")" = "release: another run is making a release in $case_dir/signed: try again when it has ended" ]'
    # Meanwhile the release is looked at as often as the shell can: it must always be whole.
    (while kill -0 "$first" 2>/dev/null; do
        [ -f "$case_dir/signed/$cab" ] && [ -f "$case_dir/signed/driver/$dll" ] || echo gap
    done) >"$t/logs/watch-two-runs" &
    watcher=$!
    touch "$case_dir/gate"
    rc=0
    wait "$first" || rc=$?
    wait "$watcher"
    check "a reader sees a whole release at every instant of the switch" '[ ! -s "$t/logs/watch-two-runs" ]'
    check "the first run then replaces the previous release whole, nothing nested" \
        '[ "$rc" -eq 0 ] && [ "$(find "$case_dir/signed/" -name driver | wc -l)" -eq 1 ] &&
         [ "$(snapshot "$case_dir/signed/")" != "$before" ] &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$case_dir/signed/$cab" >/dev/null 2>&1'

    # A release folder made before releases were links becomes one.
    copy_release earlier-folder
    rm "$case_dir/signed"
    cp -a "$t/signed/" "$case_dir/signed"
    run_release earlier-folder "$case_dir/signed" "$vendor" "$pass_file"
    check "a release folder made before releases were links gives way to the link" \
        '[ "$rc" -eq 0 ] && [ -L "$case_dir/signed" ] && [ "$(ls -A "$case_dir/.signed.releases" | wc -l)" -eq 2 ] &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$case_dir/signed/$cab" >/dev/null 2>&1'

    # A password file that group or others can read: a warning line, and the release.
    copy_release readable-password
    cp -p "$t/pass.txt" "$t/readable-pass.txt"
    chmod 640 "$t/readable-pass.txt"
    run_release readable-password "$case_dir/signed" "$vendor" SIGNING_PASS_FILE="$t/readable-pass.txt"
    check "a password file group can read gets one warning line, and the release is made" \
        '[ "$rc" -eq 0 ] && [ "$(cat "$t/logs/readable-password.err")" = "release: warning: password file $t/readable-pass.txt can be read by group or others (mode 640): chmod 600 it" ]'

    # make package with a build folder, a certificate and a password file whose paths hold
    # blanks, quotes, `$` and backticks: they reach the script as they are and run nothing.
    # A stand-in for cmake stands for the build, which is done.
    odd="$t/odd/it's \"odd\" \$HOME \`touch \"$t/odd/M\"\`"
    rm -rf "$t/odd"
    mkdir -p "$odd/build x/package/driver" "$odd/build x/arm64/package/driver" "$t/odd/bin"
    cp "$build_dll" "$binary_dir/package/driver/$inf" "$odd/build x/package/driver/"
    cp "$binary_dir/ZORVA_KT2HX-x64.map" "$odd/build x/"
    cp "$build_arm64_dll" "$odd/build x/arm64/package/driver/"
    # lld's report names the build's own delay-import libraries, which the bill of materials
    # looks into for the DLLs they import.
    cp "$binary_dir/arm64/ZORVA_KT2HX-arm64.link-report" "$binary_dir/arm64"/libdelay-*.a "$odd/build x/arm64/"
    cp -p "$t/vendor.p12" "$t/pass.txt" "$odd/"
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >>"%s"\n' "$t/logs/cmake-arguments" >"$t/odd/bin/cmake"
    chmod +x "$t/odd/bin/cmake"
    rm -f "$t/logs/cmake-arguments"
    rc=0
    (cd "$t/odd" && PATH="$t/odd/bin:$PATH" make -s -C "$source_dir" package BUILD="$odd/build x" \
        SIGNING_CERT="$odd/vendor.p12" SIGNING_PASS_FILE="$odd/pass.txt") \
        >"$t/logs/odd-paths.out" 2>&1 || rc=$?
    check "make package takes paths with blanks, quotes, \$ and backticks as data" \
        '[ "$rc" -eq 0 ] && [ ! -e "$t/odd/M" ] &&
         grep -qxF "$odd/build x" "$t/logs/cmake-arguments" &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$odd/build x/release/driver/$dll" >/dev/null 2>&1'
    finish
}

case $part in
    setup) setup ;;
    current) current ;;
    signatures) signatures ;;
    time-stamps) time_stamps ;;
    unsigned) unsigned ;;
    bad-inputs) bad_inputs ;;
    transaction) transaction ;;
    *)
        echo "release-test.sh: unknown part $part" >&2
        exit 2
        ;;
esac
