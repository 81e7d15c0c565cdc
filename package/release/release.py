#!/usr/bin/python3
"""release.py BUILD_DIR OUT_DIR

Makes the driver package from the build trees: OUT_DIR/driver/ (the INF, the library of each
architecture and, when signed, the catalog of them all), the bill of materials
OUT_DIR/zorva_kt2hx.cdx.json (CycloneDX 1.6), and the cabinet OUT_DIR/zorva_kt2hx.cab made
from both. Prints the SHA-256 of every file it produces.

Everything comes from the environment, never from a command line pasted together:
  SIGNING_CERT           the vendor's code-signing certificate: a PKCS #12 file (.p12/.pfx)
                         that carries its own key, or, with SIGNING_KEY, a PEM certificate
                         of a key on a token; without it the package is unsigned and has no
                         catalog
  SIGNING_PKCS11_MODULE  the PKCS #11 module (a shared library) that reaches the token
  SIGNING_KEY            the key on the token, an RFC 7512 `pkcs11:` URI
  SIGNING_PASS_FILE      the file holding the token's PIN or the .p12 password; only its
                         path is ever passed on; one that group or others may read gets a
                         warning
  SIGNING_CHAIN          optional: a PEM file of the certificates between the vendor's and
                         a root, embedded in every signature
  TIMESTAMP_URL          RFC 3161 time-stamp authorities, separated by blanks, asked in
                         order until one gives a time stamp that verifies; every signature
                         gets one, so that it stays valid after the certificate expires
  TIMESTAMP_TIMEOUT      how many seconds each authority may take to answer (60)
  TIMESTAMP_CA           optional: the time-stamp authorities' root, against which every
                         time stamp is verified (else the system's roots)
  SOURCE_DATE_EPOCH      the time recorded in the catalog, the cabinet and the bill of
                         materials (the time of the source tree's commit when it is not set)

With a certificate it signs each library (Authenticode, SHA-256, the chain included), then
makes the catalog over the signed libraries and the INF and signs it, then the bill of
materials of what ships, then the cabinet, and signs that. Every signature is verified,
with its time stamp, before the release is published.

A release is a transaction. OUT_DIR is a symbolic link to one complete release, a folder
release.XXXXXX in OUT_DIR's sibling .NAME.releases/ (NAME being OUT_DIR's own name). A run
builds the new release in a folder of its own there and then points the link at it with one
rename, so OUT_DIR shows the whole previous release or the whole new one, never a mix. A run
that fails or is stopped by a signal removes its own folder, its children's temporary files
with it, and leaves the link as it was; the next run removes what a run killed outright left
behind. A lock on .NAME.releases/lock lets one run at a time work there: a second run
meanwhile fails at once. The lock is held by this process alone, never by its children, so
that it ends with the run however the run ends.
"""

import calendar
import errno
import fcntl
import hashlib
import json
import os
import re
import secrets
import shutil
import signal
import string
import subprocess
import sys
import time

PROGRAM = "release"
HERE = os.path.dirname(os.path.abspath(__file__))
# The libraries the package ships, one per architecture, each from its build tree: the x64
# one from BUILD_DIR, every other from BUILD_DIR/ARCH (as `make` lays them out).
ARCHITECTURES = ("x64", "arm64")
INF = "zorva_kt2hx.inf"
CATALOG = "zorva_kt2hx.cat"
CABINET = "zorva_kt2hx.cab"
SBOM = "zorva_kt2hx.cdx.json"
PACKAGE_DESCRIPTION = "Zorva KT2HX driver package"
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
# How a release folder in the store is named (mktemp's release.XXXXXX, which earlier
# releases were made with): the only link target a run follows, and deletes when replaced.
RELEASE_NAME = re.compile(r"release\.[A-Za-z0-9]{6}")
STOP_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGPIPE, signal.SIGTERM)


