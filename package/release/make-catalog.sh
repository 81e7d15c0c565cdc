#!/bin/sh
# make-catalog.sh OUT.cat MEMBER...
#
# Writes an unsigned driver catalog over the given files, for `osslsigncode sign` to sign, in
# the layout MakeCat writes for CatalogVersion 2 with SHA-256 (Inf2Cat's for Windows 10), the
# layout Windows 8 and later read. Every file has two entries: one keyed by its SHA-256 hash,
# which carries the file's indirect data, and a "twin" keyed by its SHA-1 hash, which Windows
# looks a file up by where it hashes with SHA-1. A PE image (.dll, .sys, .exe) is hashed as
# Authenticode hashes it, an INF as its bytes. The catalog's OS list comes from the PE images'
# machine types, its hardware IDs from the INF's models sections. Its time is
# SOURCE_DATE_EPOCH (now when it is not set), so the same files and the same epoch give the
# same bytes. OpenSSL does all the hashing and the DER encoding (`openssl dgst`,
# `openssl asn1parse -genconf`, which also sorts every SET into DER order); this script only
# chooses the fields and the byte ranges.
#
# The layout, field by field (DER; "UTF-16LE\0" is an OCTET STRING holding UTF-16LE text
# with its terminating NUL, the form the catalog API stores values in):
#
# ContentInfo SEQUENCE
#   contentType      OID 1.2.840.113549.1.7.2 (signedData)
#   content          [0] EXPLICIT SignedData SEQUENCE
#     version          INTEGER 1
#     digestAlgorithms SET {}              empty until signed; osslsigncode fills it
#     contentInfo      SEQUENCE
#       contentType      OID 1.3.6.1.4.1.311.10.1 (szOID_CTL)
#       content          [0] EXPLICIT CertificateTrustList SEQUENCE (its version absent)
#         subjectUsage     SEQUENCE { OID 1.3.6.1.4.1.311.12.1.1 (szOID_CATALOG_LIST) }
#         listIdentifier   OCTET STRING, 16 bytes: MakeCat puts a random GUID here; this
#                          takes the first 16 bytes of SHA-256 over the identifiers and the
#                          time, so that it is the same in every build of the same files
#         thisUpdate       UTCTime, SOURCE_DATE_EPOCH
#         subjectAlgorithm SEQUENCE { OID 1.3.6.1.4.1.311.12.1.3 (catalog list member,
#                                     version 2), NULL }
#         trustedSubjects  SEQUENCE OF, two entries per file, all sorted by identifier:
#           SEQUENCE
#             subjectIdentifier OCTET STRING: the raw digest, 32 bytes (SHA-256) or 20
#                               bytes (SHA-1)
#             subjectAttributes SET OF Attribute SEQUENCE { OID, SET { value } }:
#               1.3.6.1.4.1.311.12.2.3 (member info, version 2)
#                 [0] IMPLICIT NULL for a PE image, [2] IMPLICIT NULL for a flat file
#               1.3.6.1.4.1.311.12.2.1 (CAT_NAMEVALUE_OBJID)
#                 SEQUENCE { BMPString "OSAttr", INTEGER 0x10010001, UTF-16LE\0 "2:10.0" }
#                 (platform 2, NT, version 10.0 and later: Windows 10 and Windows 11)
#               1.3.6.1.4.1.311.12.2.1 (CAT_NAMEVALUE_OBJID)
#                 SEQUENCE { BMPString "File", INTEGER 0x10010001,
#                            UTF-16LE\0 the file name in lower case }
#               1.3.6.1.4.1.311.2.1.4 (SPC_INDIRECT_DATA_OBJID), on the SHA-256 entry only
#                 SpcIndirectDataContent SEQUENCE
#                   data SEQUENCE
#                     PE image:  OID 1.3.6.1.4.1.311.2.1.15 (SPC_PE_IMAGE_DATA_OBJID),
#                                SpcPeImageData SEQUENCE { BIT STRING 05 A0 (MakeCat's
#                                  flags), [0] { [2] { [0] BMPString "" } } }
#                     flat file: OID 1.3.6.1.4.1.311.2.1.25 (SPC_CAB_DATA_OBJID),
#                                SpcLink [2] { [0] BMPString "" }
#                   messageDigest SEQUENCE
#                     SEQUENCE { OID 2.16.840.1.101.3.4.2.1 (sha256), NULL }
#                     OCTET STRING, the 32-byte digest (the identifier)
#         ctlExtensions    [0] EXPLICIT SEQUENCE OF Extension, the catalog's own attributes,
#                          each SEQUENCE { OID 1.3.6.1.4.1.311.12.2.1, OCTET STRING {
#                          SEQUENCE { BMPString name, INTEGER 0x10010001, UTF-16LE\0 value }}}:
#           "OS"     the platforms, e.g. "_v100_X64" or "_v100_X64,_v100_ARM64"
#           "HWIDn" ... "HWID1"   the INF's hardware and compatible IDs in lower case,
#                    numbered in the order the INF lists them, the last first (as Inf2Cat)
#     signerInfos      SET {}              empty until signed
#
# 0x10010001 is CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII |
# CRYPTCAT_ATTR_NAMEASCII: a signed attribute, name and value in plain text.
#
# The Authenticode hash of a PE image covers the whole file except the CheckSum field of
# the optional header, the certificate table's data-directory entry, and the certificate
# table itself (which must be the end of the file): the ranges Windows' ImageGetDigestStream,
# Wine's and osslsigncode's verifiers hash. A member must be named in ASCII without control
# characters; each name may appear once.
set -eu

