"""The integration guide's samples work as printed: its builder commands run,
write exactly the manifest example it shows and publish the mirror tree; its NSIS
and Inno Setup excerpts are the example scripts' own lines (tests/host/
test_nsis_example.py and test_inno_example.py run them; the nginx server block is
run by tests/host/test_publish_nginx.py). Its key commands, run by a publisher
whose home is a scratch folder, keep the key there; its signing commands, by the
builder and by openssl, make a manifest that its Linux commands install through
the verified start: the reference host's, the C host's (which compiles without a
warning next to the DLL), the NSIS setup's under Wine with its /D= quoting, and
the Inno Setup setup's, compiled by ISCC and run under xvfb-run.

Environment: TOLVEK_HOST_EXE (the built tolvek-install.exe, next to the DLL),
TOLVEK_ENGINE_DLL_X86, TOLVEK_DOCS_SETUP_PREFIX, TOLVEK_SOURCE_DIR.
"""

import contextlib
import glob
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from test_install_host import HOST_EXE, SOURCE_DIR, TOOLS, MirrorServer, wine_environment, windows_path, write_tree
from test_nsis_example import X64, X86

GUIDE = os.path.join(SOURCE_DIR, "docs", "integration.md")
ENGINE = os.path.join(os.path.dirname(HOST_EXE), "tolvek_online_installer.dll")
# The product that the guide's manifest example describes.
EXAMPLE_PRODUCT = {"bin/mygame.exe": b"abc", "data/caf\u00e9/menu.txt": b""}


def code_blocks(language):
    with open(GUIDE, encoding="utf-8") as f:
        return [body for lang, body in re.findall(r"^```(\w*)\n(.*?)^```", f.read(), re.S | re.M)
                if lang == language]


def run_shell(block, cwd):
    return subprocess.run(block, shell=True, cwd=cwd, capture_output=True, text=True)