class Failure(Exception):
    """A reason the release cannot be made, said in one line, and the exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Stopped(Exception):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def ignore_signals():
    for signum in STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)


def warn(message):
    print(f"{PROGRAM}: warning: {message}", file=sys.stderr, flush=True)


def tree_of(build_dir, arch):
    return build_dir if arch == "x64" else os.path.join(build_dir, arch)


def module_of(build_dir, arch):
    """The library's file name for ARCH, as the build defines it (product-names.json)."""
    with open(os.path.join(build_dir, "product-names.json"), encoding="utf-8") as names:
        return json.load(names)["modules"][arch]


def library_of(build_dir, arch):
    return os.path.join(tree_of(build_dir, arch), "package", "driver", module_of(build_dir, arch))


def link_record_of(build_dir, arch):
    """The linker's account of the library's link, which names what the toolchain linked
    into it: lld's verbose report where there is one, else GNU ld's map."""
    stem = os.path.join(tree_of(build_dir, arch), os.path.splitext(module_of(build_dir, arch))[0])
    if os.path.isfile(stem + ".link-report"):
        return stem + ".link-report"
    return stem + ".map"


def readable_file(path):
    return os.path.isfile(path) and os.access(path, os.R_OK)


def require_tool(name):
    if shutil.which(name) is None:
        raise Failure(f"{name} is not installed (make package installs it)")


def last_line(text, skip=()):
    """The last line of a tool's report that says something, OpenSSL's error-stack lines and
    the lines in skip left out."""
    lines = [line.strip() for line in text.splitlines()
             if line.strip() and ":error:" not in line and line.strip() not in skip]
    return lines[-1] if lines else "no reason given"


class Run:
    """One run: its store, its own folder in it, the children it waits on."""

    def __init__(self, build_dir, out_dir):
        self.build_dir = build_dir
        name = os.path.basename(out_dir.rstrip("/"))
        if name in ("", ".", ".."):
            raise Failure(f"OUT_DIR must name a folder: {out_dir}")
        parent = os.path.dirname(out_dir.rstrip("/")) or "."
        os.makedirs(parent, exist_ok=True)
        parent = os.path.realpath(parent)
        self.out_dir = os.path.join(parent, name)
        self.store_name = f".{name}.releases"
        self.store = os.path.join(parent, self.store_name)
        self.stage = None
        self.stage_link = None
        self.env = dict(os.environ)

    # -- The store, the lock and the link -------------------------------------------------

    def current_release(self):
        """The name of the release folder the link shows now, None when there is no link.
        A link to anything but a release folder of the store is not ours to replace."""
        if not os.path.islink(self.out_dir):
            if os.path.lexists(self.out_dir) and not os.path.isdir(self.out_dir):
                raise Failure(f"{self.out_dir} is neither a release nor a folder: "
                              "move it away first")
            return None
        target = os.readlink(self.out_dir)
        folder, _, release = target.partition("/")
        path = os.path.join(self.store, release)
        if folder != self.store_name or not RELEASE_NAME.fullmatch(release) or (
                os.path.lexists(path) and (os.path.islink(path) or not os.path.isdir(path))):
            raise Failure(f"{self.out_dir} links to {target}, not to a release in "
                          f"{self.store_name}/: move the link away first")
        return release

    def open_store(self):
        self.current_release()
        os.makedirs(self.store, exist_ok=True)
        os.chmod(self.store, 0o755)
        # Python's descriptors are not inherited: no child ever holds the lock.
        lock = os.open(os.path.join(self.store, "lock"),
                       os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            if e.errno not in (errno.EWOULDBLOCK, errno.EACCES):
                raise
            raise Failure(f"another run is making a release in {self.out_dir}: "
                          "try again when it has ended") from None
        self.lock = lock  # held until this process ends
        # Read again under the lock: the link may have moved meanwhile.
        self.current = self.current_release()
        # What runs killed outright left behind. A signer such a run orphaned may still be
        # writing there: what it adds meanwhile goes at the next run.
        for entry in os.listdir(self.store):
            if entry not in ("lock", self.current):
                remove(os.path.join(self.store, entry), ignore_errors=True)
        while True:
            name = "release." + "".join(secrets.choice(string.ascii_letters + string.digits)
                                         for _ in range(6))
            try:
                os.mkdir(os.path.join(self.store, name), 0o755)
                break
            except FileExistsError:
                continue
        self.stage = os.path.join(self.store, name)
        self.stage_link = f"{self.store_name}/{name}"
        for folder in ("driver", "work", "work/tmp"):
            os.mkdir(os.path.join(self.stage, folder), 0o755)
        # Every child's temporary files go inside the run's own folder, so that they go
        # with it even when a signal ends a child before it could remove them.
        self.env["TMPDIR"] = os.path.join(self.stage, "work", "tmp")

    def published(self):
        try:
            return os.readlink(self.out_dir) == self.stage_link
        except OSError:
            return False

    def cleanup(self):
        ignore_signals()
        if self.stage is not None and not self.published():
            remove(self.stage)

    def switch(self):
        """One rename puts the link to the new release in place of the old link. From here
        on the new release stands, and a signal no longer ends the run."""
        ignore_signals()
        link = os.path.join(self.store, "link")
        os.symlink(self.stage_link, link)
        earlier = os.path.join(self.store, "earlier")
        if os.path.isdir(self.out_dir) and not os.path.islink(self.out_dir):
            # A release made before releases were links: it moves into the store first.
            os.rename(self.out_dir, earlier)
        os.rename(link, self.out_dir)
        if self.current:
            remove(os.path.join(self.store, self.current))
        remove(earlier)

    # -- Children ------------------------------------------------------------------------

    def run(self, args, timeout=None, cwd=None):
        """Runs a child with the run's environment; returns (status, its output). A signal
        to this run, or the end of the timeout, kills it (subprocess.run does both)."""
        result = subprocess.run(args, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=timeout, check=False)
        return result.returncode, result.stdout.decode(errors="replace")

    def work(self, name):
        return os.path.join(self.stage, "work", name)


def remove(path, ignore_errors=False):
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=ignore_errors)