fail() {
    echo "make-catalog: $*" >&2
    exit 1
}

[ $# -ge 2 ] || fail "usage: make-catalog.sh OUT.cat MEMBER..."
out=$1
shift

command -v openssl >/dev/null 2>&1 || fail "openssl is not installed"

# What a member is, by the extension of its name: "pe" (hashed as Authenticode hashes an
# image, member info [0]) or "flat" (hashed as its bytes, member info [2]).
member_kind() {
    case $(printf '%s' "$1" | tr A-Z a-z) in
        *.dll | *.sys | *.exe) echo pe ;;
        *.inf) echo flat ;;
        *) return 1 ;;
    esac
}

# The platforms a catalog can list: the Machine field of a PE image's file header, and the
# OS value's name for it on Windows 10 and later. The OS value lists those present in this
# order.
platforms='34404 _v100_X64
43620 _v100_ARM64'

# Little-endian unsigned integer of $3 bytes at offset $2 of file $1.
le_uint() {
    od -An -v -tu"$3" --endian=little -j "$2" -N "$3" "$1" | tr -d ' \n'
}

# Lower-case hex of stdin, on one line.
hex_of_stdin() {
    od -An -v -tx1 | tr -d ' \n'
}

# UTF-16LE hex, NUL included, of an ASCII string.
utf16le_hex() {
    printf '%s' "$1" | hex_of_stdin | sed 's/../&00/g; s/$/0000/'
}

# Upper-case hex digest of stdin; $1 is the algorithm (sha256, sha1).
digest_hex() {
    openssl dgst -"$1" -r | cut -d' ' -f1 | tr a-f A-F
}

# Byte range [$2, $3) of file $1 on stdout.
file_range() {
    tail -c +"$(($2 + 1))" "$1" | head -c "$(($3 - $2))"
}

