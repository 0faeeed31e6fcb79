"""Tests of make_manifest.py: the name rules against the table of vectors the
engine's tests read too, then whole directories turned into manifest files through
the command line."""

import base64
import contextlib
import datetime
import glob
import hashlib
import io
import json
import os
import stat
import subprocess
import tempfile
import unittest
import urllib.parse

import make_manifest

EMPTY_SHA256 = "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"
ABC_SHA256 = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"
RULE_VECTORS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "vectors",
                            "path_rules.tsv")
ESCAPES = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}
TOOL_RULES = {"path": make_manifest.engine_rejection, "windows": make_manifest.windows_rejection,
              "url": make_manifest.url_rejection}


def decode_field(field):
    """The text of one field: the escapes \\\\, \\t, \\n, \\r and \\uXXXX (one UTF-16 unit)
    decoded, a pair of surrogate units joined into one character."""
    out, i = [], 0
    while i < len(field):
        if field[i] != "\\":
            out.append(field[i])
            i += 1
        elif field[i + 1:i + 2] in ESCAPES:
            out.append(ESCAPES[field[i + 1]])
            i += 2
        elif field[i + 1:i + 2] == "u" and len(field[i + 2:i + 6]) == 4 and \
                all(c in "0123456789abcdefABCDEF" for c in field[i + 2:i + 6]):
            out.append(chr(int(field[i + 2:i + 6], 16)))
            i += 6
        else:
            raise ValueError(f"unknown escape at {field[i:i + 6]!r}")
    return "".join(out).encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


def rule_vectors():
    """The table's rows as (name, fields): the name gives the file, the line and the key."""
    with open(RULE_VECTORS, encoding="utf-8", newline="") as f:
        lines = [(number, line.rstrip("\n")) for number, line in enumerate(f, 1)]
    table = [(number, line.split("\t")) for number, line in lines if line and not line.startswith("#")]
    (_, columns), rows = table[0], table[1:]
    for number, fields in rows:
        if len(fields) != len(columns):
            raise ValueError(f"path_rules.tsv:{number}: {len(fields)} fields, {len(columns)} columns")
        row = dict(zip(columns, map(decode_field, fields)))
        yield f"path_rules.tsv:{number} key {row['key']!r}", row


def query_start(url):
    """Where a URL's query or fragment begins; its length when it has neither."""
    return min([i for i in (url.find("?"), url.find("#")) if i >= 0], default=len(url))


