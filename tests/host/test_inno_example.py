"""The Inno Setup example (examples/inno/tolvek_setup.iss), compiled with the
32-bit DLL by the npm package's ISCC under the 32-bit Wine for products served by
tools/mirror_server.py, and run silently (/VERYSILENT /SUPPRESSMSGBOXES /DIR=)
under the 32-bit Wine on an Xvfb display (a silent Inno setup still makes its
windows): exit code 0 with every byte in place and nothing downloaded twice
(test_nsis_example.SilentSetupChecks), 7 (Setup stopped while preparing) when
the product's mirror is broken or the engine cannot be used.

Environment: TOLVEK_ENGINE_DLL and TOLVEK_ENGINE_DLL_X86 (the built DLLs),
TOLVEK_ISCC (ISCC.exe), TOLVEK_SOURCE_DIR.
"""

import getpass
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from test_install_host import SOURCE_DIR, wine_environment, windows_path
from test_nsis_example import ENGINE_DLL, PRODUCT_NAME, X86, X86_UNRUNNABLE, SilentSetupChecks

ISCC = os.environ.get("TOLVEK_ISCC", "")
SCRIPT = os.path.join(SOURCE_DIR, "examples", "inno", "tolvek_setup.iss")
# Setup's own code when PrepareToInstall refuses to go on.
EXIT_PREPARE_FAILED = 7
DISPLAY_START_LIMIT_S = 30


class Display:
    """Xvfb on a display it picks itself, stopped by close()."""

    def __init__(self, scratch):
        number_file = os.path.join(scratch, "display")
        with open(number_file, "w") as out:
            self.process = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "800x600x24",
                                             "-nolisten", "tcp"], stdout=out, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + DISPLAY_START_LIMIT_S
        number = ""
        while not number:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.05)
            with open(number_file) as f:
                number = f.read().strip()
        self.name = ":" + number

    def close(self):
        self.process.terminate()
        self.process.wait()


@unittest.skipUnless(ENGINE_DLL and X86.engine and ISCC,
                     "TOLVEK_ENGINE_DLL, TOLVEK_ENGINE_DLL_X86 or TOLVEK_ISCC is not set")
@unittest.skipIf(X86_UNRUNNABLE, X86_UNRUNNABLE)
class InnoExample(SilentSetupChecks, unittest.TestCase):
    BUILD = X86
    FAILED_EXIT_CODE = EXIT_PREPARE_FAILED

    @classmethod
    def setUpClass(cls):
        # Every program of the prefix sees the display, the compiler too: the
        # prefix's desktop takes the display of the program that starts it.
        cls.display_scratch = tempfile.mkdtemp(prefix="tolvek-xvfb-")
        cls.display = Display(cls.display_scratch)
        cls.env = dict(wine_environment(), DISPLAY=cls.display.name)
        super().setUpClass()
        # The likeliest mistake: the 64-bit engine in Inno's 32-bit setup.
        wrong = os.path.join(cls.scratch, "x64", "tolvek_online_installer.dll")
        os.makedirs(os.path.dirname(wrong))
        shutil.copy(ENGINE_DLL, wrong)
        cls.installers["x64-engine"] = os.path.join(cls.scratch, "x64-engine-installer.exe")
        cls.build_setup(f"{cls.server.url}/good/manifest.json", cls.installers["x64-engine"], wrong)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.display.close()
        shutil.rmtree(cls.display_scratch)

    @classmethod
    def build_setup(cls, manifest_url, output, engine):
        name = os.path.splitext(os.path.basename(output))[0]
        done = subprocess.run([*X86.runner, ISCC, "/Q", f"/DManifestUrls={manifest_url}",
                               f"/DProductName={PRODUCT_NAME}", f"/DEngineDll={windows_path(engine)}",
                               f"/O{windows_path(os.path.dirname(output))}", f"/F{name}", windows_path(SCRIPT)],
                              capture_output=True, text=True, env=cls.env)
        if done.returncode != 0:
            raise AssertionError("ISCC failed:\n" + done.stdout + done.stderr)

    def run_silently(self, installer, target, *switches):
        self.setup_log = os.path.join(self.scratch, "inno-setup.log")
        # Output to a file: Setup's second process may hold a pipe past the first's end.
        with open(os.path.join(self.scratch, "wine.out"), "wb") as out:
            return subprocess.run([*X86.runner, installer, "/VERYSILENT", "/SUPPRESSMSGBOXES", *switches,
                                   "/DIR=" + windows_path(target), "/LOG=" + windows_path(self.setup_log)],
                                  stdout=out, stderr=out, env=self.env, timeout=120).returncode

    def setup_log_text(self):
        with open(self.setup_log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def setup_advice(self):
        """The first line of the failure that Setup logs."""
        return re.search(r"Online installation failed: (.*)", self.setup_log_text()).group(1)

    def test_broken_mirror_in_german_shows_the_retry_advice_and_the_log(self):
        self.assertEqual(self.run_silently(self.installers["broken"], self.target, "/LANG=de"), EXIT_PREPARE_FAILED)
        self.assertEqual(self.setup_advice(), "Prüfen Sie Ihre Internetverbindung und führen Sie Setup erneut aus.")
        self.assertIn(f"Protokoll: C:\\users\\{getpass.getuser()}\\Temp\\{PRODUCT_NAME} setup.log",
                      self.setup_log_text())

    def test_the_64_bit_engine_fails_the_setup_without_a_request(self):
        self.assertEqual(self.run_silently(self.installers["x64-engine"], self.target), EXIT_PREPARE_FAILED)
        self.assertIn("Online installation failed: cannot use tolvek_online_installer.dll: ", self.setup_log_text())
        self.assertEqual(self.server.control("requests"), [])
        self.assertEqual(os.listdir(self.target), [])
        self.assertFalse(os.path.exists(self.log), "the engine ran")


if __name__ == "__main__":
    unittest.main()
