# The release tests' shared part, sourced by each part's script with SOURCE_DIR and
# BINARY_DIR as its arguments: the names of what the fixture makes, the pass/fail lines, the
# local time-stamp authority, and release runs, good and bad.
source_dir=$1
binary_dir=$2
here=$(cd "$(dirname "$0")" && pwd)
part=$(basename "$0" .sh)
release=$source_dir/package/release/release.py
build_dll=$binary_dir/package/driver/ZORVA_KT2HX-x64.dll
# The ARM64 tree, which `make` builds in BINARY_DIR/arm64, stages the ARM64 library.
build_arm64_dll=$binary_dir/arm64/package/driver/ZORVA_KT2HX-arm64.dll
t=$binary_dir/release-test
password=Zorva-release-pass-7Qx9
wrong_password=not-the-password-3Kd8
# The token the fixture makes: SoftHSM2, its tokens in the build tree, its key made on it.
pin=Zorva-token-pin-5Lm2
wrong_pin=not-the-pin-8Qz4
softhsm_module=/usr/lib/softhsm/libsofthsm2.so
token_label=zorva-vendor
token_key="pkcs11:token=$token_label;object=signkey;type=private"
export SOFTHSM2_CONF="$t/token/softhsm2.conf"
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

# Runs release.py with the given environment assignments, output to logs/NAME.{out,err};
# sets $rc.
run_release() { # name out-dir [VAR=value...]
    local log=$t/logs/$1 out=$2
    shift 2
    rc=0
    env -u SIGNING_CERT -u SIGNING_PASS_FILE -u SIGNING_PKCS11_MODULE -u SIGNING_KEY \
        -u SIGNING_CHAIN -u TIMESTAMP_URL -u TIMESTAMP_CA -u TIMESTAMP_TIMEOUT "$@" \
        "$release" "$binary_dir" "$out" >"$log.out" 2>"$log.err" || rc=$?
}

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
    copy_release "$1"
    refused "$@"
}

refused() { # name expected-error-pattern VAR=value...: a run on $case_dir as it is now
    name=$1 pattern=$2
    shift 2
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