class NameRules(unittest.TestCase):
    def test_the_table_is_read_whole(self):
        self.assertGreater(len(list(rule_vectors())), 100)
        self.assertEqual(decode_field("a\\\\b\\t\\u00e9\\uD83D\\uDE00\\uD800"), "a\\b\t\u00e9\U0001F600\ud800")
        with self.assertRaises(ValueError):
            decode_field("a\\x41")

    def test_publishing_refuses_what_the_table_says(self):
        for name, row in rule_vectors():
            refused = {rule for rule, reason in TOOL_RULES.items() if reason(row["key"]) is not None}
            listed = set() if row["tools_refuse"] == "-" else set(row["tools_refuse"].split(","))
            self.assertEqual(refused, listed, name)
            self.assertEqual(make_manifest.key_problem(row["key"]) is None, not listed, name)
            self.assertIn(row["engine_path"], ("accept", "refuse"), name)
            if row["engine_path"] == "refuse":
                self.assertTrue(listed, f"{name}: the tools would publish a key the engine refuses")

    def test_engine_rule_reasons_name_the_cause(self):
        rows = [("", "empty"), ("/x", "absolute"), ("a/../b", ".."), ("C:x", ":")]
        for key, word in rows:
            self.assertIn(word, make_manifest.engine_rejection(key), f"key {key!r}")

    def test_protected_installer_artifacts(self):
        for name, row in rule_vectors():
            self.assertIn(row["tools_protected"], ("yes", "no"), name)
            self.assertEqual(make_manifest.is_protected_installer_artifact(row["key"]),
                             row["tools_protected"] == "yes", name)
            # The two judgements differ only on names the tools refuse to publish.
            if row["tools_refuse"] == "-":
                self.assertEqual(row["tools_protected"], row["engine_protected"], name)

    def test_file_urls_and_published_names_are_the_engines(self):
        for name, row in rule_vectors():
            key, base, url = row["key"], row["base"], row["url"]
            if "url" in row["tools_refuse"].split(","):
                with self.assertRaises(ValueError, msg=name):
                    make_manifest.file_url(base, key)
                with self.assertRaises(ValueError, msg=name):
                    make_manifest.published_path("", key)
                continue
            self.assertEqual(make_manifest.file_url(base, key), url, name)
            # A mirror's file system holds the file under the bytes its URL path decodes
            # to; a query or fragment of the base URL follows the path.
            prefix = base[:query_start(base)].rstrip("/\\") + "/"
            self.assertTrue(url.startswith(prefix), name)
            path = url[len(prefix):]
            self.assertEqual(make_manifest.published_path("", key),
                             urllib.parse.unquote_to_bytes(path[:query_start(path)]), name)
            # "url_encoding": "utf-8": the path decodes to the UTF-8 names that --publish writes.
            utf8 = make_manifest.file_url(base, key, utf8=True)[len(prefix):]
            self.assertEqual(urllib.parse.unquote_to_bytes(utf8[:query_start(utf8)]),
                             "/".join(make_manifest.path_pieces(key)).encode("utf-8"), name)

    def test_manifest_documents_are_read_as_the_engine_reads_them(self):
        rows = [
            (b'{"files": {"a": 1, "b": 2}}', {"files": {"a": 1, "b": 2}}, []),
            (b'{"files": {"a": 1, "a": 2}}', {"files": {"a": 1}}, ["a"]),
            (b'{"files": {"a": {"size": 1, "size": 2}}, "files": {}}',
             {"files": {"a": {"size": 1}}}, ["size", "files"]),
            (b'\xef\xbb\xbf{"x": [{"k": 1, "k": 2}]}', {"x": [{"k": 1}]}, ["k"]),
        ]
        for raw, document, duplicates in rows:
            self.assertEqual(make_manifest.read_manifest_document(raw), (document, duplicates), raw)
        with self.assertRaises(ValueError):
            make_manifest.read_manifest_document(b"{")

    def test_published_names_are_the_requested_bytes(self):
        self.assertEqual(make_manifest.published_path("root", "caf\u00e9\\\u0141.txt"),
                         b"root/caf\xe9/\xc5\x81.txt")

    def test_names_sharing_a_file_or_a_url_clash(self):
        rows = [
            (["Readme.TXT", "README.txt"], "only in letter case"),
            (["app.bin", "App.bin.download"], "temporary file of this name"),
            (["\u0141", "\u00c5\u0081"], "same URL"),
            (["Tolvek_Installed_Version.txt"], "installed version"),
            (["tolvek_installed_version.TXT.download"], "installed version"),
        ]
        for keys, reason in rows:
            (problem,) = make_manifest.name_clashes(keys)
            self.assertIn(reason, problem, keys)
        self.assertEqual(make_manifest.name_clashes(["a.bin", "a.bin.part", "b.download",
                                                     "sub/tolvek_installed_version.txt"]), [])

    def test_case_folding_keeps_one_form_per_windows_name(self):
        self.assertEqual(make_manifest.fold_case("Caf\u00e9/Data.BIN"), make_manifest.fold_case("CAF\u00c9/data.bin"))
        self.assertNotEqual(make_manifest.fold_case("stra\u00dfe"), make_manifest.fold_case("strasse"))


