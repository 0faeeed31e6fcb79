#!/usr/bin/env python3
"""Builds the install manifest of a product directory for tolvek_online_installer.dll.

Every regular file below DIRECTORY becomes one member of "files": its path
relative to DIRECTORY with "/" separators, its size and its upper-case SHA-256
digest. The mirrors' base URLs become "cdn_list". The manifest is written as
UTF-8 JSON, atomically: on any problem nothing is written and every problem is
listed.

Names are refused when the engine would reject them, when Windows cannot store
them, or when two of them would name one file on Windows (letter case, a name
and its ".download" temporary).

The manifest says "url_encoding": "utf-8": the engine then requests every
character beyond ASCII as the escaped bytes of its UTF-8 form (é as %C3%A9), as
browsers do, so any server or object store holding the files under their UTF-8
names serves them (python3 -m http.server, nginx, S3). With --publish DIR the
mirror tree is written with every file under those names.

--legacy-url-encoding leaves the member out, for setup programs whose engine
predates it: the engine then requests a character up to U+00FF as one %XX
escape of its code (é as %E9) and only the characters above as UTF-8 (Ł as
%C5%81). --publish then stores every file under exactly those bytes, which
nginx and Apache serve as they are; servers and object stores that hold UTF-8
names cannot. Names that need this are reported.

Setup-uninstaller names (unins*.exe, unins*.dat, unins*.msg) are kept with a
warning: the engine never installs or overwrites them, it skips them.

With --sign KEY.pem (repeatable) the manifest is signed with each ECDSA P-256
key by the openssl command line, one base64 line per key in MANIFEST.sig beside
it (and in the --publish tree); a setup program that starts the engine with
StartOnlineInstallVerified and one of the keys' public halves accepts nothing
else. --expires DAYS writes "expires", after which the engine refuses the
signed manifest. The trusted-key text of each key is printed.

--version numbers the manifest. A verified install records the version it
installed and refuses a signed manifest of a lower one (an old manifest
replayed by a mirror or anyone on the path): give every publication a higher
number. To go back to an older build, publish its files again under a new,
higher version.

Exit status: 0 written, 1 refused (nothing written), 2 usage error.
"""

import argparse
import base64
import datetime
import hashlib
import json
import os
import secrets
import shlex
import shutil
import subprocess
import sys

HASH_BLOCK = 1024 * 1024
PROTECTED_PREFIX = "unins"
PROTECTED_EXTENSIONS = (".exe", ".dat", ".msg")
PROTECTED_MIN_LENGTH = 9
WINDOWS_FORBIDDEN = set('<>:"|?*\\')
# As the engine refuses them: some Windows versions read the superscripts as port digits.
RESERVED_DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    prefix + digit for prefix in ("COM", "LPT") for digit in "123456789\u00b9\u00b2\u00b3"}
URL_SCHEMES = ("http://", "https://")
URL_UNRESERVED = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")
LATIN1_LAST = 0xFF
URL_ENCODING = "url_encoding"
UTF8 = "utf-8"
TEMPORARY_SUFFIX = ".download"
# Where the engine records the installed version in the target directory, and its temporary file.
ENGINE_FILES = ("tolvek_installed_version.txt", "tolvek_installed_version.txt" + TEMPORARY_SUFFIX)
SIGNATURE_SUFFIX = ".sig"
EXPIRES_FORMAT = "%Y-%m-%dT%H:%M:%SZ"
# The DER SubjectPublicKeyInfo of every P-256 key up to its point: id-ecPublicKey,
# prime256v1, a bit string of 66 bytes without unused bits, the uncompressed form.
P256_KEY_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d03010703420004")
P256_KEY_LENGTH = len(P256_KEY_PREFIX) + 64


class ManifestError(Exception):
    """The directory cannot be published; `problems` lists every reason."""

    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = problems


def engine_rejection(key):
    """Why the engine refuses `key` as a relative path, or None when it accepts it."""
    path = key.replace("\\", "/")
    if not path:
        return "the path is empty"
    if path.startswith("/"):
        return "the path is absolute (begins with a separator)"
    if path == ".." or "/../" in path or path.startswith("../") or path.endswith("/.."):
        return 'the path has a ".." segment, which could leave the target directory'
    if ":" in path:
        return 'the path contains ":" (drive letters and alternate streams are refused)'
    return None


