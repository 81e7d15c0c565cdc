"""make-sbom.py --out BOM.json --inf INF --library DLL MAP [--library DLL MAP ...] [--file F ...]

Writes the release's bill of materials, CycloneDX 1.6 JSON, with the fields BSI TR-03183-2
asks for (creator, timestamp, serial number; each component's name, version, file name,
hashes, licences and dependencies):

- the driver package as the main component, named and versioned by its INF;
- the files as shipped (each library, the INF, the catalog), SHA-256 and SHA-512;
- every part of the toolchain's runtime the linker put into each library, as the link's own
  account lists them (GNU ld's -Map, or lld's --verbose report, whose "Loaded" lines name
  each archive member with its archive as lld's map does not): the object files it loaded
  and the archives it took members from. A part is either the file a Debian package
  installed, with that package's name, version and purl, or a file of a toolchain the
  project built from Debian's source packages (a folder with a VERSIONS file naming each
  source package and version), with the source package's name, version and a purl of
  arch=source. Its licences are those its package's copyright file gives it, as SPDX
  expressions. A part that is not the build's own and that no package owns stops the run,
  as does one whose licence the copyright file does not state in a form read here;
- the dependency graph: the package holds its files, a library depends on the parts the
  linker loaded for it, a part on the parts its members' references pulled in.

Nothing depends on when or where it runs: the timestamp is SOURCE_DATE_EPOCH, and the
serial number is a name-based UUID of the rest of the document, so the same files give the
same bytes.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import uuid
from datetime import datetime, timezone

# How each Debian package's copyright file states the licence of the parts a link takes from
# it. A machine-readable (DEP-5) file: the licences of every paragraph whose files lie in the
# source tree the parts are built from. GCC's free-form file: the list of runtime libraries
# under the GCC Runtime Library Exception, and which library each part belongs to.
LICENCE_SOURCES = {
    "mingw-w64-x86-64-dev": {"dep5": ("*", "mingw-w64-crt/")},
    "gcc-mingw-w64-x86-64-posix": {"gcc-runtime": {
        "crtbegin.o": "libgcc", "crtend.o": "libgcc", "libgcc.a": "libgcc",
        "libgcc_eh.a": "libgcc", "libssp.a": "libssp", "libssp_nonshared.a": "libssp"}},
    "g++-mingw-w64-x86-64-posix": {"gcc-runtime": {"libstdc++.a": "libstdc++-v3"}},
    "mingw-w64": {"dep5": ("*", "mingw-w64-crt/")},
    "llvm-toolchain-19": {"dep5-by-file": {
        "libclang_rt.builtins-aarch64.a": ("*", "compiler-rt/lib/builtins/"),
        "libc++.a": ("*", "libcxx/"), "libc++abi.a": ("*", "libcxxabi/"),
        "libunwind.a": ("*", "libunwind/")}},
}
# The parts of a toolchain built from source packages: which source package each file of it
# was built from, by its path inside the toolchain's folder (first match).
BUILT_FROM = (
    ("clang-resource/", "llvm-toolchain-19"),
    ("lib/libc++.a", "llvm-toolchain-19"), ("lib/libc++abi.a", "llvm-toolchain-19"),
    ("lib/libunwind.a", "llvm-toolchain-19"),
    ("lib/", "mingw-w64"),
)
GCC_RUNTIME_LIST = ("The following runtime libraries are licensed under the terms of the GNU "
                    "General Public License (v3 or later) with version 3.1 of the GCC Runtime "
                    "Library Exception")
GCC_RUNTIME_EXPRESSION = "GPL-3.0-or-later WITH GCC-exception-3.1"
# Debian's short licence names as SPDX identifiers; any other name is a LicenseRef.
SPDX_IDS = {
    "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC", "expat": "MIT", "ZPL-2.1": "ZPL-2.1",
    "GPL-2+": "GPL-2.0-or-later",
    "APACHE-2-LLVM-EXCEPTIONS": "Apache-2.0 WITH LLVM-exception", "GPL-3+": "GPL-3.0-or-later",
    "LGPL-2+": "LGPL-2.0-or-later", "LGPL-2.1+": "LGPL-2.1-or-later",
}
NAMESPACE = uuid.UUID("5b1f8f0e-6d0c-4e55-9a43-0c5cf3b1e6a2")


def fail(message):
    sys.exit("make-sbom: " + message)


def hashes(path):
    with open(path, "rb") as f:
        data = f.read()
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()},
            {"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()}]


def bsi_file_properties(file_name, executable):
    return [{"name": "bsi:component:filename", "value": file_name},
            {"name": "bsi:component:executable",
             "value": "executable" if executable else "non-executable"},
            {"name": "bsi:component:archive", "value": "no archive"},
            {"name": "bsi:component:structured", "value": "unstructured"}]


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


def read_map(path):
    """The absolute paths of the parts a link took from outside the build, and for each part
    the parts whose references pulled it in (None for the build's own objects)."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().split("\n")
    if any(re.match(r"(?:ld\.lld|lld-link): Reading ", line) for line in lines):
        return read_lld_report(lines, os.path.dirname(os.path.abspath(path)))
    parts = {}

    def part(name):
        return os.path.realpath(name) if os.path.isabs(name) else None

    def add(name, by):
        key = part(name)
        if key is not None:
            parts.setdefault(key, set())
            if by != key:
                parts[key].add(by)

    section = lines.index("Archive member included to satisfy reference by file (symbol)") + 1
    member = None
    for line in lines[section:]:
        if line and not line[0].isspace():
            if line in ("Discarded input sections", "Memory Configuration", "Allocating common symbols"):
                break
            found = re.match(r"(\S+?)\([^()]+\)(?:\s+(.*))?$", line)
            member = found.group(1) if found else None
            rest = found.group(2) if found else None
        else:
            rest = line.strip()
        if member and rest:
            referrer = re.match(r"(\S+?)(?:\([^()]+\))?\s+\(", rest)
            add(member, part(referrer.group(1)) if referrer else None)
            member = None
    for loaded in re.findall(r"^LOAD (\S+\.o)$", "\n".join(lines), re.M):
        add(loaded, None)
    return parts


def read_lld_report(lines, link_dir):
    """The parts of lld's verbose report: the absolute objects it read, the archives it
    loaded a member from ("Loaded ARCHIVE(MEMBER)", the archive by the name it was read
    under), and the import libraries it took an import from. lld names an import only by
    its DLL ("Reading X.dll"): it came from the first archive read that holds a member of
    that name, since lld resolves a symbol from the first archive that defines it; the
    build's own delay-import libraries come before the toolchain's. Archives given by a
    relative path (to the folder the link ran in, the report's) are the build's own. lld says which symbol a member was loaded for, not
    who referred to it: each part hangs from the library itself."""
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
            listing = subprocess.run(["llvm-ar-19", "t", os.path.join(link_dir, archive)],
                                     capture_output=True, text=True)
            if listing.returncode != 0:
                fail(f"cannot list the archive {archive}: {listing.stderr.strip()}")
            members[archive] = set(listing.stdout.splitlines())
        return member in members[archive]

    parts = {}
    for line in lines:
        loaded = re.match(r"(?:ld\.lld|lld-link): Loaded (.+?)\((.+)\) for ", line)
        imported = re.match(r"(?:ld\.lld|lld-link): Reading ([^/\s()]+\.dll)$", line, re.I)
        if loaded:
            candidates = by_name.get(loaded.group(1), set()) | ({loaded.group(1)} & set(reads + given))
            if len(candidates) != 1:
                fail(f"lld loaded a member of {loaded.group(1)}, which it read as {sorted(candidates)}")
            archive = next(iter(candidates))
        elif imported:
            archive = next((a for a in reads if holds(a, imported.group(1))), None)
            if archive is None:
                fail(f"lld took an import of {imported.group(1)} from no archive it read")
        else:
            found = re.match(r"(?:ld\.lld|lld-link): Reading (/\S+\.o)$", line)
            archive = found and found.group(1)
        if archive and os.path.isabs(archive):
            parts[os.path.realpath(archive)] = {None}
    return parts


def built_toolchain(path):
    """The source package and version a part of a toolchain built from Debian's source
    packages came from, and the toolchain's folder; None for any other file."""
    root = os.path.dirname(path)
    while root != os.path.dirname(root) and not os.path.isfile(os.path.join(root, "VERSIONS")):
        root = os.path.dirname(root)
    if not os.path.isfile(os.path.join(root, "VERSIONS")):
        return None
    with open(os.path.join(root, "VERSIONS"), encoding="utf-8") as f:
        versions = dict(line.split(" ", 1) for line in f.read().splitlines() if " " in line)
    inside = os.path.relpath(path, root)
    source = next((s for prefix, s in BUILT_FROM if inside == prefix or inside.startswith(prefix)), None)
    if source is None or source not in versions:
        fail(f"{path}: which source package of {root}/VERSIONS it was built from is not known here")
    return source, versions[source].strip(), root


def copyright_of_source(source, version, root):
    """The copyright file of a source package: the toolchain's own copy when it kept one,
    else that of an installed binary package built from that very source and version, which
    Debian ships unchanged from the source's debian/copyright."""
    kept = os.path.join(root, "share", "doc", source, "copyright")
    if os.path.isfile(kept):
        return kept, None
    listing = subprocess.run(
        ["dpkg-query", "-W", "-f=${Package}\t${source:Package}\t${source:Version}\t${Maintainer}\n"],
        capture_output=True, text=True, check=True).stdout
    for package, built_from, built_version, maintainer in sorted(
            line.split("\t", 3) for line in listing.splitlines() if line.count("\t") == 3):
        path = f"/usr/share/doc/{package}/copyright"
        if (built_from, built_version) == (source, version) and os.path.isfile(path):
            return path, maintainer
    fail(f"no copyright file of {source} {version}: no installed package was built from it")


def packages_of(paths):
    """The Debian package of each path, with its version, architecture, maintainer and
    copyright file; "source" for the architecture of a part built from a source package."""
    found = {}
    for path in paths:
        built = built_toolchain(path)
        if built:
            source, version, root = built
            copyright_file, maintainer = copyright_of_source(source, version, root)
            found[path] = (source, version, "source", maintainer or "Debian", copyright_file)
    paths = [p for p in paths if p not in found]
    if not paths:
        return found
    owners = subprocess.run(["dpkg-query", "-S"] + paths, capture_output=True, text=True)
    owner = {}
    for line in owners.stdout.splitlines():
        package, _, path = line.partition(": ")
        owner[path] = package.split(":")[0]
    for path in paths:
        if path not in owner:
            fail(f"no Debian package owns {path}, which the linker put into the library")
        fields = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}\\n${Architecture}\\n${Maintainer}", owner[path]],
            capture_output=True, text=True, check=True).stdout.split("\n")
        found[path] = (owner[path], fields[0], fields[1], fields[2],
                       f"/usr/share/doc/{owner[path]}/copyright")
    return found


