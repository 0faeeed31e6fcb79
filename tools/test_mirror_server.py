"""Tests for tools/mirror_server.py.  Run: python3 -m unittest tools/test_mirror_server.py"""

import base64
import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from mirror_server import MirrorServer  # noqa: E402

DATA = bytes(range(256)) * 400
SMALL = b"hello world\n"
UNICODE_NAME = "dir \u00fc/gr\u00fc\u00dfe \u20ac.bin"
LATIN1_NAME = "caf\u00e9 \u00fc.bin"


class ServerCase(unittest.TestCase):
    tls = None

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="mirror-test-")
        os.makedirs(os.path.join(cls.root, "dir \u00fc"))
        for name, content in (("big.bin", DATA), ("small.txt", SMALL), (UNICODE_NAME, b"unicode!"), (LATIN1_NAME, b"latin-1!")):
            with open(os.path.join(cls.root, name), "wb") as f:
                f.write(content)
        cls.srv = MirrorServer(cls.root, tls=cls.tls).start()

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        shutil.rmtree(cls.root)

    def setUp(self):
        self.srv.reset()

    def rules(self, *rules):
        self.srv.set_rules(list(rules))

    def get(self, path, method="GET", headers=None, timeout=5):
        conn = http.client.HTTPConnection("127.0.0.1", self.srv.port, timeout=timeout)
        try:
            conn.request(method, path, headers=headers or {})
            resp = conn.getresponse()
            return resp, resp.read()
        finally:
            conn.close()

    def raw(self, request, timeout=5):
        """Send raw bytes; return (head, body, was_reset) read until EOF."""
        sock = socket.create_connection(("127.0.0.1", self.srv.port), timeout=timeout)
        chunks, reset = [], False
        try:
            sock.sendall(request)
            while True:
                block = sock.recv(65536)
                if not block:
                    break
                chunks.append(block)
        except ConnectionResetError:
            reset = True
        finally:
            sock.close()
        head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
        return head.decode("latin-1"), body, reset

    def control(self, name, payload=None):
        data = None if payload is None else json.dumps(payload).encode()
        req = urllib.request.Request(f"{self.srv.url}/__control/{name}", data=data,
                                     method="GET" if payload is None else "POST")
        with urllib.request.urlopen(req, timeout=5) as resp:
            return json.load(resp)