def windows_rejection(key):
    """Why Windows cannot hold a file under `key`, or None."""
    for segment in key.split("/"):
        bad = sorted({c for c in segment if c in WINDOWS_FORBIDDEN or ord(c) < 0x20})
        if bad:
            shown = " ".join(repr(c) for c in bad)
            return f"the name {segment!r} contains characters Windows forbids in file names: {shown}"
        if segment.endswith((" ", ".")):
            return f"the name {segment!r} ends with a blank or a dot, which Windows drops"
        if segment.split(".")[0].rstrip(" ").upper() in RESERVED_DEVICE_NAMES:
            return f"the name {segment!r} is a reserved Windows device name"
    return None


def path_pieces(key):
    """The key's path pieces as the engine splits it: at "/" and "\\", empty pieces dropped."""
    return [piece for piece in key.replace("\\", "/").split("/") if piece]


def request_bytes(piece, utf8=False):
    """The bytes the engine asks a mirror for: with `utf8` ("url_encoding": "utf-8")
    the name's UTF-8 bytes; without, one byte per character up to U+00FF (its
    Latin-1 code) and the UTF-8 bytes of every character above."""
    out = bytearray()
    for c in piece:
        code = ord(c)
        if code == 0 or 0xD800 <= code <= 0xDFFF:
            raise ValueError(f"U+{code:04X} cannot be part of a file URL")
        out += bytes([code]) if code <= LATIN1_LAST and not utf8 else c.encode("utf-8")
    return bytes(out)


def uses_utf8_urls(document):
    """True when the engine requests the manifest's names as UTF-8."""
    return document.get(URL_ENCODING) == UTF8


def percent_encode(raw):
    return "".join(chr(b) if b in URL_UNRESERVED else f"%{b:02X}" for b in raw)


def file_url(base_url, key, utf8=False):
    """The URL the engine requests for `key` from the mirror at `base_url`: the base's
    query and fragment (a signed URL's token) follow the file's path."""
    cut = min([i for i in (base_url.find("?"), base_url.find("#")) if i >= 0], default=len(base_url))
    path = "/".join(percent_encode(request_bytes(p, utf8)) for p in path_pieces(key))
    return base_url[:cut].rstrip("/\\") + "/" + path + base_url[cut:]


def read_manifest_document(raw):
    """A manifest's bytes read as the engine reads them, and the members it ignores.

    Of two members with one name in an object the engine keeps the first (Python's
    json keeps the last): the document returned keeps the first, and the list names
    every later one, e.g. 'files: "a.bin"'. Raises ValueError for text that is not
    JSON."""
    duplicates = []

    def first_wins(pairs):
        members = {}
        for name, value in pairs:
            if name in members:
                duplicates.append(name)
            else:
                members[name] = value
        return members

    return json.loads(raw.decode("utf-8-sig"), object_pairs_hook=first_wins), duplicates


def published_path(root, key, utf8=False):
    """Where --publish stores `key` below `root` (bytes, as the mirror's file system holds it)."""
    return os.path.join(os.fsencode(root), *(request_bytes(piece, utf8) for piece in path_pieces(key)))


def needs_byte_names(key):
    """True when a server storing the name in UTF-8 would not find the engine's request."""
    return any(0x80 <= ord(c) <= LATIN1_LAST for c in key)


def url_rejection(key):
    """Why the engine cannot build a URL for `key`, or None."""
    try:
        request_bytes(key)
    except ValueError as error:
        return f"{error}; the engine refuses the key"
    return None


def is_protected_installer_artifact(key):
    """True for the setup program's uninstaller files, which the engine skips."""
    name = key.replace("\\", "/").rsplit("/", 1)[-1]
    if len(name) < PROTECTED_MIN_LENGTH or name[:5].lower() != PROTECTED_PREFIX:
        return False
    dot = name.rfind(".")
    return dot >= 0 and name[dot:].lower() in PROTECTED_EXTENSIONS


def fold_case(key):
    """One upper-case form per name, as Windows compares names (no length changes)."""
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in key)


