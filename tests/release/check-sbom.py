"""check-sbom.py SCHEMA_DIR BOM [FACTS FILES]

Checks the release's bill of materials BOM: valid against the official CycloneDX 1.6 JSON
schema in SCHEMA_DIR, offline (the SPDX and JSF schemas it refers to come from the same
folder), with the fields BSI TR-03183-2 asks for, and holding what the test found without
the generator's code. FACTS: "timestamp ISO-TIME", "part LIBRARY PATH PACKAGE VERSION" for
each runtime part the link of LIBRARY took in, as that link's own map or report names it, "edge FROM TO" for a part that pulled in another, "licence
PACKAGE REGEX" (a Python regular expression) for the expression each part of PACKAGE must carry.
FILES: "file NAME PATH" for each file of the driver folder. Without FACTS and FILES it only
validates. Prints a line per check.
"""

import hashlib
import json
import os
import re
import sys

import jsonschema

schema_dir, bom_path = sys.argv[1:3]
failures = 0


def check(ok, what):
    global failures
    print(("ok: " if ok else "FAILED: ") + f"{os.path.basename(os.path.dirname(bom_path))}: {what}")
    failures += not ok


def load(name):
    with open(os.path.join(schema_dir, name), encoding="utf-8") as f:
        return json.load(f)


def rows(path, kind):
    fields = {"timestamp": 1, "part": 4, "edge": 2, "licence": 2, "file": 2}[kind]
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n").split(" ", fields)[1:] for line in f if line.startswith(kind + " ")]


schema = load("bom-1.6.SNAPSHOT.schema.json")
store = {"http://cyclonedx.org/schema/" + name: load(name)
         for name in ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")}
validator = jsonschema.Draft7Validator(schema, resolver=jsonschema.RefResolver.from_schema(schema, store=store),
                                       format_checker=jsonschema.FormatChecker())
with open(bom_path, encoding="utf-8") as f:
    bom = json.load(f)
errors = sorted(validator.iter_errors(bom), key=lambda e: list(e.path))
check(not errors, "valid CycloneDX 1.6" + "".join(f"; {list(e.path)}: {e.message}" for e in errors[:3]))
if len(sys.argv) < 5:
    sys.exit(1 if failures else 0)
facts_path, files_path = sys.argv[3:5]

# BSI TR-03183-2: the document's creator, timestamp and serial number; each component's name,
# version, file name, hashes (SHA-512 among them) and its place in the dependency graph.
metadata = bom.get("metadata", {})
check(bom.get("specVersion") == "1.6" and bom.get("serialNumber", "").startswith("urn:uuid:")
      and metadata.get("manufacturer", {}).get("name"), "spec version, serial number, creator")
check(metadata.get("timestamp") == rows(facts_path, "timestamp")[0][0],
      "the timestamp is SOURCE_DATE_EPOCH")
components = {c["bom-ref"]: c for c in bom.get("components", [])}
graph = {d["ref"]: d.get("dependsOn", []) for d in bom.get("dependencies", [])}
incomplete = [ref for ref, c in components.items()
              if not (c.get("name") and c.get("version")
                      and any(p["name"] == "bsi:component:filename" for p in c.get("properties", []))
                      and {"SHA-256", "SHA-512"} <= {h["alg"] for h in c.get("hashes", [])} and ref in graph)]
check(not incomplete, f"each component's name, version, file name, SHA-256 and SHA-512, dependencies {incomplete}")

# The shipped files, with the hashes of their bytes.
shipped = {c["name"]: c for c in components.values() if c["type"] == "file"}
expected = dict(rows(files_path, "file"))
check(set(shipped) == set(expected), f"lists the shipped files {sorted(expected)}: {sorted(shipped)}")
for name, path in expected.items():
    with open(path, "rb") as f:
        data = f.read()
    digests = {"SHA-256": hashlib.sha256(data).hexdigest(), "SHA-512": hashlib.sha512(data).hexdigest()}
    check({h["alg"]: h["content"] for h in shipped.get(name, {}).get("hashes", [])} == digests,
          f"{name}: the SHA-256 and SHA-512 of the file as shipped")
check(graph.get("package") == sorted(c["bom-ref"] for c in shipped.values()), "the package holds its files")

# The runtime parts: the map's, each with its Debian package, version, purl and licence.
runtime = {p["value"]: c for c in components.values() if c["type"] == "library"
           for p in c.get("properties", []) if p["name"] == "path"}
parts = {path: (package, version) for _, path, package, version in rows(facts_path, "part")}
check(set(runtime) == set(parts), "lists exactly the links' runtime parts"
      + f" (missing {sorted(set(parts) - set(runtime))}, extra {sorted(set(runtime) - set(parts))})")
licences = dict(rows(facts_path, "licence"))
wrong = []
for path, (package, version) in sorted(parts.items()):
    c = runtime.get(path, {})
    expression = " ".join(entry.get("expression", "") for entry in c.get("licenses", []))
    quoted = version.replace("+", "%2B").replace(":", "%3A")
    subpath = c.get("purl", "").partition("#")[2]
    if not (c.get("version") == version and c.get("purl", "").startswith(f"pkg:deb/debian/{package}@{quoted}?")
            and subpath and ("/" + path).endswith("/" + subpath)
            and re.fullmatch(licences.get(package, "^$"), expression)):
        wrong.append(f"{os.path.basename(path)}: {c.get('version')} {expression[:80]}")
check(not wrong, f"each runtime part's Debian package, version, purl and licence {wrong}")

# The graph: the map's edges between runtime parts, and each part reachable from the package.
edges = {tuple(edge) for edge in rows(facts_path, "edge")}
path_of = {c["bom-ref"]: path for path, c in runtime.items()}
listed = {(path_of.get(a), path_of.get(b)) for a, deps in graph.items() for b in deps
          if a.startswith("runtime:") and b.startswith("runtime:")}
check(listed == edges, f"the dependencies between runtime parts are the map's ({len(edges)})")


def reachable(ref):
    found, todo = set(), [ref]
    while todo:
        ref = todo.pop()
        if ref not in found:
            found.add(ref)
            todo += graph.get(ref, [])
    return found


check(reachable("package") >= set(components), "every component is reached from the package")


# Each library depends on the parts its own link took in, and on no other library's.
for library in sorted({library for library, *_ in rows(facts_path, "part")}):
    own = {path for name, path, *_ in rows(facts_path, "part") if name == library}
    got = {path_of[ref] for ref in reachable("file:" + library) if ref in path_of}
    check(got == own, f"{library} depends on exactly its own link's {len(own)} parts"
          + f" (missing {sorted(own - got)[:3]}, extra {sorted(got - own)[:3]})")
sys.exit(1 if failures else 0)
