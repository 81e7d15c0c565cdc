"""catalog-test.py CASE SOURCE_DIR BINARY_DIR [REFERENCE_DIR]

Reads a driver catalog field by field, as MakeCat writes CatalogVersion 2, with its own DER
reading (asn1crypto) and its own hashing, and checks it against the files it lists; the
cases (CASES, at the end) each say what they read. Every failed check prints a line
starting with FAILED; the exit status is 1 then, and SKIPPED (77) for a case that cannot run.
"""
import contextlib
import hashlib
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
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


def sequence(*fields):
    return type("Sequence", (core.Sequence,), {"_fields": list(fields)})


def sequence_of(child, base=core.SequenceOf):
    return type(base.__name__, (base,), {"_child_spec": child})


NameValue = sequence(("name", core.BMPString), ("flags", core.Integer), ("value", core.OctetString))
Attribute = sequence(("type", core.ObjectIdentifier), ("values", core.SetOf, {"spec": core.Any}))
Member = sequence(("identifier", core.OctetString), ("attributes", sequence_of(Attribute, core.SetOf)))
Extension = sequence(("type", core.ObjectIdentifier), ("value", core.OctetString))
# The certificate trust list as catalogs hold it: no version, no sequence number, no next
# update; a field out of this order fails to parse.
TrustList = sequence(
    ("usage", sequence_of(core.ObjectIdentifier)),
    ("list_identifier", core.OctetString),
    ("this_update", core.UTCTime),
    ("subject_algorithm", algos.DigestAlgorithm),
    ("members", sequence_of(Member)),
    ("extensions", sequence_of(Extension), {"explicit": 0}),
)
IndirectDataContent = sequence(
    ("data", sequence(("type", core.ObjectIdentifier), ("value", core.Any))),
    ("digest", sequence(("algorithm", core.Any), ("digest", core.OctetString))),
)


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
    covered = b"".join(data[begin:end] for begin, end in ranges)
    return {name: hashlib.new(name, covered).digest() for name in ("sha256", "sha1")}


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


def writer(source_dir, out, members, **env):
    """The generator, run the way the release runs it, as a command line."""
    return subprocess.Popen([os.path.join(source_dir, "package", "release", "make-catalog.py"), out] + members,
                            env=dict(os.environ, **env), stderr=subprocess.PIPE, text=True)


def generate(source_dir, out, members, epoch):
    run = writer(source_dir, out, members, SOURCE_DATE_EPOCH=str(epoch))
    check(run.wait() == 0, f"the generator made {out}: {run.stderr.read()!r}")
    return open(out, "rb").read()


def left_behind(work, run):
    """What run(catalog, tmp) leaves in an empty TMPDIR and the catalog's empty folder."""
    tmp, out = os.path.join(work, "tmp"), os.path.join(work, "out")
    os.mkdir(tmp), os.mkdir(out)
    run(os.path.join(out, "zorva_kt2hx.cat"), tmp)
    left = os.listdir(tmp) + os.listdir(out)
    shutil.rmtree(tmp), shutil.rmtree(out)
    return left


SIGNED = os.path.join("signed", "driver")  # in the release fixture's folder
X64_FILES = [("ZORVA_KT2HX-x64.dll", "pe"), ("zorva_kt2hx.inf", "flat")]
RELEASE_FILES = X64_FILES + [("ZORVA_KT2HX-arm64.dll", "pe")]


