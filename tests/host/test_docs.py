"""The integration guide's samples work as printed: its C host compiles without
a warning and installs a product; its builder commands run, write exactly the
manifest example it shows and publish the mirror tree; its key and signing
commands make a manifest that the reference host's verified install accepts; its
makensis command builds the installer from the repository root; its NSIS and
Inno Setup excerpts are the example scripts' own lines
(tests/host/test_nsis_example.py and test_inno_example.py run them; the nginx
server block is run by tests/host/test_publish_nginx.py).

Environment: TOLVEK_HOST_EXE (the built tolvek-install.exe, next to the DLL),
TOLVEK_SOURCE_DIR.
"""

import filecmp
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from test_install_host import (HOST_EXE, SOURCE_DIR, TOOLS, WINE, MirrorServer, wine_environment,
                               windows_path, write_tree)

import make_manifest

GUIDE = os.path.join(SOURCE_DIR, "docs", "integration.md")
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

    @unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
    def test_nsis_command_builds_the_installer_from_the_repository_root(self):
        (command,) = [block for block in code_blocks("sh") if block.startswith("makensis ")]
        os.symlink(os.path.join(SOURCE_DIR, "examples"), os.path.join(self.cwd, "examples"))
        os.makedirs(os.path.join(self.cwd, "build", "bin"))
        shutil.copy(os.path.join(os.path.dirname(HOST_EXE), "tolvek_online_installer.dll"),
                    os.path.join(self.cwd, "build", "bin"))
        done = run_shell(command, self.cwd)
        self.assertEqual(done.returncode, 0, command + done.stdout + done.stderr)
        with open(os.path.join(self.cwd, "build", "mygame-setup.exe"), "rb") as f:
            self.assertEqual(f.read(2), b"MZ")

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
    def test_signing_commands_make_a_manifest_the_verified_install_accepts(self):
        (keys,) = [block for block in code_blocks("sh") if "genpkey" in block]
        (builder,) = [block for block in code_blocks("sh") if "--sign" in block]
        (by_hand,) = [block for block in code_blocks("sh") if "openssl dgst" in block]
        os.symlink(TOOLS, os.path.join(self.cwd, "tools"))
        # ASCII names: the mirror server does not serve names stored under Latin-1 bytes.
        write_tree(os.path.join(self.cwd, "build", "MyGame"), {"bin/mygame.exe": b"abc", "readme.txt": b"hi"})
        tree = os.path.join(self.cwd, "build", "mirror", "mygame", "1.5")
        os.makedirs(tree)
        server = MirrorServer(tree, self.cwd)
        self.addCleanup(server.close)
        for block, cwd in ((keys, self.cwd), (builder.replace("https://cdn1.example.com/mygame/1.5", server.url),
                                                self.cwd)):
            done = run_shell(block, cwd)
            self.assertEqual(done.returncode, 0, block + done.stderr)
        with open(os.path.join(self.cwd, "publisher.pub.txt"), encoding="ascii") as f:
            key = f.read()
        self.assertRegex(key, r"^[A-Za-z0-9+/]{122}==$")
        # The manifest is signed where it lies; the key stays where it was made.
        by_hand = by_hand.replace("publisher.pem", os.path.join(self.cwd, "publisher.pem"))

        target = os.path.join(self.cwd, "target")
        for signed_by in ("builder", "openssl by hand"):
            if signed_by != "builder":
                done = run_shell(by_hand, tree)
                self.assertEqual(done.returncode, 0, by_hand + done.stderr)
            with open(os.path.join(tree, "manifest.json.sig"), encoding="ascii") as f:
                self.assertEqual(len(f.read().splitlines()), 1, signed_by)
            done = subprocess.run([WINE, HOST_EXE, "--trust", key, server.url + "/manifest.json",
                                   windows_path(target)], capture_output=True, env=wine_environment())
            self.assertEqual(done.returncode, 0, f"{signed_by}: {done.stdout.decode('utf-8', 'replace')[-400:]}")

    @unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
    def test_c_host_compiles_cleanly_and_installs(self):
        (source,) = code_blocks("c")
        (build,) = [block for block in code_blocks("sh") if "mingw32-gcc" in block]
        with open(os.path.join(self.cwd, "minimal_host.c"), "w", encoding="utf-8") as f:
            f.write(source)
        os.symlink(os.path.join(SOURCE_DIR, "include"), os.path.join(self.cwd, "include"))
        done = run_shell(build, self.cwd)
        self.assertEqual((done.returncode, done.stderr), (0, ""), build)
        shutil.copy(os.path.join(os.path.dirname(HOST_EXE), "tolvek_online_installer.dll"), self.cwd)

        published = os.path.join(self.cwd, "published")
        write_tree(published, EXAMPLE_PRODUCT)
        server = MirrorServer(published, self.cwd)
        self.addCleanup(server.close)
        manifest, _ = make_manifest.build_manifest(published, [server.url])
        make_manifest.write_atomically(os.path.join(published, "manifest.json"),
                                       make_manifest.manifest_text(manifest))
        target = os.path.join(self.cwd, "target")
        done = subprocess.run([WINE, os.path.join(self.cwd, "minimal_host.exe"), server.url + "/manifest.json",
                               windows_path(target)], capture_output=True, env=wine_environment())
        out = done.stdout.decode("utf-8", "replace").splitlines()
        self.assertEqual(done.returncode, 0, out)
        self.assertEqual(out[-1], "result 0: OK")
        # The first poll follows the start at once, but a busy machine may let the run
        # reach its manifest request first.
        self.assertRegex(out[0], r"^(Preparing|Downloading manifest) 0\.0% \(")
        for key in EXAMPLE_PRODUCT:
            self.assertTrue(filecmp.cmp(os.path.join(published, key), os.path.join(target, key), shallow=False))
        self.assertEqual(sorted(os.listdir(target)), ["bin", "data"], "the log or another file landed in the target")


if __name__ == "__main__":
    unittest.main()