# -- Signing ---------------------------------------------------------------------------------

def openssl_date(text):
    """Seconds since the epoch of an OpenSSL date such as 'Dec  1 02:09:34 2026 GMT'."""
    return calendar.timegm(time.strptime(" ".join(text.split()), "%b %d %H:%M:%S %Y %Z"))


class Signer:
    def __init__(self, run, env):
        self.run = run
        self.cert = env.get("SIGNING_CERT", "")
        self.pass_file = env.get("SIGNING_PASS_FILE", "")
        self.module = env.get("SIGNING_PKCS11_MODULE", "")
        self.key = env.get("SIGNING_KEY", "")
        self.chain = env.get("SIGNING_CHAIN", "")
        self.authorities = env.get("TIMESTAMP_URL", "").split()
        self.timestamp_ca = env.get("TIMESTAMP_CA", "")
        self.timeout = timestamp_timeout(env)
        self.on_token = bool(self.key or self.module)

    def check_settings(self):
        secret = "PIN" if self.on_token else "password"
        if self.on_token:
            if not self.key:
                raise Failure("SIGNING_PKCS11_MODULE is set, SIGNING_KEY is not: name the key "
                              "on the token as a pkcs11: URI")
            if not self.module:
                raise Failure("SIGNING_KEY is set, SIGNING_PKCS11_MODULE is not: name the "
                              "PKCS #11 module that reaches the token")
            if not self.key.startswith("pkcs11:"):
                raise Failure(f"SIGNING_KEY is not a pkcs11: URI (RFC 7512): {self.key}")
            # The URI is passed on as an argument: a PIN in it would be on a command line.
            if re.search(r"[;?&]pin-value=", self.key):
                raise Failure("SIGNING_KEY holds the PIN (pin-value): "
                              "put it in the file SIGNING_PASS_FILE names instead")
            if not readable_file(self.module):
                raise Failure(f"PKCS #11 module {self.module}: no such readable file")
        if not readable_file(self.cert):
            raise Failure(f"signing certificate {self.cert}: no such readable file")
        if not self.pass_file:
            raise Failure(f"SIGNING_PASS_FILE is not set: the {secret} of "
                          f"{'the token' if self.on_token else self.cert} must come from a file")
        if not readable_file(self.pass_file):
            raise Failure(f"{secret} file {self.pass_file}: no such readable file")
        mode = os.stat(self.pass_file).st_mode & 0o777
        if mode & 0o044:
            warn(f"{secret} file {self.pass_file} can be read by group or others "
                 f"(mode {mode:o}): chmod 600 it")
        for path, what in ((self.chain, "SIGNING_CHAIN"), (self.timestamp_ca, "TIMESTAMP_CA")):
            if path and not readable_file(path):
                raise Failure(f"{what} {path}: no such readable file")

    def open_pkcs12(self, *args):
        """Opens the .p12 with the password from its file, with OpenSSL's legacy algorithms
        when the file was written with them (RC2 and 3DES, as many Windows exports are)."""
        command = ["openssl", "pkcs12", "-in", self.cert,
                   "-passin", "file:" + self.pass_file, *args]
        status, output = self.run.run(command)
        if status != 0 and "unsupported" in output.lower():
            status, output = self.run.run(command[:2] + ["-legacy"] + command[2:])
        return status, output

    def certificates(self):
        """Writes the signer's certificate to work/signer.pem and every certificate the
        vendor gave to work/given.pem."""
        signer, given = self.run.work("signer.pem"), self.run.work("given.pem")
        if self.on_token:
            status, output = self.run.run(["openssl", "x509", "-in", self.cert, "-out", signer])
            if status != 0:
                raise Failure(f"signing certificate {self.cert}: not a PEM certificate "
                              "OpenSSL can read")
            shutil.copyfile(signer, given)
        else:
            status, output = self.open_pkcs12("-nokeys", "-out", given)
            if status != 0:
                if "invalid password" in output.lower():
                    raise Failure(f"wrong password for {self.cert} (from {self.pass_file})")
                raise Failure(f"signing certificate {self.cert}: not a PKCS #12 file "
                              "OpenSSL can read")
            status, output = self.open_pkcs12("-nokeys", "-clcerts", "-out", signer)
            if status != 0 or self.run.run(["openssl", "x509", "-in", signer, "-noout"])[0] != 0:
                raise Failure(f"signing certificate {self.cert}: it holds no certificate")
        if self.chain:
            with open(self.chain, "rb") as f, open(given, "ab") as out:
                out.write(b"\n" + f.read())
        return signer, given

    def check_certificate(self, signer):
        """Checks that the certificate can sign code before anything is signed: osslsigncode
        signs with an expired certificate, or one not meant for code, without a word, and
        Windows then refuses the package on the target machine."""
        status, output = self.run.run(["openssl", "x509", "-in", signer, "-noout", "-subject",
                                       "-nameopt", "RFC2253", "-startdate", "-enddate",
                                       "-ext", "extendedKeyUsage,keyUsage"])
        if status != 0:
            raise Failure(f"signing certificate {self.cert}: it holds no certificate")
        fields = dict(line.split("=", 1) for line in output.splitlines()
                      if line.split("=", 1)[0] in ("subject", "notBefore", "notAfter"))
        subject, not_after = fields["subject"], fields["notAfter"]
        now = time.time()
        if openssl_date(not_after) <= now:
            raise Failure(f"certificate {subject} expired on {not_after}: it cannot sign code")
        if openssl_date(fields["notBefore"]) > now:
            raise Failure(f"certificate {subject} is not valid before {fields['notBefore']}: "
                          "it cannot sign code yet")
        if not re.search(r"Extended Key Usage:.*\n\s+.*Code Signing", output):
            raise Failure(f"certificate {subject} has no code-signing extended key usage: "
                          "it cannot sign code")
        key_usage = re.search(r"X509v3 Key Usage:.*\n\s+(.*)", output)
        if key_usage and "Digital Signature" not in key_usage.group(1):
            raise Failure(f"certificate {subject} has no digitalSignature key usage: "
                          "it cannot sign code")
        self.not_after = not_after
        return subject

    def prepare(self):
        require_tool("osslsigncode")
        self.check_settings()
        signer, given = self.certificates()
        subject = self.check_certificate(signer)
        # The anchors each signature is verified against: the system's roots and every
        # certificate the vendor gave (a root of an internal authority among them).
        self.anchors = self.run.work("anchors.pem")
        with open(self.anchors, "wb") as out:
            for path in (SYSTEM_ROOTS, given):
                if os.path.isfile(path):
                    with open(path, "rb") as f:
                        out.write(f.read() + b"\n")
        self.signer_pem = signer
        on_token = f", its key on the token: {self.key}" if self.on_token else ""
        print(f"{PROGRAM}: signing with {subject} (valid until {self.not_after}){on_token}",
              flush=True)

    def sign_arguments(self):
        if self.on_token:
            arguments = ["-pkcs11module", self.module, "-certs", self.cert, "-key", self.key]
        else:
            arguments = ["-pkcs12", self.cert]
        if self.chain:
            arguments += ["-ac", self.chain]
        return arguments + ["-readpass", self.pass_file]

    def token_failure(self, output):
        """What a failed first signature with a key on a token says, in the words of
        libp11's and OpenSSL's errors."""
        if "PIN incorrect" in output:
            return f"wrong PIN for {self.key} (from {self.pass_file})"
        if "PIN locked" in output:
            return f"the PIN of the token of {self.key} is locked"
        if "Unable to load PKCS#11 module" in output or "Unable to load module" in output:
            return f"PKCS #11 module {self.module} could not be loaded"
        if "key values mismatch" in output:
            return f"certificate {self.cert} does not belong to the key {self.key}"
        if "object not found" in output or "private key was not found" in output:
            return f"no key {self.key} on the tokens of {self.module}"
        return None

    def sign(self, source, out):
        """Signs source into out with Authenticode, SHA-256, the package's name in the
        signer's opus info as signed catalogs carry it, then has it time-stamped and
        verifies it."""
        name = os.path.basename(out)
        signed = self.run.work(name + ".signed")
        status, output = self.run.run(["osslsigncode", "sign", *self.sign_arguments(),
                                       "-h", "sha256", "-n", PACKAGE_DESCRIPTION,
                                       "-in", source, "-out", signed])
        if status != 0:
            # A token refuses the first signature already: the run stops there, before a
            # wrong PIN is tried again (a token locks itself after a few).
            raise Failure((self.on_token and self.token_failure(output)) or
                          f"signing {name} failed: {last_line(output, skip=('Failed',))}")
        if not self.authorities:
            problem = self.verification_problem(signed, stamped=False)
            if problem:
                raise Failure(f"{name}: {problem}")
            os.replace(signed, out)
            return
        refusals = []
        for url in self.authorities:
            refusal = self.time_stamp(signed, out, url)
            if refusal is None:
                return
            refusals.append(refusal)
        raise Failure(f"signing {name} failed: " + "; ".join(refusals))

    def time_stamp(self, signed, out, url):
        """Adds the time stamp of the authority at url to the signature; None when it did
        and the signature and its stamp verify, else why not."""
        remove(out)
        try:
            status, output = self.run.run(["osslsigncode", "add", "-ts", url, "-h", "sha256",
                                           "-in", signed, "-out", out], timeout=self.timeout)
        except subprocess.TimeoutExpired:
            return f"no time stamp from {url} within {self.timeout} s"
        if status != 0 or not os.path.isfile(out):
            return f"no time stamp from {url}"
        problem = self.verification_problem(out, stamped=True)
        if problem:
            return f"no time stamp from {url} that verifies: {problem}"
        return None

    def verification_problem(self, path, stamped):
        """What osslsigncode's report says is wrong with the signature of path and, when
        stamped, its time stamp; None when both verify. 2.9 exits 0 whatever it found, so
        its report is read, not its status."""
        command = ["osslsigncode", "verify", "-CAfile", self.anchors, "-in", path]
        if stamped:
            command += ["-TSA-CAfile", self.timestamp_ca or SYSTEM_ROOTS]
        _, output = self.run.run(command)
        lines = [line.strip() for line in output.splitlines() if line.strip()]
        verdicts = [line.split(": ", 1)[1] for line in lines
                    if line.startswith("Signature verification: ")]
        stamps = [line.split(": ", 1)[1] for line in lines
                  if line.startswith("Timestamp Server Signature verification: ")]
        errors = re.findall(r"Verify error: ?(.*)", output)
        if stamped and stamps != ["ok"]:
            against = (f"TIMESTAMP_CA {self.timestamp_ca}" if self.timestamp_ca
                       else "the system's roots")
            return f"the time stamp does not verify against {against}" + (
                f" ({errors[0]})" if errors else "")
        if verdicts != ["ok"] or not lines or lines[-1] != "Succeeded":
            hint = ""
            if errors and "issuer certificate" in errors[-1]:
                hint = " (SIGNING_CHAIN names the certificates between the vendor's and a root)"
            return "the signature does not verify" + (f": {errors[-1]}" if errors else "") + hint
        return None