class ProductDirectory:
    """A product directory and the tool run over it through its command line."""

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.scratch.name, "product")
        os.mkdir(self.root)
        self.output = os.path.join(self.scratch.name, "manifest.json")

    def tearDown(self):
        self.scratch.cleanup()

    def write(self, key, content=b""):
        path = os.path.join(self.root, *key.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def run_tool(self, *extra, mirrors=("http://127.0.0.1:8080/p",)):
        argv = [self.root, "--output", self.output, *extra]
        for mirror in mirrors:
            argv += ["--mirror", mirror]
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = make_manifest.main(argv)
        return code, out.getvalue(), err.getvalue()

    def read_manifest(self):
        with open(self.output, "rb") as f:
            return f.read()


class Directories(ProductDirectory, unittest.TestCase):
    def test_describes_every_file_with_size_and_digest(self):
        big = os.urandom(3 * make_manifest.HASH_BLOCK + 17)
        self.write("abc.txt", b"abc")
        self.write("empty")
        self.write("data/deep/big.bin", big)
        code, out, err = self.run_tool("--version", "14", "--version-string", "1.4.0",
                                       mirrors=["https://a.example/p/", "http://b.example/p"])
        self.assertEqual((code, err), (0, ""))
        self.assertIn(f"3 files, {len(big) + 3} bytes, 2 mirrors\nsetup defines: /DProductVersion=1.4.0 "
                      f"/DProductSize={len(big) + 3}\n", out)
        manifest = json.loads(self.read_manifest().decode("utf-8"))
        self.assertEqual(manifest["files"], {
            "abc.txt": {"size": 3, "hash": ABC_SHA256},
            "data/deep/big.bin": {"size": len(big), "hash": hashlib.sha256(big).hexdigest().upper()},
            "empty": {"size": 0, "hash": EMPTY_SHA256},
        })
        self.assertEqual(manifest["cdn_list"], ["https://a.example/p/", "http://b.example/p"])
        self.assertEqual((manifest["version"], manifest["version_string"], manifest["url_encoding"]),
                         (14, "1.4.0", "utf-8"))

    def test_text_is_utf8_without_escapes_and_keys_in_order(self):
        self.write("z.txt")
        self.write("B.txt")
        self.write("caf\u00e9/\u00c5.txt", b"x")
        self.assertEqual(self.run_tool()[0], 0)
        raw = self.read_manifest()
        self.assertFalse(raw.startswith(b"\xef\xbb\xbf"))
        self.assertIn("\"caf\u00e9/\u00c5.txt\"".encode("utf-8"), raw)
        self.assertNotIn(b"\\u", raw)
        keys = list(json.loads(raw.decode("utf-8"))["files"])
        self.assertEqual(keys, ["B.txt", "caf\u00e9/\u00c5.txt", "z.txt"])
        manifest = json.loads(raw.decode("utf-8"))
        self.assertEqual((manifest["version"], manifest["version_string"]), (1, "1"))

    def test_output_inside_the_directory_is_not_listed(self):
        self.write("a.txt", b"a")
        self.output = os.path.join(self.root, "manifest.json")
        self.assertEqual(self.run_tool()[0], 0)
        self.assertEqual(self.run_tool()[0], 0)  # a second run over the first manifest
        self.assertEqual(list(json.loads(self.read_manifest())["files"]), ["a.txt"])

    def test_protected_names_are_kept_with_a_warning(self):
        self.write("app.exe", b"app")
        self.write("unins000.exe", b"uninstaller")
        code, _, err = self.run_tool()
        self.assertEqual(code, 0)
        self.assertIn("warning: 'unins000.exe'", err)
        self.assertIn("skip", err)
        self.assertIn("unins000.exe", json.loads(self.read_manifest())["files"])

    def test_every_problem_is_listed_and_nothing_is_written(self):
        with open(self.output, "wb") as f:
            f.write(b"previous manifest")
        self.write("good.txt", b"ok")
        self.write("a:b.txt")
        self.write("\u0141\u00f3d\u017a.txt")  # publishable: the engine requests its UTF-8 bytes
        self.write("good.txt.download")
        self.write("what?.txt")
        self.write("Readme.TXT")
        self.write("README.txt")
        os.symlink(os.path.join(self.root, "nowhere"), os.path.join(self.root, "dangling"))
        code, out, err = self.run_tool(mirrors=["ftp://mirror.example/p"])
        self.assertEqual((code, out), (1, ""))
        expected = ["'a:b.txt'", "'good.txt.download'", "'what?.txt'", "only in letter case",
                    "dangling: not a regular file",
                    "mirror 'ftp://mirror.example/p'", "no manifest written"]
        for text in expected:
            self.assertIn(text, err)
        self.assertNotIn("error: 'good.txt':", err)
        self.assertNotIn("\u0141", err)
        self.assertEqual(self.read_manifest(), b"previous manifest")
        self.assertEqual([n for n in os.listdir(self.scratch.name) if n.startswith(".manifest-")], [])

    def test_publish_writes_the_mirror_tree_under_the_requested_bytes(self):
        files = {"bin/app.exe": b"app", "caf\u00e9/\u00dcber.txt": b"latin-1", "\u0141\u00f3d\u017a.txt": b"utf-8"}
        for key, content in files.items():
            self.write(key, content)
        tree = os.path.join(self.scratch.name, "mirror", "1.4")
        code, out, err = self.run_tool("--publish", tree, "--legacy-url-encoding")
        self.assertEqual(code, 0, err)
        self.assertIn("2 names with characters U+0080-U+00FF are stored under their Latin-1 bytes", err)
        stored = {}
        for folder, _, names in os.walk(os.fsencode(tree)):
            for name in names:
                with open(os.path.join(folder, name), "rb") as f:
                    stored[os.path.relpath(os.path.join(folder, name), os.fsencode(tree))] = f.read()
        self.assertEqual(stored, {b"bin/app.exe": b"app", b"caf\xe9/\xdcber.txt": b"latin-1",
                                  b"\xc5\x81\xf3d\xc5\xba.txt": b"utf-8",
                                  b"manifest.json": self.read_manifest()})

    def test_published_files_are_ordinary_files_under_the_umask(self):
        # A web server's workers are not the publisher: a 0600 manifest is answered with 403.
        self.write("bin/app.exe", b"app")
        for umask in (0o022, 0o027):
            tree = os.path.join(self.scratch.name, f"mirror-{umask:o}")
            previous = os.umask(umask)
            try:
                code, _, err = self.run_tool("--publish", tree)
            finally:
                os.umask(previous)
            self.assertEqual(code, 0, err)
            modes = {os.path.relpath(path, tree): stat.S_IMODE(os.stat(path).st_mode)
                     for path in (self.output, *glob.glob(os.path.join(tree, "**"), recursive=True))}
            self.assertEqual(modes, {os.path.relpath(self.output, tree): 0o666 & ~umask,
                                     ".": 0o777 & ~umask, "bin": 0o777 & ~umask,
                                     "bin/app.exe": 0o666 & ~umask, "manifest.json": 0o666 & ~umask}, f"{umask:o}")

    def test_publish_refuses_a_used_or_nested_tree_and_writes_nothing(self):
        self.write("a.txt", b"a")
        used = os.path.join(self.scratch.name, "used")
        os.mkdir(used)
        with open(os.path.join(used, "old.txt"), "wb"):
            pass
        for tree, reason in [(used, "not an empty directory"), (os.path.join(self.root, "out"), "inside the product")]:
            code, _, err = self.run_tool("--publish", tree)
            self.assertEqual(code, 1, tree)
            self.assertIn(reason, err)
            self.assertFalse(os.path.exists(self.output))
        self.assertEqual(os.listdir(used), ["old.txt"])

    def test_latin1_names_without_publish_say_what_to_do(self):
        self.write("caf\u00e9.txt", b"x")
        self.write("plain.txt", b"y")
        code, _, err = self.run_tool("--legacy-url-encoding")
        self.assertEqual(code, 0)
        self.assertIn("warning: 'caf\u00e9.txt': the engine requests", err)
        self.assertIn("--publish DIR", err)
        self.assertNotIn("plain.txt", err)

    def test_failed_write_leaves_no_temporary_file(self):
        self.write("a.txt", b"a")
        os.mkdir(self.output)  # the manifest cannot replace a directory
        code, _, err = self.run_tool()
        self.assertEqual(code, 1)
        self.assertIn("cannot write", err)
        self.assertEqual(sorted(os.listdir(self.scratch.name)), ["manifest.json", "product"])

    def test_name_that_is_not_utf8_is_refused(self):
        self.write("ok.txt")
        with open(os.path.join(os.fsencode(self.root), b"latin1-\xe9.txt"), "wb"):
            pass
        code, _, err = self.run_tool()
        self.assertEqual(code, 1)
        self.assertIn("not valid UTF-8", err)

    def test_directory_link_is_refused_rather_than_silently_left_out(self):
        self.write("real/a.txt", b"a")
        os.symlink(os.path.join(self.root, "real"), os.path.join(self.root, "alias"))
        code, _, err = self.run_tool()
        self.assertEqual(code, 1)
        self.assertIn("alias: a symbolic link to a directory", err)

    def test_missing_or_empty_directory_is_refused(self):
        os.mkdir(os.path.join(self.root, "only-a-folder"))
        code, _, err = self.run_tool()
        self.assertEqual(code, 1)
        self.assertIn("no files to publish", err)
        self.root = os.path.join(self.scratch.name, "missing")
        code, _, err = self.run_tool()
        self.assertEqual(code, 1)
        self.assertIn("missing: not a directory", err)
        self.assertFalse(os.path.exists(self.output))

    def test_mirror_and_output_are_required(self):
        self.write("a.txt")
        with contextlib.redirect_stderr(io.StringIO()) as err:
            with self.assertRaises(SystemExit) as exit_:
                make_manifest.main([self.root, "--output", self.output])
        self.assertEqual(exit_.exception.code, 2)
        self.assertIn("--mirror", err.getvalue())


def make_key(path, *options):
    subprocess.run(["openssl", "genpkey", "-out", path, *options], check=True, capture_output=True)
    return path


def verifies(data, signature, key):
    """openssl's own answer: does the DER `signature` of `data` hold under the private key's public half?"""
    with tempfile.TemporaryDirectory() as scratch:
        public, sig = os.path.join(scratch, "public.pem"), os.path.join(scratch, "sig.der")
        subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-out", public], check=True)
        with open(sig, "wb") as f:
            f.write(signature)
        return subprocess.run(["openssl", "dgst", "-sha256", "-verify", public, "-signature", sig],
                              input=data, capture_output=True).returncode == 0


class Signing(ProductDirectory, unittest.TestCase):
    def setUp(self):
        super().setUp()
        self.write("a.txt", b"a")
        keys = os.path.join(self.scratch.name, "keys")
        os.mkdir(keys)
        self.new = make_key(os.path.join(keys, "new.pem"), "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256")
        self.old = make_key(os.path.join(keys, "old.pem"), "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256")

    def signature_lines(self, path):
        with open(path, "rb") as f:
            text = f.read().decode("ascii")
        self.assertTrue(text.endswith("\n"))
        return [base64.b64decode(line, validate=True) for line in text.splitlines()]

    def test_one_line_per_key_beside_the_manifest_and_in_the_tree(self):
        tree = os.path.join(self.scratch.name, "tree")
        code, out, err = self.run_tool("--sign", self.new, "--sign", self.old, "--publish", tree)
        self.assertEqual((code, err), (0, ""))
        manifest = self.read_manifest()
        lines = self.signature_lines(self.output + ".sig")
        self.assertEqual(len(lines), 2)
        rows = [(lines[0], self.new, True), (lines[1], self.old, True), (lines[0], self.old, False),
                (lines[1], self.new, False)]
        for signature, key, holds in rows:
            self.assertEqual(verifies(manifest, signature, key), holds, key)
        self.assertFalse(verifies(manifest + b" ", lines[0], self.new))
        with open(os.path.join(tree, "manifest.json"), "rb") as f:
            self.assertEqual(f.read(), manifest)
        self.assertEqual(self.signature_lines(os.path.join(tree, "manifest.json.sig")), lines)
        for key in (self.new, self.old):
            der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                                 check=True, capture_output=True).stdout
            self.assertIn(f"signed with {key}, trusted key {base64.b64encode(der).decode()}", out)
        self.assertNotIn("expires", json.loads(manifest))

    def test_expires_is_signed_and_days_ahead_in_utc(self):
        before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        code, out, err = self.run_tool("--sign", self.new, "--expires", "30")
        self.assertEqual((code, err), (0, ""))
        manifest = self.read_manifest()
        expires = json.loads(manifest)["expires"]
        self.assertRegex(expires, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        moment = datetime.datetime.strptime(expires, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
        self.assertLessEqual(abs(moment - before - datetime.timedelta(days=30)), datetime.timedelta(minutes=1))
        self.assertTrue(verifies(manifest, self.signature_lines(self.output + ".sig")[0], self.new))
        self.assertIn(f"expires {expires}", out)

    def test_expires_without_sign_warns_that_it_counts_once_signed(self):
        code, _, err = self.run_tool("--expires", "7")
        self.assertEqual(code, 0)
        self.assertIn("warning: the expiry counts only once the manifest is signed", err)
        self.assertIn("expires", json.loads(self.read_manifest()))
        self.assertFalse(os.path.exists(self.output + ".sig"))

    def test_signature_beside_an_output_inside_the_product_is_not_listed(self):
        self.output = os.path.join(self.root, "manifest.json")
        for _ in range(2):
            self.assertEqual(self.run_tool("--sign", self.new)[0], 0)
        self.assertEqual(list(json.loads(self.read_manifest())["files"]), ["a.txt"])

    def test_refusals_write_nothing(self):
        p384 = make_key(os.path.join(self.scratch.name, "p384.pem"), "-algorithm", "EC", "-pkeyopt",
                        "ec_paramgen_curve:P-384")
        rsa = make_key(os.path.join(self.scratch.name, "rsa.pem"), "-algorithm", "RSA", "-pkeyopt",
                       "rsa_keygen_bits:1024")
        missing = os.path.join(self.scratch.name, "missing.pem")
        rows = [  # arguments, exit code, text on stderr
            (["--sign", self.new, "--expires", "0"], 2, "at least 1 day"),
            (["--sign", self.new, "--sign", p384], 1, "not an ECDSA P-256 (prime256v1) key"),
            (["--sign", rsa], 1, "not an ECDSA P-256 (prime256v1) key"),
            (["--sign", missing], 1, "openssl pkey failed"),
        ]
        for arguments, exit_code, text in rows:
            argv = [self.root, "--output", self.output, "--mirror", "http://127.0.0.1:8080/p", *arguments]
            err = io.StringIO()
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(err):
                try:
                    code = make_manifest.main(argv)
                except SystemExit as usage:  # a usage error
                    code = usage.code
            self.assertEqual(code, exit_code, arguments)
            self.assertIn(text, err.getvalue(), arguments)
            self.assertFalse(os.path.exists(self.output), arguments)
            self.assertFalse(os.path.exists(self.output + ".sig"), arguments)


if __name__ == "__main__":
    unittest.main()
