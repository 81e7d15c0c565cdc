#!/bin/sh
# time-stamps.sh SOURCE_DIR BINARY_DIR
#
# Checks the time stamps: the stamped release (signed with the token's key, its first
# authority down, the second answering) carries one on every signature, which verifies
# against the TSA's authority only; the release signed without one carries none and said so
# in one warning line.
set -eu
. "$(dirname "$0")/lib.sh"

# What osslsigncode's report says of the time stamp of $2 checked against the TSA authority
# $1: ok, failed, or none. (osslsigncode 2.9 exits 0 whether the stamp verifies or not.)
stamp_verdict() {
    osslsigncode verify -CAfile "$t/ca.pem" -TSA-CAfile "$1" -in "$2" >"$t/logs/stamp-$part.out" 2>&1 || true
    verdict=$(sed -n 's/^Timestamp Server Signature verification: //p' "$t/logs/stamp-$part.out")
    echo "${verdict:-none}"
}

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
check "signing without a time stamp gives one warning line, and only that" \
    '[ "$(cat "$t/logs/signed.err")" = "release: warning: no TIMESTAMP_URL: the signatures stop verifying when the certificate expires ($(openssl x509 -in "$t/vendor.pem" -noout -enddate | sed "s/^notAfter=//"))" ]'
finish
