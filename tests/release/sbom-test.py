"""sbom-test.py CASE SOURCE_DIR BINARY_DIR

The release's bill of materials (BINARY_DIR/release-test/{unsigned,signed,stamped}), checked
without the generator's code:
  fields    valid CycloneDX 1.6 against the official schema, offline; every field BSI
            TR-03183-2 v2.1 requires, as its appendix maps them to CycloneDX 1.6, field by
            field (and the check itself fails when any one of them is taken out); the shipped
            files with their hashes; exactly the runtime parts each link's own account names,
            with their packages and versions, and the graph between them; nothing that
            depends on who built it or where.
  licences  Debian licence fields with "or", "with", parentheses and mixed case made into
            SPDX expressions that are valid and name only licences on the SPDX list; every
            expression in the bill of materials likewise, each LicenseRef with its text.
Prints a line per check; any "FAILED" line fails the test.
"""

import copy
import datetime
import hashlib
import json
import os
import re
import subprocess
import sys

import jsonschema

case, source_dir, binary_dir = sys.argv[1:4]
t = os.path.join(binary_dir, "release-test")
SCHEMA = os.path.join(binary_dir, "cyclonedx/node_modules/@cyclonedx/cyclonedx-library/res/schema")
SBOM = "zorva_kt2hx.cdx.json"
KINDS = ("unsigned", "signed", "stamped")
failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAILED: ") + what)
    failures += not ok


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def bom_of(kind):
    return load(os.path.join(t, kind, SBOM))


# ---------------------------------------------------------------------------------------
# BSI TR-03183-2 v2.1.0 (2025-08-20), its required ("SHALL") fields in CycloneDX 1.6.

def has_contact(entity):
    return bool(entity and (entity.get("url") or any(c.get("email") for c in entity.get("contact", []))))


def refs_of(component, kind):
    return [r for r in component.get("externalReferences", []) if r.get("type") == kind and r.get("url")]


def property_values(component, name):
    return [p.get("value") for p in component.get("properties", []) if p.get("name") == name]


BSI_FLAGS = {"bsi:component:executable": {"executable", "non-executable"},
             "bsi:component:archive": {"archive", "no archive"},
             "bsi:component:structured": {"structured", "unstructured"}}


def bsi_problems(bom):
    """Each required field missing from BOM, as "where: field"."""
    problems = []
    metadata = bom.get("metadata", {})
    if bom.get("specVersion") != "1.6":
        problems.append("document: CycloneDX 1.6")
    if not has_contact(metadata.get("manufacturer")):
        problems.append("document: creator with an e-mail address or URL")
    if not metadata.get("timestamp"):
        problems.append("document: timestamp")
    if not re.fullmatch(r"urn:uuid:[0-9a-f-]{36}", bom.get("serialNumber", "")):
        problems.append("document: SBOM-URI (serial number)")
    graph = {d.get("ref") for d in bom.get("dependencies", [])}
    complete = {ref for c in bom.get("compositions", []) if c.get("aggregate") == "complete"
                for ref in c.get("dependencies", [])}
    main = metadata.get("component", {})
    for component in [main] + bom.get("components", []):
        where = component.get("bom-ref", "?")

        def need(ok, field):
            if not ok:
                problems.append(f"{where}: {field}")

        need(has_contact(component.get("manufacturer")), "creator with an e-mail address or URL")
        need(component.get("name"), "name")
        need(component.get("version"), "version")
        need(len(property_values(component, "bsi:component:filename")) == 1
             and property_values(component, "bsi:component:filename")[0], "file name")
        for name, allowed in BSI_FLAGS.items():
            need(len(property_values(component, name)) == 1
                 and property_values(component, name)[0] in allowed, name)
        need(where in graph and where in complete, "dependencies, declared complete")
        licences = component.get("licenses", [])
        need(licences and all(entry.get("expression") and entry.get("acknowledgement") == "concluded"
                              for entry in licences), "distribution licence (concluded SPDX expression)")
        declared = licences + component.get("evidence", {}).get("licenses", [])
        need(any((e.get("license") or e).get("acknowledgement") == "declared" for e in declared),
             "original licences (declared)")
        need(refs_of(component, "source-distribution"), "source code URI")
        need(refs_of(component, "distribution"), "URI of the deployable form")
        need(component.get("purl") or component.get("cpe") or component.get("swid"), "other unique identifier")
        # The main component is the cabinet, which holds this document: it cannot carry its
        # own hash. Every component inside it does.
        if component is not main:
            digests = component.get("hashes", []) + [h for r in refs_of(component, "distribution")
                                                      for h in r.get("hashes", [])]
            need(any(h.get("alg") == "SHA-512" and len(h.get("content", "")) == 128 for h in digests),
                 "SHA-512 of the deployable file")
    return problems