class ServingTest(ServerCase):
    def test_get_head_keepalive(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.srv.port, timeout=5)
        for method, path, expected in (("GET", "/big.bin", DATA), ("HEAD", "/small.txt", b""),
                                       ("GET", "/small.txt", SMALL)):
            conn.request(method, path)
            resp = conn.getresponse()
            self.assertEqual(resp.read(), expected)
            self.assertEqual(resp.status, 200)
            self.assertEqual(int(resp.headers["Content-Length"]), len(DATA if path == "/big.bin" else SMALL))
        conn.close()
        log = self.srv.requests()
        self.assertEqual([r["method"] for r in log], ["GET", "HEAD", "GET"])
        self.assertEqual(len({r["conn"] for r in log}), 1, "keep-alive connection was not reused")

    def test_ranges(self):
        resp, body = self.get("/big.bin", headers={"Range": "bytes=100-199"})
        self.assertEqual((resp.status, body), (206, DATA[100:200]))
        self.assertEqual(resp.headers["Content-Range"], f"bytes 100-199/{len(DATA)}")
        resp, body = self.get("/big.bin", headers={"Range": "bytes=-10"})
        self.assertEqual((resp.status, body), (206, DATA[-10:]))
        resp, _ = self.get("/big.bin", headers={"Range": "bytes=999999-"})
        self.assertEqual((resp.status, resp.headers["Content-Range"]), (416, f"bytes */{len(DATA)}"))
        resp, body = self.get("/big.bin", headers={"Range": "bytes=0-9", "If-Range": '"stale"'})
        self.assertEqual((resp.status, body), (200, DATA))

    def test_unicode_names_and_root_escapes(self):
        self.assertEqual(urllib.request.urlopen(self.srv.url_for(UNICODE_NAME), timeout=5).read(), b"unicode!")
        head, body, _ = self.raw(b"GET /" + UNICODE_NAME.replace(" ", "%20").encode() + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        self.assertTrue(head.startswith("HTTP/1.1 200"), head)
        self.assertEqual(body, b"unicode!")
        for path in ("/../etc/passwd", "/%2e%2e/%2E%2E/etc/passwd", "/dir%20%C3%BC/../../small.txt"):
            self.assertEqual(self.get(path)[0].status, 403, path)
        self.assertEqual(self.get("/dir%20%C3%BC/../small.txt")[1], SMALL)
        self.assertEqual(self.get("/missing.bin")[0].status, 404)
        self.assertEqual(self.get("/%FF.bin")[0].status, 404)  # Latin-1 "\xff.bin": no such file
        # One byte per character (Latin-1 escapes) finds the UTF-8-named file too.
        self.assertEqual(self.get("/caf%E9%20%FC.bin")[1], b"latin-1!")
        self.assertEqual(self.get("/caf%C3%A9%20%C3%BC.bin")[1], b"latin-1!")
        # Both in one name: each byte outside a UTF-8 sequence is one Latin-1 character.
        self.assertEqual(self.get("/dir%20%FC/gr%C3%BC%DFe%20%E2%82%AC.bin")[1], b"unicode!")

    def test_control_api(self):
        self.assertEqual(self.control("rules", [{"path": "/small.txt", "status": 404}])["rules"], 1)
        self.assertEqual(self.get("/small.txt?x=1")[0].status, 404)
        rules = self.control("rules")
        self.assertEqual((rules[0]["status"], rules[0]["hits"]), (404, 1))
        log = self.control("requests")
        self.assertEqual([(r["method"], r["path"], r["rule"]) for r in log], [("GET", "/small.txt?x=1", 0)])
        self.assertEqual(log[0]["headers"]["Host"], f"127.0.0.1:{self.srv.port}")
        for bad, named in (({"path": "/x", "shrot": True}, "shrot"), ({"bytes_per_second": 0}, "bytes_per_second"),
                           ({"drip": True, "bytes_per_second": 5}, "bytes_per_second")):
            with self.assertRaises(urllib.error.HTTPError) as cm:
                self.control("rules", [bad])
            self.assertEqual(cm.exception.code, 400)
            self.assertIn(named, cm.exception.read().decode())
        self.assertEqual(len(self.srv.rules()), 1, "a bad rule list must not replace the rules")
        self.control("reset", {})
        self.assertEqual((self.srv.rules(), self.srv.requests()), ([], []))

    def test_stats_count_requests_bytes_and_most_open_at_once(self):
        idle = http.client.HTTPConnection("127.0.0.1", self.srv.port, timeout=5)
        self.addCleanup(idle.close)
        idle.request("GET", "/small.txt")
        idle.getresponse().read()
        self.srv.reset()  # a connection idle since before the reset is not counted
        self.rules({"path": "/big.bin", "stall_after_bytes": 10, "stall_seconds": 1})

        def stalled():
            with self.assertRaises(http.client.IncompleteRead):
                self.get("/big.bin")
        threads = [threading.Thread(target=stalled) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for path in ("/small.txt", "/" + urllib.parse.quote(UNICODE_NAME), "/missing.bin"):
            idle.request("GET", path)
            idle.getresponse().read()
        for prefix, expected in ((None, (6, 30 + len(SMALL) + 8, 3, 3, 4)), ("/dir \u00fc/", (1, 8, 1, 1, 1))):
            stats = self.control("stats" + ("" if prefix is None else "?prefix=" + urllib.parse.quote(prefix)))
            self.assertEqual((stats["requests"], stats["sent"], stats["max_in_progress"], stats["max_connections"],
                              stats["connections"]), expected, prefix)
        self.assertEqual(self.srv.stats()["files"]["/big.bin"], {"requests": 3, "sent": 30})
        self.assertEqual((self.srv.stats()["statuses"], self.srv.stats()["in_progress"]), ({"200": 5, "404": 1}, 0))

    def test_sign_with_named_keys_verifies_under_openssl(self):
        first = self.control("sign", {"path": "/small.txt", "key": "old"})
        again = self.control("sign", {"path": "/small.txt", "key": "old"})
        other = self.control("sign", {"path": "/small.txt", "key": "new"})
        self.assertEqual(first["public_key"], again["public_key"], "a name keeps its key")
        self.assertNotEqual(first["public_key"], other["public_key"])
        scratch = tempfile.mkdtemp(prefix="mirror-sign-")
        self.addCleanup(shutil.rmtree, scratch)
        for data, answer, verifies in ((SMALL, first, True), (SMALL, other, True), (SMALL + b"!", first, False),
                                       (DATA, first, False)):
            key, sig = os.path.join(scratch, "key.der"), os.path.join(scratch, "sig.der")
            with open(key, "wb") as f:
                f.write(base64.b64decode(answer["public_key"]))
            with open(sig, "wb") as f:
                f.write(base64.b64decode(answer["signature"]))
            done = subprocess.run(["openssl", "dgst", "-sha256", "-verify", key, "-keyform", "DER",
                                   "-signature", sig], input=data, capture_output=True)
            self.assertEqual(done.returncode == 0, verifies, done.stdout + done.stderr)
        for payload in ({"path": "/missing.bin", "key": "old"}, {"path": "/small.txt", "key": "../x"},
                        {"path": "/small.txt"}):
            with self.assertRaises(urllib.error.HTTPError) as cm:
                self.control("sign", payload)
            self.assertEqual(cm.exception.code, 400, payload)


class FaultTest(ServerCase):
    def test_status_times_method_skip(self):
        self.rules({"path": "/small.txt", "method": "GET", "status": 500, "times": 1},
                   {"path_glob": "/dir */*.bin", "skip": 1, "status": 403})
        statuses = [self.get("/small.txt", m)[0].status for m in ("HEAD", "GET", "GET")]
        self.assertEqual(statuses, [200, 500, 200])
        url = "/" + "/".join(map(urllib.parse.quote, UNICODE_NAME.split("/")))
        self.assertEqual([self.get(url)[0].status for _ in range(2)], [200, 403])
        self.assertEqual([r["rule"] for r in self.srv.requests()], [None, 0, None, None, 1])

    def test_refuse_head_ignore_range_redirect_body(self):
        self.rules({"path": "/small.txt", "refuse_head": True},
                   {"path": "/big.bin", "ignore_range": True},
                   {"path": "/old", "redirect": True, "location": "/small.txt", "redirect_status": 301},
                   {"path": "/fake.bin", "body_b64": base64.b64encode(b"wrong content").decode()})
        self.assertEqual(self.get("/small.txt", "HEAD")[0].status, 405)
        self.assertEqual(self.get("/small.txt")[1], SMALL)
        resp, body = self.get("/big.bin", headers={"Range": "bytes=0-9"})
        self.assertEqual((resp.status, body, resp.headers["Content-Range"]), (200, DATA, None))
        resp, _ = self.get("/old")
        self.assertEqual((resp.status, resp.headers["Location"]), (301, "/small.txt"))
        self.assertEqual(self.get("/fake.bin")[1], b"wrong content")
        self.assertEqual(self.get("/fake.bin", headers={"Range": "bytes=6-"})[1], b"content")

    def test_chunked_variants(self):
        self.rules({"path": "/big.bin", "chunked": True},
                   {"path": "/small.txt", "chunked_size_mismatch": True, "chunked_bytes": 5, "times": 1},
                   {"path": "/small.txt", "chunked_size_mismatch": True, "chunked_bytes": 20})
        resp, body = self.get("/big.bin")
        self.assertEqual((resp.headers["Transfer-Encoding"], resp.headers["Content-Length"]), ("chunked", None))
        self.assertEqual(body, DATA)
        self.assertEqual(self.get("/small.txt")[1], SMALL[:5])
        self.assertEqual(self.get("/small.txt")[1], SMALL + b"#" * 8)

    def test_short_and_long(self):
        self.rules({"path": "/big.bin", "short": True, "short_bytes": 1000},
                   {"path": "/small.txt", "long": True, "announce": 5})
        with self.assertRaises(http.client.IncompleteRead) as cm:
            self.get("/big.bin")
        self.assertEqual(len(cm.exception.partial), 1000)
        head, body, _ = self.raw(b"GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertIn("Content-Length: 5", head.split("\r\n"))
        self.assertEqual(body, SMALL)  # more than announced, then EOF although keep-alive

    def read_some(self, request, count):
        """Send a raw request and read its head and the first `count` body bytes, then hang up."""
        sock = socket.create_connection(("127.0.0.1", self.srv.port), timeout=5)
        try:
            sock.sendall(request)
            data = b""
            while b"\r\n\r\n" not in data or len(data.partition(b"\r\n\r\n")[2]) < count:
                block = sock.recv(65536)
                self.assertTrue(block, "the body ended")
                data += block
        finally:
            sock.close()
        head, _, body = data.partition(b"\r\n\r\n")
        return head.decode("latin-1").split("\r\n"), body

    def sent_when_settled(self):
        """The body bytes the server counted for its last request, once it stopped sending."""
        deadline, last = time.monotonic() + 5, None
        while time.monotonic() < deadline:
            sent = self.srv.requests()[-1]["sent"]
            if sent == last:
                return sent
            last = sent
            time.sleep(0.2)
        self.fail("the server never stopped sending")

    def test_endless_bodies(self):
        self.rules({"path": "/small.txt", "endless": True},
                   {"path": "/big.bin", "endless": True, "chunked": True},
                   {"path": "/huge.bin", "endless": True, "announce": 10 ** 12, "body": "12345"})
        head, body = self.read_some(b"GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n", 3 * 1024 * 1024)
        self.assertFalse([h for h in head if h.lower().startswith(("content-length", "transfer-encoding"))], head)
        self.assertEqual(body[:len(SMALL)], SMALL)
        self.assertEqual(set(body[len(SMALL):3 * 1024 * 1024]), {ord("#")})
        # Once the client hangs up the server stops, having counted what it sent.
        sent = self.sent_when_settled()
        self.assertGreaterEqual(sent, 3 * 1024 * 1024)

        head, body = self.read_some(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n", 2 * len(DATA))
        self.assertIn("Transfer-Encoding: chunked", head)
        self.assertNotIn(b"0\r\n\r\n", body[-5:])

        head, body = self.read_some(b"GET /huge.bin HTTP/1.1\r\nHost: x\r\n\r\n", 1024 * 1024)
        self.assertIn("Content-Length: 1000000000000", head)
        self.assertEqual(body[:6], b"12345#")
        self.assertEqual([r["path"] for r in self.srv.requests()], ["/small.txt", "/big.bin", "/huge.bin"])

    def test_sent_bytes_are_recorded(self):
        self.rules({"path": "/big.bin", "short": True, "short_bytes": 1000})
        self.get("/small.txt")
        with self.assertRaises(http.client.IncompleteRead):
            self.get("/big.bin")
        self.assertEqual(self.get("/small.txt", "HEAD")[1], b"")
        self.assertEqual([r["sent"] for r in self.srv.requests()], [len(SMALL), 1000, 0])

    def test_drop_and_reset(self):
        self.rules({"path": "/small.txt", "drop": True}, {"path": "/big.bin", "drop_after_bytes": 500})
        with self.assertRaises(http.client.RemoteDisconnected):
            self.get("/small.txt")
        head, body, reset = self.raw(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(reset, "expected a connection reset")
        self.assertEqual(body, DATA[:500])

    def test_resume_faults(self):
        """Range from any offset, a 206 of another range, a drop at a byte of the file."""
        self.rules({"path": "/big.bin", "range_shift": 1000, "times": 1},
                   {"path": "/big.bin", "range_shift": -5, "times": 1},
                   {"path": "/big.bin", "drop_after_bytes": 1000, "times": 1},
                   {"path": "/big.bin", "drop_at_byte": 60000})
        resp, body = self.get("/big.bin", headers={"Range": "bytes=50000-"})
        self.assertEqual((resp.status, resp.headers["Content-Range"]), (206, f"bytes 51000-{len(DATA) - 1}/{len(DATA)}"))
        self.assertEqual(body, DATA[51000:])
        resp, body = self.get("/big.bin", headers={"Range": "bytes=3-"})
        self.assertEqual((resp.headers["Content-Range"], body), (f"bytes 0-{len(DATA) - 1}/{len(DATA)}", DATA))
        # A cut after N bytes of each body: a resumed request gets the next N.
        head, body, reset = self.raw(b"GET /big.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=5000-\r\n\r\n")
        self.assertEqual((reset, body), (True, DATA[5000:6000]))
        # The drop is at byte 60000 of the file whatever the range starts at.
        for first in (0, 59000):
            head, body, reset = self.raw(b"GET /big.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=%d-\r\n\r\n" % first)
            self.assertTrue(reset, "expected a connection reset")
            self.assertEqual(body, DATA[first:60000])
        head, body, reset = self.raw(b"GET /big.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=70000-\r\n\r\n")
        self.assertTrue(head.startswith("HTTP/1.1 206") and reset and body == b"", head)
        log = self.srv.requests()
        self.assertEqual([(r["range"], r["status"], r["sent"]) for r in log],
                         [("bytes=50000-", 206, len(DATA) - 51000), ("bytes=3-", 206, len(DATA)),
                          ("bytes=5000-", 206, 1000),
                          ("bytes=0-", 206, 60000), ("bytes=59000-", 206, 1000), ("bytes=70000-", 206, 0)])

    def test_stalls(self):
        self.rules({"path": "/small.txt", "stall": True, "stall_seconds": 3},
                   {"path": "/big.bin", "stall_after_bytes": 100, "stall_seconds": 0.3})
        with self.assertRaises(TimeoutError):
            self.get("/small.txt", timeout=0.5)
        start = time.monotonic()
        head, body, reset = self.raw(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertGreaterEqual(time.monotonic() - start, 0.25)
        self.assertTrue(head.startswith("HTTP/1.1 200"), head)
        self.assertEqual((body, reset), (DATA[:100], False))
        # While a body stalls, the request already shows its status and what was sent.
        self.rules({"path": "/big.bin", "stall_after_bytes": 100, "stall_seconds": 3})
        self.read_some(b"GET /big.bin HTTP/1.1\r\nHost: x\r\n\r\n", 100)
        deadline = time.monotonic() + 2  # the client may read the bytes before the server notes them
        while self.srv.requests()[-1]["sent"] < 100 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual((self.srv.requests()[-1]["status"], self.srv.requests()[-1]["sent"]), (200, 100))

    def test_latency_and_drip(self):
        self.rules({"path": "/small.txt", "method": "HEAD", "latency_ms": 300},
                   {"path": "/small.txt", "drip": True, "drip_bytes": 4, "drip_interval_ms": 150},
                   {"path": "/big.bin", "bytes_per_second": 200000})
        for method, path, headers, minimum, body in (
                ("HEAD", "/small.txt", {}, 0.28, b""), ("GET", "/small.txt", {}, 0.28, SMALL),
                ("GET", "/big.bin", {}, 0.42, DATA),  # ten slices of 10,000 bytes, 0.05 s apart
                ("GET", "/big.bin", {"Range": "bytes=51200-"}, 0.2, DATA[51200:])):
            start = time.monotonic()
            self.assertEqual(self.get(path, method, headers)[1], body)
            self.assertGreaterEqual(time.monotonic() - start, minimum, (method, path, headers))
            self.assertLess(time.monotonic() - start, 3 * minimum + 0.5, (method, path, headers))


class TLSTest(ServerCase):
    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="mirror-certs-")
        script = os.path.join(HERE, "make_test_ca.sh")
        for extra in ([], ["--untrusted"]):
            subprocess.run(["sh", script, *extra, cls.certs], check=True, stdout=subprocess.DEVNULL)
        cls.tls = (os.path.join(cls.certs, "server.crt"), os.path.join(cls.certs, "server.key"))
        cls.ca = ssl.create_default_context(cafile=os.path.join(cls.certs, "ca.crt"))
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.certs)

    def fetch(self, url, context):
        with urllib.request.urlopen(url, context=context, timeout=5) as resp:
            return resp.read()

    def test_https_and_handshake_failures(self):
        self.assertTrue(self.srv.url.startswith("https://127.0.0.1:"))
        with self.assertRaises(urllib.error.URLError):
            self.fetch(self.srv.url + "/small.txt", ssl.create_default_context())  # CA not trusted
        head, body, _ = self.raw(b"GET /small.txt HTTP/1.1\r\nHost: x\r\n\r\n")  # plain HTTP on TLS port
        self.assertNotIn(SMALL, body)
        self.assertEqual(self.fetch(self.srv.url + "/small.txt", self.ca), SMALL)
        self.assertEqual(self.fetch(self.srv.url_for(UNICODE_NAME), self.ca), b"unicode!")
        self.assertEqual([r["tls"] for r in self.srv.requests()], [True, True])

    def test_trust_install_is_idempotent(self):
        store = tempfile.mkdtemp(prefix="mirror-store-")
        self.addCleanup(shutil.rmtree, store)
        marker = os.path.join(store, "updated")
        env = dict(os.environ, CA_STORE_DIR=store, UPDATE_CA_CERTIFICATES=f"touch {marker}")
        for expect_update in (True, False):
            if os.path.exists(marker):
                os.remove(marker)
            subprocess.run(["sh", os.path.join(HERE, "make_test_ca.sh"), "--trust", self.certs],
                           env=env, check=True, stdout=subprocess.DEVNULL)
            self.assertEqual(os.path.exists(marker), expect_update)
        with open(os.path.join(store, "mirror-server-test-ca.crt"), "rb") as a, \
                open(os.path.join(self.certs, "ca.crt"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_untrusted_certificate(self):
        tls = tuple(os.path.join(self.certs, n) for n in ("selfsigned.crt", "selfsigned.key"))
        with MirrorServer(self.root, tls=tls) as other:
            with self.assertRaises(urllib.error.URLError) as cm:
                self.fetch(other.url + "/small.txt", self.ca)
            self.assertIsInstance(cm.exception.reason, ssl.SSLCertVerificationError)


class CommandLineTest(unittest.TestCase):
    def start(self, *args):
        self.root = tempfile.mkdtemp(prefix="mirror-cli-")
        self.addCleanup(shutil.rmtree, self.root)
        with open(os.path.join(self.root, "small.txt"), "wb") as f:
            f.write(SMALL)
        proc = subprocess.Popen([sys.executable, os.path.join(HERE, "mirror_server.py"),
                                 "--root", self.root, *args],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        line = proc.stdout.readline()
        self.assertRegex(line, r"^LISTENING \d+\n$")
        return proc, int(line.split()[1])

    def test_lifecycle_rules_and_control_shutdown(self):
        port_file = os.path.join(tempfile.gettempdir(), f"mirror-port-{os.getpid()}")
        self.addCleanup(lambda: os.path.exists(port_file) and os.remove(port_file))
        proc, port = self.start("--port-file", port_file, "--rule", '{"path": "/small.txt", "status": 503}')
        with open(port_file) as f:
            self.assertEqual(int(f.read()), port)
        with self.assertRaises(urllib.error.HTTPError) as cm:
            urllib.request.urlopen(f"http://127.0.0.1:{port}/small.txt", timeout=5)
        self.assertEqual(cm.exception.code, 503)
        req = urllib.request.Request(f"http://127.0.0.1:{port}/__control/shutdown", data=b"", method="POST")
        urllib.request.urlopen(req, timeout=5).read()
        self.assertEqual(proc.wait(timeout=10), 0)
        self.assertEqual(proc.stdout.read(), "", "stdout must hold only the LISTENING line")

    def test_sigterm_and_idle_exit(self):
        proc, _ = self.start()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)
        proc, _ = self.start("--idle-exit", "0.5")
        self.assertEqual(proc.wait(timeout=10), 0)

    def test_bad_rule_is_rejected(self):
        result = subprocess.run([sys.executable, os.path.join(HERE, "mirror_server.py"), "--root", HERE,
                                 "--rule", '{"stall_seconds": 1}'], capture_output=True, text=True, timeout=10)
        self.assertEqual(result.returncode, 2)
        self.assertIn("stall_seconds", result.stderr)
        self.assertEqual(result.stdout, "")


if __name__ == "__main__":
    unittest.main()