class GuideSamples(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="tolvek-docs-")
        self.addCleanup(scratch.cleanup)
        self.cwd = scratch.name

    def test_builder_commands_write_the_manifest_example(self):
        commands = [block for block in code_blocks("sh")
                    if "tools/make_manifest.py" in block and "--sign" not in block]
        self.assertEqual(len(commands), 2)
        os.symlink(TOOLS, os.path.join(self.cwd, "tools"))
        write_tree(os.path.join(self.cwd, "build", "MyGame"), EXAMPLE_PRODUCT)
        printed = ""
        for command in commands:
            done = run_shell(command, self.cwd)
            self.assertEqual(done.returncode, 0, command + done.stderr)
            printed += done.stdout
        self.assertIn("\nsetup defines: /DProductVersion=1.4.0 /DProductSize=3\n", printed)
        (example,) = code_blocks("json")
        with open(os.path.join(self.cwd, "build", "MyGame", "manifest.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f), json.loads(example))
        tree = os.path.join(self.cwd, "build", "mirror", "mygame", "1.4").encode()
        for stored in (b"bin/mygame.exe", b"data/caf\xc3\xa9/menu.txt", b"manifest.json"):
            self.assertTrue(os.path.isfile(os.path.join(tree, stored)), stored)

    def test_setup_script_excerpts_are_the_example_scripts_lines(self):
        for language, script_path, at_least in (("nsis", ("nsis", "tolvek_setup.nsi"), 5),
                                                ("iss", ("inno", "tolvek_setup.iss"), 6)):
            with open(os.path.join(SOURCE_DIR, "examples", *script_path), encoding="utf-8") as f:
                script = f.read()
            excerpts = code_blocks(language)
            self.assertGreaterEqual(len(excerpts), at_least, language)
            for excerpt in excerpts:
                self.assertIn(excerpt, script, language)


def the_block(language, word):
    (block,) = [block for block in code_blocks(language) if word in block]
    return block


@unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
class SignedProduct(unittest.TestCase):
    """The guide's key and signing commands, then its Linux commands that install the
    signed product, each run as printed from a folder laid out like the repository
    root by a publisher whose home is a scratch folder. The example URLs name the
    mirror server, C:\\Games the scratch folder, and the setups' Wine prefix the build
    tree's (TOLVEK_DOCS_SETUP_PREFIX)."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tolvek-docs-")
        cls.root, home = os.path.join(cls.scratch, "repository"), os.path.join(cls.scratch, "home")
        os.makedirs(home)
        os.makedirs(cls.root)
        cls.env = dict(wine_environment(), HOME=home, WINEPREFIX=X64.prefix, TOLVEK_WINE32_PREFIX=X86.prefix)
        for name in ("tools", "include", "examples", "scripts"):
            os.symlink(os.path.join(SOURCE_DIR, name), os.path.join(cls.root, name))
        for folder, files in (("bin", [HOST_EXE, ENGINE]), ("bin32", [X86.engine] if X86.engine else [])):
            os.makedirs(os.path.join(cls.root, "build", folder))
            for path in files:
                shutil.copy(path, os.path.join(cls.root, "build", folder))
        write_tree(os.path.join(cls.root, "build", "MyGame"), EXAMPLE_PRODUCT)
        cls.tree = os.path.join(cls.root, "build", "mirror", "mygame", "1.5")
        os.makedirs(cls.tree)
        cls.server = MirrorServer(cls.tree, cls.root)
        cls.games = os.path.join(cls.root, "Games")
        for block in (the_block("sh", "genpkey"), the_block("sh", "--sign")):
            done = cls.shell(block)
            assert done.returncode == 0, block + done.stderr
        cls.pem = os.path.join(home, "tolvek-keys", "publisher.pem")

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        shutil.rmtree(cls.scratch)
        for build in (X64, X86):
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(build.temp_directory(), "My Game setup.log"))

    @classmethod
    def shell(cls, block, cwd=None):
        block = re.sub(r"https://cdn\d\.example\.com/mygame/1\.\d", cls.server.url, block)
        games = windows_path(cls.games)
        block = block.replace("C:\\\\Games", games.replace("\\", "\\\\")).replace("C:\\Games", games)
        block = block.replace("~/.wine32-setup", os.environ.get("TOLVEK_DOCS_SETUP_PREFIX", "~/.wine32-setup"))
        return subprocess.run(block, shell=True, cwd=cwd or cls.root, capture_output=True, text=True, env=cls.env)

    def setUp(self):
        shutil.rmtree(self.games, ignore_errors=True)

    def assert_runs(self, *blocks):
        """Runs the blocks; the last one installed the product through the verified start."""
        self.server.control("reset")
        for block in blocks:
            done = self.shell(block)
            self.assertEqual(done.returncode, 0, block + done.stdout[-2000:] + done.stderr)
        for key, content in EXAMPLE_PRODUCT.items():
            with open(os.path.join(self.games, "My Game", *key.split("/")), "rb") as f:
                self.assertEqual(f.read(), content, key)
        self.assertIn("/manifest.json.sig", [r["path"] for r in self.server.control("requests")])
        return done

    def test_keys_stay_outside_the_work_tree_and_either_signature_installs(self):
        with open(os.path.join(os.path.dirname(self.pem), "publisher.pub.txt"), encoding="ascii") as f:
            self.assertRegex(f.read(), r"^[A-Za-z0-9+/]{122}==$")
        self.assertEqual(glob.glob(os.path.join(self.root, "**", "*.pem"), recursive=True), [])
        for signed_by in ("builder", "openssl by hand"):
            if signed_by != "builder":
                done = self.shell(the_block("sh", "openssl dgst"), cwd=self.tree)
                self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(self.tree, "manifest.json.sig"), encoding="ascii") as f:
                self.assertEqual(len(f.read().splitlines()), 1, signed_by)
            self.assert_runs(the_block("sh", "tolvek-install.exe --trust"))

    def test_c_host_compiles_cleanly_next_to_the_dll_and_installs_verified(self):
        with open(os.path.join(self.root, "minimal_host.c"), "w", encoding="utf-8") as f:
            f.write(the_block("c", "minimal_host"))
        done = self.assert_runs(the_block("sh", "mingw32-gcc"))
        self.assertNotIn("warning", done.stderr)
        out = done.stdout.splitlines()
        self.assertEqual(out[-1], "result 0: OK")
        # The first poll follows the start at once, but a busy machine may let the run
        # reach its manifest request first.
        self.assertRegex(out[0], r"^(Preparing|Downloading manifest) 0\.0% \(")
        self.assertEqual(sorted(os.listdir(os.path.join(self.games, "My Game"))), ["bin", "data"],
                         "the log or another file landed in the target")

    def test_nsis_commands_build_and_install_verified(self):
        self.assert_runs(the_block("sh", "makensis "), the_block("sh", "mygame-setup.exe /S"))

    @unittest.skipUnless(X86.engine, "TOLVEK_ENGINE_DLL_X86 is not set")
    def test_inno_commands_build_and_install_verified_on_a_virtual_display(self):
        iscc = the_block("sh", "ISCC.exe")
        if not os.path.exists(re.search(r"/\S+ISCC\.exe", iscc).group(0)):
            self.skipTest("ISCC is not where the guide says scripts/install-deps.sh puts it")
        self.assert_runs(iscc, the_block("sh", "xvfb-run"))


if __name__ == "__main__":
    unittest.main()