def signed_release(source_dir, release_test, reference_dir):
    """The release fixture's signed catalog and the driver folder beside it: both libraries,
    x64 and ARM64, and the INF, with both platforms in OS."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", source_dir, "log", "-1", "--format=%ct"], capture_output=True, text=True).stdout
    read_catalog(os.path.join(release_test, SIGNED, "zorva_kt2hx.cat"), RELEASE_FILES, "_v100_X64,_v100_ARM64", exact=True,
                 this_update=datetime.fromtimestamp(int(epoch), timezone.utc))


def reference(source_dir, release_test, reference_dir):
    """REFERENCE_DIR/catalog/: a catalog Microsoft's tools made and its two files, which shows
    that this reading reads what they write. The folder is not part of the repository: where
    it is absent the case is skipped, and says why."""
    folder = os.path.join(reference_dir, "catalog")
    if not os.path.isdir(folder):
        print(f"reference: SKIPPED: {folder} is absent; configure with -DZORVA_REFERENCE_DIR=FOLDER "
              "to name the folder whose catalog/ holds the catalog Microsoft's tools made")
        sys.exit(SKIPPED)
    files = [("Neo6_x64_VPN.sys", "pe"), ("Neo6_x64_VPN.inf", "flat")]
    missing = [n for n, _ in files + [("Neo6_x64_VPN.cat", None)] if not os.path.isfile(os.path.join(folder, n))]
    if check(not missing, f"{folder} lacks {missing}"):
        read_catalog(os.path.join(folder, "Neo6_x64_VPN.cat"), files, "_v100_X64_RS3", exact=False)


def two_platforms(source_dir, release_test, reference_dir):
    """The platform comes from the image's machine type, not from its name or its code: the
    x64 library with that field changed to ARM64's, beside the x64 library and the INF,
    signed as a release signs it, has OS of both and every file with its two entries. Made
    twice with one SOURCE_DATE_EPOCH, it is the same bytes, with that time."""
    signed = os.path.join(release_test, SIGNED)
    with tempfile.TemporaryDirectory() as work:
        for name, _ in X64_FILES:
            shutil.copy(os.path.join(signed, name), work)
        image = bytearray(open(os.path.join(signed, "ZORVA_KT2HX-x64.dll"), "rb").read())
        struct.pack_into("<H", image, struct.unpack_from("<I", image, 60)[0] + 4, 0xAA64)
        open(os.path.join(work, "ZORVA_KT2HX-arm64.dll"), "wb").write(image)
        files = X64_FILES + [("ZORVA_KT2HX-arm64.dll", "pe")]
        members, epoch = [os.path.join(work, n) for n, _ in files], 1700000000
        unsigned = generate(source_dir, os.path.join(work, "unsigned.cat"), members, epoch)
        check(generate(source_dir, os.path.join(work, "again.cat"), members, epoch) == unsigned,
              "two runs with one SOURCE_DATE_EPOCH give the same bytes")
        subprocess.run(["osslsigncode", "sign", "-pkcs12", os.path.join(release_test, "vendor.p12"), "-readpass",
                        os.path.join(release_test, "pass.txt"), "-h", "sha256", "-n", "Zorva KT2HX driver package",
                        "-in", os.path.join(work, "unsigned.cat"), "-out", os.path.join(work, "two.cat")],
                       check=True, stdout=subprocess.DEVNULL)
        read_catalog(os.path.join(work, "two.cat"), files, "_v100_X64,_v100_ARM64", exact=True,
                     this_update=datetime.fromtimestamp(epoch, timezone.utc))


def refusals(source_dir, release_test, reference_dir):
    """Files the generator must refuse, with one line naming the cause, rather than list
    them as something they are not (a library that is no PE image would otherwise be listed
    by the hash of its bytes, which Windows never computes for it); nothing left behind."""
    with tempfile.TemporaryDirectory() as work:
        inf, dll = [os.path.join(release_test, SIGNED, n) for n in ("zorva_kt2hx.inf", "ZORVA_KT2HX-x64.dll")]
        not_an_image, text, upper = [os.path.join(work, n) for n in ("ZORVA_KT2HX-x64.dll", "readme.txt", "ZORVA_KT2HX.INF")]
        for copy in (not_an_image, text, upper):
            shutil.copy(inf, copy)
        for members, cause in [
            ([not_an_image, inf], "ZORVA_KT2HX-x64.dll: not a PE image"),
            ([dll, text], "readme.txt: neither a PE image"),
            ([inf], "no PE image among the members"),
            ([inf, dll, inf], "zorva_kt2hx.inf: listed twice"),
            ([inf, dll, upper], "ZORVA_KT2HX.INF: listed twice"),  # Windows file names ignore case
        ]:
            def refused(catalog, tmp):
                run = writer(source_dir, catalog, members, TMPDIR=tmp)
                stderr = run.communicate()[1]
                check(run.returncode != 0 and stderr.count("\n") == 1 and cause in stderr,
                      f"refused with '{cause}': {run.returncode} {stderr!r}")
            left = left_behind(work, refused)
            check(not left, f"'{cause}' left {left}")


def signals(source_dir, release_test, reference_dir):
    """INT, TERM or HUP while the generator works: it ends by that signal, so that its caller
    sees why, and leaves nothing in TMPDIR or beside the catalog it was writing. (TERM's and
    HUP's default actions end a process without running any cleanup.)"""
    with tempfile.TemporaryDirectory() as work:
        member = os.path.join(work, "ZORVA_KT2HX-x64.dll")
        shutil.copy(os.path.join(release_test, "unsigned", "driver", "ZORVA_KT2HX-x64.dll"), member)
        # A gigabyte of hole after the unsigned image keeps it a PE image, costs no disk and
        # keeps the generator hashing long after the signal.
        os.truncate(member, 1 << 30)

        def working(pid, tmp):  # it holds its member open or has made a temporary file
            fds = os.path.join("/proc", str(pid), "fd")
            with contextlib.suppress(OSError):  # a descriptor closed while it was read
                return member in {os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)} or os.listdir(tmp)

        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            def stopped(catalog, tmp):
                run, deadline = writer(source_dir, catalog, [member], TMPDIR=tmp), time.monotonic() + 20
                while not working(run.pid, tmp) and run.poll() is None and time.monotonic() < deadline:
                    time.sleep(0.01)
                run.send_signal(stop)
                check(run.wait(30) == -stop, f"{stop.name}: ended by {run.returncode}")
            left = left_behind(work, stopped)
            check(not left, f"{stop.name}: left {left}")


CASES = {"signed": signed_release, "reference": reference, "two-platforms": two_platforms,
         "refusals": refusals, "signals": signals}
SKIPPED = 77  # the tests' SKIP_RETURN_CODE


def main(case, source_dir, binary_dir, reference_dir=None):
    if case not in CASES:
        sys.exit(f"catalog-test.py: unknown case {case}")
    CASES[case](source_dir, os.path.join(binary_dir, "release-test"), reference_dir)
    print(f"{case}: {'FAILED' if failures else 'ok'}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main(*sys.argv[1:5])