# -- The package -----------------------------------------------------------------------------

def timestamp_timeout(env):
    timeout = env.get("TIMESTAMP_TIMEOUT") or "60"
    if not timeout.isdigit() or int(timeout) == 0:
        raise Failure(f"TIMESTAMP_TIMEOUT is not a positive number of seconds: {timeout}")
    return int(timeout)


def source_date_epoch(env):
    epoch = env.get("SOURCE_DATE_EPOCH", "")
    if not epoch:
        try:
            epoch = subprocess.run(["git", "-C", HERE, "log", "-1", "--format=%ct"],
                                   capture_output=True, check=True).stdout.decode().strip()
        except (OSError, subprocess.CalledProcessError):
            epoch = str(int(time.time()))
    if not epoch.isdigit():
        raise Failure(f"SOURCE_DATE_EPOCH is not a number of seconds: {epoch}")
    return epoch


def make_release(run, signer):
    build_dir, stage = run.build_dir, run.stage
    driver = os.path.join(stage, "driver")
    shutil.copyfile(os.path.join(build_dir, "package", "driver", INF), os.path.join(driver, INF))
    libraries = [os.path.join(driver, module_of(build_dir, arch)) for arch in ARCHITECTURES]
    if signer:
        signer.prepare()
        for arch, library in zip(ARCHITECTURES, libraries):
            signer.sign(library_of(build_dir, arch), library)
        catalog = run.work(CATALOG)
        status, output = run.run([os.path.join(HERE, "make-catalog.py"), catalog, *libraries,
                                  os.path.join(driver, INF)])
        if status != 0:
            raise Failure(f"the catalog could not be made: {last_line(output)}")
        signer.sign(catalog, os.path.join(driver, CATALOG))
    else:
        for arch, library in zip(ARCHITECTURES, libraries):
            shutil.copyfile(library_of(build_dir, arch), library)
        print(f"{PROGRAM}: no SIGNING_CERT given: the package is unsigned and has no catalog",
              flush=True)

    # The bill of materials of the files as they ship; each library with the map of its link.
    sbom = os.path.join(stage, SBOM)
    arguments = ["--out", sbom, "--inf", os.path.join(driver, INF)]
    for arch, library in zip(ARCHITECTURES, libraries):
        arguments += ["--library", library, link_record_of(build_dir, arch)]
    if signer:
        arguments += ["--file", os.path.join(driver, CATALOG)]
    status, output = run.run(["/usr/bin/python3", os.path.join(HERE, "make-sbom.py"), *arguments])
    if status != 0:
        raise Failure(f"the bill of materials could not be made: {last_line(output)}")

    # The cabinet holds the driver folder and the bill of materials, each file with the
    # source's time, so that it does not vary by itself.
    cabinet_folder = run.work("cabinet")
    os.mkdir(cabinet_folder)
    epoch = int(run.env["SOURCE_DATE_EPOCH"])
    for path in [os.path.join(driver, f) for f in os.listdir(driver)] + [sbom]:
        copy = os.path.join(cabinet_folder, os.path.basename(path))
        shutil.copyfile(path, copy)
        os.utime(copy, (epoch, epoch))
    cabinet = run.work(CABINET)
    status, output = run.run(["gcab", "-c", "-n", "-z", cabinet,
                              *sorted(os.listdir(cabinet_folder))], cwd=cabinet_folder)
    if status != 0:
        raise Failure(f"gcab could not make the cabinet: {last_line(output)}")
    if signer:
        signer.sign(cabinet, os.path.join(stage, CABINET))
    else:
        os.replace(cabinet, os.path.join(stage, CABINET))
    remove(os.path.join(stage, "work"))


