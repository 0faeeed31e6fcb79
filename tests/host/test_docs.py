"""The integration guide's samples work as printed: its C host compiles without
a warning and installs a product; its builder commands run, write exactly the
manifest example it shows and publish the mirror tree; its key and signing
commands (the key kept in the publisher's home) make a manifest that its Linux
commands install through the verified start as printed: the reference host's,
the C host's (built next to the DLL), makensis and Wine's, ISCC and xvfb-run's. Its NSIS and
Inno Setup excerpts are the example scripts' own lines
(tests/host/test_nsis_example.py and test_inno_example.py run them; the nginx
server block is run by tests/host/test_publish_nginx.py).

Environment: TOLVEK_HOST_EXE (the built tolvek-install.exe, next to the DLL),
TOLVEK_ENGINE_DLL_X86, TOLVEK_DOCS_SETUP_PREFIX (the setups' 32-bit prefix), TOLVEK_SOURCE_DIR.
"""

import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from test_install_host import HOST_EXE, SOURCE_DIR, TOOLS, MirrorServer, wine_environment, windows_path, write_tree
from test_nsis_example import X64, X86, X86_UNRUNNABLE

GUIDE = os.path.join(SOURCE_DIR, "docs", "integration.md")
ENGINE = os.path.join(os.path.dirname(HOST_EXE), "tolvek_online_installer.dll")
# Where the guide says scripts/install-deps.sh puts Inno Setup's compiler.
ISCC = "/opt/tolvek-tools/node_modules/innosetup/bin/ISCC.exe"
# The product that the guide's manifest example describes.
EXAMPLE_PRODUCT = {"bin/mygame.exe": b"abc", "data/caf\u00e9/menu.txt": b""}


def code_blocks(language):
    with open(GUIDE, encoding="utf-8") as f:
        return [body for lang, body in re.findall(r"^```(\w*)\n(.*?)^```", f.read(), re.S | re.M)
                if lang == language]


def the_block(word):
    (block,) = [block for block in code_blocks("sh") if word in block]
    return block


def run_shell(block, cwd, env=None):
    # Files, not pipes: a Wine process that a block starts may hold its output open long after.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(block, shell=True, cwd=cwd, stdout=out, stderr=err, env=env).returncode
        texts = [f.seek(0) or f.read().decode("utf-8", "replace") for f in (out, err)]
    return subprocess.CompletedProcess(block, code, *texts)


def as_here(block, url, games):
    """The block with the example URLs naming `url`, C:\\Games the folder `games` and
    the setups' Wine prefix the build tree's."""
    shown = windows_path(games)
    block = re.sub(r"https://cdn\d\.example\.com/mygame/1\.\d", url, block).replace("C:\\Games", shown)
    return block.replace("C:\\\\Games", shown.replace("\\", "\\\\")).replace(
        "~/.wine32-setup", os.environ.get("TOLVEK_DOCS_SETUP_PREFIX", "~/.wine32-setup"))


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
        for command in commands:
            done = run_shell(command, self.cwd)
            self.assertEqual(done.returncode, 0, command + done.stderr)
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

    @unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
    def test_signing_commands_make_a_manifest_every_command_installs_verified(self):
        (keys,) = [block for block in code_blocks("sh") if "genpkey" in block]
        (builder,) = [block for block in code_blocks("sh") if "--sign" in block]
        for name in ("tools", "include", "examples", "scripts"):
            os.symlink(os.path.join(SOURCE_DIR, name), os.path.join(self.cwd, name))
        for folder, path in (("bin", HOST_EXE), ("bin", ENGINE), ("bin32", X86.engine or ENGINE)):
            os.makedirs(os.path.join(self.cwd, "build", folder), exist_ok=True)
            shutil.copy(path, os.path.join(self.cwd, "build", folder))
        write_tree(os.path.join(self.cwd, "build", "MyGame"), EXAMPLE_PRODUCT)
        tree = os.path.join(self.cwd, "build", "mirror", "mygame", "1.5")
        os.makedirs(tree)
        server = MirrorServer(tree, self.cwd)
        self.addCleanup(server.close)
        home = tempfile.TemporaryDirectory(prefix="tolvek-docs-home-")
        self.addCleanup(home.cleanup)
        env = dict(wine_environment(), HOME=home.name, WINEPREFIX=X64.prefix, TOLVEK_WINE32_PREFIX=X86.prefix)
        games = os.path.join(self.cwd, "Games")
        for block, cwd in ((keys, self.cwd), (builder, self.cwd)):
            done = run_shell(as_here(block, server.url, games), cwd, env)
            self.assertEqual(done.returncode, 0, block + done.stderr)
        with open(os.path.join(home.name, "tolvek-keys", "publisher.pub.txt"), encoding="ascii") as f:
            self.assertRegex(f.read(), r"^[A-Za-z0-9+/]{122}==$")
        with open(os.path.join(self.cwd, "minimal_host.c"), "w", encoding="utf-8") as f:
            f.write(code_blocks("c")[0])

        # Signed by the builder, then again by hand; each row installs the product afresh.
        rows = [["tolvek-install.exe --trust"], ["openssl dgst", "tolvek-install.exe --trust"], ["mingw32-gcc"],
                ["makensis ", "mygame-setup.exe /S"], ["ISCC.exe", "xvfb-run"]]
        # Without the 32-bit engine, ISCC where install-deps.sh puts it, or a machine that
        # runs 32-bit programs, Inno's row is left out.
        inno = X86.engine and os.path.exists(ISCC) and not X86_UNRUNNABLE
        if not inno:
            print("Inno's row not run:", X86_UNRUNNABLE or "no 32-bit engine or ISCC")
        for words in rows[:4] + (rows[4:] if inno else []):
            shutil.rmtree(games, ignore_errors=True)
            server.control("reset")
            for word in words:
                done = run_shell(as_here(the_block(word), server.url, games), tree if word == "openssl dgst" else self.cwd,
                                 env)
                self.assertEqual(done.returncode, 0, f"{word}: {done.stdout[-1000:]}{done.stderr}")
                self.assertNotIn("warning", done.stderr, word)
            with open(os.path.join(tree, "manifest.json.sig"), encoding="ascii") as f:
                self.assertEqual(len(f.read().splitlines()), 1, words)
            self.assertIn("/manifest.json.sig", [r["path"] for r in server.control("requests")], words)
            # The product, and the version a verified install keeps beside it.
            self.assertEqual(sorted(os.listdir(os.path.join(games, "My Game"))),
                             ["bin", "data", "tolvek_installed_version.txt"], words)
            for key, content in EXAMPLE_PRODUCT.items():
                with open(os.path.join(games, "My Game", *key.split("/")), "rb") as f:
                    self.assertEqual(f.read(), content, (words, key))

if __name__ == "__main__":
    unittest.main()
