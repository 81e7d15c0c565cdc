#!/bin/sh
# signatures.sh SOURCE_DIR BINARY_DIR
#
# Checks the signatures of what the fixture made: each signed file verifies against the
# test authority, the catalog lists the libraries and the INF, a changed byte or another
# authority fails; the token's signatures are the token key's, and the key is still locked
# in the token; each cabinet holds exactly the package; every release is readable by all.
set -eu
. "$(dirname "$0")/lib.sh"

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

# The token's release: each signature verifies, under a certificate that holds the public key
# read from the token, and the private key on it is still sensitive and never extractable.
pkcs11-tool --module "$softhsm_module" --token-label "$token_label" --read-object \
    --type pubkey --label signkey -o "$t/token-public.der" >/dev/null 2>&1
token_public=$(openssl pkey -pubin -inform DER -in "$t/token-public.der" 2>&1)
for f in "driver/$dll" "driver/$arm64_dll" "driver/$cat" "$cab"; do
    case $f in
        *.cat) cp "$t/stamped/$f" "$t/token-signature" ;;
        *)
            rm -f "$t/token-signature"
            osslsigncode extract-signature -in "$t/stamped/$f" -out "$t/token-signature" >/dev/null
            ;;
    esac
    signer_public=$(openssl pkcs7 -inform DER -in "$t/token-signature" -print_certs |
        awk '/^subject=/ { mine = /Zorva Token Vendor/ } mine && /^-----BEGIN/, mine && /^-----END/' |
        openssl x509 -noout -pubkey 2>&1)
    check "the token's $f verifies under a certificate of the token's own public key" \
        '[ "$signer_public" = "$token_public" ] &&
         osslsigncode verify -CAfile "$t/ca.pem" -in "$t/stamped/$f" 2>/dev/null | grep -qx "Signature verification: ok"'
done
access=$(pkcs11-tool --module "$softhsm_module" --token-label "$token_label" --login --pin "$pin" \
    --list-objects --type privkey 2>/dev/null | sed -n 's/^ *Access: *//p')
check "after signing, the token's key is still sensitive and never extractable" \
    '[ "$access" = "sensitive, always sensitive, never extractable, local" ]'

# Made with a umask that lets nobody else read, each release is readable by others all the
# same, through its link and its store.
for kind in unsigned signed stamped; do
    check "the $kind release: folders 0755, files 0644" \
        '[ -z "$(find "$t/$kind/" "$t/.$kind.releases" -maxdepth 0 ! -perm 755)" ] &&
         [ -z "$(find "$t/$kind/" \( -type d ! -perm 755 \) -o \( -type f ! -perm 644 \))" ]'
done
finish