# One removal per required field: the check must name each.
REMOVALS = {
    "creator": lambda b: b["metadata"]["manufacturer"].pop("url") and b["metadata"]["manufacturer"].pop("contact"),
    "timestamp": lambda b: b["metadata"].pop("timestamp"),
    "serial number": lambda b: b.pop("serialNumber"),
    "component creator": lambda b: b["components"][-1].pop("manufacturer"),
    "component name": lambda b: b["components"][-1].pop("name"),
    "component version": lambda b: b["components"][-1].pop("version"),
    "file name": lambda b: b["components"][-1]["properties"].pop(0),
    "executable property": lambda b: b["components"][-1]["properties"].pop(1),
    "archive property": lambda b: b["components"][-1]["properties"].pop(2),
    "structured property": lambda b: b["components"][-1]["properties"].pop(3),
    "dependencies": lambda b: b["dependencies"].pop(),
    "completeness": lambda b: b.pop("compositions"),
    "distribution licence": lambda b: b["components"][0].pop("licenses"),
    "original licences": lambda b: b["components"][0].pop("evidence"),
    "SHA-512": lambda b: [c.pop("hashes") and [r.pop("hashes", None) for r in c["externalReferences"]]
                          for c in b["components"][:1]],
    "source code URI": lambda b: b["components"][-1]["externalReferences"].pop(1),
    "URI of the deployable form": lambda b: b["components"][-1]["externalReferences"].pop(0),
    "unique identifier": lambda b: b["metadata"]["component"].pop("purl"),
}


# ---------------------------------------------------------------------------------------
# The links' own accounts, read here: GNU ld's map (x64) and lld's verbose report (ARM64).

def map_facts(path):
    """The absolute parts a GNU ld map names, and its edges between them."""
    parts, edges, member = set(), set(), None
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    section = text.split("Archive member included to satisfy reference by file (symbol)\n", 1)[1]
    section = re.split(r"^(?:Discarded input sections|Memory Configuration)$", section, flags=re.M)[0]
    for line in section.splitlines():
        if line and not line[0].isspace():
            member = line.split("(")[0]
            parts.add(member)
            rest = line.split(None, 1)[1:]
        else:
            rest = [line.strip()]
        if rest and rest[0] and member:
            by = rest[0].split()[0].split("(")[0]
            if by.startswith("/"):
                edges.add((by, member))
            member = None
    parts |= set(re.findall(r"^LOAD (/\S+\.o)$", text, re.M))
    real = os.path.realpath
    return ({real(p) for p in parts if p.startswith("/")},
            {(real(a), real(b)) for a, b in edges if real(a) != real(b)})


def lld_facts(path):
    """The absolute objects lld read, the archives it loaded members from, and the first
    archive holding each DLL it read imports of, when that archive is not the build's own."""
    with open(path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    archives = [m.group(1) for m in (re.match(r"ld\.lld: Reading (\S+\.a)$", x) for x in lines) if m]
    parts = {m.group(1) for m in (re.match(r"ld\.lld: Reading (/\S+\.o)$", x) for x in lines) if m}
    for name in {m.group(1) for m in (re.match(r"ld\.lld: Loaded ([^(]+)\(", x) for x in lines) if m}:
        parts |= {a for a in archives if os.path.basename(a) == name and a.startswith("/")}
    here = os.path.dirname(path)
    for dll in {m.group(1) for m in (re.match(r"ld\.lld: Reading ([^/()]+\.dll)$", x) for x in lines) if m}:
        for archive in archives:
            listing = subprocess.run(["ar", "t", os.path.join(here, archive)], capture_output=True, text=True).stdout
            if dll in listing.split("\n"):
                if archive.startswith("/"):
                    parts.add(archive)
                break
    return {os.path.realpath(p) for p in parts}


def toolchain_root(path):
    root = os.path.dirname(path)
    while root != "/" and not os.path.isfile(os.path.join(root, "VERSIONS")):
        root = os.path.dirname(root)
    return root if root != "/" else None


def package_of(path, sources):
    """The Debian package and version of a part: the toolchain's source package, by the
    toolchain's map, for a part of the ARM64 toolchain built here; dpkg's owner otherwise."""
    root = toolchain_root(path)
    if root:
        inside = os.path.relpath(path, root)
        source = next(e["source"] for e in sources["built"] if inside.startswith(e["path"]))
        with open(os.path.join(root, "VERSIONS"), encoding="utf-8") as f:
            return source, dict(line.split(" ", 1) for line in f.read().splitlines())[source]
    package = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True).stdout.split(":")[0]
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True).stdout
    return package, version


