"""make-sbom.py --out BOM.json --inf INF --library DLL MAP [--library DLL MAP ...] [--file F ...]

Writes the release's bill of materials, CycloneDX 1.6 JSON, with the fields BSI TR-03183-2
v2.1 requires, mapped to CycloneDX as its appendix maps them:

- the document: its creator with a contact (metadata.manufacturer), its timestamp, its serial
  number; the tool that wrote it, with the tool's own hash;
- the driver package as the main component, named and versioned by its INF, and the files
  as shipped (each library, the INF, the catalog): the vendor as creator with its contact,
  the vendor's licence, SHA-512 of each file, and where its sources and the file itself are
  published. The vendor's contact, licence and addresses are the package's settings, in
  package/vendor.json;
- every part of the toolchain's runtime the linker put into each library, as the link's own
  account lists them (GNU ld's -Map, or lld's --verbose report, whose "Loaded" lines name
  each archive member with its archive as lld's map does not). A part is either a file a
  Debian package installed (that package's maintainer, name, version, purl and addresses),
  or a file of the ARM64 toolchain this project builds from Debian's source packages (a
  folder with a VERSIONS file naming each source package and version): then the vendor
  built it, and its pedigree names the source package it was built from. Which part comes
  from which package, and how its licence is read, is package/release/toolchain-sources.json;
- each part's licence: the paragraphs of its package's copyright file that cover the sources
  of the members the link took from it (each member names its source file), as an SPDX
  expression; each LicenseRef with its text;
- the dependency graph: the package holds its files, a library depends on the parts the
  linker loaded for it, a part on the parts its members' references pulled in; declared
  complete.

Nothing depends on when, where or by whom it runs: the timestamp is SOURCE_DATE_EPOCH, a
part of the built toolchain is named by its place inside the toolchain's folder (never by
the cache folder it lies in), and the serial number is a name-based UUID of the rest of the
document, so the same files give the same bytes.
"""

import argparse
import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import uuid
from datetime import datetime, timezone

sys.dont_write_bytecode = True  # the source tree stays as it is: no __pycache__ beside it
import debian_licence  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SETTINGS = os.path.join(HERE, "..", "vendor.json")
SOURCES = os.path.join(HERE, "toolchain-sources.json")
# The SPDX licence list the CycloneDX schema itself validates identifiers against, from the
# schema package the build fetches into its cyclonedx/ folder: found from the link maps, in
# the build folder that holds them or a folder above it.
SPDX_LIST = "cyclonedx/node_modules/@cyclonedx/cyclonedx-library/res/schema/spdx.SNAPSHOT.schema.json"
GCC_RUNTIME_LIST = ("The following runtime libraries are licensed under the terms of the GNU "
                    "General Public License (v3 or later) with version 3.1 of the GCC Runtime "
                    "Library Exception")
GCC_RUNTIME_EXPRESSION = "GPL-3.0-or-later WITH GCC-exception-3.1"
ARCHIVE = "http://deb.debian.org/debian/pool/main"
TOOLCHAIN = "aarch64-w64-mingw32"
NAMESPACE = uuid.UUID("5b1f8f0e-6d0c-4e55-9a43-0c5cf3b1e6a2")


def fail(message):
    sys.exit("make-sbom: " + message)


def load_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def file_hashes(path):
    with open(path, "rb") as f:
        data = f.read()
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
            {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]


def bsi_properties(file_name, executable, archive, structured):
    return [{"name": "bsi:component:filename", "value": file_name},
            {"name": "bsi:component:executable", "value": "executable" if executable else "non-executable"},
            {"name": "bsi:component:archive", "value": "archive" if archive else "no archive"},
            {"name": "bsi:component:structured", "value": "structured" if structured else "unstructured"}]


def inf_identity(path):
    """The package's name, version and provider, as its INF states them."""
    with open(path, encoding="utf-8-sig") as f:
        text = f.read()
    strings = dict(re.findall(r'^\s*([\w.]+)\s*=\s*"([^"]*)"', text.split("[Strings]")[-1], re.M))
    version = re.search(r"^DriverVer\s*=\s*[^,]+,\s*([\d.]+)", text, re.M)
    provider = re.search(r"^Provider\s*=\s*%(\w+)%", text, re.M)
    if not version or not provider or provider.group(1) not in strings:
        fail(f"{path}: no DriverVer version or Provider")
    name = os.path.splitext(os.path.basename(path))[0]
    return name, version.group(1), strings[provider.group(1)]


