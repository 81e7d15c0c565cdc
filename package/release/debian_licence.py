"""Debian's copyright files (DEP-5) read as SPDX: a licence field's expression turned into an
SPDX expression, and the paragraphs that cover given source files.

A DEP-5 licence field names licences by Debian's short names, joined by "and", "or" and
"with", with parentheses and, at the lowest precedence, ", and" / ", or" (DEP-5 9.3). The
names are matched against the SPDX licence list without regard to case ("Expat" is MIT,
"bsd-3-clause" is BSD-3-Clause); Debian's "+" is SPDX's "-or-later". A name the list does not
know becomes a LicenseRef, whose text the copyright file must give. Anything else stops the
conversion with the reason: a licence field is never guessed at.
"""

import fnmatch
import re

# Debian short names whose SPDX identifier is not the same name in another case.
ALIASES = {"expat": "MIT", "apache-2-llvm-exceptions": "Apache-2.0 WITH LLVM-exception"}


class LicenceError(ValueError):
    pass


class Converter:
    """Turns licence fields into SPDX expressions against SPDX_IDS, the list's identifiers,
    collecting in refs the LicenseRef names it made, each with the Debian name it stands for."""

    def __init__(self, spdx_ids):
        self.ids = {i.lower(): i for i in spdx_ids}
        self.refs = {}

    def expression(self, field):
        tokens = re.findall(r"\(|\)|,|[^\s(),]+", field)
        if not tokens:
            raise LicenceError("an empty licence field")
        tree, rest = self._list(tokens)
        if rest:
            raise LicenceError(f"{field!r}: unexpected {' '.join(rest)!r}")
        return render(tree)

    def _list(self, tokens):
        tree, tokens = self._binary(tokens, "or")
        while tokens[:1] == [","]:
            if tokens[1:2] and tokens[1].lower() in ("and", "or"):
                operator = tokens[1].lower()
                right, tokens = self._binary(tokens[2:], "or")
                tree = (operator.upper(), tree, right)
            else:
                raise LicenceError("a comma not followed by and/or")
        return tree, tokens

    def _binary(self, tokens, operator):
        lower = self._with if operator == "and" else (lambda t: self._binary(t, "and"))
        tree, tokens = lower(tokens)
        while tokens[:1] and tokens[0].lower() == operator:
            right, tokens = lower(tokens[1:])
            tree = (operator.upper(), tree, right)
        return tree, tokens

    def _with(self, tokens):
        tree, tokens = self._atom(tokens)
        if tokens[:1] and tokens[0].lower() == "with":
            words = []
            tokens = tokens[1:]
            while tokens and tokens[0] not in ("(", ")", ",") and tokens[0].lower() not in ("and", "or"):
                words.append(tokens[0])
                tokens = tokens[1:]
            tree = ("WITH", tree, ("ID", self._exception(words)))
        return tree, tokens

    def _atom(self, tokens):
        if not tokens:
            raise LicenceError("a licence name is missing")
        if tokens[0] == "(":
            tree, tokens = self._list(tokens[1:])
            if tokens[:1] != [")"]:
                raise LicenceError("an unclosed parenthesis")
            return tree, tokens[1:]
        if tokens[0] in (")", ",") or tokens[0].lower() in ("and", "or", "with"):
            raise LicenceError(f"a licence name is missing before {tokens[0]!r}")
        return ("ID", self.identifier(tokens[0])), tokens[1:]

    def identifier(self, name):
        """The SPDX form of one Debian licence name (an expression of its own for the few
        Debian names that stand for a licence with an exception)."""
        lowered = name.lower()
        if lowered in ALIASES:
            return ALIASES[lowered]
        # Debian's "GPL-2+" and "GPL-2" are SPDX's "GPL-2.0-or-later" and "GPL-2.0-only",
        # not the deprecated "GPL-2.0+" and "GPL-2.0" the list still holds.
        base, suffix = (lowered[:-1], "-or-later") if lowered.endswith("+") else (lowered, "-only")
        for candidate in (base + suffix, base + ".0" + suffix, lowered):
            if candidate in self.ids:
                return self.ids[candidate]
        ref = "LicenseRef-Debian-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)
        self.refs[ref] = name
        return ref

    def _exception(self, words):
        # DEP-5 writes "GPL-2+ with OpenSSL exception"; SPDX names the same exception
        # "OpenSSL-exception" or, for GCC's, "GCC-exception-3.1".
        for candidate in ("-".join(words), "-".join(w for w in words if w.lower() != "exception") + "-exception"):
            if candidate.lower() in self.ids:
                return self.ids[candidate.lower()]
        raise LicenceError(f"the exception {' '.join(words)!r} is not on the SPDX list")


def render(tree, parent=None):
    kind = tree[0]
    if kind == "ID":
        return tree[1]
    text = f"{render(tree[1], kind)} {kind} {render(tree[2], kind)}"
    # AND binds tighter than OR, WITH tighter than both: only a looser operator inside a
    # tighter one needs parentheses.
    rank = {"OR": 0, "AND": 1, "WITH": 2}
    return f"({text})" if parent is not None and rank[kind] < rank[parent] else text


def paragraphs(text):
    """The copyright file's Files paragraphs as (patterns, licence name, licence text), in
    order, and the texts of its stand-alone License paragraphs by name."""
    files, texts = [], {}
    for block in re.split(r"\n[ \t]*\n", text):
        fields = dict(re.findall(r"^([\w-]+):[ \t]*((?:.*)(?:\n[ \t].*)*)", block, re.M))
        if "License" not in fields:
            continue
        name, _, body = fields["License"].partition("\n")
        body = "\n".join("" if line.strip() == "." else line[1:] for line in body.split("\n")) if body else ""
        if "Files" in fields:
            files.append((fields["Files"].split(), name.strip(), body))
        elif body:
            texts[name.strip()] = body
    return files, texts


def covering(files, path):
    """The paragraph of FILES that states the licence of the source PATH: the last whose
    patterns match it (DEP-5: "*" matches "/" too), or None."""
    found = None
    for paragraph in files:
        if any(fnmatch.fnmatchcase(path, pattern) for pattern in paragraph[0]):
            found = paragraph
    return found