# Checks that $1 is a PE image whose certificate table, if any, ends the file, and sets
# the byte offsets its Authenticode hash skips ($checksum, $certdir), where it ends ($end)
# and its Machine field ($machine).
read_pe_image() {
    size=$(wc -c <"$1")
    [ "$size" -ge 64 ] && [ "$(le_uint "$1" 0 2)" = 23117 ] ||          # "MZ"
        fail "$1: not a PE image"
    pe=$(le_uint "$1" 60 4)
    [ $((pe + 24 + 2)) -le "$size" ] && [ "$(le_uint "$1" "$pe" 4)" = 17744 ] || # "PE\0\0"
        fail "$1: not a PE image"
    machine=$(le_uint "$1" $((pe + 4)) 2)
    opt=$((pe + 24))
    case $(le_uint "$1" "$opt" 2) in
        267) dirs=$((opt + 96)) ;;                                # PE32
        523) dirs=$((opt + 112)) ;;                               # PE32+
        *) fail "$1: unknown optional header format" ;;
    esac
    [ "$(le_uint "$1" $((dirs - 4)) 4)" -ge 5 ] ||
        fail "$1: the image has no certificate table entry"
    checksum=$((opt + 64))
    certdir=$((dirs + 4 * 8))
    [ $((certdir + 8)) -le "$size" ] || fail "$1: truncated PE header"
    certs=$(le_uint "$1" "$certdir" 4)
    certs_size=$(le_uint "$1" $((certdir + 4)) 4)
    end=$size
    if [ "$certs" -ne 0 ]; then
        [ "$certs" -ge $((certdir + 8)) ] && [ $((certs + certs_size)) -eq "$size" ] ||
            fail "$1: the certificate table is not at the end of the file"
        end=$certs
    fi
}

# The bytes of PE image $1 that its Authenticode hash covers (after read_pe_image "$1").
authenticode_bytes() {
    file_range "$1" 0 "$checksum"
    file_range "$1" $((checksum + 4)) "$certdir"
    file_range "$1" $((certdir + 8)) "$end"
}

# The hardware and compatible IDs of the INF $1, in lower case, each once, in the order its
# models sections list them: the sections [Manufacturer] names, undecorated and with each
# decoration ("%Mfg% = Models, NTamd64" names [Models] and [Models.NTamd64]); in each of
# their lines "description = install-section, hardware-id[, compatible-id...]".
inf_hardware_ids() {
    tr -d '\r' <"$1" | awk '
        { sub(/;.*/, ""); gsub(/^[ \t]+|[ \t]+$/, "") }
        $0 == "" { next }
        /^\[.*\]$/ { section = tolower(substr($0, 2, length($0) - 2)); gsub(/^[ \t]+|[ \t]+$/, "", section); next }
        section == "manufacturer" && index($0, "=") {
            n = split(substr($0, index($0, "=") + 1), f, ",")
            for (i = 1; i <= n; i++) { gsub(/^[ \t]+|[ \t]+$/, "", f[i]); f[i] = tolower(f[i]) }
            models[f[1]] = 1
            for (i = 2; i <= n; i++) models[f[1] "." f[i]] = 1
            next
        }
        { lines[++count] = section SUBSEP $0 }
        END {
            for (l = 1; l <= count; l++) {
                split(lines[l], parts, SUBSEP)
                if (!(parts[1] in models) || !index(parts[2], "=")) continue
                n = split(substr(parts[2], index(parts[2], "=") + 1), f, ",")
                for (i = 2; i <= n; i++) {
                    id = tolower(f[i]); gsub(/^[ \t]+|[ \t]+$/, "", id)
                    if (id != "" && !(id in seen)) { seen[id] = 1; print id }
                }
            }
        }'
}

epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}
case $epoch in '' | *[!0-9]*) fail "SOURCE_DATE_EPOCH is not a number of seconds: $epoch" ;; esac
# UTCTime holds two-digit years: 1950 to 2049.
[ "$epoch" -lt 2524608000 ] || fail "SOURCE_DATE_EPOCH is past 2049, which UTCTime cannot hold"
utctime=$(date -u -d "@$epoch" +%y%m%d%H%M%SZ)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The files: one line each, "kind name". The entries: two lines per file, "identifier
# algorithm kind name", sorted by identifier as MakeCat sorts them. The machine types of
# the PE images and the INFs' hardware IDs, one a line.
: >"$work/files"
: >"$work/entries"
: >"$work/machines"
: >"$work/hardware-ids"
for path in "$@"; do
    [ -f "$path" ] && [ -r "$path" ] || fail "$path: not a readable file"
    name=${path##*/}
    printf '%s' "$name" | LC_ALL=C grep -q '^[ -~][ -~]*$' ||
        fail "$path: the file name must be printable ASCII"
    if cut -d' ' -f2- "$work/files" | grep -Fxq -- "$name"; then
        fail "$name: listed twice"
    fi
    kind=$(member_kind "$name") || fail "$name: neither a PE image (.dll, .sys, .exe) nor an INF"
    echo "$kind $name" >>"$work/files"
    if [ "$kind" = pe ]; then
        read_pe_image "$path"
        echo "$machine" >>"$work/machines"
    else
        inf_hardware_ids "$path" >>"$work/hardware-ids"
    fi
    for algorithm in sha256 sha1; do
        if [ "$kind" = pe ]; then
            digest=$(authenticode_bytes "$path" | digest_hex "$algorithm")
        else
            digest=$(digest_hex "$algorithm" <"$path")
        fi
        echo "$digest $algorithm $kind $name" >>"$work/entries"
    done
done
LC_ALL=C sort -o "$work/entries" "$work/entries"

os=
for m in $(LC_ALL=C sort -u "$work/machines"); do
    echo "$platforms" | grep -q "^$m " || fail "PE machine type $m: no Windows 10 platform for it"
done
while read -r m value; do
    if grep -qx "$m" "$work/machines"; then os=${os:+$os,}$value; fi
done <<EOF
$platforms
EOF
[ -n "$os" ] || fail "no PE image among the members: the catalog's platform comes from one"

awk '!seen[$0]++' "$work/hardware-ids" >"$work/hardware-ids.unique"
LC_ALL=C grep -vq '^[ -~]*$' "$work/hardware-ids.unique" &&
    fail "a hardware ID of the INF is not printable ASCII"

listid=$({ cut -d' ' -f1 "$work/entries"; echo "$utctime"; } | digest_hex sha256 | cut -c1-32)

# The sections of an attribute: its type and a set of one value, written by the caller next
# under the section "$1_value" unless $3 gives the value itself.
attribute() { # section oid [value]
    cat <<EOF

[$1]
type = OID:$2
values = SET:$1_values

[$1_values]
EOF
    if [ $# -ge 3 ]; then
        echo "value = $3"
    else
        printf 'value = SEQUENCE:%s_value\n\n[%s_value]\n' "$1" "$1"
    fi
}

# The fields of a name-value (CAT_NAMEVALUE_OBJID) as MakeCat writes them: the name, the
# flags and the value as UTF-16LE with its NUL.
name_value_fields() { # name value
    cat <<EOF
name = BMPSTRING:$1
flags = INTEGER:0x10010001
value = FORMAT:HEX,OCTETSTRING:$(utf16le_hex "$2")
EOF
}

# A catalog-wide name-value: an extension whose value is the encoded name-value.
extension() { # section name value
    printf '\n[%s]\ntype = OID:1.3.6.1.4.1.311.12.2.1\nvalue = OCTWRAP,SEQUENCE:%s_value\n\n[%s_value]\n' \
        "$1" "$1" "$1"
    name_value_fields "$2" "$3"
}

conf=$work/catalog.cnf
{
    cat <<EOF
asn1 = SEQUENCE:content_info

[content_info]
type = OID:1.2.840.113549.1.7.2
content = EXPLICIT:0,SEQUENCE:signed_data

[signed_data]
version = INTEGER:1
digest_algorithms = SET:empty
content_info = SEQUENCE:ctl_info
signer_infos = SET:empty

[empty]

[ctl_info]
type = OID:1.3.6.1.4.1.311.10.1
content = EXPLICIT:0,SEQUENCE:ctl

[ctl]
subject_usage = SEQUENCE:subject_usage
list_identifier = FORMAT:HEX,OCTETSTRING:$listid
this_update = UTCTIME:$utctime
subject_algorithm = SEQUENCE:subject_algorithm
trusted_subjects = SEQUENCE:trusted_subjects
extensions = EXPLICIT:0,SEQUENCE:extensions

[subject_usage]
catalog_list = OID:1.3.6.1.4.1.311.12.1.1

[subject_algorithm]
type = OID:1.3.6.1.4.1.311.12.1.3
parameters = NULL

[sha256]
algorithm = OID:2.16.840.1.101.3.4.2.1
parameters = NULL

[extensions]
os = SEQUENCE:ext_os
EOF
    count=$(wc -l <"$work/hardware-ids.unique")
    n=$count
    while [ "$n" -gt 0 ]; do
        echo "hwid$n = SEQUENCE:ext_hwid$n"
        n=$((n - 1))
    done
    extension ext_os OS "$os"
    n=0
    while read -r id; do
        n=$((n + 1))
        extension "ext_hwid$n" "HWID$n" "$id"
    done <"$work/hardware-ids.unique"

    printf '\n[trusted_subjects]\n'
    n=0
    while read -r identifier algorithm kind name; do
        n=$((n + 1))
        echo "m$n = SEQUENCE:m$n"
    done <"$work/entries"

    n=0
    while read -r identifier algorithm kind name; do
        n=$((n + 1))
        if [ "$kind" = pe ]; then member_tag=0; else member_tag=2; fi
        cat <<EOF

[m$n]
identifier = FORMAT:HEX,OCTETSTRING:$identifier
attributes = SET:m${n}_attributes

[m${n}_attributes]
member_info = SEQUENCE:m${n}_member_info
os = SEQUENCE:m${n}_os
file = SEQUENCE:m${n}_file
EOF
        [ "$algorithm" = sha1 ] || echo "indirect_data = SEQUENCE:m${n}_indirect_data"
        attribute "m${n}_member_info" 1.3.6.1.4.1.311.12.2.3 "IMPLICIT:$member_tag,NULL"
        attribute "m${n}_os" 1.3.6.1.4.1.311.12.2.1
        name_value_fields OSAttr 2:10.0
        attribute "m${n}_file" 1.3.6.1.4.1.311.12.2.1
        name_value_fields File "$(printf '%s' "$name" | tr A-Z a-z)"
        [ "$algorithm" = sha1 ] && continue
        attribute "m${n}_indirect_data" 1.3.6.1.4.1.311.2.1.4
        if [ "$kind" = pe ]; then
            cat <<EOF
data = SEQUENCE:m${n}_pe_data
message_digest = SEQUENCE:m${n}_digest

[m${n}_pe_data]
type = OID:1.3.6.1.4.1.311.2.1.15
value = SEQUENCE:m${n}_pe_image

[m${n}_pe_image]
flags = IMPLICIT:3U,FORMAT:HEX,OCTETSTRING:05A0
file = EXPLICIT:0,EXPLICIT:2,IMPLICIT:0,BMPSTRING:
EOF
        else
            cat <<EOF
data = SEQUENCE:m${n}_flat_data
message_digest = SEQUENCE:m${n}_digest

[m${n}_flat_data]
type = OID:1.3.6.1.4.1.311.2.1.25
value = EXPLICIT:2,IMPLICIT:0,BMPSTRING:
EOF
        fi
        cat <<EOF

[m${n}_digest]
algorithm = SEQUENCE:sha256
digest = FORMAT:HEX,OCTETSTRING:$identifier
EOF
    done <"$work/entries"
} >"$conf"

openssl asn1parse -genconf "$conf" -noout -out "$work/catalog.der" >/dev/null 2>"$work/errors" ||
    fail "openssl could not encode the catalog: $(head -n 1 "$work/errors")"
mv "$work/catalog.der" "$out.tmp.$$"
mv "$out.tmp.$$" "$out"