def spdx(debian_name):
    terms = [t.strip() for t in re.split(r"\s+and\s+", debian_name)]
    ids = [SPDX_IDS.get(t, "LicenseRef-Debian-" + re.sub(r"[^A-Za-z0-9.-]", "-", t)) for t in terms]
    return " AND ".join(ids)


def dep5_licences(text, patterns):
    found = []
    for paragraph in re.split(r"\n\s*\n", text):
        files = re.search(r"^Files:((?:.*)(?:\n[ \t].*)*)", paragraph, re.M)
        licence = re.search(r"^License:\s*(.+)$", paragraph, re.M)
        if files and licence and any(f == patterns[0] or f.startswith(patterns[1])
                                     for f in files.group(1).split()):
            expression = spdx(licence.group(1).strip())
            if expression not in found:
                found.append(expression)
    return found


def licence_of(package, path, copyright_file):
    source = LICENCE_SOURCES.get(package)
    if source is None:
        fail(f"how to read the licence of {package} (for {path}) is not known here")
    with open(copyright_file, encoding="utf-8") as f:
        text = f.read()
    patterns = source.get("dep5") or source.get("dep5-by-file", {}).get(os.path.basename(path))
    if "dep5" in source or "dep5-by-file" in source:
        if not text.startswith("Format: "):
            fail(f"{package}'s copyright file is not machine-readable")
        found = dep5_licences(text, patterns) if patterns else []
    else:
        library = source["gcc-runtime"].get(os.path.basename(path))
        heading = r"\s+".join(map(re.escape, GCC_RUNTIME_LIST.split()))
        listed = re.search(heading + r".*?\n\n((?: - .*\n(?:   .*\n)*)+)", text, re.S)
        found = []
        if library and listed and re.search(rf"^ - {re.escape(library)}\b", listed.group(1), re.M):
            found = [GCC_RUNTIME_EXPRESSION]
    if not found:
        fail(f"{package}'s copyright file states no licence for {path}")
    return " AND ".join(f"({e})" if " " in e and len(found) > 1 else e for e in found)


