#!/bin/sh
# make-catalog.sh OUT.cat MEMBER...
#
# Writes an unsigned driver catalog over the given files, in the layout MakeCat and Inf2Cat
# write, for `osslsigncode sign` to sign. A PE image is listed by its Authenticode SHA-256
# hash, any other file by the SHA-256 hash of its bytes. The catalog's time is
# SOURCE_DATE_EPOCH (now when it is not set), so the same files and the same epoch give the
# same bytes. OpenSSL does all the hashing and the DER encoding (`openssl dgst`,
# `openssl asn1parse -genconf`); this script only chooses the fields and the byte ranges.
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
#       content          [0] EXPLICIT CertificateTrustList SEQUENCE
#         subjectUsage     SEQUENCE { OID 1.3.6.1.4.1.311.12.1.1 (szOID_CATALOG_LIST) }
#         listIdentifier   OCTET STRING, 16 bytes: MakeCat puts a random GUID here; this
#                          takes the first 16 bytes of SHA-256 over the member tags and the
#                          time, so that it is the same in every build of the same files
#         thisUpdate       UTCTime, SOURCE_DATE_EPOCH
#         subjectAlgorithm SEQUENCE { OID 1.3.6.1.4.1.311.12.1.2 (szOID_CATALOG_LIST_MEMBER),
#                                     NULL }
#         trustedSubjects  SEQUENCE OF, one per member, sorted by tag:
#           SEQUENCE
#             subjectIdentifier OCTET STRING: the hash tag, the digest as upper-case hex,
#                               UTF-16LE\0 (what CryptCATGetMemberInfo looks a file up by)
#             subjectAttributes SET OF Attribute SEQUENCE { OID, SET { value } }:
#               1.3.6.1.4.1.311.12.2.1 (CAT_NAMEVALUE_OBJID)
#                 SEQUENCE { BMPString "File", INTEGER 0x10010001, UTF-16LE\0 file name }
#               1.3.6.1.4.1.311.12.2.1 (CAT_NAMEVALUE_OBJID)
#                 SEQUENCE { BMPString "OSAttr", INTEGER 0x10010001, UTF-16LE\0 "2:10.0" }
#                 (platform 2, NT, version 10.0 and later: Windows 10 and Windows 11)
#               1.3.6.1.4.1.311.12.2.2 (CAT_MEMBERINFO_OBJID)
#                 SEQUENCE { BMPString subject GUID of the file's SIP, INTEGER 512 }
#                   PE image: {C689AAB8-8E78-11D0-8C47-00C04FC295EE}
#                   flat file: {DE351A42-8E59-11D0-8C47-00C04FC295EE}
#               1.3.6.1.4.1.311.2.1.4 (SPC_INDIRECT_DATA_OBJID)
#                 SpcIndirectDataContent SEQUENCE
#                   data SEQUENCE
#                     PE image:  OID 1.3.6.1.4.1.311.2.1.15 (SPC_PE_IMAGE_DATA_OBJID),
#                                SpcPeImageData SEQUENCE { BIT STRING (no flags),
#                                  [0] { [2] { [0] BMPString "<<<Obsolete>>>" } } }
#                     flat file: OID 1.3.6.1.4.1.311.2.1.25 (SPC_CAB_DATA_OBJID),
#                                SpcLink [2] { [0] BMPString "<<<Obsolete>>>" }
#                   messageDigest SEQUENCE
#                     SEQUENCE { OID 2.16.840.1.101.3.4.2.1 (sha256), NULL }
#                     OCTET STRING, the 32-byte digest
#         ctlExtensions    [0] EXPLICIT SEQUENCE OF Extension, the catalog's own attributes:
#           SEQUENCE { OID 1.3.6.1.4.1.311.12.2.1,
#                      OCTET STRING { SEQUENCE { BMPString "OS", INTEGER 0x10010001,
#                                                UTF-16LE\0 "_v100_X64" } } }
#                      (the operating-system list Inf2Cat writes for 64-bit Windows 10)
#     signerInfos      SET {}              empty until signed
#
# 0x10010001 is CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII |
# CRYPTCAT_ATTR_NAMEASCII: a signed attribute, name and value in plain text. 512 is the
# certificate version MakeCat writes into every member.
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

sha256_hex() {
    openssl dgst -sha256 -r | cut -d' ' -f1
}

# Byte range [$2, $3) of file $1 on stdout.
file_range() {
    tail -c +"$(($2 + 1))" "$1" | head -c "$(($3 - $2))"
}

# Prints the Authenticode SHA-256 of the PE image $1, or nothing when $1 is not a PE image.
pe_hash() {
    size=$(wc -c <"$1")
    [ "$size" -ge 64 ] || return 0
    [ "$(le_uint "$1" 0 2)" = 23117 ] || return 0               # "MZ"
    pe=$(le_uint "$1" 60 4)
    [ $((pe + 24 + 2)) -le "$size" ] || return 0
    [ "$(le_uint "$1" "$pe" 4)" = 17744 ] || return 0           # "PE\0\0"
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
    {
        file_range "$1" 0 "$checksum"
        file_range "$1" $((checksum + 4)) "$certdir"
        file_range "$1" $((certdir + 8)) "$end"
    } | sha256_hex
}

