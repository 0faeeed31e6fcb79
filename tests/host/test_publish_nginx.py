"""A product with Latin-1, Polish, German and Japanese names, published with
make_manifest.py --legacy-url-encoding --publish and served by stock nginx with
the guide's server block and unprivileged workers,
as the distribution runs it, installs byte for byte through tolvek-install.exe
under Wine and passes check_mirrors.py, its manifest URL included; the same
product copied with UTF-8 names is not found there, and the check says why.
Published with the builder's default ("url_encoding": "utf-8"), python3 -m
http.server serves it, and the log names every file in UTF-8.

Environment: TOLVEK_HOST_EXE, TOLVEK_SOURCE_DIR. Needs nginx (scripts/install-deps.sh).
"""

import contextlib
import io
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from test_docs import code_blocks
from test_install_host import HOST_EXE, free_port, run_host, windows_path, write_tree

import check_mirrors
import make_manifest

NGINX_START_LIMIT_S = 10
# The distribution's nginx.conf runs the workers as www-data; the master alone is root.
WORKER_USER = "www-data"
PRODUCT = {
    "bin/game.exe": os.urandom(200_000),
    "data/caf\u00e9 cr\u00e8me/\u00dcber.txt": "Latin-1 names".encode("utf-8"),
    "docs/Lisez-moi en fran\u00e7ais.txt": b"Bienvenue",
    # The smallest file is the probe's: a Latin-1 character tells the encodings apart.
    "locale/pl/\u0142\u00f3d\u017a_\u017c\u00f3\u0142w.txt": b"pl",
    "locale/de/Gr\u00f6\u00dfen\u00e4nderung.txt": "Größenänderung".encode("utf-8"),
    "locale/ja/\u65e5\u672c\u8a9e/\u8aac\u660e\u66f8.txt": "説明書".encode("utf-8"),
}


class Nginx:
    """nginx in the foreground on 127.0.0.1, running the guide's server block; its
    workers are never root (started by another user, they run as that user)."""

    def __init__(self, server_block, root, state):
        self.port = free_port()
        block = re.sub(r"listen \d+;", f"listen 127.0.0.1:{self.port};", server_block)
        block = re.sub(r"root [^;]+;", f"root {root};", block)
        user = f"user {WORKER_USER};\n" if os.geteuid() == 0 else ""
        conf = os.path.join(state, "nginx.conf")
        with open(conf, "w") as f:
            f.write(f"{user}daemon off;\nworker_processes 1;\npid {state}/nginx.pid;\n"
                    f"error_log {state}/error.log warn;\nevents {{ worker_connections 64; }}\n"
                    f"http {{\naccess_log off;\nclient_body_temp_path {state}/body;\n"
                    f"proxy_temp_path {state}/proxy;\nfastcgi_temp_path {state}/fastcgi;\n"
                    f"uwsgi_temp_path {state}/uwsgi;\nscgi_temp_path {state}/scgi;\n{block}\n}}\n")
        self.process = subprocess.Popen(["nginx", "-c", conf, "-p", state],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + NGINX_START_LIMIT_S
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.close()
                    raise RuntimeError("nginx did not start: " + self.process.stderr.read().decode())
                time.sleep(0.05)
        self.url = f"http://127.0.0.1:{self.port}"

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()
        self.process.stderr.close()


def run_check(*argv):
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(io.StringIO()):
        code = check_mirrors.main(list(argv))
    return code, out.getvalue().splitlines()


@unittest.skipUnless(HOST_EXE, "TOLVEK_HOST_EXE is not set")
class PublishedForNginx(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.mkdtemp(prefix="tolvek-nginx-")
        self.addCleanup(shutil.rmtree, scratch)
        # The mirror root lies below it: the workers must pass through, as through /srv.
        os.chmod(scratch, 0o755)
        # A publisher's usual umask: what the builder writes is what it leaves to it.
        umask = os.umask(0o022)
        self.addCleanup(os.umask, umask)
        self.product = os.path.join(scratch, "product")
        write_tree(self.product, PRODUCT)
        www = os.path.join(scratch, "www")
        os.makedirs(os.path.join(scratch, "state"))
        (server_block,) = code_blocks("nginx")
        self.nginx = Nginx(server_block, www, os.path.join(scratch, "state"))
        self.addCleanup(self.nginx.close)
        self.base = self.nginx.url + "/mygame/1.4"
        self.manifest = os.path.join(scratch, "manifest.json")
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            code = make_manifest.main([self.product, "--mirror", self.base, "--output", self.manifest,
                                       "--publish", os.path.join(www, "mygame", "1.4"), "--legacy-url-encoding"])
        self.assertEqual(code, 0)
        # The same files under their UTF-8 names, as a plain copy would leave them.
        shutil.copytree(self.product, os.path.join(www, "copied"))
        self.target = os.path.join(scratch, "target")

    def test_latin1_names_install_byte_for_byte(self):
        code, out, _ = run_host(self.base + "/manifest.json", windows_path(self.target))
        self.assertEqual((code, out[-1]), (0, "Result: 0 OK"), out)
        for key, content in PRODUCT.items():
            with open(os.path.join(self.target, *key.split("/")), "rb") as f:
                self.assertEqual(f.read(), content, key)

    def test_the_check_passes_the_published_tree_and_fails_a_plain_copy(self):
        code, out = run_check(self.manifest, "--manifest-url", self.base + "/manifest.json")
        self.assertEqual((code, out[-2:]), (0, ["1 of 1 mirrors serve all 6 files",
                                                 "1 of 1 manifest URLs serve this manifest"]), out)
        code, out = run_check(self.manifest, "--mirror", self.nginx.url + "/copied")
        self.assertEqual(code, 1)
        self.assertEqual(out[-2].split()[1:], ["4", "0", "0", "0", "2"], out)
        self.assertIn("/copied: 4 of the missing files have names beyond ASCII, requested with one byte", out[-4])

    def test_utf8_urls_are_served_by_python_http_server_and_logged_in_utf8(self):
        www, log = self.target + "-www", self.target + ".log"
        server = subprocess.Popen([sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory",
                                   www], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(server.wait)
        self.addCleanup(server.terminate)
        url = re.search(r"http://127\.0\.0\.1:\d+", server.stdout.readline()).group(0)
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            make_manifest.main([self.product, "--mirror", url, "--output", self.manifest, "--publish", www])
        code, out, _ = run_host(url + "/manifest.json", windows_path(self.target), windows_path(log))
        self.assertEqual((code, out[-1]), (0, "Result: 0 OK"), out)
        with open(log, encoding="utf-8") as f:
            lines = [line[22:] for line in f.read().splitlines()]
        self.assertIn("Selected CDN: " + url, "\n".join(lines))
        for key, content in PRODUCT.items():
            self.assertIn("Installed: " + key, lines)
            with open(os.path.join(self.target, *key.split("/")), "rb") as f:
                self.assertEqual(f.read(), content, key)


if __name__ == "__main__":
    unittest.main()