def sha256_lines(folder):
    names = [f"driver/{name}" for name in sorted(os.listdir(os.path.join(folder, "driver")))]
    for name in names + [SBOM, CABINET]:
        digest = hashlib.sha256()
        with open(os.path.join(folder, name), "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        yield f"{digest.hexdigest()}  {name}"


def main(argv):
    if len(argv) != 3:
        raise Failure("usage: release.py BUILD_DIR OUT_DIR")
    build_dir, out_dir = argv[1], argv[2]
    inputs = [os.path.join(build_dir, "package", "driver", INF)]
    for arch in ARCHITECTURES:
        inputs += [library_of(build_dir, arch), link_record_of(build_dir, arch)]
    for path in inputs:
        if not readable_file(path):
            raise Failure(f"{path} is missing: build the project first")
    for tool in ("gcab", "openssl", "/usr/bin/python3"):
        require_tool(tool)
    env = os.environ
    timestamp_timeout(env)
    run = Run(build_dir, out_dir)
    run.env["SOURCE_DATE_EPOCH"] = source_date_epoch(env)
    signer = None
    if env.get("SIGNING_CERT") or env.get("SIGNING_KEY") or env.get("SIGNING_PKCS11_MODULE"):
        signer = Signer(run, env)
    try:
        run.open_store()
        make_release(run, signer)
        run.switch()
    except Stopped as e:
        raise Failure(f"stopped by {signal.Signals(e.signum).name}: {run.out_dir} is as it was",
                      128 + e.signum) from None
    finally:
        run.cleanup()
    for line in sha256_lines(run.out_dir):
        print(line)
    if signer and not signer.authorities:
        warn(f"no TIMESTAMP_URL: the signatures stop verifying when the certificate "
             f"expires ({signer.not_after})")


def on_signal(signum, frame):
    raise Stopped(signum)


if __name__ == "__main__":
    # The release is read by others, whatever the umask of whoever runs it: a CI uploader,
    # a web server, a colleague. Everything in it is made by this run or its children.
    os.umask(0o022)
    for signum in STOP_SIGNALS:
        signal.signal(signum, on_signal)
    try:
        main(sys.argv)
    except Failure as e:
        print(f"{PROGRAM}: {e}", file=sys.stderr)
        sys.exit(e.status)
    except OSError as e:
        print(f"{PROGRAM}: {e}", file=sys.stderr)
        sys.exit(1)
    except Stopped as e:
        print(f"{PROGRAM}: stopped by {signal.Signals(e.signum).name}", file=sys.stderr)
        sys.exit(128 + e.signum)
