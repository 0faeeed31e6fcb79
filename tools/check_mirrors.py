#!/usr/bin/env python3
"""Checks a publication: every mirror of a manifest serves every file with the
manifest's size and SHA-256.

Each file is requested from each mirror under the URL the engine builds
(make_manifest.file_url), read to its end (never past its declared size) and
compared. A table then gives, per mirror, the files missing (HTTP 404 or 410),
of the wrong size, with the wrong digest, failed otherwise (another status, a
network error) and ok; every problem is listed above it. This is the check
that catches a stale or half-synced mirror before users do. A mirror that
gives no answer at all (refused, unresolvable) is said once, and its other
files are not requested. Files missing under names beyond ASCII are explained:
their encoding in the URL (the manifest's "url_encoding") may not be the one
the server holds them under.

    check_mirrors.py MANIFEST [--mirror URL]... [--manifest-url URL]... [--timeout SECONDS]
                     [--trust KEYS]

MANIFEST is a file or an http(s) URL. Without --mirror the manifest's own
"cdn_list" (or "cdn") is checked. Each --manifest-url (the setup program's
list) is fetched too and must serve MANIFEST byte for byte: a manifest the
server refuses (a file its workers cannot read answers 403) fails every install.
Like the engine, every HTTPS request accepts TLS 1.2 and 1.3 only: a server that
offers nothing newer than TLS 1.1 fails here as it fails every install.

With --trust KEYS (the "|"-separated list a setup program passes to
StartOnlineInstallVerified) the manifest's signature file is checked first, as
the engine checks it: MANIFEST.sig (for a URL, ".sig" appended to its path)
must hold a line that openssl verifies over the manifest's exact bytes under
one of the keys (a UTF-8 byte-order mark at its start and blanks around a line
are ignored, as the engine ignores them), "expires" must not have passed, and every file but the setup
program's own must carry a size and a hash.

Exit status: 0 every mirror serves every file and every manifest URL the
manifest (and the signature holds), 1 one does not (or the signature does
not), 2 usage error, an invalid trusted key or an unreadable manifest.
"""

import argparse
import base64
import binascii
import codecs
import datetime
import hashlib
import json
import os
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

import make_manifest

BLOCK = 256 * 1024
DEFAULT_TIMEOUT_S = 30
MISSING_STATUSES = (404, 410)
COLUMNS = ("missing", "wrong size", "wrong digest", "failed", "ok")
BAR_WIDTH = 30
# A terminal redraw costs more than a small file's transfer; a few per second suffice.
BAR_INTERVAL_S = 0.1
SIGNATURE_LIMIT = 16 * 1024
SIGNATURE_LINES = 16
# What editors and terminals put around a line of base64.
SIGNATURE_LINE_BLANKS = b" \t\r"
ENGINE_TLS = ssl.create_default_context()
ENGINE_TLS.minimum_version = ssl.TLSVersion.TLSv1_2


class ManifestUnreadable(Exception):
    pass


def read_bytes(source, timeout, limit=None):
    """The bytes of a file or a URL, at most `limit` + 1 of them."""
    if source.lower().startswith(make_manifest.URL_SCHEMES):
        with urllib.request.urlopen(source, timeout=timeout, context=ENGINE_TLS) as answer:
            return answer.read() if limit is None else answer.read(limit + 1)
    with open(source, "rb") as f:
        return f.read() if limit is None else f.read(limit + 1)


def read_manifest(source, timeout):
    """The manifest document from a file or a URL, read as the engine reads it (of a
    repeated member name the first counts), its bytes, and the repeated names."""
    try:
        raw = read_bytes(source, timeout)
        document, duplicates = make_manifest.read_manifest_document(raw)
    except (OSError, ValueError) as error:
        raise ManifestUnreadable(f"{source}: {error}")
    if not isinstance(document, dict) or not isinstance(document.get("files"), dict):
        raise ManifestUnreadable(f"{source}: no \"files\" object")
    return document, raw, duplicates


def duplicate_warning(name):
    return (f"check_mirrors: warning: the manifest repeats the member {name!r} in one object; "
            "the engine reads the first, and so does this check")


def trusted_keys(text):
    """The DER keys of a "|"-separated list, as strict as the engine; ValueError names a bad one."""
    keys = []
    for piece in [piece for piece in text.split("|") if piece] or [""]:
        try:
            der = base64.b64decode(piece, validate=True)
        except (binascii.Error, ValueError):
            der = b""
        if (len(der) != make_manifest.P256_KEY_LENGTH or not der.startswith(make_manifest.P256_KEY_PREFIX)
                or base64.b64encode(der).decode("ascii") != piece):
            raise ValueError(f"invalid trusted key: {piece}")
        keys.append(der)
    return keys