def purl(package, version, arch, path, distro):
    """A part of a built toolchain names its file by its place in the toolchain's folder,
    which does not depend on where the cache lies."""
    quoted = version.replace("%", "%25").replace("+", "%2B").replace(":", "%3A")
    built = built_toolchain(path) if arch == "source" else None
    inside = os.path.relpath(path, built[2]) if built else path.lstrip("/")
    return f"pkg:deb/debian/{package}@{quoted}?arch={arch}&distro={distro}#{inside}"


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
    supplier = {"name": provider}

    def shipped(path, executable):
        base = os.path.basename(path)
        return {"type": "file", "bom-ref": "file:" + base, "supplier": supplier, "name": base,
                "version": version, "hashes": hashes(path),
                "properties": bsi_file_properties(base, executable)}

    files = [shipped(dll, True) for dll, _ in args.library]
    files += [shipped(path, False) for path in [args.inf] + args.file]
    dependencies = {"package": [f["bom-ref"] for f in files]}
    dependencies.update({f["bom-ref"]: [] for f in files})
    runtime = {}
    os_distro = distro()
    for dll, map_path in args.library:
        library_ref = "file:" + os.path.basename(dll)
        linked = read_map(map_path)
        owners = packages_of(sorted(set(linked) - set(runtime)))
        for path, referrers in sorted(linked.items()):
            ref = "runtime:" + path
            if path not in runtime:
                package, package_version, arch, maintainer, copyright_file = owners[path]
                runtime[path] = {
                    "type": "library", "bom-ref": ref,
                    "supplier": {"name": maintainer}, "group": package,
                    "name": os.path.basename(path), "version": package_version,
                    "hashes": hashes(path),
                    "licenses": [{"expression": licence_of(package, path, copyright_file)}],
                    "purl": purl(package, package_version, arch, path, os_distro),
                    "properties": bsi_file_properties(os.path.basename(path), False)
                    + [{"name": "debian:package", "value": package}, {"name": "path", "value": path}]}
                dependencies.setdefault(ref, [])
            for referrer in sorted(referrers, key=lambda r: (r is not None, r or "")):
                owner = library_ref if referrer is None else "runtime:" + referrer
                dependencies.setdefault(owner, [])
                if ref not in dependencies[owner]:
                    dependencies[owner].append(ref)
    bom = {
        "$schema": "http://cyclonedx.org/schema/bom-1.6.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "serialNumber": "",
        "version": 1,
        "metadata": {
            "timestamp": datetime.fromtimestamp(int(epoch), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "lifecycles": [{"phase": "build"}],
            "tools": {"components": [{"type": "application", "name": "make-sbom.py",
                                      "supplier": supplier, "version": version}]},
            "manufacturer": supplier,
            "authors": [supplier],
            "component": {"type": "device-driver", "bom-ref": "package", "supplier": supplier,
                          "name": name, "version": version,
                          "properties": [{"name": "bsi:component:filename", "value": name + ".cab"}]},
        },
        "components": files + [runtime[p] for p in sorted(runtime)],
        "dependencies": [{"ref": ref, "dependsOn": sorted(deps)} for ref, deps in dependencies.items()],
    }
    content = json.dumps(bom, sort_keys=True, separators=(",", ":"))
    bom["serialNumber"] = "urn:uuid:" + str(uuid.uuid5(NAMESPACE, content))
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(bom, f, indent=2)
        f.write("\n")


main()