def key_problem(key):
    """The reason `key` cannot be published, or None."""
    if any(0xDC80 <= ord(c) <= 0xDCFF for c in key):
        return "the file name is not valid UTF-8"
    return engine_rejection(key) or windows_rejection(key) or url_rejection(key)


def name_clashes(keys, utf8=False):
    """Keys that would share one file on Windows, one URL on a mirror, or a file of the engine's own."""
    problems, folded, requested = [], {}, {}
    for key in sorted(keys):
        twin = folded.setdefault(fold_case(key), key)
        if twin != key:
            problems.append(f"{key!r}: differs from {twin!r} only in letter case; "
                            "Windows would store both in one file")
        same_url = requested.setdefault(published_path("", key, utf8), key)
        if same_url != key:
            problems.append(f"{key!r}: the engine requests it under the same URL as {same_url!r}")
    for key in sorted(keys):
        if fold_case(key) in map(fold_case, ENGINE_FILES):
            problems.append(f"{key!r}: the engine keeps the installed version under this name; rename it")
        owner = folded.get(fold_case(key[:-len(TEMPORARY_SUFFIX)])) if key.endswith(TEMPORARY_SUFFIX) else None
        if owner is not None:
            problems.append(f"{key!r}: the engine downloads {owner!r} into a temporary file of this "
                            "name; rename one of them")
    return problems


def list_files(directory, excluded):
    """The (key, path) pairs of every regular file below `directory`, and the problems found."""
    files, problems = [], []

    def walk_error(error):
        problems.append(f"{error.filename}: cannot read the directory: {error.strerror}")

    for folder, subfolders, names in os.walk(directory, onerror=walk_error):
        for name in sorted(subfolders):
            path = os.path.join(folder, name)
            if os.path.islink(path):
                problems.append(f"{os.path.relpath(path, directory)}: a symbolic link to a directory "
                                "is not followed; copy the directory instead")
        for name in names:
            path = os.path.join(folder, name)
            if os.path.realpath(path) in excluded:
                continue
            key = os.path.relpath(path, directory).replace(os.sep, "/")
            if not os.path.isfile(path):
                problems.append(f"{key}: not a regular file")
                continue
            files.append((key, path))
    return files, problems


def file_entry(path):
    """{"size", "hash"} of one file, read once."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while block := f.read(HASH_BLOCK):
            digest.update(block)
            size += len(block)
    return {"size": size, "hash": digest.hexdigest().upper()}


def build_manifest(directory, mirrors, version=1, version_string=None, excluded=(), utf8_urls=True):
    """The manifest document and its warnings; raises ManifestError with every problem.
    Without `utf8_urls` it has no "url_encoding" member: the legacy requests."""
    if not os.path.isdir(directory):
        raise ManifestError([f"{directory}: not a directory"])
    problems = [f"mirror {url!r}: not an http:// or https:// URL"
                for url in mirrors if not url.lower().startswith(URL_SCHEMES)]
    if not mirrors:
        problems.append("no mirror given: the engine needs at least one base URL")
    files, walk_problems = list_files(directory, {os.path.realpath(p) for p in excluded})
    problems += walk_problems

    entries, warnings = {}, []
    for key, path in sorted(files):
        reason = key_problem(key)
        if reason:
            problems.append(f"{key!r}: {reason}")
            continue
        if is_protected_installer_artifact(key):
            warnings.append(f"{key!r}: setup uninstaller files (unins*.exe/.dat/.msg) are never "
                            "installed; the engine will skip this entry")
        try:
            entries[key] = file_entry(path)
        except OSError as error:
            problems.append(f"{key!r}: cannot read the file: {error.strerror}")
    problems += name_clashes(entries, utf8_urls)
    if not files and not walk_problems:
        problems.append(f"{directory}: no files to publish (the engine refuses an empty file list)")
    if problems:
        raise ManifestError(problems)

    manifest = {"version": version,
                "version_string": str(version) if version_string is None else version_string}
    if utf8_urls:
        manifest[URL_ENCODING] = UTF8
    return {**manifest, "cdn_list": list(mirrors), "files": entries}, warnings


def manifest_text(manifest):
    """The JSON text: UTF-8 characters as they are, files in the engine's key order."""
    return json.dumps(manifest, ensure_ascii=False, indent=2) + "\n"