epoch=${SOURCE_DATE_EPOCH:-$(date +%s)}
case $epoch in '' | *[!0-9]*) fail "SOURCE_DATE_EPOCH is not a number of seconds: $epoch" ;; esac
# UTCTime holds two-digit years: 1950 to 2049.
[ "$epoch" -lt 2524608000 ] || fail "SOURCE_DATE_EPOCH is past 2049, which UTCTime cannot hold"
utctime=$(date -u -d "@$epoch" +%y%m%d%H%M%SZ)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One line per member: tag, kind, name.
: >"$work/members"
for path in "$@"; do
    [ -f "$path" ] && [ -r "$path" ] || fail "$path: not a readable file"
    name=${path##*/}
    printf '%s' "$name" | LC_ALL=C grep -q '^[ -~][ -~]*$' ||
        fail "$path: the file name must be printable ASCII"
    if cut -d' ' -f3- "$work/members" | grep -Fxq -- "$name"; then
        fail "$name: listed twice"
    fi
    digest=$(pe_hash "$path")
    kind=pe
    if [ -z "$digest" ]; then
        digest=$(sha256_hex <"$path")
        kind=flat
    fi
    echo "$(echo "$digest" | tr a-f A-F) $kind $name" >>"$work/members"
done
LC_ALL=C sort -o "$work/members" "$work/members"

listid=$({ cut -d' ' -f1 "$work/members"; echo "$utctime"; } | sha256_hex | cut -c1-32)

# The sections of an attribute: its type and a set of one value, the SEQUENCE whose fields
# the caller writes next, under the section "$1_value".
attribute() { # section oid
    cat <<EOF

[$1]
type = OID:$2
values = SET:$1_values

[$1_values]
value = SEQUENCE:$1_value

[$1_value]
EOF
}

# A name-value attribute (CAT_NAMEVALUE_OBJID) as MakeCat writes them: the name, the flags
# and the value as UTF-16LE with its NUL.
name_value_attribute() { # section name value
    attribute "$1" 1.3.6.1.4.1.311.12.2.1
    cat <<EOF
name = BMPSTRING:$2
flags = INTEGER:0x10010001
value = FORMAT:HEX,OCTETSTRING:$(utf16le_hex "$3")
EOF
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
type = OID:1.3.6.1.4.1.311.12.1.2
parameters = NULL

[extensions]
os = SEQUENCE:ext_os

[ext_os]
type = OID:1.3.6.1.4.1.311.12.2.1
value = OCTWRAP,SEQUENCE:ext_os_value

[ext_os_value]
name = BMPSTRING:OS
flags = INTEGER:0x10010001
value = FORMAT:HEX,OCTETSTRING:$(utf16le_hex _v100_X64)

[sha256]
algorithm = OID:2.16.840.1.101.3.4.2.1
parameters = NULL

[trusted_subjects]
EOF
    n=0
    while read -r tag kind name; do
        n=$((n + 1))
        echo "m$n = SEQUENCE:m$n"
    done <"$work/members"

    n=0
    while read -r tag kind name; do
        n=$((n + 1))
        if [ "$kind" = pe ]; then
            sip='{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'
            data_type=1.3.6.1.4.1.311.2.1.15
            data_value="SEQUENCE:m${n}_pe_image"
        else
            sip='{DE351A42-8E59-11D0-8C47-00C04FC295EE}'
            data_type=1.3.6.1.4.1.311.2.1.25
            data_value="EXPLICIT:2,IMPLICIT:0,BMPSTRING:<<<Obsolete>>>"
        fi
        cat <<EOF

[m$n]
tag = FORMAT:HEX,OCTETSTRING:$(utf16le_hex "$tag")
attributes = SET:m${n}_attributes

[m${n}_attributes]
file = SEQUENCE:m${n}_file
os = SEQUENCE:m${n}_os
member_info = SEQUENCE:m${n}_member_info
indirect_data = SEQUENCE:m${n}_indirect_data
EOF
        name_value_attribute "m${n}_file" File "$name"
        name_value_attribute "m${n}_os" OSAttr 2:10.0
        attribute "m${n}_member_info" 1.3.6.1.4.1.311.12.2.2
        cat <<EOF
subject = BMPSTRING:$sip
cert_version = INTEGER:512
EOF
        attribute "m${n}_indirect_data" 1.3.6.1.4.1.311.2.1.4
        cat <<EOF
data = SEQUENCE:m${n}_data
message_digest = SEQUENCE:m${n}_digest

[m${n}_data]
type = OID:$data_type
value = $data_value

[m${n}_pe_image]
flags = IMPLICIT:3U,FORMAT:HEX,OCTETSTRING:00
file = EXPLICIT:0,EXPLICIT:2,IMPLICIT:0,BMPSTRING:<<<Obsolete>>>

[m${n}_digest]
algorithm = SEQUENCE:sha256
digest = FORMAT:HEX,OCTETSTRING:$tag
EOF
    done <"$work/members"
} >"$conf"

openssl asn1parse -genconf "$conf" -noout -out "$work/catalog.der" >/dev/null 2>"$work/errors" ||
    fail "openssl could not encode the catalog: $(head -n 1 "$work/errors")"
mv "$work/catalog.der" "$out.tmp.$$"
mv "$out.tmp.$$" "$out"