def shown_path(path):
    # The generator's oracle for a part of the built toolchain: its place in the toolchain.
    root = toolchain_root(path)
    return "aarch64-w64-mingw32/" + os.path.relpath(path, root) if root else path


def fields():
    schema = load(os.path.join(SCHEMA, "bom-1.6.SNAPSHOT.schema.json"))
    store = {"http://cyclonedx.org/schema/" + n: load(os.path.join(SCHEMA, n))
             for n in ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")}
    validator = jsonschema.Draft7Validator(schema, resolver=jsonschema.RefResolver.from_schema(schema, store=store),
                                           format_checker=jsonschema.FormatChecker())
    sources = load(os.path.join(source_dir, "package/release/toolchain-sources.json"))
    x64 = map_facts(os.path.join(binary_dir, "ZORVA_KT2HX-x64.map"))
    links = {"ZORVA_KT2HX-x64.dll": x64[0],
             "ZORVA_KT2HX-arm64.dll": lld_facts(os.path.join(binary_dir, "arm64/ZORVA_KT2HX-arm64.link-report"))}
    known = {"ZORVA_KT2HX-x64.dll": {"dllcrt2.o", "libmingw32.a", "libmingwex.a", "libmsvcrt.a", "libgcc.a", "libssp.a"},
             "ZORVA_KT2HX-arm64.dll": {"dllcrt2.o", "libmingw32.a", "libmsvcrt.a", "libkernel32.a",
                                       "libclang_rt.builtins-aarch64.a"}}
    for library, parts in links.items():
        check(known[library] <= {os.path.basename(p) for p in parts},
              f"{library}: its link names the parts of the runtime known to be linked today")
    all_parts = {p: package_of(p, sources) for parts in links.values() for p in parts}
    epoch = int(subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"],
                               capture_output=True, text=True, check=True).stdout)
    builder = [p for p in (binary_dir, source_dir, os.environ.get("HOME"),
                           *{toolchain_root(p) for p in all_parts} - {None}) if p and p != "/"]
    for kind in KINDS:
        bom = bom_of(kind)
        with open(os.path.join(t, kind, SBOM), encoding="utf-8") as f:
            text = f.read()
        errors = sorted(validator.iter_errors(bom), key=lambda e: list(e.path))
        check(not errors, f"{kind}: valid CycloneDX 1.6" + "".join(f"; {list(e.path)}: {e.message}" for e in errors[:3]))
        problems = bsi_problems(bom)
        check(not problems, f"{kind}: every field BSI TR-03183-2 v2.1 requires {problems[:5]}")
        check(bom["metadata"]["timestamp"] == datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
              .strftime("%Y-%m-%dT%H:%M:%SZ"), f"{kind}: the timestamp is the commit's")
        leaked = [p for p in builder if p in text]
        check(not leaked, f"{kind}: names no folder of the builder's {leaked}")
        components = {c["bom-ref"]: c for c in bom["components"]}
        graph = {d["ref"]: d.get("dependsOn", []) for d in bom["dependencies"]}

        # The shipped files, with the SHA-512 of their bytes.
        shipped = {c["name"]: c for c in components.values() if c["type"] == "file"}
        driver = os.path.join(t, kind, "driver")
        check(set(shipped) == set(os.listdir(driver)), f"{kind}: lists the shipped files {sorted(shipped)}")
        for name in sorted(set(shipped) & set(os.listdir(driver))):
            with open(os.path.join(driver, name), "rb") as f:
                digest = hashlib.sha512(f.read()).hexdigest()
            got = {h["content"] for r in refs_of(shipped[name], "distribution") for h in r.get("hashes", [])
                   if h["alg"] == "SHA-512"}
            check(got == {digest}, f"{kind}: {name}: the SHA-512 of the file as shipped")
        check(sorted(graph.get("package", [])) == sorted(c["bom-ref"] for c in shipped.values()),
              f"{kind}: the package holds its files")

        # The runtime parts: each link's, with its Debian package and version.
        by_path = {property_values(c, "zorva:path")[0]: c for c in components.values() if c["type"] == "library"}
        expected = {shown_path(p): v for p, v in all_parts.items()}
        check(set(by_path) == set(expected), f"{kind}: lists exactly the links' runtime parts"
              f" (missing {sorted(set(expected) - set(by_path))}, extra {sorted(set(by_path) - set(expected))})")
        wrong = []
        for shown, (package, version) in sorted(expected.items()):
            c = by_path.get(shown, {})
            own = shown.startswith("aarch64-w64-mingw32/")
            ancestors = c.get("pedigree", {}).get("ancestors", [])
            identity = ([(a.get("name"), a.get("version"), a.get("purl", "").split("?")[0]) for a in ancestors]
                        if own else [(c.get("group"), c.get("version"), c.get("purl", "").split("?")[0])])
            purl = f"pkg:deb/debian/{package}@{version.replace('+', '%2B').replace(':', '%3A')}"
            if identity != [(package, version, purl)]:
                wrong.append(f"{shown}: {identity}")
        check(not wrong, f"{kind}: each part's Debian package, version and purl (as its ancestor when built here) {wrong}")
        vendor = bom["metadata"]["manufacturer"]["name"]
        check(all((c["supplier"]["name"] == vendor) == p.startswith("aarch64-w64-mingw32/") for p, c in by_path.items()),
              f"{kind}: the parts built here are supplied by {vendor}, the others by their Debian maintainers")

        # The graph: the map's edges, each part reached from the library whose link took it.
        ref_path = {c["bom-ref"]: p for p, c in by_path.items()}
        listed = {(ref_path[a], ref_path[b]) for a, deps in graph.items() for b in deps
                  if a in ref_path and b in ref_path and ref_path[a].startswith("/usr/x86_64")}
        check(listed == {(shown_path(a), shown_path(b)) for a, b in x64[1]},
              f"{kind}: the x64 dependencies between runtime parts are the map's ({len(x64[1])})")
        for library, parts in links.items():
            got = {ref_path[r] for r in reachable(graph, "file:" + library) if r in ref_path}
            own = {shown_path(p) for p in parts}
            check(got == own, f"{kind}: {library} depends on exactly its own link's {len(own)} parts"
                  f" (missing {sorted(own - got)[:3]}, extra {sorted(got - own)[:3]})")
        arm64_edges = [a for a, deps in graph.items() if a in ref_path and ref_path[a].startswith("aarch64") and deps]
        check(arm64_edges, f"{kind}: the ARM64 parts have edges between them, as the x64 ones do")
        check(reachable(graph, "package") >= set(components), f"{kind}: every component is reached from the package")

    # The check above is itself shown to notice each required field taken out.
    bom = bom_of("signed")
    for field, remove in REMOVALS.items():
        broken = copy.deepcopy(bom)
        remove(broken)
        check(bsi_problems(broken), f"the BSI check notices the {field} taken out")
    check(bom_of("signed")["serialNumber"] != bom_of("stamped")["serialNumber"],
          "a new signature gives a new serial number")


