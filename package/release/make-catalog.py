#!/usr/bin/python3
"""make-catalog.py OUT.cat MEMBER...

Writes an unsigned driver catalog over the given files, for `osslsigncode sign` to sign, in
the layout MakeCat writes for CatalogVersion 2 with SHA-256 (Inf2Cat's for Windows 10), the
layout Windows 8 and later read. Every file has two entries: one keyed by its SHA-256 hash,
which carries the file's indirect data, and a "twin" keyed by its SHA-1 hash, which Windows
looks a file up by where it hashes with SHA-1. A PE image (.dll, .sys, .exe) is hashed as
Authenticode hashes it, an INF as its bytes. The catalog's OS list comes from the PE images'
machine types, its hardware IDs from the INF's models sections. Its time is
SOURCE_DATE_EPOCH (now when it is not set), so the same files and the same epoch give the
same bytes.

The layout, field by field (DER; "UTF-16LE\\0" is an OCTET STRING holding UTF-16LE text
with its terminating NUL, the form the catalog API stores values in):

ContentInfo SEQUENCE
  contentType      OID 1.2.840.113549.1.7.2 (signedData)
  content          [0] EXPLICIT SignedData SEQUENCE
    version          INTEGER 1
    digestAlgorithms SET {}              empty until signed; osslsigncode fills it
    contentInfo      SEQUENCE
      contentType      OID 1.3.6.1.4.1.311.10.1 (szOID_CTL)
      content          [0] EXPLICIT CertificateTrustList SEQUENCE (its version absent)
        subjectUsage     SEQUENCE { OID 1.3.6.1.4.1.311.12.1.1 (szOID_CATALOG_LIST) }
        listIdentifier   OCTET STRING, 16 bytes: MakeCat puts a random GUID here; this
                         takes the first 16 bytes of SHA-256 over the identifiers and the
                         time, so that it is the same in every build of the same files
        thisUpdate       UTCTime, SOURCE_DATE_EPOCH
        subjectAlgorithm SEQUENCE { OID 1.3.6.1.4.1.311.12.1.3 (catalog list member,
                                    version 2), NULL }
        trustedSubjects  SEQUENCE OF, two entries per file, all sorted by identifier:
          SEQUENCE
            subjectIdentifier OCTET STRING: the raw digest, 32 bytes (SHA-256) or 20
                              bytes (SHA-1)
            subjectAttributes SET OF Attribute SEQUENCE { OID, SET { value } }:
              1.3.6.1.4.1.311.12.2.3 (member info, version 2)
                [0] IMPLICIT NULL for a PE image, [2] IMPLICIT NULL for a flat file
              1.3.6.1.4.1.311.12.2.1 (CAT_NAMEVALUE_OBJID)
                SEQUENCE { BMPString "OSAttr", INTEGER 0x10010001, UTF-16LE\\0 "2:10.0" }
                (platform 2, NT, version 10.0 and later: Windows 10 and Windows 11)
              1.3.6.1.4.1.311.12.2.1 (CAT_NAMEVALUE_OBJID)
                SEQUENCE { BMPString "File", INTEGER 0x10010001,
                           UTF-16LE\\0 the file name in lower case }
              1.3.6.1.4.1.311.2.1.4 (SPC_INDIRECT_DATA_OBJID), on the SHA-256 entry only
                SpcIndirectDataContent SEQUENCE
                  data SEQUENCE
                    PE image:  OID 1.3.6.1.4.1.311.2.1.15 (SPC_PE_IMAGE_DATA_OBJID),
                               SpcPeImageData SEQUENCE { BIT STRING 05 A0 (MakeCat's
                                 flags), [0] { [2] { [0] BMPString "" } } }
                    flat file: OID 1.3.6.1.4.1.311.2.1.25 (SPC_CAB_DATA_OBJID),
                               SpcLink [2] { [0] BMPString "" }
                  messageDigest SEQUENCE
                    SEQUENCE { OID 2.16.840.1.101.3.4.2.1 (sha256), NULL }
                    OCTET STRING, the 32-byte digest (the identifier)
        ctlExtensions    [0] EXPLICIT SEQUENCE OF Extension, the catalog's own attributes,
                         each SEQUENCE { OID 1.3.6.1.4.1.311.12.2.1, OCTET STRING {
                         SEQUENCE { BMPString name, INTEGER 0x10010001, UTF-16LE\\0 value }}}:
          "OS"     the platforms, e.g. "_v100_X64" or "_v100_X64,_v100_ARM64"
          "HWIDn" ... "HWID1"   the INF's hardware and compatible IDs in lower case,
                   numbered in the order the INF lists them, the last first (as Inf2Cat)
    signerInfos      SET {}              empty until signed

0x10010001 is CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII |
CRYPTCAT_ATTR_NAMEASCII: a signed attribute, name and value in plain text.

The Authenticode hash of a PE image covers the whole file except the CheckSum field of the
optional header, the certificate table's data-directory entry, and the certificate table
itself (which must be the end of the file): the ranges Windows' ImageGetDigestStream, Wine's
and osslsigncode's verifiers hash. A member must be named in printable ASCII; each name may
appear once (Windows compares file names without case).

Nothing is written but OUT.cat, through a temporary file beside it that no error and no
INT, TERM or HUP leaves behind. Errors are one line on stderr, "make-catalog: ...", exit 1.
"""
import contextlib
import hashlib
import os
import signal
import sys
import time

NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
NAME_VALUE_FLAGS = 0x10010001
# The Machine field of a PE image's file header, and the OS value's name for it on Windows 10
# and later, in the order the OS value lists them.
PLATFORMS = {0x8664: "_v100_X64", 0xAA64: "_v100_ARM64"}
KINDS = {".dll": "pe", ".sys": "pe", ".exe": "pe", ".inf": "flat"}
STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# UTCTime holds two-digit years: 1950 to 2049.
UTCTIME_END = 2524608000


class Refused(Exception):
    """A reason the catalog cannot be made, said in one line."""


class Stopped(BaseException):
    """A stopping signal arrived; raised so that every cleanup runs before the process ends
    by that signal (SIGTERM's and SIGHUP's default actions would end it without any)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


# DER, definite lengths only.
def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + length + content


def sequence(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    # DER orders a SET OF by its elements' encodings, as OpenSSL does: bytewise, a prefix first.
    return tlv(0x31, b"".join(sorted(items)))


def oid(dotted):
    arcs = [int(a) for a in dotted.split(".")]
    body = b""
    for arc in [40 * arcs[0] + arcs[1]] + arcs[2:]:
        chunk = [arc & 0x7F]
        while arc > 0x7F:
            arc >>= 7
            chunk.append(0x80 | (arc & 0x7F))
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def integer(n):
    return tlv(0x02, n.to_bytes(n.bit_length() // 8 + 1, "big"))


def octets(data):
    return tlv(0x04, data)


def bmp_string(text):
    return tlv(0x1E, text.encode("utf-16-be"))


NULL = b"\x05\x00"
SHA256_ALGORITHM = sequence(oid("2.16.840.1.101.3.4.2.1"), NULL)
PE_IMAGE_DATA = sequence(oid("1.3.6.1.4.1.311.2.1.15"),
                         sequence(tlv(0x03, b"\x05\xa0"), tlv(0xA0, tlv(0xA2, tlv(0x80, b"")))))
FLAT_FILE_DATA = sequence(oid("1.3.6.1.4.1.311.2.1.25"), tlv(0xA2, tlv(0x80, b"")))
MEMBER_INFO = {"pe": b"\x80\x00", "flat": b"\x82\x00"}


def name_value(name, value):
    """A CAT_NAMEVALUE as MakeCat writes it: the name, the flags, the value as UTF-16LE
    with its NUL."""
    return sequence(bmp_string(name), integer(NAME_VALUE_FLAGS), octets((value + "\0").encode("utf-16-le")))


def attribute(kind, value):
    return sequence(oid(kind), set_of(value))


# The inputs.
def read_pe_image(path, f, size):
    """Checks that f is a PE image whose certificate table, if any, ends the file. Returns
    its Machine field and the byte ranges its Authenticode hash covers."""
    def field(offset, width):
        f.seek(offset)
        data = f.read(width)
        if len(data) != width:
            raise Refused(f"{path}: truncated PE header")
        return int.from_bytes(data, "little")

    if size < 64 or field(0, 2) != 0x5A4D:  # "MZ"
        raise Refused(f"{path}: not a PE image")
    pe = field(60, 4)
    if pe + 26 > size or field(pe, 4) != 0x4550:  # "PE\0\0"
        raise Refused(f"{path}: not a PE image")
    machine = field(pe + 4, 2)
    optional = pe + 24
    directories = {0x10B: optional + 96, 0x20B: optional + 112}.get(field(optional, 2))  # PE32, PE32+
    if directories is None:
        raise Refused(f"{path}: unknown optional header format")
    if field(directories - 4, 4) < 5:
        raise Refused(f"{path}: the image has no certificate table entry")
    checksum = optional + 64
    certificate_entry = directories + 4 * 8
    certificates, certificates_size = field(certificate_entry, 4), field(certificate_entry + 4, 4)
    end = size
    if certificates:
        if certificates < certificate_entry + 8 or certificates + certificates_size != size:
            raise Refused(f"{path}: the certificate table is not at the end of the file")
        end = certificates
    return machine, [(0, checksum), (checksum + 4, certificate_entry), (certificate_entry + 8, end)]


def digests(f, ranges):
    sha256, sha1 = hashlib.sha256(), hashlib.sha1()
    for begin, end in ranges:
        f.seek(begin)
        while begin < end:
            chunk = f.read(min(end - begin, 1 << 20))
            if not chunk:
                raise Refused(f"{f.name}: changed while it was read")
            sha256.update(chunk)
            sha1.update(chunk)
            begin += len(chunk)
    return {"sha256": sha256.digest(), "sha1": sha1.digest()}


ASCII_LOWER = bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", b"abcdefghijklmnopqrstuvwxyz").decode("latin-1")


def trimmed_lower(text):
    return text.strip(" \t").translate(ASCII_LOWER)


def inf_hardware_ids(data):
    """The hardware and compatible IDs of an INF, in lower case, each once, in the order its
    models sections list them: the sections [Manufacturer] names, undecorated and with each
    decoration ("%Mfg% = Models, NTamd64" names [Models] and [Models.NTamd64]); in each of
    their lines "description = install-section, hardware-id[, compatible-id...]". The text is
    read as bytes, so that no encoding error stops the run; an ID must be ASCII to be listed."""
    models, lines, section = set(), [], ""
    for line in data.replace(b"\r", b"").decode("latin-1").split("\n"):
        line = line.split(";", 1)[0].strip(" \t")
        if not line:
            continue
        if len(line) >= 2 and line[0] == "[" and line[-1] == "]":
            section = trimmed_lower(line[1:-1])
        elif section == "manufacturer" and "=" in line:
            names = [trimmed_lower(f) for f in line.split("=", 1)[1].split(",")]
            models.update([names[0]] + [names[0] + "." + d for d in names[1:]])
        else:
            lines.append((section, line))
    ids = []
    for section, line in lines:
        if section in models and "=" in line:
            for field in line.split("=", 1)[1].split(",")[1:]:
                hardware_id = trimmed_lower(field)
                if hardware_id and hardware_id not in ids:
                    ids.append(hardware_id)
    return ids


def read_members(paths):
    """Every file's entries (sorted by identifier, as MakeCat sorts them), the platforms of
    its PE images and the hardware IDs of its INFs."""
    entries, machines, hardware_ids, names = [], set(), [], set()
    for path in paths:
        name = os.path.basename(path)
        if not os.path.isfile(path) or not os.access(path, os.R_OK):
            raise Refused(f"{path}: not a readable file")
        if not all(" " <= c <= "~" for c in name):
            raise Refused(f"{path}: the file name must be printable ASCII")
        if name.lower() in names:
            raise Refused(f"{name}: listed twice")
        names.add(name.lower())
        kind = next((k for extension, k in KINDS.items() if name.lower().endswith(extension)), None)
        if kind is None:
            raise Refused(f"{name}: neither a PE image (.dll, .sys, .exe) nor an INF")
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if kind == "pe":
                machine, ranges = read_pe_image(path, f, size)
                machines.add(machine)
            else:
                ranges = [(0, size)]
                hardware_ids += [i for i in inf_hardware_ids(f.read()) if i not in hardware_ids]
            for algorithm, digest in digests(f, ranges).items():
                entries.append((digest.hex().upper(), algorithm, kind, name))
    # The order of "HEX algorithm kind name" lines in the C locale, which the catalogs made
    # so far were sorted in: by identifier, and so also by their bytes.
    entries.sort(key=lambda e: " ".join(e).encode())
    unknown = sorted(machines - PLATFORMS.keys())
    if unknown:
        raise Refused(f"PE machine type {unknown[0]}: no Windows 10 platform for it")
    if not machines:
        raise Refused("no PE image among the members: the catalog's platform comes from one")
    if not all(" " <= c <= "~" for i in hardware_ids for c in i):
        raise Refused("a hardware ID of the INF is not printable ASCII")
    return entries, ",".join(v for m, v in PLATFORMS.items() if m in machines), hardware_ids


def catalog_time():
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or str(int(time.time()))
    if not epoch.isascii() or not epoch.isdigit():
        raise Refused(f"SOURCE_DATE_EPOCH is not a number of seconds: {epoch}")
    if int(epoch) >= UTCTIME_END:
        raise Refused("SOURCE_DATE_EPOCH is past 2049, which UTCTime cannot hold")
    return time.strftime("%y%m%d%H%M%SZ", time.gmtime(int(epoch)))


def encode_catalog(entries, os_value, hardware_ids, utctime):
    members = []
    for identifier, algorithm, kind, name in entries:
        digest = bytes.fromhex(identifier)
        attributes = [attribute("1.3.6.1.4.1.311.12.2.3", MEMBER_INFO[kind]),
                      attribute(NAME_VALUE, name_value("OSAttr", "2:10.0")),
                      attribute(NAME_VALUE, name_value("File", name.lower()))]
        if algorithm == "sha256":
            data = PE_IMAGE_DATA if kind == "pe" else FLAT_FILE_DATA
            attributes.append(attribute("1.3.6.1.4.1.311.2.1.4",
                                        sequence(data, sequence(SHA256_ALGORITHM, octets(digest)))))
        members.append(sequence(octets(digest), set_of(*attributes)))
    values = [("OS", os_value)] + [(f"HWID{n}", i) for n, i in reversed(list(enumerate(hardware_ids, 1)))]
    extensions = [sequence(oid(NAME_VALUE), octets(name_value(n, v))) for n, v in values]
    list_identifier = hashlib.sha256("".join(e[0] + "\n" for e in entries).encode() + utctime.encode() + b"\n")
    ctl = sequence(
        sequence(oid("1.3.6.1.4.1.311.12.1.1")),
        octets(list_identifier.digest()[:16]),
        tlv(0x17, utctime.encode()),
        sequence(oid("1.3.6.1.4.1.311.12.1.3"), NULL),
        sequence(*members),
        tlv(0xA0, sequence(*extensions)))
    signed_data = sequence(integer(1), set_of(), sequence(oid("1.3.6.1.4.1.311.10.1"), tlv(0xA0, ctl)), set_of())
    return sequence(oid("1.2.840.113549.1.7.2"), tlv(0xA0, signed_data))


@contextlib.contextmanager
def replacing(out):
    """A file that becomes out whole or not at all: a temporary file beside it, renamed over
    it when the block ends well and removed when anything, a stopping signal too, ends it.
    It is made before the members are read, so that an output folder that cannot take the
    catalog is found at once."""
    temporary = f"{out}.tmp.{os.getpid()}"
    # Held until the file is known to the cleanup below, so that no signal falls between.
    signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING_SIGNALS)
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as e:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPPING_SIGNALS)
        raise Refused(f"{temporary}: {e.strerror}") from None
    try:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPPING_SIGNALS)
        with os.fdopen(fd, "wb") as f:
            yield f
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def stop(signum, frame):
    # Cleanup runs once: a second signal during it is ignored.
    for s in STOPPING_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def make(args):
    try:
        if len(args) < 2:
            raise Refused("usage: make-catalog.py OUT.cat MEMBER...")
        utctime = catalog_time()
        with replacing(args[0]) as out:
            entries, os_value, hardware_ids = read_members(args[1:])
            out.write(encode_catalog(entries, os_value, hardware_ids, utctime))
    except Refused as e:
        print(f"make-catalog: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"make-catalog: {e.filename or args[0]}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


def main(args):
    for s in STOPPING_SIGNALS:
        signal.signal(s, stop)
    try:
        return make(args)
    except Stopped as e:
        # Ends as the signal would have ended it, so that the caller sees which one.
        signal.signal(e.signum, signal.SIG_DFL)
        os.kill(os.getpid(), e.signum)
        return 128 + e.signum


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
