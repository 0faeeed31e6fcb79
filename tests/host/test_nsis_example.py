"""The NSIS example (examples/nsis/tolvek_setup.nsi), built with makensis for
products served by tools/mirror_server.py and run silently (/S) under Wine, in
both bitnesses: the 64-bit setup with the 64-bit DLL under the 64-bit Wine, the
x86 one (Target x86-unicode) with the 32-bit DLL under the 32-bit Wine. Exit
code 0 with every byte in place, 1 when the product's mirror is broken; the log
goes to the temporary directory, never into the target.
Built with MANIFEST_KEYS it installs a signed product only under the
publisher's key.

The checks of a silent install are shared with the Inno Setup example
(test_inno_example.py): SilentSetupChecks.

Environment: TOLVEK_ENGINE_DLL and TOLVEK_ENGINE_DLL_X86 (the built DLLs),
TOLVEK_SOURCE_DIR.
"""

import filecmp
import getpass
import os
import shutil
import subprocess
import tempfile
import unittest

from test_install_host import (SOURCE_DIR, WINE, MirrorServer, refused_port, wine_environment, windows_path,
                               write_tree)

import make_manifest

ENGINE_DLL = os.environ.get("TOLVEK_ENGINE_DLL", "")
ENGINE_DLL_X86 = os.environ.get("TOLVEK_ENGINE_DLL_X86", "")
SCRIPT = os.path.join(SOURCE_DIR, "examples", "nsis", "tolvek_setup.nsi")
WINE32 = os.path.join(SOURCE_DIR, "scripts", "wine32.sh")
PRODUCT = {
    "bin/game.exe": os.urandom(700_000),
    "data/caf\u00e9/menu.txt": "Menu du jour".encode("utf-8"),
    "empty.cfg": b"",
    "unins000.exe": b"the setup program's own uninstaller",
}
PROTECTED = "unins000.exe"
# Distinct per run: the examples' default log is named after the product.
PRODUCT_NAME = f"Tolvek setup test {os.getpid()}"


class Build:
    """One bitness: the engine, the makensis target, how a program of that
    bitness runs, and the Wine prefix it runs in."""

    def __init__(self, engine, target, runner, prefix):
        self.engine, self.target, self.runner, self.prefix = engine, target, runner, prefix

    def temp_directory(self):
        return os.path.join(self.prefix, "drive_c", "users", getpass.getuser(), "Temp")


X64 = Build(ENGINE_DLL, "amd64-unicode", [WINE], os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")))
# scripts/wine32.sh runs 32-bit programs in a prefix of their own.
X86 = Build(ENGINE_DLL_X86, "x86-unicode", [WINE32],
            os.environ.get("TOLVEK_WINE32_PREFIX", os.path.expanduser("~/.wine32")))


def x86_unrunnable():
    """Why this machine runs no 32-bit programs, as wine32.sh says it; empty where it runs them."""
    done = subprocess.run([WINE32, "--check"], capture_output=True, text=True)
    return done.stderr.strip() if done.returncode == 77 else ""


X86_UNRUNNABLE = x86_unrunnable()


def publish(root, mirror):
    write_tree(root, PRODUCT)
    manifest, _ = make_manifest.build_manifest(root, [mirror])
    make_manifest.write_atomically(os.path.join(root, "manifest.json"), make_manifest.manifest_text(manifest))


def sign_published(root, key_path):
    """manifest.json.sig beside the published manifest, as make_manifest.py --sign writes it."""
    with open(os.path.join(root, "manifest.json"), "rb") as f:
        manifest = f.read()
    make_manifest.write_atomically(os.path.join(root, "manifest.json.sig"),
                                   make_manifest.signature_file(manifest, [key_path]))


def make_key(path):
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path],
                   check=True, capture_output=True)
    return path


