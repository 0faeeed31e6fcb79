"""The NSIS example (examples/nsis/tolvek_setup.nsi), built with makensis for
products served by tools/mirror_server.py and run silently (/S) under Wine:
exit code 0 with every byte in place, 1 when the product's mirror is broken;
the log goes to the temporary directory, never into the target. Built with
MANIFEST_KEYS it installs a signed product only under the publisher's key.

Environment: TOLVEK_ENGINE_DLL (the built DLL), TOLVEK_SOURCE_DIR.
"""

import filecmp
import getpass
import os
import shutil
import subprocess
import tempfile
import unittest

from test_install_host import (SOURCE_DIR, WINE, MirrorServer, free_port, wine_environment, windows_path,
                               write_tree)

import make_manifest

ENGINE_DLL = os.environ.get("TOLVEK_ENGINE_DLL", "")
SCRIPT = os.path.join(SOURCE_DIR, "examples", "nsis", "tolvek_setup.nsi")
PRODUCT = {
    "bin/game.exe": os.urandom(700_000),
    "data/caf\u00e9/menu.txt": "Menu du jour".encode("utf-8"),
    "empty.cfg": b"",
    "unins000.exe": b"the setup program's own uninstaller",
}
PROTECTED = "unins000.exe"
# Distinct per run: the example's default log is named after the product.
PRODUCT_NAME = f"Tolvek NSIS test {os.getpid()}"


def wine_temp_directory():
    prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
    return os.path.join(prefix, "drive_c", "users", getpass.getuser(), "Temp")


def publish(root, mirror, signing_key=None):
    write_tree(root, PRODUCT)
    manifest, _ = make_manifest.build_manifest(root, [mirror])
    text = make_manifest.manifest_text(manifest)
    make_manifest.write_atomically(os.path.join(root, "manifest.json"), text)
    if signing_key:
        make_manifest.write_atomically(os.path.join(root, "manifest.json.sig"),
                                       make_manifest.signature_file(text.encode("utf-8"), [signing_key]))


def make_key(path):
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path],
                   check=True, capture_output=True)
    return path


