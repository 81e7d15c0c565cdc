#!/bin/sh
# check-reproducible.sh WORK_DIR [COMMIT]
#
# Builds one commit (HEAD by default) of this repository twice and compares the release:
#   a  a clone in WORK_DIR/a, built as it is, with the default cache;
#   b  a clone in WORK_DIR/b, with a HOME of its own (WORK_DIR/home) and a cache of its own
#      (ZORVA_CACHE_DIR=WORK_DIR/cache), so that the ARM64 toolchain is built afresh there.
#      As an unprivileged user (REPRODUCE_USER=NAME, when the arm64 root can be made in a
#      user namespace) or, by default, as the same user in those other folders.
# Each build (configured as `make` does, and only the release's targets built) is packaged
# twice by release.py: unsigned, and signed with one throw-away
# certificate made here. The unsigned DLLs, the INF, the bill of materials and the unsigned
# cabinet must be the same bytes; the catalogs may differ only in their signature (the
# signed content is compared). Prints each comparison and the time each step took; exits
# non-zero when anything differs. Not part of `make test`: it builds everything twice, the
# second time with its toolchain (about 5 minutes more on 2 cores).
set -eu

work=$(realpath -m -- "$1")
commit=${2:-HEAD}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
jobs=${JOBS:-2}
user=${REPRODUCE_USER:-}
mkdir -p "$work"
commit=$(git -C "$source_dir" rev-parse --verify "$commit^{commit}")
status=0

# The figures go to the script's own output (3), whatever the step's output goes to.
exec 3>&1
elapsed() { # label command...
    label=$1
    shift
    start=$(date +%s)
    "$@"
    echo "$label: $(($(date +%s) - start)) s" >&3
}

as_builder() { # side command...: runs a command as side a's or side b's builder
    side=$1
    shift
    if [ "$side" = a ]; then
        "$@"
    elif [ -n "$user" ]; then
        runuser -u "$user" -- env HOME="$work/home" ZORVA_CACHE_DIR="$work/cache" "$@"
    else
        env HOME="$work/home" ZORVA_CACHE_DIR="$work/cache" "$@"
    fi
}

# One throw-away code-signing certificate for both sides.
if [ ! -f "$work/signer.p12" ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=Reproducibility check" -days 2 \
        -addext extendedKeyUsage=codeSigning -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null
    printf '%s\n' reproducible >"$work/pass.txt"
    chmod 600 "$work/pass.txt"
    openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -passout file:"$work/pass.txt" \
        -out "$work/signer.p12"
fi

for side in a b; do
    rm -rf "${work:?}/$side"
    git clone -q --no-local "$source_dir" "$work/$side"
    git -C "$work/$side" checkout -q --detach "$commit"
    if [ "$side" = b ]; then
        mkdir -p "$work/home" "$work/cache"
        [ -z "$user" ] || chown -R "$user" "$work/b" "$work/home" "$work/cache" "$work/signer.p12" "$work/pass.txt"
    fi
    # What the release takes: both trees configured, each library staged with the INF, and
    # the CycloneDX schema package (its SPDX licence list); not the test programs.
    elapsed "$side: configure and build the release's targets" as_builder "$side" sh -c '
        make -s -C "$1" configure &&
        cmake --build "$1/build" -j"$2" --target zorva_package release_cyclonedx_schema &&
        cmake --build "$1/build/arm64" -j"$2" --target zorva_package' sh "$work/$side" "$jobs" \
        >"$work/$side.log" 2>&1 || { tail -20 "$work/$side.log"; exit 1; }
    elapsed "$side: release (unsigned)" as_builder "$side" "$work/$side/package/release/release.py" \
        "$work/$side/build" "$work/$side/unsigned" >>"$work/$side.log" 2>&1
    elapsed "$side: release (signed)" as_builder "$side" env SIGNING_CERT="$work/signer.p12" \
        SIGNING_PASS_FILE="$work/pass.txt" "$work/$side/package/release/release.py" \
        "$work/$side/build" "$work/$side/signed" >>"$work/$side.log" 2>&1
done

same() { # description file-a file-b
    if cmp -s "$2" "$3"; then echo "same: $1"; else echo "DIFFERENT: $1"; status=1; fi
}
for f in ZORVA_KT2HX-x64.dll ZORVA_KT2HX-arm64.dll zorva_kt2hx.inf; do
    same "unsigned $f" "$work/a/unsigned/driver/$f" "$work/b/unsigned/driver/$f"
done
same "unsigned bill of materials" "$work/a/unsigned/zorva_kt2hx.cdx.json" "$work/b/unsigned/zorva_kt2hx.cdx.json"
same "unsigned cabinet" "$work/a/unsigned/zorva_kt2hx.cab" "$work/b/unsigned/zorva_kt2hx.cab"
# The signed libraries, and so the signed package's bill of materials (their hashes), differ
# by the signing time their signatures hold.
# The catalog's signed content (its certificate trust list), without the signature. openssl
# cannot read it: a catalog's content is not an OCTET STRING.
for side in a b; do
    /usr/bin/python3 -c 'import sys
from asn1crypto import cms
with open(sys.argv[1], "rb") as f:
    signed = cms.ContentInfo.load(f.read())["content"]
sys.stdout.buffer.write(signed["encap_content_info"].dump())' "$work/$side/signed/driver/zorva_kt2hx.cat" \
        >"$work/$side/catalog-content"
done
same "catalog content (the signature aside)" "$work/a/catalog-content" "$work/b/catalog-content"
exit "$status"
