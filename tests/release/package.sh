#!/bin/sh
# package.sh setup|current SOURCE_DIR BINARY_DIR
#
# The fixture of the release tests. setup makes, in BINARY_DIR/release-test/, a throw-away
# certificate authority (ca.pem, ca.der), a throw-away time-stamp authority (tsa-ca.pem, and
# tsa.cnf for `openssl ts`), the certificates the cases need, and a SoftHSM2 token in
# token/ whose key is made on the token and never leaves it, with its certificate
# token.pem. It runs package/release/release.py the way `make package` does, with a umask
# that lets nobody else read: into signed/ with the vendor's .p12, into stamped/ with the
# token's key and a time stamp from tsa.py on 127.0.0.1 (the first authority named is down),
# and without a certificate into unsigned/; and signs a copy of the library with a
# certificate of another authority into foreign/. The other parts check what it made or
# make releases of their own. Every output of every run goes to logs/, so that bad-inputs
# can look for the password and the PIN in all of it. current does what setup does unless
# setup's last run is newer than both libraries (for the ARM64 tree's suite, which takes
# what the x64 tree's made).
set -eu
mode=$1
shift
. "$(dirname "$0")/lib.sh"

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

# The token: SoftHSM2 with its own configuration and tokens in the build tree, nothing
# system-wide. The key pair is generated on it, sensitive and never extractable; its
# certificate is issued by the test authority from a request the token's key signs through
# libp11's engine, the PIN read from a file.
make_token() {
    mkdir -p "$t/token/tokens"
    printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
        "$t/token/tokens" >"$SOFTHSM2_CONF"
    (umask 077 && echo "$pin" >"$t/pin.txt" && echo "$wrong_pin" >"$t/wrong-pin.txt")
    softhsm2-util --init-token --free --label "$token_label" --pin "$pin" --so-pin "$pin" \
        >"$t/logs/token-init.out"
    pkcs11-tool --module "$softhsm_module" --token-label "$token_label" --login \
        --pin "$pin" --keypairgen --key-type rsa:2048 --label signkey --id 01 --sensitive \
        >"$t/logs/token-keygen.out" 2>&1
    printf '%s\n' 'openssl_conf = conf' '[conf]' 'engines = engines' '[engines]' \
        'pkcs11 = pkcs11' '[pkcs11]' 'engine_id = pkcs11' "MODULE_PATH = $softhsm_module" \
        >"$t/token/engine.cnf"
    OPENSSL_CONF=$t/token/engine.cnf openssl req -new -engine pkcs11 -keyform engine \
        -key "$token_key" -passin "file:$t/pin.txt" -subj "/CN=Zorva Token Vendor" \
        -out "$t/token.csr" >"$t/logs/token-csr.out" 2>&1
    CA_DIR=$t/authority openssl ca -batch -notext -config "$t/ca.cnf" -extensions code_signing \
        -days 30 -cert "$t/authority/cert.pem" -keyfile "$t/authority/key.pem" \
        -in "$t/token.csr" -out "$t/token.pem" 2>/dev/null
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
    make_token

    start_tsa
    for kind in unsigned signed stamped; do
        case $kind in
            unsigned) set -- ;;
            signed) set -- SIGNING_CERT="$t/vendor.p12" SIGNING_PASS_FILE="$t/pass.txt" ;;
            # Through the stand-in, which records every argument and environment for
            # bad-inputs to look for the PIN in.
            stamped) set -- SIGNING_PKCS11_MODULE="$softhsm_module" SIGNING_KEY="$token_key" \
                SIGNING_CERT="$t/token.pem" SIGNING_CHAIN="$t/ca.pem" SIGNING_PASS_FILE="$t/pin.txt" \
                TIMESTAMP_URL="http://127.0.0.1:9/ $tsa_url" TIMESTAMP_CA="$t/tsa-ca.pem" \
                PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-stamped.log" ;;
        esac
        status=0
        (umask 077 && run_release "$kind" "$t/$kind" "$@" && exit "$rc") || status=$?
        cat "$t/logs/$kind.out" "$t/logs/$kind.err"
        [ "$status" -eq 0 ] || exit 1
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

case $mode in
    setup | current) "$mode" ;;
    *) echo "package.sh: unknown mode $mode" >&2 && exit 2 ;;
esac