def build_installer(manifest_url, output, engine=ENGINE_DLL, keys=None):
    trust = [f"-DMANIFEST_KEYS={keys}"] if keys else []
    done = subprocess.run(["makensis", "-V2", f"-DMANIFEST_URLS={manifest_url}", f"-DPRODUCT_NAME={PRODUCT_NAME}",
                           f"-DENGINE_DLL={engine}", f"-DOUTFILE={output}", *trust, SCRIPT],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("makensis failed:\n" + done.stdout + done.stderr)


def run_silently(installer, target):
    return subprocess.run([WINE, installer, "/S", "/D=" + windows_path(target)], capture_output=True,
                          env=wine_environment(), timeout=120).returncode


@unittest.skipUnless(ENGINE_DLL, "TOLVEK_ENGINE_DLL is not set")
class NsisExample(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tolvek-nsis-")
        www = os.path.join(cls.scratch, "www")
        os.makedirs(www)
        cls.server = MirrorServer(www, cls.scratch)
        cls.good = os.path.join(www, "good")
        publisher = make_key(os.path.join(cls.scratch, "publisher.pem"))
        stranger = make_key(os.path.join(cls.scratch, "stranger.pem"))
        publish(cls.good, cls.server.url + "/good", signing_key=publisher)
        publish(os.path.join(www, "broken"), f"http://127.0.0.1:{free_port()}/broken")
        cls.log = os.path.join(wine_temp_directory(), PRODUCT_NAME + " setup.log")
        cls.installers = {}
        for product in ("good", "broken"):
            cls.installers[product] = os.path.join(cls.scratch, f"{product}-installer.exe")
            build_installer(f"{cls.server.url}/{product}/manifest.json", cls.installers[product])
        for name, key in (("trusting", publisher), ("distrusting", stranger)):
            cls.installers[name] = os.path.join(cls.scratch, f"{name}-installer.exe")
            build_installer(f"{cls.server.url}/good/manifest.json", cls.installers[name],
                            keys=make_manifest.trusted_key(key))
        # A module without the engine's exports: the reference host beside the DLL.
        cls.installers["no-engine"] = os.path.join(cls.scratch, "no-engine-installer.exe")
        build_installer(f"{cls.server.url}/good/manifest.json", cls.installers["no-engine"],
                        engine=os.path.join(os.path.dirname(ENGINE_DLL), "tolvek-install.exe"))

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.scratch)

    def setUp(self):
        self.server.control("reset")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.addCleanup(lambda: os.path.exists(self.log) and os.remove(self.log))
        # NSIS reads /D= only unquoted, as the last argument, so the path has no blank.
        self.target = tempfile.mkdtemp(prefix="target-", dir=self.scratch)

    def log_lines_as_written(self):
        with open(self.log, "rb") as f:
            return [line for line in f.read().decode("cp1252").split("\r\n") if line]

    def log_lines(self):
        """The engine's lines without their time stamps."""
        return [line[22:] for line in self.log_lines_as_written()]

    def test_silent_install_exits_0_with_every_byte_in_place(self):
        self.assertEqual(run_silently(self.installers["good"], self.target), 0, self.log_lines())
        for key in PRODUCT:
            if key != PROTECTED:
                installed = os.path.join(self.target, *key.split("/"))
                self.assertTrue(filecmp.cmp(os.path.join(self.good, key), installed, shallow=False), key)
        self.assertEqual(sorted(os.listdir(self.target)), ["bin", "data", "empty.cfg"])
        self.assertEqual(self.log_lines()[-1], "Online installation completed successfully")
        self.assertIn("Target directory: " + windows_path(self.target), self.log_lines())

        self.server.control("reset")
        self.assertEqual(run_silently(self.installers["good"], self.target), 0)
        fetched = [r["path"] for r in self.server.control("requests")
                   if r["method"] == "GET" and not r["path"].endswith("/manifest.json")]
        self.assertEqual(fetched, [], "the second run downloaded files again")

    def test_broken_mirror_exits_1_and_installs_nothing(self):
        self.assertEqual(run_silently(self.installers["broken"], self.target), 1)
        last = self.log_lines()[-1]
        self.assertTrue(last.startswith("ERROR: NETWORK_UNREACHABLE: All CDN mirrors failed for bin/game.exe "),
                        last)
        installed = [name for _, _, names in os.walk(self.target) for name in names]
        self.assertEqual(installed, [])

    def test_signed_product_installs_only_under_the_publishers_key(self):
        self.assertEqual(run_silently(self.installers["trusting"], self.target), 0, self.log_lines())
        self.assertIn("Manifest signature verified with trusted key 1/1", self.log_lines())
        self.assertEqual(sorted(os.listdir(self.target)), ["bin", "data", "empty.cfg"])

        other = tempfile.mkdtemp(prefix="target-", dir=self.scratch)
        self.server.control("reset")
        self.assertEqual(run_silently(self.installers["distrusting"], other), 1)
        self.assertEqual(self.log_lines()[-1], "ERROR: Manifest signature not valid")
        self.assertEqual(os.listdir(other), [])
        fetched = [r["path"] for r in self.server.control("requests")]
        self.assertEqual(fetched, ["/good/manifest.json", "/good/manifest.json.sig"])

    def test_unusable_engine_exits_1_without_a_request(self):
        self.assertEqual(run_silently(self.installers["no-engine"], self.target), 1)
        self.assertEqual(self.log_lines_as_written()[-1], "Setup failed before the install started: "
                         "tolvek_online_installer.dll lacks the export StartOnlineInstall")
        self.assertEqual(self.server.control("requests"), [])
        self.assertEqual(os.listdir(self.target), [])


if __name__ == "__main__":
    unittest.main()