def reachable(graph, ref):
    found, todo = set(), [ref]
    while todo:
        ref = todo.pop()
        if ref not in found:
            found.add(ref)
            todo += graph.get(ref, [])
    return found


# ---------------------------------------------------------------------------------------
# SPDX expressions (SPDX 2.3 annex D), read here by a grammar of their own.

def spdx_problems(expression, ids):
    """Why EXPRESSION is no valid SPDX expression over the identifiers IDS, or []."""
    tokens = re.findall(r"\(|\)|[^\s()]+", expression)
    problems = []

    def primary(i):
        if i < len(tokens) and tokens[i] == "(":
            i = compound(i + 1)
            if i >= len(tokens) or tokens[i] != ")":
                problems.append("unclosed parenthesis")
            return i + 1
        if i >= len(tokens) or tokens[i] in ("AND", "OR", "WITH", ")"):
            problems.append(f"a licence is missing at {i}")
            return i + 1
        name = tokens[i]
        if not (name in ids or re.fullmatch(r"LicenseRef-[A-Za-z0-9.-]+", name)):
            problems.append(f"{name} is not on the SPDX list")
        if i + 1 < len(tokens) and tokens[i + 1] == "WITH":
            if i + 2 >= len(tokens) or tokens[i + 2] not in ids:
                problems.append(f"an exception not on the list after {name}")
            return i + 3
        return i + 1

    def compound(i):
        i = primary(i)
        while i < len(tokens) and tokens[i] in ("AND", "OR"):
            i = primary(i + 1)
        return i

    if compound(0) != len(tokens):
        problems.append("trailing tokens")
    return problems


