"""catalog-test.py CASE SOURCE_DIR BINARY_DIR [REFERENCE_DIR]

Reads a driver catalog field by field, as MakeCat writes CatalogVersion 2, with its own DER
reading (asn1crypto) and its own hashing, and checks it against the files it lists:

  signed      the release fixture's signed catalog and the driver folder beside it: both
              libraries, x64 and ARM64, and the INF, with both platforms in OS
  reference   REFERENCE_DIR/catalog/: a catalog Microsoft's tools made and its two files,
              which shows that this reading reads what they write
  reproducible  the generator run twice over the signed driver folder with one
              SOURCE_DATE_EPOCH: the same bytes, and that time in the catalog
  refusals    files the generator refuses: one line naming the cause, no catalog
  two-platforms  the generator over the x64 library, the INF and an ARM64 image made from
              the x64 library: OS from the machine type alone, every file with its two entries

Every failed check prints a line starting with FAILED; the exit status is 1 then.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from datetime import datetime, timezone

from asn1crypto import algos, cms, core

NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
MEMBER_INFO_V2 = "1.3.6.1.4.1.311.12.2.3"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"
NAME_VALUE_FLAGS = 0x10010001  # authenticated, name and value as text
# The fixed parts, as the reference catalog encodes them.
PE_IMAGE_VALUE = bytes.fromhex("300a030205a0a004a2028000")  # flags 05 A0, link [0]{[2]{[0] ""}}
FLAT_FILE_VALUE = bytes.fromhex("a2028000")  # link [2]{[0] ""}
SHA256_ALGORITHM = bytes.fromhex("300d06096086480165030402010500")
# The signer's attributes, with the values that do not vary: content type szOID_CTL,
# message digest, statement type "individual", opus info. osslsigncode adds the signing
# time (1.2.840.113549.1.9.5), which Microsoft's signers leave out; Windows takes the time
# from a time stamp, not from it.
SIGNED_ATTRIBUTES = {
    "1.2.840.113549.1.9.3": bytes.fromhex("06092b0601040182370a01"),
    "1.2.840.113549.1.9.4": None,
    "1.3.6.1.4.1.311.2.1.11": bytes.fromhex("300c060a2b060104018237020115"),
    "1.3.6.1.4.1.311.2.1.12": None,
}
SIGNING_TIME = "1.2.840.113549.1.9.5"
MEMBER_TAG = {"pe": b"\x80\x00", "flat": b"\x82\x00"}  # [0] a PE image, [2] a flat file

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what)
    return ok


class NameValue(core.Sequence):
    _fields = [("name", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", core.SetOf, {"spec": core.Any})]


class Attributes(core.SetOf):
    _child_spec = Attribute


class Member(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes)]


class Members(core.SequenceOf):
    _child_spec = Member


class Extension(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class Usages(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


# The certificate trust list as catalogs hold it: no version, no sequence number, no next
# update; a field out of this order fails to parse.
class TrustList(core.Sequence):
    _fields = [
        ("usage", Usages),
        ("list_identifier", core.OctetString),
        ("this_update", core.UTCTime),
        ("subject_algorithm", algos.DigestAlgorithm),
        ("members", Members),
        ("extensions", Extensions, {"explicit": 0}),
    ]


class IndirectData(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any)]


class DigestInfo(core.Sequence):
    _fields = [("algorithm", core.Any), ("digest", core.OctetString)]


class IndirectDataContent(core.Sequence):
    _fields = [("data", IndirectData), ("digest", DigestInfo)]


def name_value(der):
    nv = NameValue.load(der)
    value = nv["value"].native
    check(nv["flags"].native == NAME_VALUE_FLAGS and value.endswith(b"\0\0"),
          f"name-value {nv['name'].native}: flags {nv['flags'].native:#x}, value {value!r}")
    return nv["name"].native, value[:-2].decode("utf-16le")


def authenticode_ranges(data):
    """The byte ranges the Authenticode hash of a PE image covers."""
    pe = struct.unpack_from("<I", data, 60)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directory = optional + {0x10B: 96, 0x20B: 112}[magic] + 4 * 8
    certificates = struct.unpack_from("<I", data, directory)[0] or len(data)
    checksum = optional + 64
    return [(0, checksum), (checksum + 4, directory), (directory + 8, certificates)]


def file_hashes(path, kind):
    data = open(path, "rb").read()
    ranges = authenticode_ranges(data) if kind == "pe" else [(0, len(data))]
    hashes = {}
    for name in ("sha256", "sha1"):
        h = hashlib.new(name)
        for begin, end in ranges:
            h.update(data[begin:end])
        hashes[name] = h.digest()
    return hashes


def inf_hardware_ids(path):
    """Hardware and compatible IDs of the models sections, lower case, in order, each once."""
    sections, order, current = {}, [], None
    for line in open(path, encoding="utf-8-sig", errors="replace"):
        line = line.split(";")[0].strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].strip().lower(), [])
        elif line and current is not None:
            current.append(line)
    for line in sections.get("manufacturer", []):
        models, *decorations = [f.strip().lower() for f in line.split("=", 1)[1].split(",")]
        for section in [models] + [models + "." + d for d in decorations]:
            for entry in sections.get(section, []):
                for hwid in entry.split("=", 1)[1].split(",")[1:]:
                    if hwid.strip() and hwid.strip().lower() not in order:
                        order.append(hwid.strip().lower())
    return order


def read_catalog(path, files, os_value, exact, this_update=None):
    """files: (name, kind) of every member; exact: the catalog holds nothing else (the
    hardware submission service adds attributes of its own)."""
    signed = cms.ContentInfo.load(open(path, "rb").read())["content"]
    encapsulated = signed["encap_content_info"]
    check(encapsulated["content_type"].dotted == "1.3.6.1.4.1.311.10.1", "content type szOID_CTL")
    ctl = encapsulated["content"].parse(TrustList)
    check([u.dotted for u in ctl["usage"]] == ["1.3.6.1.4.1.311.12.1.1"], "subject usage catalog list")
    check(len(ctl["list_identifier"].native) == 16, "list identifier of 16 bytes")
    check(ctl["subject_algorithm"].dump() == bytes.fromhex("300e060a2b0601040182370c01030500"),
          f"subject algorithm 1.3.6.1.4.1.311.12.1.3, NULL: {ctl['subject_algorithm'].dump().hex()}")
    if this_update is not None:
        check(ctl["this_update"].native == this_update, f"time {ctl['this_update'].native}, not {this_update}")

    members = list(ctl["members"])
    identifiers = [m["identifier"].native for m in members]
    check(identifiers == sorted(identifiers), "members sorted by identifier")
    check(len(members) == 2 * len(files), f"{len(members)} entries for {len(files)} files")
    directory = os.path.dirname(path)
    for name, kind in files:
        hashes = file_hashes(os.path.join(directory, name), kind)
        for algorithm, digest in hashes.items():
            entry = [m for m in members if m["identifier"].native == digest]
            if not check(len(entry) == 1, f"{name}: one entry keyed by its raw {algorithm}"):
                continue
            attributes = list(entry[0]["attributes"])
            encodings = [a.dump() for a in attributes]
            check(encodings == sorted(encodings), f"{name} {algorithm}: attributes in DER order")
            types = sorted(a["type"].dotted for a in attributes)
            wanted = sorted([MEMBER_INFO_V2, NAME_VALUE, NAME_VALUE] + [INDIRECT_DATA] * (algorithm == "sha256"))
            check(types == wanted, f"{name} {algorithm}: attributes {types}")
            values = {}
            for a in attributes:
                check(len(a["values"]) == 1, f"{name} {algorithm}: one value in {a['type'].dotted}")
                value = a["values"].contents  # the one value's encoding
                if a["type"].dotted == MEMBER_INFO_V2:
                    check(value == MEMBER_TAG[kind], f"{name} {algorithm}: member info {value.hex()}")
                elif a["type"].dotted == NAME_VALUE:
                    values.update([name_value(value)])
                elif a["type"].dotted == INDIRECT_DATA:
                    indirect = IndirectDataContent.load(value)
                    data = indirect["data"]
                    check((data["type"].dotted, data["value"].dump()) ==
                          {"pe": (PE_IMAGE_DATA, PE_IMAGE_VALUE), "flat": (FLAT_FILE_DATA, FLAT_FILE_VALUE)}[kind],
                          f"{name}: indirect data {data['type'].dotted} {data['value'].dump().hex()}")
                    check(indirect["digest"]["algorithm"].dump() == SHA256_ALGORITHM and
                          indirect["digest"]["digest"].native == digest, f"{name}: indirect data digest")
            check(values == {"File": name.lower(), "OSAttr": "2:10.0"}, f"{name} {algorithm}: name-values {values}")

    extensions = [(e["type"].dotted, name_value(e["value"].native)) for e in ctl["extensions"]]
    check(all(t == NAME_VALUE for t, _ in extensions), "catalog attributes are name-values")
    hwids = [hwid for name, kind in files if name.lower().endswith(".inf")
             for hwid in inf_hardware_ids(os.path.join(directory, name))]
    # Inf2Cat numbers them from 1 in the INF's order and writes them after OS, the last first.
    listed = [(f"HWID{n}", hwid) for n, hwid in reversed(list(enumerate(hwids, 1)))]
    values = [nv for _, nv in extensions]
    if exact:
        check(values == [("OS", os_value)] + listed, f"catalog attributes {values}")
    else:
        after_os = values[values.index(("OS", os_value)) + 1:] if ("OS", os_value) in values else []
        check(after_os[len(after_os) - len(listed):] == listed, f"OS {os_value}, then hardware IDs {listed}")

    check([a["algorithm"].native for a in signed["digest_algorithms"]] == ["sha256"], "digest algorithm sha256")
    check(len(signed["signer_infos"]) == 1, "one signer")
    for signer in signed["signer_infos"]:
        check(signer["digest_algorithm"]["algorithm"].native == "sha256", "the signer's digest sha256")
        attributes = {a["type"].dotted: a["values"].contents for a in signer["signed_attrs"]}
        check(sorted(set(attributes) - {SIGNING_TIME}) == sorted(SIGNED_ATTRIBUTES), f"signed attributes {sorted(attributes)}")
        for kind, value in SIGNED_ATTRIBUTES.items():
            check(value is None or attributes.get(kind) == value, f"signed attribute {kind}: {attributes.get(kind)}")


def generate(source_dir, out, members, epoch):
    script = os.path.join(source_dir, "package", "release", "make-catalog.sh")
    subprocess.run(["sh", script, out] + members, check=True, env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch)))
    return open(out, "rb").read()


def main(case, source_dir, binary_dir, reference_dir=None):
    signed = os.path.join(binary_dir, "release-test", "signed", "driver")
    x64_files = [("ZORVA_KT2HX-x64.dll", "pe"), ("zorva_kt2hx.inf", "flat")]
    release_files = x64_files + [("ZORVA_KT2HX-arm64.dll", "pe")]
    if case == "signed":
        epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
            ["git", "-C", source_dir, "log", "-1", "--format=%ct"], capture_output=True, text=True).stdout
        read_catalog(os.path.join(signed, "zorva_kt2hx.cat"), release_files, "_v100_X64,_v100_ARM64", exact=True,
                     this_update=datetime.fromtimestamp(int(epoch), timezone.utc))
    elif case == "reference":
        read_catalog(os.path.join(reference_dir, "catalog", "Neo6_x64_VPN.cat"),
                     [("Neo6_x64_VPN.sys", "pe"), ("Neo6_x64_VPN.inf", "flat")], "_v100_X64_RS3", exact=False)
    elif case == "reproducible":
        epoch = 1700000000
        with tempfile.TemporaryDirectory() as work:
            members = [os.path.join(signed, name) for name, _ in release_files]
            first = generate(source_dir, os.path.join(work, "first.cat"), members, epoch)
            check(generate(source_dir, os.path.join(work, "second.cat"), members, epoch) == first,
                  "two runs with one SOURCE_DATE_EPOCH give the same bytes")
            ctl = cms.ContentInfo.load(first)["content"]["encap_content_info"]["content"].parse(TrustList)
            check(ctl["this_update"].native == datetime.fromtimestamp(epoch, timezone.utc), "the catalog's time")
    elif case == "two-platforms":
        # The platform comes from the image's machine type, not from its name or its code: the
        # x64 library with that field changed to ARM64's, beside the x64 library and the INF,
        # signed as a release signs it.
        with tempfile.TemporaryDirectory() as work:
            for name, _ in x64_files:
                shutil.copy(os.path.join(signed, name), work)
            image = bytearray(open(os.path.join(signed, "ZORVA_KT2HX-x64.dll"), "rb").read())
            struct.pack_into("<H", image, struct.unpack_from("<I", image, 60)[0] + 4, 0xAA64)
            open(os.path.join(work, "ZORVA_KT2HX-arm64.dll"), "wb").write(image)
            files = x64_files + [("ZORVA_KT2HX-arm64.dll", "pe")]
            generate(source_dir, os.path.join(work, "unsigned.cat"), [os.path.join(work, n) for n, _ in files], 1700000000)
            test = os.path.join(binary_dir, "release-test")
            subprocess.run(["osslsigncode", "sign", "-pkcs12", os.path.join(test, "vendor.p12"), "-readpass",
                            os.path.join(test, "pass.txt"), "-h", "sha256", "-n", "Zorva KT2HX driver package",
                            "-in", os.path.join(work, "unsigned.cat"), "-out", os.path.join(work, "two.cat")],
                           check=True, stdout=subprocess.DEVNULL)
            read_catalog(os.path.join(work, "two.cat"), files, "_v100_X64,_v100_ARM64", exact=True)
    elif case == "refusals":
        # Files the generator must refuse, with one line naming the cause, rather than list
        # them as something they are not: a library that is no PE image would otherwise
        # be listed by the hash of its bytes, which Windows never computes for it.
        with tempfile.TemporaryDirectory() as work:
            inf = os.path.join(signed, "zorva_kt2hx.inf")
            not_an_image = os.path.join(work, "ZORVA_KT2HX-x64.dll")
            shutil.copy(inf, not_an_image)
            text = os.path.join(work, "readme.txt")
            shutil.copy(inf, text)
            for n, (members, cause) in enumerate([
                ([not_an_image, inf], "ZORVA_KT2HX-x64.dll: not a PE image"),
                ([os.path.join(signed, "ZORVA_KT2HX-x64.dll"), text], "readme.txt: neither a PE image"),
                ([inf], "no PE image among the members"),
                ([inf, os.path.join(signed, "ZORVA_KT2HX-x64.dll"), inf], "zorva_kt2hx.inf: listed twice"),
            ]):
                out = os.path.join(work, f"refused-{n}.cat")
                run = subprocess.run(["sh", os.path.join(source_dir, "package", "release", "make-catalog.sh"), out]
                                     + members, capture_output=True, text=True)
                check(run.returncode != 0 and run.stderr.count("\n") == 1 and cause in run.stderr
                      and not os.path.exists(out), f"refused with '{cause}': {run.returncode} {run.stderr!r}")
    else:
        sys.exit(f"catalog-test.py: unknown case {case}")
    print(f"{case}: {'FAILED' if failures else 'ok'}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(*sys.argv[1:5])