def create_temporary(folder):
    """A new file beside the output, as any file the user writes: a web server's
    unprivileged workers must read the published manifest, and copies keep its mode.
    (tempfile.mkstemp would make it 0600.)"""
    while True:
        temporary = os.path.join(folder, f".manifest-{secrets.token_hex(8)}.tmp")
        try:
            return os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), temporary
        except FileExistsError:
            continue


def write_atomically(path, text):
    """Writes `text` as UTF-8 through a temporary file, so a reader never sees half of it."""
    handle, temporary = create_temporary(os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def publish_tree(manifest, directory, root, manifest_name, signature=None):
    """Copies every file to `root` under the bytes the engine requests, then the manifest.

    `root` must be new or empty: a file left from an earlier version would be
    served as if it belonged to this one."""
    if os.path.realpath(root) == os.path.realpath(directory) or \
            os.path.realpath(root).startswith(os.path.realpath(directory) + os.sep):
        raise ManifestError([f"{root}: the mirror tree cannot lie inside the product directory"])
    if os.path.exists(root) and (not os.path.isdir(root) or os.listdir(root)):
        raise ManifestError([f"{root}: not an empty directory; publish each version into a new one"])
    for key in manifest["files"]:
        destination = published_path(root, key, uses_utf8_urls(manifest))
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        shutil.copyfile(os.path.join(directory, *key.split("/")), destination)
    write_atomically(os.path.join(root, manifest_name), manifest_text(manifest))
    if signature is not None:
        write_atomically(os.path.join(root, manifest_name + SIGNATURE_SUFFIX), signature)


def openssl(arguments, data=None):
    """The output of one openssl command; ManifestError with its complaint when it fails."""
    try:
        done = subprocess.run(["openssl", *arguments], input=data, capture_output=True, check=False)
    except OSError as error:
        raise ManifestError([f"cannot run openssl: {error.strerror}"])
    if done.returncode != 0:
        reason = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise ManifestError([f"openssl {arguments[0]} failed: {reason[0] if reason else 'no reason given'}"])
    return done.stdout


def trusted_key(key_path):
    """The base64 of the key's public DER SubjectPublicKeyInfo, as a setup program passes it."""
    der = openssl(["pkey", "-in", key_path, "-pubout", "-outform", "DER"])
    if len(der) != P256_KEY_LENGTH or not der.startswith(P256_KEY_PREFIX):
        raise ManifestError([f"{key_path}: not an ECDSA P-256 (prime256v1) key; make one with "
                             "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256"])
    return base64.b64encode(der).decode("ascii")


def sign(data, key_path):
    """The DER ECDSA signature with SHA-256 of `data`."""
    return openssl(["dgst", "-sha256", "-sign", key_path], data)


def signature_file(data, key_paths):
    """The signature file: one base64 line per key, in the order given."""
    return "".join(base64.b64encode(sign(data, key)).decode("ascii") + "\n" for key in key_paths)


def expiry(days, now=None):
    """The "expires" text DAYS after now (UTC)."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return (now + datetime.timedelta(days=days)).strftime(EXPIRES_FORMAT)


def byte_name_warnings(manifest, publishing):
    """What to do about names a server with UTF-8 file names would not find."""
    names = [] if uses_utf8_urls(manifest) else [key for key in manifest["files"] if needs_byte_names(key)]
    if publishing:
        return [f"{len(names)} names with characters U+0080-U+00FF are stored under their Latin-1 bytes, "
                "as the engine requests them; copy the tree to the mirrors as it is"] if names else []
    return [f"{key!r}: the engine requests its characters U+0080-U+00FF as one-byte escapes (\u00e9 as "
            "%E9), which servers holding UTF-8 file names do not find; publish with --publish DIR, "
            "which stores the file under those bytes, or leave out --legacy-url-encoding" for key in names]


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="make_manifest.py",
        description="Writes the install manifest for the files below DIRECTORY.",
        epilog="Example: make_manifest.py build/MyGame --mirror https://cdn1.example.com/mygame/1.4 "
               "--mirror https://cdn2.example.com/mygame/1.4 --version 14 --version-string 1.4.0 "
               "--output build/MyGame/manifest.json --publish build/mirror/mygame/1.4")
    parser.add_argument("directory", metavar="DIRECTORY", help="the product's files, as they are to be installed")
    parser.add_argument("--mirror", metavar="URL", action="append", required=True,
                        help="a mirror's base URL (repeatable; the order is the fallback order)")
    parser.add_argument("--output", "-o", metavar="FILE", required=True,
                        help="the manifest file to write; when it lies inside DIRECTORY it is not listed")
    parser.add_argument("--publish", metavar="DIR",
                        help="also write the mirror tree to DIR (new or empty): every file under the "
                             "name the engine requests, and the manifest; copy it to every mirror's base URL")
    parser.add_argument("--legacy-url-encoding", action="store_true",
                        help='leave out "url_encoding": "utf-8", for setup programs whose engine predates it: '
                             "names are then requested with one byte per character up to U+00FF, which "
                             "--publish stores as such and only byte-preserving servers (nginx, Apache) serve")
    parser.add_argument("--version", type=int, default=1,
                        help="the manifest's version number (default 1); a verified install refuses a lower "
                             "one than it installed: to go back, publish the old files under a higher number")
    parser.add_argument("--version-string", metavar="TEXT", help="its display form (default: the number)")
    parser.add_argument("--sign", metavar="KEY.pem", action="append", default=[],
                        help="sign the manifest with this ECDSA P-256 private key (repeatable: one "
                             "signature line per key, e.g. the new and the old key while rotating); "
                             "writes FILE.sig beside the manifest")
    parser.add_argument("--expires", metavar="DAYS", type=int,
                        help="the signed manifest is refused DAYS days from now (the engine reads it "
                             "only in a signed manifest: sign here with --sign or later with openssl)")
    args = parser.parse_args(argv)
    if args.expires is not None and args.expires < 1:
        parser.error("--expires needs at least 1 day")
    return args


def main(argv=None):
    args = parse_arguments(argv)
    signature_path = args.output + SIGNATURE_SUFFIX
    try:
        manifest, warnings = build_manifest(args.directory, args.mirror, args.version, args.version_string,
                                            excluded=[args.output, signature_path],
                                            utf8_urls=not args.legacy_url_encoding)
        if args.expires is not None:
            manifest["expires"] = expiry(args.expires)
        # Signed before anything is written: a key that fails leaves nothing behind.
        keys = [trusted_key(key) for key in args.sign]
        signature = signature_file(manifest_text(manifest).encode("utf-8"), args.sign) if args.sign else None
        if args.publish:
            publish_tree(manifest, args.directory, args.publish, os.path.basename(args.output), signature)
        write_atomically(args.output, manifest_text(manifest))
        if signature is not None:
            write_atomically(signature_path, signature)
    except ManifestError as error:
        for problem in error.problems:
            print(f"make_manifest: error: {problem}", file=sys.stderr)
        print("make_manifest: no manifest written", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"make_manifest: error: cannot write {error.filename or args.output}: {error.strerror}",
              file=sys.stderr)
        return 1
    if args.expires is not None and not args.sign:
        warnings.append("the expiry counts only once the manifest is signed: sign it with --sign, or on the "
                        "signing machine with openssl dgst -sha256 -sign KEY.pem, one base64 line per key in "
                        f"{os.path.basename(signature_path)}")
    for warning in warnings + byte_name_warnings(manifest, bool(args.publish)):
        print(f"make_manifest: warning: {warning}", file=sys.stderr)
    total = sum(entry["size"] for entry in manifest["files"].values())
    print(f"{args.output}: {len(manifest['files'])} files, {total} bytes, "
          f"{len(manifest['cdn_list'])} mirrors")
    # What the Inno Setup example shows as the product's version and the room it needs.
    print("setup defines: " + shlex.join([f"/DProductVersion={manifest['version_string']}",
                                          f"/DProductSize={total}"]))
    if args.publish:
        print(f"{args.publish}: the mirror tree, manifest included")
    for key_path, key in zip(args.sign, keys):
        print(f"{signature_path}: signed with {key_path}, trusted key {key}")
    if args.expires is not None:
        print(f"expires {manifest['expires']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