# Debian licence fields and the SPDX expressions they stand for: this test's oracle.
DEBIAN_FIELDS = {
    "GPL-2+ or LGPL-2.1+": "GPL-2.0-or-later OR LGPL-2.1-or-later",
    "expat": "MIT",
    "MIT": "MIT",
    "bsd-3-CLAUSE and ISC": "BSD-3-Clause AND ISC",
    "GPL-3+ with GCC-exception-3.1": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "GPL-2+ with Libtool exception": "GPL-2.0-or-later WITH Libtool-exception",
    "(GPL-2+ or Artistic-2.0) and BSD-3-clause": "(GPL-2.0-or-later OR Artistic-2.0) AND BSD-3-Clause",
    "GPL-2+ or Artistic-2.0, and BSD-3-clause": "(GPL-2.0-or-later OR Artistic-2.0) AND BSD-3-Clause",
    "Apache-2.0 AND (MIT OR ISC)": "Apache-2.0 AND (MIT OR ISC)",
    "APACHE-2-LLVM-EXCEPTIONS or public-domain": "Apache-2.0 WITH LLVM-exception OR LicenseRef-Debian-public-domain",
    "MIT or (ISC and Zlib)": "MIT OR ISC AND Zlib",
    "Some-Vendor-licence and ISC": "LicenseRef-Debian-Some-Vendor-licence AND ISC",
}
# The licences of parts linked today, read by hand from the copyright files: mingw-w64's
# start-up code lies in mingw-w64-crt/crt/ (public domain), the import libraries come from
# its .def files (ZPL), GCC's runtime is under its exception, LLVM's under Apache's.
PART_LICENCES = {
    "dllcrt2.o": "LicenseRef-Debian-public-domain", "libmingw32.a": "LicenseRef-Debian-public-domain",
    "libkernel32.a": "ZPL-2.1", "libntdll.a": "ZPL-2.1", "libadvapi32.a": "ZPL-2.1",
    "libgcc.a": "GPL-3.0-or-later WITH GCC-exception-3.1", "libssp.a": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "libclang_rt.builtins-aarch64.a": "Apache-2.0 WITH LLVM-exception",
}
REFUSED = ("GPL-2+ or", "(MIT and ISC", "MIT ISC", "GPL-2+ with No-such exception", "and MIT", "")


def licences():
    ids = set(load(os.path.join(SCHEMA, "spdx.SNAPSHOT.schema.json"))["enum"])
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.join(source_dir, "package/release"))
    import debian_licence  # the generator's reader of Debian's fields, the thing under test here
    wrong = []
    for field, expected in DEBIAN_FIELDS.items():
        converter = debian_licence.Converter(ids)
        got = converter.expression(field)
        if got != expected or spdx_problems(got, ids):
            wrong.append(f"{field!r} -> {got!r} {spdx_problems(got, ids)}")
    check(not wrong, f"Debian licence fields become these valid SPDX expressions {wrong}")
    accepted = []
    for field in REFUSED:
        try:
            accepted.append(f"{field!r} -> {debian_licence.Converter(ids).expression(field)!r}")
        except debian_licence.LicenceError:
            pass
    check(not accepted, f"malformed licence fields are refused, not guessed at {accepted}")
    text = "Files: *\nLicense: ZPL-2.1\n\nFiles: crt/*\nLicense: public-domain\n\nFiles: crt/x.c\nLicense: Other\n Its text.\n"
    files, _ = debian_licence.paragraphs(text)
    check([debian_licence.covering(files, p)[1] for p in ("a/b.c", "crt/y.c", "crt/x.c")]
          == ["ZPL-2.1", "public-domain", "Other"], "the last paragraph whose Files match a source states its licence")
    for kind in KINDS:
        bom = bom_of(kind)
        got = {(c["name"], c["licenses"][0]["expression"]) for c in bom["components"] if c["name"] in PART_LICENCES}
        wrong = sorted(g for g in got if PART_LICENCES[g[0]] != g[1])
        missing = sorted(set(PART_LICENCES) - {name for name, _ in got})
        check(not wrong and not missing, f"{kind}: the parts' licences are those of the paragraphs covering"
              f" their linked sources (wrong {wrong}, missing {missing})")
        wrong, untold = [], []
        for c in [bom["metadata"]["component"]] + bom["components"]:
            for entry in c.get("licenses", []):
                problems = spdx_problems(entry["expression"], ids)
                if problems:
                    wrong.append(f"{c['bom-ref']}: {problems}")
                texts = {e["license"].get("name"): e["license"].get("text", {}).get("content")
                         for e in c.get("evidence", {}).get("licenses", [])}
                untold += [f"{c['bom-ref']}: {ref}" for ref in re.findall(r"LicenseRef-[A-Za-z0-9.-]+", entry["expression"])
                           if not texts.get(ref)]
        check(not wrong, f"{kind}: every licence is a valid SPDX expression of listed identifiers {wrong[:3]}")
        check(not untold, f"{kind}: every LicenseRef comes with its text {untold[:3]}")


{"fields": fields, "licences": licences}[case]()
sys.exit(1 if failures else 0)