class SilentSetupChecks:
    """A setup program's silent mode: every byte, nothing downloaded twice, a
    broken mirror fails it with the advice for the user. A test class sets BUILD
    and FAILED_EXIT_CODE and defines build_setup(manifest_url, output, engine),
    run_silently(setup, target, *switches) and setup_advice() (the setup's own
    message for the failure)."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tolvek-setup-")
        www = os.path.join(cls.scratch, "www")
        os.makedirs(www)
        cls.server = MirrorServer(www, cls.scratch)
        cls.good = os.path.join(www, "good")
        publish(cls.good, cls.server.url + "/good")
        cls.refused = refused_port()
        publish(os.path.join(www, "broken"), f"http://127.0.0.1:{cls.refused.getsockname()[1]}/broken")
        cls.log = os.path.join(cls.BUILD.temp_directory(), PRODUCT_NAME + " setup.log")
        cls.installers = {}
        for product in ("good", "broken"):
            cls.installers[product] = os.path.join(cls.scratch, f"{product}-installer.exe")
            cls.build_setup(f"{cls.server.url}/{product}/manifest.json", cls.installers[product], cls.BUILD.engine)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.refused.close()
        shutil.rmtree(cls.scratch)

    def setUp(self):
        self.server.control("reset")
        if os.path.exists(self.log):
            os.remove(self.log)
        self.addCleanup(lambda: os.path.exists(self.log) and os.remove(self.log))
        # No blank in the target: NSIS reads /D= only unquoted, as the last argument.
        self.target = tempfile.mkdtemp(prefix="target-", dir=self.scratch)

    def log_lines_as_written(self):
        with open(self.log, "rb") as f:
            return [line for line in f.read().decode("utf-8").split("\r\n") if line]

    def log_lines(self):
        """The engine's lines without their time stamps (the setup's own have none)."""
        return [line[22:] for line in self.log_lines_as_written() if line.startswith("[")]

    def test_silent_install_exits_0_with_every_byte_in_place(self):
        self.assertEqual(self.run_silently(self.installers["good"], self.target), 0, self.log_lines())
        for key in PRODUCT:
            if key != PROTECTED:
                installed = os.path.join(self.target, *key.split("/"))
                self.assertTrue(filecmp.cmp(os.path.join(self.good, key), installed, shallow=False), key)
        self.assertEqual(sorted(os.listdir(self.target)), ["bin", "data", "empty.cfg"])
        self.assertEqual(self.log_lines()[-1], "Online installation completed successfully")
        self.assertIn("Target directory: " + windows_path(self.target), self.log_lines())

        self.server.control("reset")
        self.assertEqual(self.run_silently(self.installers["good"], self.target), 0)
        fetched = [r["path"] for r in self.server.control("requests")
                   if r["method"] == "GET" and not r["path"].endswith("/manifest.json")]
        self.assertEqual(fetched, [], "the second run downloaded files again")

    def test_broken_mirror_fails_the_setup_and_installs_nothing(self):
        self.assertEqual(self.run_silently(self.installers["broken"], self.target), self.FAILED_EXIT_CODE)
        last = self.log_lines()[-1]
        self.assertTrue(last.startswith("ERROR: NETWORK_UNREACHABLE: All CDN mirrors failed for bin/game.exe "),
                        last)
        self.assertEqual(self.setup_advice(), "Check your connection and run setup again.")
        installed = [name for _, _, names in os.walk(self.target) for name in names]
        self.assertEqual(installed, [])


def makensis(manifest_url, output, engine, target, keys=None):
    trust = [f"-DMANIFEST_KEYS={keys}"] if keys else []
    done = subprocess.run(["makensis", "-V2", f"-DMANIFEST_URLS={manifest_url}", f"-DPRODUCT_NAME={PRODUCT_NAME}",
                           f"-DTARGET={target}", f"-DENGINE_DLL={engine}", f"-DOUTFILE={output}", *trust, SCRIPT],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("makensis failed:\n" + done.stdout + done.stderr)


@unittest.skipUnless(ENGINE_DLL, "TOLVEK_ENGINE_DLL is not set")
class NsisExample(SilentSetupChecks, unittest.TestCase):
    BUILD = X64
    FAILED_EXIT_CODE = 1

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A module without the engine's exports: a test program of the same bitness beside the DLL.
        cls.installers["no-engine"] = os.path.join(cls.scratch, "no-engine-installer.exe")
        cls.build_setup(f"{cls.server.url}/good/manifest.json", cls.installers["no-engine"],
                        os.path.join(os.path.dirname(cls.BUILD.engine), "header_check_c.exe"))
        # The good product signed by its publisher; one setup trusts that key, one another.
        publisher = make_key(os.path.join(cls.scratch, "publisher.pem"))
        stranger = make_key(os.path.join(cls.scratch, "stranger.pem"))
        sign_published(cls.good, publisher)
        for name, key in (("trusting", publisher), ("distrusting", stranger)):
            cls.installers[name] = os.path.join(cls.scratch, f"{name}-installer.exe")
            cls.build_setup(f"{cls.server.url}/good/manifest.json", cls.installers[name], cls.BUILD.engine,
                            keys=make_manifest.trusted_key(key))

    @classmethod
    def build_setup(cls, manifest_url, output, engine, keys=None):
        makensis(manifest_url, output, engine, cls.BUILD.target, keys)

    def run_silently(self, installer, target, *switches):
        # No pipes: a process the setup starts (the Wine desktop) may hold them open.
        return subprocess.run([*self.BUILD.runner, installer, "/S", *switches, "/D=" + windows_path(target)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_environment(),
                              timeout=120).returncode

    def setup_advice(self):
        """Silent, the setup adds its message to the engine's log."""
        (advice,) = [line[len("Setup failed: "):] for line in self.log_lines_as_written()
                     if line.startswith("Setup failed: ")]
        return advice

    def test_broken_mirror_advice_in_german(self):
        self.assertEqual(self.run_silently(self.installers["broken"], self.target, "/L=1031"), 1)
        self.assertEqual(self.setup_advice(), "Prüfen Sie Ihre Internetverbindung und führen Sie Setup erneut aus.")

    def test_signed_product_installs_only_under_the_publishers_key(self):
        self.assertEqual(self.run_silently(self.installers["trusting"], self.target), 0, self.log_lines())
        self.assertIn("Manifest signature verified with trusted key 1/1", self.log_lines())
        self.assertEqual(sorted(os.listdir(self.target)), ["bin", "data", "empty.cfg", "tolvek_installed_version.txt"])

        other = tempfile.mkdtemp(prefix="target-", dir=self.scratch)
        self.server.control("reset")
        self.assertEqual(self.run_silently(self.installers["distrusting"], other), 1)
        self.assertEqual(self.log_lines()[-1], "ERROR: Manifest signature not valid")
        self.assertEqual(os.listdir(other), [])
        fetched = [r["path"] for r in self.server.control("requests")]
        self.assertEqual(fetched, ["/good/manifest.json", "/good/manifest.json.sig"])

    def test_unusable_engine_exits_1_without_a_request(self):
        self.assertEqual(self.run_silently(self.installers["no-engine"], self.target), 1)
        self.assertEqual(self.log_lines_as_written()[-1], "Setup failed before the install started: "
                         "tolvek_online_installer.dll lacks the export StartOnlineInstall")
        self.assertEqual(self.server.control("requests"), [])
        self.assertEqual(os.listdir(self.target), [])


@unittest.skipUnless(ENGINE_DLL_X86, "TOLVEK_ENGINE_DLL_X86 is not set")
@unittest.skipIf(X86_UNRUNNABLE, X86_UNRUNNABLE)
class NsisExampleX86(NsisExample):
    BUILD = X86


if __name__ == "__main__":
    unittest.main()