def signature_source(source):
    """Where the engine looks for the signature: ".sig" appended to the path, before any query."""
    if not source.lower().startswith(make_manifest.URL_SCHEMES):
        return source + make_manifest.SIGNATURE_SUFFIX
    authority = source.index("://") + 3
    ends = [at for at in (source.find("?", authority), source.find("#", authority)) if at >= 0]
    path_end = min(ends) if ends else len(source)
    no_path = "/" not in source[authority:path_end]
    return source[:path_end] + ("/" if no_path else "") + make_manifest.SIGNATURE_SUFFIX + source[path_end:]


def signing_key(raw, lines, keys):
    """The 1-based number of the first key under which a line verifies `raw` (openssl), or 0."""
    with tempfile.TemporaryDirectory(prefix="check-mirrors-") as scratch:
        key_path, signature_path = os.path.join(scratch, "key.der"), os.path.join(scratch, "signature.der")
        for number, key in enumerate(keys, 1):
            with open(key_path, "wb") as f:
                f.write(key)
            for line in lines:
                try:
                    signature = base64.b64decode(line, validate=True)
                except (binascii.Error, ValueError):
                    continue
                with open(signature_path, "wb") as f:
                    f.write(signature)
                done = subprocess.run(["openssl", "dgst", "-sha256", "-verify", key_path, "-keyform", "DER",
                                       "-signature", signature_path], input=raw, capture_output=True)
                if done.returncode == 0:
                    return number
    return 0


def expiry_problem(document, now=None):
    """Why the engine would refuse the manifest's "expires", or None."""
    if "expires" not in document:
        return None
    value = document["expires"]
    try:
        if not isinstance(value, str) or len(value) != 20:
            raise ValueError(value)
        moment = datetime.datetime.strptime(value, make_manifest.EXPIRES_FORMAT)
        if moment.strftime(make_manifest.EXPIRES_FORMAT) != value:
            raise ValueError(value)
    except ValueError:
        return f"the manifest's expiry is not understood: {json.dumps(value)}"
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if moment.replace(tzinfo=datetime.timezone.utc) < now:
        return f"the manifest expired: {value}"
    return None


def signature_lines(text):
    """The lines of a signature file as the engine reads them: without a UTF-8 byte-order mark at the
    start, without blanks, tabs and carriage returns around each, blank lines left out."""
    if text.startswith(codecs.BOM_UTF8):
        text = text[len(codecs.BOM_UTF8):]
    return [line.strip(SIGNATURE_LINE_BLANKS) for line in text.split(b"\n") if line.strip(SIGNATURE_LINE_BLANKS)]


def signature_problems(source, raw, document, keys, timeout):
    """(report line, problems) of the signature as the engine checks it."""
    where = signature_source(source)
    try:
        text = read_bytes(where, timeout, SIGNATURE_LIMIT)
    except OSError as error:
        return "signature: none", [f"{where}: cannot read the signature file: {error}"]
    lines = signature_lines(text)
    if len(text) > SIGNATURE_LIMIT or len(lines) > SIGNATURE_LINES or not lines:
        return "signature: not valid", [f"{where}: not a signature file (1 to {SIGNATURE_LINES} lines, "
                                        f"at most {SIGNATURE_LIMIT} bytes)"]
    number = signing_key(raw, lines, keys)
    if number == 0:
        return "signature: not valid", [f"{where}: no line verifies the manifest under a trusted key"]
    problems = [problem for problem in [expiry_problem(document)] if problem]
    problems += [f"{key}: no size or hash, which a signed manifest must give" for key, entry in
                 sorted(document["files"].items()) if not make_manifest.is_protected_installer_artifact(key)
                 and None in expected(entry)]
    return f"signature: verified with trusted key {number}/{len(keys)}", problems


def manifest_mirrors(document):
    """The base URLs the engine would use: "cdn_list", or "cdn" when the list gives none."""
    listed = document.get("cdn_list")
    mirrors = [url for url in listed if isinstance(url, str) and url] if isinstance(listed, list) else []
    if not mirrors and isinstance(document.get("cdn"), str) and document["cdn"]:
        mirrors = [document["cdn"]]
    return mirrors


def expected(entry):
    """(size or None, upper-case digest or None) of a file entry."""
    entry = entry if isinstance(entry, dict) else {}
    size = entry.get("size")
    digest = entry.get("hash")
    return (size if isinstance(size, int) and not isinstance(size, bool) and size >= 0 else None,
            digest.upper() if isinstance(digest, str) else None)


