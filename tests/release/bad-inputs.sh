#!/bin/sh
# bad-inputs.sh SOURCE_DIR BINARY_DIR
#
# Runs that must fail, each from a copy of the signed release: a certificate, a password, a
# token or time-stamp authorities that cannot give a good signature. Then looks for the
# password and the PIN in every log of every part.
set -eu
. "$(dirname "$0")/lib.sh"

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
# Every authority asked in turn, each failing its own way: down, garbage, HTTP 500, silent.
bad_case failing-time-stamp-authorities "no time stamp from http://127.0.0.1:9/; no time stamp from ${tsa_url}garbage; no time stamp from ${tsa_url}error; no time stamp from ${tsa_url}silent within 3 s$" \
    "$vendor" "$pass_file" TIMESTAMP_URL="http://127.0.0.1:9/ ${tsa_url}garbage ${tsa_url}error ${tsa_url}silent" \
    TIMESTAMP_TIMEOUT=3
bad_case time-stamp-under-another-root "no time stamp from $tsa_url that verifies: the time stamp does not verify against TIMESTAMP_CA $t/ca.pem" \
    "$vendor" "$pass_file" TIMESTAMP_URL="$tsa_url" TIMESTAMP_CA="$t/ca.pem"

# The key on the token. The wrong PIN goes through the stand-in, which records what the
# signer was given.
module="SIGNING_PKCS11_MODULE=$softhsm_module"
key="SIGNING_KEY=$token_key"
token_cert="SIGNING_CERT=$t/token.pem"
pin_file="SIGNING_PASS_FILE=$t/pin.txt"
bad_case wrong-pin "wrong PIN for $token_key" "$module" "$key" "$token_cert" \
    SIGNING_PASS_FILE="$t/wrong-pin.txt" PATH="$t/bin:$PATH" RECORD="$t/logs/recorder-wrong-pin.log"
bad_case missing-module "PKCS #11 module $t/absent.so: no such readable file" \
    SIGNING_PKCS11_MODULE="$t/absent.so" "$key" "$token_cert" "$pin_file"
bad_case unknown-key "no key pkcs11:token=$token_label;object=absent" "$module" \
    SIGNING_KEY="pkcs11:token=$token_label;object=absent;type=private" "$token_cert" "$pin_file"
# Without the chain to a root it knows, a signature does not verify, and is not published.
bad_case signature-without-its-chain "$dll: the signature does not verify: unable to get local issuer certificate" \
    "$module" "$key" "$token_cert" "$pin_file"
# A PIN in the URI would reach the signer's command line, which every user may read.
bad_case pin-in-the-key "SIGNING_KEY holds the PIN" "$module" SIGNING_KEY="$token_key;pin-value=$pin" \
    "$token_cert" "$pin_file"
bad_case certificate-of-another-key "certificate $t/vendor.pem does not belong to the key" \
    "$module" "$key" SIGNING_CERT="$t/vendor.pem" "$pin_file"

# The password and the PIN, right or wrong, are in no output, no argument list, no
# environment (the stand-in records both in the fixture, here and while the transaction part
# runs; this part runs after it).
if grep -rlF -e "$password" -e "$wrong_password" -e "$pin" -e "$wrong_pin" "$t/logs"; then
    failed "a password or PIN appears in the files above"
elif [ "$(ls "$t/logs" | wc -l)" -lt 10 ]; then
    failed "too few logs to search for the password"
else
    pass "no password in any output, argument list or environment ($(ls "$t/logs" | wc -l) logs)"
fi
finish
