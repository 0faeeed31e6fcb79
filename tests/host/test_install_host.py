"""tolvek-install.exe under Wine against real mirror servers on 127.0.0.1: the
DLL installs byte for byte what make_manifest.py describes; usage errors,
unusable DLLs, network failures and Ctrl+C end with the documented exit codes.

Environment: TOLVEK_HOST_EXE (the built tolvek-install.exe), TOLVEK_SOURCE_DIR.
"""

import filecmp
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HOST_EXE = os.environ.get("TOLVEK_HOST_EXE", "")
SOURCE_DIR = os.environ.get("TOLVEK_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
WINE = "/usr/lib/wine/wine64"
WINE_PREFIX = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
TOOLS = os.path.join(SOURCE_DIR, "tools")
SERVER_START_LIMIT_S = 30

sys.path.insert(0, TOOLS)
import make_manifest  # noqa: E402  (the builder under test, from tools/)
from mirror_server import refused_port  # noqa: E402

PRODUCT = {
    "readme.txt": b"Tolvek test product\r\n",
    "empty.cfg": b"",
    "bin/app.exe": os.urandom(300_000),
    "data/levels/level 1.dat": os.urandom(40_000),
    "data/big.pak": os.urandom(2 * 1024 * 1024 + 5),
    "data/100%+#&=;,.bin": b"reserved URL characters in the name",
    "data/caf\u00e9 cr\u00e8me/\u00dcber.txt": "Latin-1 names".encode("utf-8"),
    "unins000.exe": b"the setup program's uninstaller: never installed",
}
PROTECTED = "unins000.exe"


def windows_path(path):
    """The path as Wine's Z: drive shows a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_environment():
    env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy")}
    env["WINEDEBUG"] = "-all"
    return env


def write_tree(root, files):
    for key, content in files.items():
        path = os.path.join(root, *key.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def free_port():
    """A port that is free now, for a server about to listen on it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MirrorServer:
    """tools/mirror_server.py serving one directory, stopped by close()."""

    def __init__(self, root, scratch):
        port_file = os.path.join(scratch, f"port-{id(self)}")
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(TOOLS, "mirror_server.py"), "--root", root, "--port", "0",
             "--port-file", port_file], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + SERVER_START_LIMIT_S
        while not os.path.exists(port_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the mirror server did not start")
            time.sleep(0.05)
        with open(port_file) as f:
            self.url = f"http://127.0.0.1:{int(f.read())}"

    def control(self, action, body=None):
        """GET /__control/requests; POST the other actions, with `body` as JSON."""
        data = None if action == "requests" else json.dumps(body).encode("utf-8")
        with urllib.request.urlopen(f"{self.url}/__control/{action}", data=data) as answer:
            return json.loads(answer.read().decode("utf-8") or "null")

    def close(self):
        self.process.terminate()
        self.process.wait()


def run_host(*args, exe=None):
    """Runs the host to its end; (exit code, stdout lines, stderr text)."""
    done = subprocess.run([WINE, exe or HOST_EXE, *args], capture_output=True, env=wine_environment())
    return done.returncode, done.stdout.decode("utf-8").splitlines(), done.stderr.decode("utf-8")


@unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
class HostInstalls(unittest.TestCase):
    """One product, published with the builder, served by one mirror."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tolvek-host-")
        cls.published = os.path.join(cls.scratch, "published")
        write_tree(cls.published, PRODUCT)
        cls.server = MirrorServer(cls.published, cls.scratch)
        cls.manifest_url = cls.server.url + "/manifest.json"
        manifest, _ = make_manifest.build_manifest(cls.published, [cls.server.url + "/"])
        make_manifest.write_atomically(os.path.join(cls.published, "manifest.json"),
                                       make_manifest.manifest_text(manifest))
        # The publisher's key signs it; a stranger's key is trusted by nobody.
        cls.keys = {}
        for name in ("publisher", "stranger"):
            path = os.path.join(cls.scratch, name + ".pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                            "-out", path], check=True, capture_output=True)
            cls.keys[name] = make_manifest.trusted_key(path)
        make_manifest.write_atomically(
            os.path.join(cls.published, "manifest.json.sig"),
            make_manifest.signature_file(make_manifest.manifest_text(manifest).encode("utf-8"),
                                         [os.path.join(cls.scratch, "publisher.pem")]))

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.scratch)

    def setUp(self):
        self.server.control("reset")
        self.work = tempfile.mkdtemp(dir=self.scratch)
        self.target = os.path.join(self.work, "target")

    def log_lines(self, path):
        with open(path, "rb") as f:
            # Lines of older engines that share the default log may be in another encoding.
            return [line[22:] for line in f.read().decode("utf-8", "replace").split("\r\n") if line]

    def default_log(self, out):
        """The log path the host announced, as a Linux path; it must lie in Wine's temporary directory."""
        (shown,) = [line[len("Log:      "):] for line in out if line.startswith("Log:      ")]
        self.assertTrue(shown.lower().endswith("\\temp\\tolvek-install.log"), shown)
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        return os.path.join(prefix, "drive_c", *shown[3:].split("\\"))

    def fetched_product_files(self):
        return [r["decoded_path"] for r in self.server.control("requests")
                if r["method"] == "GET" and r["decoded_path"] not in ("/manifest.json", "/manifest.json.sig")]

    def test_installs_what_the_builder_describes_then_skips_it_all(self):
        os.makedirs(self.target)
        with open(os.path.join(self.target, PROTECTED), "wb") as f:
            f.write(b"installed by setup")

        code, out, err = run_host(self.manifest_url, windows_path(self.target))
        self.assertEqual((code, err), (0, ""), out)
        self.assertEqual(out[-1], "Result: 0 OK")
        self.assertRegex(out[-2], r"^Detail: kind=NONE platform=0 http=0 files=8/8 skipped=1 bytes=(\d+)/\1 ")
        self.assertRegex(out[-3], r"^\[ *\d+\.\d%\] Completed 8/8 ")
        for key, content in PRODUCT.items():
            if key != PROTECTED:
                installed = os.path.join(self.target, *key.split("/"))
                self.assertTrue(filecmp.cmp(os.path.join(self.published, key), installed, shallow=False), key)
        with open(os.path.join(self.target, PROTECTED), "rb") as f:
            self.assertEqual(f.read(), b"installed by setup")
        expected_names = {key.split("/")[0] for key in PRODUCT}
        self.assertEqual(set(os.listdir(self.target)), expected_names)
        # Other runs may share the default log: this run's lines follow its own opening line.
        log = self.log_lines(self.default_log(out))
        target_line = "Target directory: " + windows_path(self.target)
        log = log[len(log) - 1 - log[::-1].index(target_line):]
        self.assertIn("Skipped protected installer artifact: " + PROTECTED, log)
        self.assertIn("Online installation completed successfully", log)

        self.server.control("reset")
        code, out, _ = run_host(self.manifest_url, windows_path(self.target))
        self.assertEqual((code, out[-1]), (0, "Result: 0 OK"))
        self.assertEqual(self.fetched_product_files(), [], "the second run downloaded files again")
        log = self.log_lines(self.default_log(out))
        log = log[len(log) - 1 - log[::-1].index("Target directory: " + windows_path(self.target)):]
        skipped = [line for line in log if line.startswith("Already valid, skipped: ")]
        self.assertEqual(len(skipped), len(PRODUCT) - 1)

    def test_explicit_log_and_working_directory(self):
        log = os.path.join(self.work, "logs", "setup.log")
        working = os.path.join(self.work, "download")
        code, out, _ = run_host(self.manifest_url, windows_path(self.target), windows_path(log),
                                windows_path(working))
        self.assertEqual(code, 0, out)
        self.assertIn("Log:      " + windows_path(log), out)
        self.assertEqual(self.log_lines(log)[-1], "Online installation completed successfully")
        self.assertNotIn("tolvek-install.log", os.listdir(self.target))
        self.assertEqual(os.listdir(working), [])

    def test_unreachable_manifest_is_a_network_failure(self):
        with refused_port() as refused:
            code, out, _ = run_host(f"http://127.0.0.1:{refused.getsockname()[1]}/manifest.json",
                                    windows_path(self.target))
        self.assertEqual(code, 1)
        self.assertTrue(out[-1].startswith("Result: 1 NETWORK_UNREACHABLE: "), out[-1])
        self.assertTrue(out[-2].startswith("Detail: kind=MANIFEST_UNREACHABLE platform=12029 "), out[-2])

    def test_failure_text_with_latin1_key_arrives_as_utf8(self):
        missing = "data/caf\u00e9 cr\u00e8me/\u00dcber.txt"
        self.server.control("rules", [{"path_glob": "*ber.txt", "status": 404}])
        code, out, _ = run_host(self.manifest_url, windows_path(self.target))
        self.assertEqual(code, 1)
        self.assertIn(f"All CDN mirrors failed for {missing} ", out[-1])

    def test_trust_starts_the_verified_install(self):
        rows = [  # trusted keys, exit code, last line
            (self.keys["publisher"], 0, "Result: 0 OK"),
            (self.keys["stranger"] + "|" + self.keys["publisher"], 0, "Result: 0 OK"),
            (self.keys["stranger"], 1, "Result: 1 Manifest signature not valid"),
            ("nope", 1, "Result: 1 Invalid trusted key: nope"),
        ]
        for keys, exit_code, last in rows:
            self.server.control("reset")
            target = tempfile.mkdtemp(dir=self.work)
            code, out, err = run_host("--trust", keys, self.manifest_url, windows_path(target))
            self.assertEqual((code, err, out[-1]), (exit_code, "", last), keys)
            paths = [r["decoded_path"] for r in self.server.control("requests")]
            self.assertEqual("/manifest.json.sig" in paths, keys != "nope", keys)
            if exit_code:
                self.assertEqual((self.fetched_product_files(), os.listdir(target)), ([], []), keys)
        # Without --trust nothing asks for the signature.
        self.server.control("reset")
        self.assertEqual(run_host(self.manifest_url, windows_path(self.target))[0], 0)
        self.assertNotIn("/manifest.json.sig", [r["decoded_path"] for r in self.server.control("requests")])

    def start_slow_install(self, target):
        """A host whose run is transferring data/big.pak, slowly; (process, its lines so far).
        The transfer takes about 50 s, so the test's runs beside it end first on a loaded machine."""
        self.server.control("rules", [{"path": "/data/big.pak", "drip": True, "drip_bytes": 4096,
                                       "drip_interval_ms": 100}])
        host = subprocess.Popen([WINE, HOST_EXE, self.manifest_url, windows_path(target)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=wine_environment())

        def stop():
            host.kill()
            host.wait()
            host.stdout.close()
            host.stderr.close()
        self.addCleanup(stop)
        lines = []
        for raw in host.stdout:
            lines.append(raw.decode("utf-8").rstrip("\n"))
            if "data/big.pak" in lines[-1] and "Downloading" in lines[-1]:
                break
        return host, lines

    def test_links_planted_in_the_target_lead_nowhere_outside_it(self):
        """Temporary files planted as links (to a user's file outside, to none yet) are replaced,
        never written, deleted or created through; a folder linked out of the target is refused."""
        outside, saved = os.path.join(self.work, "outside"), b"a user's file outside the target"
        write_tree(outside, {"saved.game": saved})
        for link, to in (("bin/app.exe.download", "saved.game"), ("data/big.pak.download", "new.bin")):
            os.makedirs(os.path.dirname(os.path.join(self.target, link)), exist_ok=True)
            os.symlink(os.path.join(outside, to), os.path.join(self.target, link))
        # The big file breaks off half-way: the next run continues what the first kept.
        self.server.control("rules", [{"path": "/data/big.pak", "drop_at_byte": 1048576, "times": 1},
                                      {"path": "/data/big.pak", "status": 503}])
        self.assertEqual(run_host(self.manifest_url, windows_path(self.target))[0], 1)
        self.server.control("rules", [])
        # Files after the failed one may be in place already (several are in transfer at once).
        shutil.rmtree(os.path.join(self.target, "data", "levels"), ignore_errors=True)
        os.symlink(outside, os.path.join(self.target, "data", "levels"))
        code, out, _ = run_host(self.manifest_url, windows_path(self.target))
        self.assertEqual((code, out[-1]), (1, "Result: 1 File path escapes target directory: data/levels/level 1.dat"))
        with open(os.path.join(outside, "saved.game"), "rb") as f:
            self.assertEqual((os.listdir(outside), f.read()), (["saved.game"], saved))
        for key in ("bin/app.exe", "data/big.pak"):
            self.assertTrue(filecmp.cmp(os.path.join(self.published, key), os.path.join(self.target, key), False), key)

    def test_ctrl_c_cancels_and_waits_for_the_end(self):
        host, lines = self.start_slow_install(self.target)
        host.send_signal(signal.SIGINT)
        lines += host.stdout.read().decode("utf-8").splitlines()
        host.stdout.close()
        host.stderr.close()
        self.assertEqual(host.wait(), 1, lines)
        self.assertIn("Cancelling...", lines)
        self.assertEqual(lines[-1], "Result: 1 Cancelled by user")
        self.assertFalse(os.path.exists(os.path.join(self.target, "data", "big.pak")))
        self.assertFalse(os.path.exists(os.path.join(self.target, "data", "big.pak.download")))

    def test_one_run_per_target_until_the_first_ends_or_dies(self):
        busy = "Another installation into this target directory is running"
        for ending in (signal.SIGINT, signal.SIGKILL):
            with self.subTest(ending=ending.name):
                self.server.control("reset")
                target = os.path.join(self.work, ending.name, "target")
                alias, drives = os.path.join(self.work, ending.name, "alias"), os.path.join(WINE_PREFIX, "dosdevices")
                os.makedirs(target)
                os.symlink(target, alias)
                # A drive letter of the test's own, there before the first run: Wine names a folder by the deepest.
                drive = next(d + ":" for d in "yxwvutsrqp" if not os.path.lexists(os.path.join(drives, d + ":")))
                os.symlink(target, os.path.join(drives, drive))
                self.addCleanup(os.remove, os.path.join(drives, drive))
                first, _ = self.start_slow_install(target)
                # Other letter case, a link, another drive letter (the host's full path would drop
                # trailing dots; unit_tests try the other spellings on the lock itself).
                for spelling in (windows_path(target).upper(), windows_path(alias), drive.upper() + "\\"):
                    log = os.path.join(self.work, ending.name + ".log")
                    code, out, _ = run_host(self.manifest_url, spelling, windows_path(log))
                    self.assertEqual((code, out[-1]), (1, "Result: 1 " + busy), out)
                    self.assertEqual(self.log_lines(log)[-2:], ["Target directory: " + spelling, "ERROR: " + busy])
                manifests = [r for r in self.server.control("requests") if r["path"] == "/manifest.json"]
                self.assertEqual(len(manifests), 1, "the refused run requested the manifest")

                first.send_signal(ending)
                first.wait()
                self.server.control("rules", [])
                code, out, _ = run_host(self.manifest_url, windows_path(target))
                self.assertEqual((code, out[-1]), (0, "Result: 0 OK"), out)


@unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
class HostRefuses(unittest.TestCase):
    def test_usage_errors_exit_2_with_the_usage_text(self):
        rows = [
            ((), "expected 2 to 4 arguments, got 0"),
            (("http://127.0.0.1/m.json",), "expected 2 to 4 arguments, got 1"),
            (("http://a/m", "C:\\t", "l", "w", "extra"), "expected 2 to 4 arguments, got 5"),
            (("ftp://127.0.0.1/m.json", "C:\\t"), "not an http:// or https:// URL: ftp://127.0.0.1/m.json"),
            (("|http://a/m|nothing", "C:\\t"), "not an http:// or https:// URL: nothing"),
            (("||", "C:\\t"), "no manifest URL given"),
            (("http://a/m", ""), "the target directory is empty"),
            (("--target", "C:\\t"), "unknown option: --target"),
            (("--trust",), "--trust needs a list of keys"),
            (("--option", "parallel"), "--option needs NAME=VALUE, got parallel"),
            (("--proxy-user", "anne", "--proxy"), "--proxy needs a value"),
            (("--trust", "k", "http://a/m"), "expected 2 to 4 arguments, got 1"),
            (("http://a/m", "C:\\t", "--trust", "k"), "unknown option: --trust"),
        ]
        for args, message in rows:
            code, out, err = run_host(*args)
            self.assertEqual((code, out), (2, []), args)
            self.assertIn(f"tolvek-install: {message}\n", err, args)
            self.assertIn("usage: tolvek-install [--trust KEYS] [--option NAME=VALUE]... <manifest-url-list>", err, args)

    def test_help_is_not_an_error(self):
        code, out, err = run_host("--help")
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out[0].startswith("usage: tolvek-install"))

    def test_unusable_dll_exits_2_naming_the_problem(self):
        with tempfile.TemporaryDirectory() as alone:
            exe = shutil.copy(HOST_EXE, alone)
            code, _, err = run_host("http://127.0.0.1:1/m.json", "C:\\t", exe=exe)
            self.assertEqual(code, 2)
            self.assertIn("cannot load", err)
            self.assertIn("tolvek_online_installer.dll", err)
            # A module without the engine's exports: the host program itself.
            shutil.copy(HOST_EXE, os.path.join(alone, "tolvek_online_installer.dll"))
            code, _, err = run_host("http://127.0.0.1:1/m.json", "C:\\t", exe=exe)
            self.assertEqual(code, 2)
            self.assertIn("the DLL lacks the export StartOnlineInstall", err)


if __name__ == "__main__":
    unittest.main()