class Link:
    """What one link took from outside the build: parts (absolute paths), for each the parts
    whose references pulled it in (None: the build's own objects), and for each the archive
    members it took (empty: the whole file, or imports only)."""

    def __init__(self):
        self.parts = {}
        self.members = {}

    def add(self, name, by, member=None):
        if not os.path.isabs(name):
            return
        key = os.path.realpath(name)
        self.parts.setdefault(key, set())
        self.members.setdefault(key, set())
        if by != key:
            self.parts[key].add(by)
        if member:
            self.members[key].add(member)


def read_map(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    if any(re.match(r"(?:ld\.lld|lld-link): Reading ", line) for line in lines):
        return read_lld_report(lines, os.path.dirname(os.path.abspath(path)))
    link = Link()

    def part(name):
        return os.path.realpath(name) if os.path.isabs(name) else None

    section = lines.index("Archive member included to satisfy reference by file (symbol)") + 1
    archive = member = None
    for line in lines[section:]:
        if line and not line[0].isspace():
            if line in ("Discarded input sections", "Memory Configuration", "Allocating common symbols"):
                break
            found = re.match(r"(\S+?)\(([^()]+)\)(?:\s+(.*))?$", line)
            archive, member, rest = found.groups() if found else (None, None, None)
        else:
            rest = line.strip()
        if archive and rest:
            referrer = re.match(r"(\S+?)(?:\([^()]+\))?\s+\(", rest)
            link.add(archive, part(referrer.group(1)) if referrer else None, member)
            archive = None
    for loaded in re.findall(r"^LOAD (\S+\.o)$", "\n".join(lines), re.M):
        link.add(loaded, None)
    return link


def read_lld_report(lines, link_dir):
    """The parts of lld's verbose report: the absolute objects it read, the archives it
    loaded a member from ("Loaded ARCHIVE(MEMBER) for SYMBOL", the archive by the name it was
    read under), and the import libraries it took an import from. lld names an import only
    by its DLL ("Reading X.dll"): it came from the first archive read that holds a member of
    that name, since lld resolves a symbol from the first archive that defines it; the
    build's own delay-import libraries come before the toolchain's. Archives given by a
    relative path (to the folder the link ran in, the report's) are the build's own. lld
    says which symbol a member was loaded for, not who referred to it: the referrers are the
    other parts the link took whose members leave that symbol undefined, else the library."""
    reads = [m.group(1) for m in map(re.compile(r"(?:ld\.lld|lld-link): Reading (\S+\.a)$").match, lines) if m]
    # A whole archive is loaded without a "Reading" line: its path is on the command line
    # lld reports first.
    given = [re.sub(r"^[-/]wholearchive:", "", arg) for line in lines[:1] if line.startswith("lld-link ")
             for arg in line.split() if arg.endswith(".a") and not arg.startswith(("-implib:", "-out:"))]
    by_name = {}
    for path in reads + given:
        by_name.setdefault(os.path.basename(path), set()).add(path)
    members = {}

    def holds(archive, member):
        if archive not in members:
            listing = run(["llvm-ar-19", "t", os.path.join(link_dir, archive)])
            members[archive] = set(listing.splitlines())
        return member in members[archive]

    link = Link()
    loaded_for = []
    for line in lines:
        loaded = re.match(r"(?:ld\.lld|lld-link): Loaded (.+?)\((.+)\) for (\S+)", line)
        imported = re.match(r"(?:ld\.lld|lld-link): Reading ([^/\s()]+\.dll)$", line, re.I)
        member = None
        if loaded:
            candidates = by_name.get(loaded.group(1), set()) | ({loaded.group(1)} & set(reads + given))
            if len(candidates) != 1:
                fail(f"lld loaded a member of {loaded.group(1)}, which it read as {sorted(candidates)}")
            archive = next(iter(candidates))
            member = loaded.group(2)
        elif imported:
            archive = next((a for a in reads if holds(a, imported.group(1))), None)
            if archive is None:
                fail(f"lld took an import of {imported.group(1)} from no archive it read")
        else:
            found = re.match(r"(?:ld\.lld|lld-link): Reading (/\S+\.o)$", line)
            archive = found and found.group(1)
        if archive and os.path.isabs(archive):
            link.add(archive, None, member)
            if loaded:
                loaded_for.append((os.path.realpath(archive), loaded.group(3)))
    # Who left each symbol undefined, among the parts the link took.
    undefined = {}
    for part, taken in link.members.items():
        if part.endswith(".o") or taken:
            for line in run(["llvm-nm-19", "-u", "-A", part]).splitlines():
                where, _, symbol = line.rpartition(" ")
                name = where.split(":")[-2] if part.endswith(".a") else None
                if name is None or name in taken:
                    undefined.setdefault(symbol, set()).add(part)
    for part, symbol in loaded_for:
        referrers = undefined.get(symbol, set()) - {part}
        link.parts[part] |= referrers
        if referrers:
            link.parts[part].discard(None)
    return link


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        fail(f"{' '.join(command)}: {done.stderr.strip()}")
    return done.stdout


ARCHIVES = {}


def member_bytes(archive, member):
    """A member of a static archive (GNU ar format, as GNU ar and llvm-ar write it), or the
    whole file for an object. llvm-ar once per member costs seconds on the big archives."""
    if not member:
        with open(archive, "rb") as f:
            return f.read()
    if archive not in ARCHIVES:
        with open(archive, "rb") as f:
            data = f.read()
        if not data.startswith(b"!<arch>\n"):
            fail(f"{archive} is not an ar archive")
        members, names, offset = {}, b"", 8
        while offset + 60 <= len(data):
            name, size = data[offset:offset + 16].decode().rstrip(), int(data[offset + 48:offset + 58])
            body = data[offset + 60:offset + 60 + size]
            if name == "//":
                names = body
            elif re.fullmatch(r"/\d+", name):
                # GNU's table ends each name with "/\n", the COFF format's (llvm-ar's) with NUL.
                long_name = re.match(rb"[^\0\n]*", names[int(name[1:]):]).group(0)
                members.setdefault(long_name.decode().rstrip("/"), body)
            elif name != "/":
                members.setdefault(name.rstrip("/"), body)
            offset += 60 + size + size % 2
        ARCHIVES[archive] = members
    if member not in ARCHIVES[archive]:
        fail(f"{archive} holds no member {member}")
    return ARCHIVES[archive][member]


def coff_source_name(data):
    """The source file a COFF object was compiled from, as its .file symbol names it (its
    base name), or None: import stubs name none, or "fake" (GNU dlltool's)."""
    if len(data) < 20:
        return None
    _, _, _, table, count = struct.unpack_from("<HHIII", data, 0)
    index = 0
    while index < count and table + (index + 1) * 18 <= len(data):
        entry = table + index * 18
        storage, aux = struct.unpack_from("<BB", data, entry + 16)
        if storage == 103 and aux:  # IMAGE_SYM_CLASS_FILE: the name fills its aux records
            name = data[entry + 18: entry + 18 + aux * 18]
            if name[:4] == b"\0\0\0\0":  # GNU as: a long name lies in the string table
                strings = table + count * 18 + struct.unpack_from("<I", name, 4)[0]
                name = data[strings: data.index(b"\0", strings)]
            name = name.split(b"\0")[0].decode("utf-8", "replace")
            return None if name == "fake" else os.path.basename(name)
        index += 1 + aux
    return None


class Sources:
    """Which sources of a source package a part's members were built from."""

    def __init__(self, subtree, listing):
        self.subtree = subtree
        self.listing = listing

    def of(self, archive, member):
        data = member_bytes(archive, member)
        name = coff_source_name(data)
        if name is None:
            # An import library's members are made from its .def file.
            stem = re.sub(r"^lib|\.a$", "", os.path.basename(archive))
            names = {stem + ".def", stem + ".def.in"}
            found = {p for p in self.listing if os.path.basename(p) in names}
            return found or {self.subtree + stem + ".def"}
        # GNU as keeps only the first 14 characters of the name: then it is a prefix.
        whole = len(name) < 14
        # Objects built with debug information name the source by its path in the tree.
        paths = {p.decode() for p in re.findall(
            rb"(?:\./)?(" + re.escape(self.subtree.encode()) + rb"[^\0]*?/" + re.escape(name.encode())
            + (rb")\0" if whole else rb"[^\0/]*)\0"), data)}
        paths |= {p for p in self.listing if os.path.basename(p) == name
                  or not whole and os.path.basename(p).startswith(name)}
        if not paths:
            fail(f"{archive}({member or ''}): which source of {self.subtree} its {name} is cannot be found")
        return paths


def dep5_licence(copyright_file, sources, archive, members, converter, texts):
    with open(copyright_file, encoding="utf-8") as f:
        text = f.read()
    if not text.startswith("Format: "):
        fail(f"{copyright_file} is not machine-readable")
    files, stand_alone = debian_licence.paragraphs(text)
    found = set()
    for member in sorted(members) or [None]:
        for path in sorted(sources.of(archive, member)):
            paragraph = debian_licence.covering(files, path)
            if paragraph is None:
                fail(f"{copyright_file} states no licence for {path}")
            try:
                found.add(converter.expression(paragraph[1]))
            except debian_licence.LicenceError as error:
                fail(f"{copyright_file}: {error}")
    bodies = {name: body for _, name, body in files if body}
    bodies.update(stand_alone)
    for ref, name in converter.refs.items():
        if ref not in texts:
            if name not in bodies:
                fail(f"{copyright_file} gives no text of the licence {name}")
            texts[ref] = bodies[name]
    return " AND ".join(f"({e})" if " OR " in e else e for e in sorted(found))


def gcc_runtime_licence(copyright_file, library):
    with open(copyright_file, encoding="utf-8") as f:
        text = f.read()
    heading = r"\s+".join(map(re.escape, GCC_RUNTIME_LIST.split()))
    listed = re.search(heading + r".*?\n\n((?: - .*\n(?:   .*\n)*)+)", text, re.S)
    if not (library and listed and re.search(rf"^ - {re.escape(library)}\b", listed.group(1), re.M)):
        fail(f"{copyright_file} does not list {library} under GCC's runtime library exception")
    return GCC_RUNTIME_EXPRESSION


def person(maintainer):
    """A Debian Maintainer field, "Name <address>", as a CycloneDX organisation."""
    found = re.match(r"\s*(.*?)\s*<([^>]+)>", maintainer)
    if not found:
        return {"name": maintainer}
    return {"name": found.group(1), "contact": [{"name": found.group(1), "email": found.group(2)}]}


def quoted(version):
    return version.replace("%", "%25").replace("+", "%2B").replace(":", "%3A")


def pool(source, file_name):
    prefix = source[:4] if source.startswith("lib") else source[0]
    return f"{ARCHIVE}/{prefix}/{source}/{file_name}"


def upstream(version):
    return version.split(":", 1)[-1]


def built_toolchain(path):
    """The toolchain folder (with its VERSIONS file) a part lies in, or None."""
    root = os.path.dirname(path)
    while root != os.path.dirname(root) and not os.path.isfile(os.path.join(root, "VERSIONS")):
        root = os.path.dirname(root)
    return root if os.path.isfile(os.path.join(root, "VERSIONS")) else None


class Describer:
    """Makes the component of each runtime part."""

    def __init__(self, vendor, vendor_entity, version, distro, spdx_ids):
        self.vendor = vendor
        self.vendor_entity = vendor_entity
        self.version = version
        self.distro = distro
        self.map = load_json(SOURCES)
        self.converter = debian_licence.Converter(spdx_ids)
        self.owner = {}
        self.texts = {}

    def describe(self, path, members, library):
        root = built_toolchain(path)
        if root:
            return self.built(path, members, root, library)
        return self.installed(path, members)

    def owners(self, paths):
        """Finds the Debian package of every path not in a built toolchain, at once: dpkg
        reads its whole database for each query."""
        paths = [p for p in paths if not built_toolchain(p) and p not in self.owner]
        if paths:
            listing = subprocess.run(["dpkg-query", "-S"] + paths, capture_output=True, text=True).stdout
            for line in listing.splitlines():
                package, _, path = line.partition(": ")
                self.owner[path] = package.split(":")[0]

    def installed(self, path, members):
        package = self.owner.get(path)
        if not package:
            fail(f"no Debian package owns {path}, which the linker put into the library")
        settings = self.map["packages"].get(package)
        if settings is None:
            fail(f"how to read the licence of {package} (for {path}) is not known here")
        version, arch, maintainer, source, source_version = run(
            ["dpkg-query", "-W", "-f=${Version}\\n${Architecture}\\n${Maintainer}\\n${source:Package}\\n"
             "${source:Version}", package]).split("\n")
        copyright_file = f"/usr/share/doc/{package}/copyright"
        if "gcc-runtime" in settings:
            expression = gcc_runtime_licence(copyright_file, settings["gcc-runtime"].get(os.path.basename(path)))
        else:
            expression = dep5_licence(copyright_file, Sources(settings["dep5"], []), path, members,
                                      self.converter, self.texts)
        maker = person(maintainer)
        inside = path.lstrip("/")
        return {
            "type": "library", "bom-ref": f"runtime:{package}:{inside}", "supplier": maker,
            "manufacturer": maker, "group": package, "name": os.path.basename(path), "version": version,
            "hashes": file_hashes(path),
            "purl": f"pkg:deb/debian/{package}@{quoted(version)}?arch={arch}&distro={self.distro}#{inside}",
            "externalReferences": [
                {"type": "distribution", "url": pool(source, f"{package}_{upstream(version)}_{arch}.deb")},
                {"type": "source-distribution", "url": pool(source, f"{source}_{upstream(source_version)}.dsc")}],
        }, expression, path

    def built(self, path, members, root, library):
        inside = os.path.relpath(path, root)
        entry = next((e for e in self.map["built"] if inside == e["path"] or inside.startswith(e["path"])), None)
        with open(os.path.join(root, "VERSIONS"), encoding="utf-8") as f:
            versions = dict(line.split(" ", 1) for line in f.read().splitlines() if " " in line)
        if entry is None or entry["source"] not in versions:
            fail(f"{inside}: which source package of the toolchain's VERSIONS it was built from is not known here")
        source, version = entry["source"], versions[entry["source"]].strip()
        doc = os.path.join(root, "share", "doc", source)
        with open(os.path.join(doc, "source-files"), encoding="utf-8") as f:
            listing = [p for p in f.read().splitlines() if p.startswith(entry["dep5"])]
        expression = dep5_licence(os.path.join(doc, "copyright"), Sources(entry["dep5"], listing), path, members,
                                  self.converter, self.texts)
        source_purl = f"pkg:deb/debian/{source}@{quoted(version)}?arch=source&distro={self.distro}"
        return {
            "type": "library", "bom-ref": f"runtime:{TOOLCHAIN}:{inside}", "supplier": self.vendor_entity,
            "manufacturer": self.vendor_entity, "group": TOOLCHAIN, "name": os.path.basename(path),
            "version": version, "hashes": file_hashes(path),
            "purl": f"pkg:generic/{self.vendor_entity['name'].lower()}/{TOOLCHAIN}-{source}@{quoted(version)}#{inside}",
            "externalReferences": [
                {"type": "distribution", "url": self.vendor["distribution"].format(version=self.version) + library},
                {"type": "source-distribution", "url": pool(source, f"{source}_{upstream(version)}.dsc")}],
            "pedigree": {
                "ancestors": [{"type": "library", "name": source, "version": version, "purl": source_purl,
                               "externalReferences": [{"type": "source-distribution",
                                                       "url": pool(source, f"{source}_{upstream(version)}.dsc")}]}],
                "notes": f"Built by {self.vendor_entity['name']} for {TOOLCHAIN} with Debian's clang-19 from "
                         f"the sources of Debian's source package {source} {version}; linked into {library}."},
        }, expression, os.path.join(TOOLCHAIN, inside)


def licensed(component, expression, texts):
    """The component's distribution licence (concluded) as one SPDX expression, and its
    original licences (declared) one by one, each LicenseRef with its text."""
    component["licenses"] = [{"expression": expression, "acknowledgement": "concluded"}]
    declared = []
    for identifier in sorted(set(re.findall(r"[A-Za-z0-9.+-]+", expression)) - {"AND", "OR", "WITH"}):
        if identifier.startswith("LicenseRef-"):
            declared.append({"license": {"name": identifier, "acknowledgement": "declared",
                                         "text": {"contentType": "text/plain", "content": texts[identifier]}}})
        else:
            declared.append({"license": {"id": identifier, "acknowledgement": "declared"}})
    component["evidence"] = {"licenses": declared}
    return component


def spdx_ids(map_path):
    folder = os.path.dirname(os.path.abspath(map_path))
    while not os.path.isfile(os.path.join(folder, SPDX_LIST)):
        if folder == os.path.dirname(folder):
            fail(f"no {SPDX_LIST} in the build folder of {map_path} or above it: build the tree first")
        folder = os.path.dirname(folder)
    return load_json(os.path.join(folder, SPDX_LIST))["enum"]


def distro():
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            fields = dict(re.findall(r'^(\w+)="?([^"\n]*)"?$', f.read(), re.M))
    except OSError:
        return "debian"
    return f"debian-{fields.get('VERSION_ID', 'unknown')}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--inf", required=True)
    parser.add_argument("--library", nargs=2, action="append", required=True, metavar=("DLL", "MAP"))
    parser.add_argument("--file", action="append", default=[])
    args = parser.parse_args()
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "")
    if not epoch.isdigit():
        fail("SOURCE_DATE_EPOCH is not set to a number of seconds")
    name, version, provider = inf_identity(args.inf)
    vendor = load_json(SETTINGS)
    entity = {"name": provider, "url": [vendor["contact"]["url"]],
              "contact": [{"email": vendor["contact"]["email"]}]}
    distribution = vendor["distribution"].format(version=version)
    source = vendor["source"].format(version=version)
    vendor_texts = vendor["licence"]["texts"]

    def vendor_component(kind, ref, file_name, executable, archive, structured, path=None):
        component = {"type": kind, "bom-ref": ref, "supplier": entity, "manufacturer": entity,
                     "name": file_name if path else name, "version": version,
                     "purl": f"pkg:generic/{provider.lower()}/{file_name}@{version}",
                     "externalReferences": [{"type": "distribution", "url": distribution + file_name},
                                            {"type": "source-distribution", "url": source}],
                     "properties": bsi_properties(file_name, executable, archive, structured)}
        if path:
            component["hashes"] = file_hashes(path)
            component["externalReferences"][0]["hashes"] = component["hashes"][1:]
        return licensed(component, vendor["licence"]["expression"], vendor_texts)

    files = [vendor_component("file", "file:" + os.path.basename(dll), os.path.basename(dll), True, False, False, dll)
             for dll, _ in args.library]
    files += [vendor_component("file", "file:" + os.path.basename(path), os.path.basename(path), False, False, False, path)
              for path in [args.inf] + args.file]
    main_component = vendor_component("device-driver", "package", name + ".cab", False, True, True)
    dependencies = {"package": [f["bom-ref"] for f in files]}
    dependencies.update({f["bom-ref"]: [] for f in files})
    describer = Describer(vendor, entity, version, distro(), spdx_ids(args.library[0][1]))
    runtime, refs = {}, {}
    for dll, map_path in args.library:
        library = os.path.basename(dll)
        link = read_map(map_path)
        describer.owners(sorted(link.parts))
        for path in sorted(link.parts):
            if path not in refs:
                component, expression, shown = describer.describe(path, link.members[path], library)
                component["properties"] = bsi_properties(component["name"], False, path.endswith(".a"),
                                                         path.endswith(".a")) + [{"name": "zorva:path", "value": shown}]
                refs[path] = component["bom-ref"]
                runtime[component["bom-ref"]] = (component, expression)
                dependencies.setdefault(component["bom-ref"], [])
        for path, referrers in sorted(link.parts.items()):
            for referrer in referrers:
                owner = "file:" + library if referrer is None else refs[referrer]
                if refs[path] not in dependencies[owner]:
                    dependencies[owner].append(refs[path])
    components = files + [licensed(c, e, {**describer.texts, **vendor_texts}) for c, e in
                          (runtime[r] for r in sorted(runtime))]
    bom = {
        "$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "serialNumber": "",
        "version": 1,
        "metadata": {
            "timestamp": datetime.fromtimestamp(int(epoch), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "lifecycles": [{"phase": "build"}],
            "tools": {"components": [{"type": "application", "name": os.path.basename(__file__),
                                      "supplier": entity, "hashes": file_hashes(__file__)}]},
            "manufacturer": entity,
            "authors": [{"name": provider, "email": vendor["contact"]["email"]}],
            "component": main_component,
        },
        "components": components,
        "dependencies": [{"ref": ref, "dependsOn": sorted(deps)} for ref, deps in dependencies.items()],
        # Every link's account names all it took, and every component's own dependencies are
        # listed: the graph is complete.
        "compositions": [{"aggregate": "complete", "assemblies": ["package"],
                          "dependencies": sorted(dependencies)}],
    }
    content = json.dumps(bom, sort_keys=True, separators=(",", ":"))
    bom["serialNumber"] = "urn:uuid:" + str(uuid.uuid5(NAMESPACE, content))
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(bom, f, indent=2)
        f.write("\n")


main()