def fetch(url, limit, timeout, on_bytes):
    """(size, hex digest) of the body, reading at most `limit` bytes (None: no limit)."""
    digest = hashlib.sha256()
    size = 0
    with urllib.request.urlopen(url, timeout=timeout, context=ENGINE_TLS) as answer:
        while limit is None or size <= limit:
            block = answer.read(BLOCK)
            if not block:
                break
            digest.update(block)
            size += len(block)
            on_bytes(len(block))
    return size, digest.hexdigest().upper()


def error_detail(error):
    """What a failed request says: its HTTP status, or the network's reason."""
    if isinstance(error, urllib.error.HTTPError):
        return f"HTTP status {error.code}"
    return str(getattr(error, "reason", error))


def check_manifest_url(url, local, timeout):
    """None when `url` serves the bytes `local`, otherwise what it does instead."""
    try:
        with urllib.request.urlopen(url, timeout=timeout, context=ENGINE_TLS) as answer:
            served = answer.read(len(local) + 1)
    except (OSError, ValueError) as error:
        return f"failed ({error_detail(error)})"
    if served == local:
        return None
    first = next((at for at, (a, b) in enumerate(zip(served, local)) if a != b), min(len(served), len(local)))
    size = f"more than {len(local)}" if len(served) > len(local) else str(len(served))
    return f"differs from the local manifest from byte {first} on ({size} bytes, not {len(local)})"


def check_manifest_urls(urls, local, timeout):
    """The problem line of every manifest URL that does not serve `local`."""
    problems = []
    for url in urls:
        problem = check_manifest_url(url, local, timeout)
        if problem:
            problems.append(f"{url}: manifest {problem}")
    return problems


def unreachable(error):
    """True when the request got no answer at all: no connection, no name resolution."""
    return isinstance(error, urllib.error.URLError) and not isinstance(error, urllib.error.HTTPError)


def check_file(base_url, key, entry, timeout, on_bytes, utf8=False):
    """(column, detail, mirror unreachable) for one file on one mirror."""
    size, digest = expected(entry)
    try:
        url = make_manifest.file_url(base_url, key, utf8)
    except ValueError as error:
        return "failed", f"no URL: {error}", False
    try:
        # One byte past the declared size is enough to know the body is too long.
        got_size, got_digest = fetch(url, None if size is None else size, timeout, on_bytes)
    except (OSError, ValueError) as error:
        missing = isinstance(error, urllib.error.HTTPError) and error.code in MISSING_STATUSES
        return ("missing" if missing else "failed"), error_detail(error), unreachable(error)
    if size is not None and got_size != size:
        shown = f"more than {size}" if got_size > size else str(got_size)
        return "wrong size", f"expected {size} bytes, got {shown}", False
    if digest is not None and got_digest != digest:
        return "wrong digest", f"expected SHA-256 {digest}, got {got_digest}", False
    return "ok", "", False


def encoding_hint(mirror, keys, utf8):
    """Why a server may not find files whose names go beyond ASCII, or None."""
    if utf8:
        names = [key for key in keys if not key.isascii()]
        held = ('requested under their UTF-8 bytes ("url_encoding": "utf-8"); a tree published '
                "with --legacy-url-encoding holds them under other bytes: publish it again without")
    else:
        names = [key for key in keys if make_manifest.needs_byte_names(key)]
        held = ('requested with one byte per character U+0080-U+00FF (the manifest has no "url_encoding": '
                '"utf-8"), which a server holding UTF-8 file names never finds: build the manifest '
                "without --legacy-url-encoding, or serve a tree written by --publish from nginx or Apache")
    if not names:
        return None
    return f"{mirror}: {len(names)} of the missing files have names beyond ASCII, {held}"


class ProgressBar:
    """One line on a terminal, redrawn in place; nothing when the output is not one."""

    def __init__(self, stream, total_checks, total_bytes):
        self.stream = stream
        self.enabled = stream.isatty()
        self.total_checks = max(total_checks, 1)
        self.total_bytes = total_bytes
        self.checks = 0
        self.bytes = 0
        self.label = ""
        self.drawn_at = 0.0

    def add_bytes(self, count):
        self.bytes += count
        self.draw()

    def next_check(self, label):
        self.checks += 1
        self.label = label
        self.draw(force=True)

    def draw(self, force=False):
        now = time.monotonic()
        if not self.enabled or (not force and now - self.drawn_at < BAR_INTERVAL_S):
            return
        self.drawn_at = now
        filled = BAR_WIDTH * self.checks // self.total_checks
        line = (f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {self.checks}/{self.total_checks} "
                f"{self.bytes / 1048576:.1f} of {self.total_bytes / 1048576:.1f} MiB  {self.label}")
        self.stream.write("\r" + line[:120].ljust(120))
        self.stream.flush()

    def finish(self):
        if self.enabled:
            self.stream.write("\r" + " " * 120 + "\r")
            self.stream.flush()


