"""Tests of check_mirrors.py against tools/mirror_server.py: a good, a stale and a
half-synced mirror of one product, and a mirror that refuses connections."""

import contextlib
import io
import json
import os
import shutil
import socket
import subprocess
import tempfile
import unittest

import check_mirrors
import make_manifest
from mirror_server import MirrorServer, refused_port

PRODUCT = {
    "bin/app.exe": os.urandom(600_000),
    "caf\u00e9/\u00dcber.txt": b"Latin-1 name",
    # Only characters above U+00FF: a UTF-8 file system server finds it (a mix with Latin-1 needs --publish).
    "\u0141\u0119g/100% done.txt": b"a name above U+00FF",
    "empty.cfg": b"",
    "readme.txt": b"read me",
}


def write_tree(root, files):
    for key, content in files.items():
        path = os.path.join(root, *key.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


class TtyBuffer(io.StringIO):
    def isatty(self):
        return True


class CheckMirrors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="check-mirrors-")
        www = os.path.join(cls.scratch, "www")
        product = os.path.join(cls.scratch, "product")
        write_tree(product, PRODUCT)
        # mirror_server.py stores names in UTF-8 and reads %E9 as é, so one tree serves every mirror.
        write_tree(os.path.join(www, "good"), PRODUCT)
        write_tree(os.path.join(www, "stale"), {**PRODUCT, "readme.txt": b"READ ME", "empty.cfg": b"old"})
        write_tree(os.path.join(www, "half"), {"bin/app.exe": PRODUCT["bin/app.exe"], "readme.txt": b"read me"})
        cls.server = MirrorServer(www)
        cls.server.start()
        cls.mirrors = {name: f"{cls.server.url}/{name}" for name in ("good", "stale", "half")}
        cls.refused = refused_port()
        cls.mirrors["refused"] = f"http://127.0.0.1:{cls.refused.getsockname()[1]}/gone"
        cls.document, _ = make_manifest.build_manifest(product, list(cls.mirrors.values()))
        cls.manifest = os.path.join(cls.scratch, "manifest.json")
        make_manifest.write_atomically(cls.manifest, make_manifest.manifest_text(cls.document))

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.refused.close()
        shutil.rmtree(cls.scratch)

    def run_tool(self, *argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = check_mirrors.main(list(argv))
        return code, out.getvalue().splitlines(), err.getvalue()

    def test_table_counts_every_outcome_per_mirror(self):
        bar = check_mirrors.ProgressBar(io.StringIO(), 0, 0)
        counts, problems = check_mirrors.check_mirrors(self.document, list(self.mirrors.values()), 5, bar)
        rows = {  # missing, wrong size, wrong digest, failed, ok
            "good": (0, 0, 0, 0, 5),
            "stale": (0, 1, 1, 0, 3),
            "half": (3, 0, 0, 0, 2),
            "refused": (0, 0, 0, 5, 0),
        }
        for name, row in rows.items():
            got = tuple(counts[self.mirrors[name]][column] for column in check_mirrors.COLUMNS)
            self.assertEqual(got, row, name)
        stale = self.mirrors["stale"]
        self.assertIn(f"{stale}: empty.cfg: wrong size (expected 0 bytes, got more than 0)", problems)
        self.assertIn(f"{stale}: readme.txt: wrong digest (expected SHA-256 "
                      f"{self.document['files']['readme.txt']['hash']}, got ", "\n".join(problems))
        self.assertIn(f"{self.mirrors['half']}: caf\u00e9/\u00dcber.txt: missing (HTTP status 404)", problems)
        self.assertIn(f"{self.mirrors['half']}: 2 of the missing files have names beyond ASCII, requested under "
                      'their UTF-8 bytes ("url_encoding": "utf-8")', "\n".join(problems))

    def test_files_are_requested_under_the_engines_urls(self):
        good = self.mirrors["good"]
        before = len(self.server.requests())
        code, _, _ = self.run_tool(self.manifest, "--mirror", good + "/")
        self.assertEqual(code, 0)
        paths = sorted(r["path"] for r in self.server.requests()[before:])
        self.assertEqual(paths, ["/good/%C5%81%C4%99g/100%25%20done.txt", "/good/bin/app.exe",
                                 "/good/caf%C3%A9/%C3%9Cber.txt", "/good/empty.cfg", "/good/readme.txt"])

    def test_exit_code_and_report(self):
        code, out, err = self.run_tool(self.manifest)
        self.assertEqual((code, err), (1, ""))
        self.assertEqual(out[-1], "1 of 4 mirrors serve all 5 files")
        header = out[-6].split()
        self.assertEqual(header, ["mirror", "missing", "wrong", "size", "wrong", "digest", "failed", "ok"])
        self.assertEqual(out[-5].split(), [self.mirrors["good"], "0", "0", "0", "0", "5"])
        refused = [line for line in out if line.startswith(self.mirrors["refused"] + ": ")]
        self.assertEqual(len(refused), 1, "a down URL is said once")
        self.assertRegex(refused[0], r": no answer \(.*\); its 5 files count as failed$")

        code, out, _ = self.run_tool(self.manifest, "--mirror", self.mirrors["good"])
        self.assertEqual((code, out[-1]), (0, "1 of 1 mirrors serve all 5 files"))

    def test_manifest_urls_must_serve_the_local_manifest_byte_for_byte(self):
        www = os.path.join(self.scratch, "www")
        with open(self.manifest, "rb") as f:
            local = f.read()
        with open(os.path.join(www, "good", "manifest.json"), "wb") as f:
            f.write(local)
        with open(os.path.join(www, "stale", "manifest.json"), "wb") as f:
            f.write(local.replace(b'"version": 1,', b'"version": 2,'))
        urls = {name: self.mirrors[name] + "/manifest.json" for name in self.mirrors}
        changed = local.index(b'"version": ') + len('"version": ')
        rows = {  # half: no manifest there (404); refused: no server
            "good": None,
            "stale": f"differs from the local manifest from byte {changed} on ({len(local)} bytes, not {len(local)})",
            "half": "failed (HTTP status 404)",
            "refused": "failed (",
        }
        argv = [self.manifest, "--mirror", self.mirrors["good"]]
        for url in urls.values():
            argv += ["--manifest-url", url]
        code, out, _ = self.run_tool(*argv)
        self.assertEqual(code, 1)
        self.assertEqual(out[-2:], ["1 of 1 mirrors serve all 5 files", "1 of 4 manifest URLs serve this manifest"])
        for name, problem in rows.items():
            lines = [line for line in out if line.startswith(f"{urls[name]}: manifest ")]
            if problem is None:
                self.assertEqual(lines, [], name)
            else:
                self.assertEqual(len(lines), 1, name)
                self.assertTrue(lines[0].startswith(f"{urls[name]}: manifest {problem}"), lines[0])

        code, out, _ = self.run_tool(self.manifest, "--mirror", self.mirrors["good"], "--manifest-url", urls["good"])
        self.assertEqual((code, out[-1]), (0, "1 of 1 manifest URLs serve this manifest"))

    def test_a_repeated_key_is_checked_as_the_engine_installs_it_and_said(self):
        readme = self.document["files"]["readme.txt"]
        wrong = '{"size": 3, "hash": "%s"}' % ("0" * 64)
        good = '{"size": %d, "hash": "%s"}' % (readme["size"], readme["hash"])
        # The engine installs the first entry: the check verifies that one.
        for entries, code in ((good + ', "readme.txt": ' + wrong, 0), (wrong + ', "readme.txt": ' + good, 1)):
            path = os.path.join(self.scratch, "repeated.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write('{"files": {"readme.txt": ' + entries + '}}')
            got, out, err = self.run_tool(path, "--mirror", self.mirrors["good"])
            self.assertEqual(got, code, out)
            self.assertIn("warning: the manifest repeats the member 'readme.txt' in one object; "
                          "the engine reads the first", err)

    def test_unreadable_manifest_is_a_usage_error(self):
        broken = os.path.join(self.scratch, "broken.json")
        for content in (b"{", b'{"cdn_list": []}', b'{"files": {}}'):
            with open(broken, "wb") as f:
                f.write(content)
            code, _, err = self.run_tool(broken)
            self.assertEqual(code, 2, content)
            self.assertIn("check_mirrors: error: ", err)

    def test_manifest_by_url_and_progress_bar_on_a_terminal(self):
        shutil.copy(self.manifest, os.path.join(self.scratch, "www", "good", "manifest.json"))
        tty = TtyBuffer()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(tty):
            code = check_mirrors.main([self.mirrors["good"] + "/manifest.json", "--mirror", self.mirrors["good"]])
        self.assertEqual(code, 0)
        self.assertIn("\r[" + "#" * check_mirrors.BAR_WIDTH + "] 5/5 ", tty.getvalue())
        self.assertTrue(tty.getvalue().endswith("\r"), "the bar is not cleared at the end")


class SignatureCheck(unittest.TestCase):
    """--trust: the signature file beside a manifest served by the good mirror, checked by openssl."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="check-signature-")
        cls.www = os.path.join(cls.scratch, "www")
        write_tree(os.path.join(cls.www, "good"), PRODUCT)
        cls.server = MirrorServer(cls.www)
        cls.server.start()
        cls.keys, cls.public = {}, {}
        for name in ("new", "other"):
            cls.keys[name] = os.path.join(cls.scratch, name + ".pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                            "-out", cls.keys[name]], check=True, capture_output=True)
            cls.public[name] = make_manifest.trusted_key(cls.keys[name])
        product = os.path.join(cls.scratch, "product")
        write_tree(product, PRODUCT)
        cls.document, _ = make_manifest.build_manifest(product, [f"{cls.server.url}/good"])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.scratch)

    def publish(self, name, document, signer="new", tamper=b""):
        """The manifest as a file and as a URL, signed by `signer` (None: no signature file)."""
        data = make_manifest.manifest_text(document).encode("utf-8")
        path = os.path.join(self.www, "good", name)
        with open(path, "wb") as f:
            f.write(data + tamper)
        if signer:
            with open(path + ".sig", "w", encoding="ascii") as f:
                f.write(make_manifest.signature_file(data, [self.keys[signer]]))
        return path, f"{self.server.url}/good/{name}"

    def run_tool(self, *argv):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = check_mirrors.main(list(argv))
        return code, out.getvalue(), err.getvalue()

    def test_signature_rows(self):
        unhashed = json.loads(json.dumps(self.document))
        del unhashed["files"]["readme.txt"]["hash"]
        expired = {**self.document, "expires": "2020-01-01T00:00:00Z"}
        later = {**self.document, "expires": "2099-01-01T00:00:00Z"}
        odd = {**self.document, "expires": "2099-01-01"}
        rows = [  # name, document, signer, tamper, trusted keys, by URL, exit code, text in the output
            ("good", self.document, "new", b"", "new", False, 0, "signature: verified with trusted key 1/1"),
            ("good by URL", self.document, "new", b"", "new", True, 0, "signature: verified with trusted key 1/1"),
            ("second key", self.document, "new", b"", "other|new", False, 0,
             "signature: verified with trusted key 2/2"),
            ("another key", self.document, "other", b"", "new", False, 1, "signature: not valid"),
            ("tampered", self.document, "new", b" ", "new", True, 1, "no line verifies the manifest"),
            ("no signature file", self.document, None, b"", "new", True, 1, "cannot read the signature file"),
            ("expired", expired, "new", b"", "new", False, 1, "the manifest expired: 2020-01-01T00:00:00Z"),
            ("expires later", later, "new", b"", "new", False, 0, "signature: verified"),
            ("expiry not understood", odd, "new", b"", "new", False, 1,
             "the manifest's expiry is not understood: \"2099-01-01\""),
            ("a file without its hash", unhashed, "new", b"", "new", False, 1,
             "readme.txt: no size or hash, which a signed manifest must give"),
        ]
        for number, (name, document, signer, tamper, trusted, by_url, exit_code, text) in enumerate(rows):
            path, url = self.publish(f"manifest{number}.json", document, signer, tamper)
            keys = "|".join(self.public[key] for key in trusted.split("|"))
            code, out, err = self.run_tool(url if by_url else path, "--trust", keys)
            self.assertEqual((code, err), (exit_code, ""), f"{name}: {out}")
            self.assertIn(text, out, name)

    def test_invalid_trusted_keys_are_a_usage_error(self):
        path, _ = self.publish("keys.json", self.document)
        cut = self.public["new"][:40]
        for keys, shown in (("nope", "nope"), ("", ""), (self.public["new"] + "|" + cut, cut),
                            (self.public["new"] + " ", self.public["new"] + " ")):
            code, _, err = self.run_tool(path, "--trust", keys)
            self.assertEqual(code, 2, keys)
            self.assertIn(f"check_mirrors: error: invalid trusted key: {shown}\n", err)

    def test_signature_lines_are_read_as_the_engine_reads_them(self):
        file = b"\xef\xbb\xbf" + b"a \t\r\n\r\n \tb\r\r\nc d\n\xef\xbb\xbfe\n"
        self.assertEqual(check_mirrors.signature_lines(file), [b"a", b"b", b"c d", b"\xef\xbb\xbfe"])

    def test_the_signature_is_where_the_engine_looks(self):
        rows = [("m.json", "m.json.sig"), ("http://h/m.json?v=2", "http://h/m.json.sig?v=2"),
                ("http://h/m.json#a?b", "http://h/m.json.sig#a?b"), ("http://h", "http://h/.sig"),
                ("https://h?x=/y", "https://h/.sig?x=/y")]
        for source, signature in rows:
            self.assertEqual(check_mirrors.signature_source(source), signature, source)


if __name__ == "__main__":
    unittest.main()