def check_mirrors(document, mirrors, timeout, bar):
    """{mirror: {column: count}} and the problem lines, mirror by mirror, file by file."""
    files = document["files"]
    utf8 = make_manifest.uses_utf8_urls(document)
    counts = {mirror: dict.fromkeys(COLUMNS, 0) for mirror in mirrors}
    problems = []
    for number, mirror in enumerate(mirrors, 1):
        keys, missing = sorted(files), []
        for at, key in enumerate(keys):
            bar.next_check(f"mirror {number}/{len(mirrors)}: {key}")
            column, detail, down = check_file(mirror, key, files[key], timeout, bar.add_bytes, utf8)
            if down:
                # The other files would say the same: a down URL is said once.
                counts[mirror]["failed"] += len(keys) - at
                problems.append(f"{mirror}: no answer ({detail}); its {len(keys)} files count as failed")
                break
            counts[mirror][column] += 1
            if column != "ok":
                problems.append(f"{mirror}: {key}: {column} ({detail})")
            if column == "missing":
                missing.append(key)
        hint = encoding_hint(mirror, missing, utf8)
        if hint:
            problems.append(hint)
    bar.finish()
    return counts, problems


def table(counts):
    """The summary: one row per mirror, one column per outcome."""
    width = max([len("mirror")] + [len(mirror) for mirror in counts])
    lines = ["mirror".ljust(width) + "".join(f"  {column:>12}" for column in COLUMNS)]
    for mirror, row in counts.items():
        lines.append(mirror.ljust(width) + "".join(f"  {row[column]:>12}" for column in COLUMNS))
    return "\n".join(lines)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="check_mirrors.py",
        description="Requests every file of MANIFEST from every mirror, as the engine would, "
                    "and compares its size and SHA-256 with the manifest.")
    parser.add_argument("manifest", metavar="MANIFEST", help="the manifest: a file or an http(s) URL")
    parser.add_argument("--mirror", metavar="URL", action="append",
                        help="check this base URL instead of the manifest's mirrors (repeatable)")
    parser.add_argument("--manifest-url", metavar="URL", action="append", default=[],
                        help="a manifest URL the setup program is given: it must serve MANIFEST "
                             "byte for byte (repeatable)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT_S,
                        help=f"seconds a request may wait for data (default {DEFAULT_TIMEOUT_S})")
    parser.add_argument("--trust", metavar="KEYS",
                        help="check the manifest's signature under these \"|\"-separated public keys "
                             "(base64 DER), as the engine's verified start does")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_arguments(argv)
    try:
        keys = trusted_keys(args.trust) if args.trust is not None else None
        document, raw, duplicates = read_manifest(args.manifest, args.timeout)
    except (ManifestUnreadable, ValueError) as error:
        print(f"check_mirrors: error: {error}", file=sys.stderr)
        return 2
    for name in duplicates:
        print(duplicate_warning(name), file=sys.stderr)
    trust_problems = []
    if keys is not None:
        report, trust_problems = signature_problems(args.manifest, raw, document, keys, args.timeout)
        for problem in trust_problems:
            print(problem)
        print(report)
    mirrors = args.mirror or manifest_mirrors(document)
    if not mirrors:
        print("check_mirrors: error: the manifest names no mirror (cdn_list or cdn)", file=sys.stderr)
        return 2
    files = document["files"]
    total_bytes = len(mirrors) * sum(expected(entry)[0] or 0 for entry in files.values())
    bar = ProgressBar(sys.stderr, len(mirrors) * len(files), total_bytes)
    manifest_problems = check_manifest_urls(args.manifest_url, raw, args.timeout)
    counts, problems = check_mirrors(document, mirrors, args.timeout, bar)
    for problem in manifest_problems + problems:
        print(problem)
    print(table(counts))
    serving = sum(1 for row in counts.values() if row["ok"] == len(files))
    print(f"{serving} of {len(mirrors)} mirrors serve all {len(files)} files")
    if args.manifest_url:
        print(f"{len(args.manifest_url) - len(manifest_problems)} of {len(args.manifest_url)} "
              "manifest URLs serve this manifest")
    return 0 if serving == len(mirrors) and not manifest_problems and not trust_problems else 1


if __name__ == "__main__":
    sys.exit(main())
