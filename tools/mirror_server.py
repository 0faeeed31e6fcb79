#!/usr/bin/env python3
"""Fault-injecting static HTTP/HTTPS file server for download-engine tests.

Serves the files below --root on 127.0.0.1 and misbehaves on request, driven
by "rules" given on the command line or changed at run time through a small
control API.  Python standard library only.

Command line (see --help):

    mirror_server.py --root DIR [--port N] [--port-file PATH]
                     [--tls-cert CERT --tls-key KEY]
                     [--rule JSON]... [--rules-file PATH]
                     [--latency-ms MS] [--log-requests] [--idle-exit SECONDS]

Once listening it prints exactly one line "LISTENING <port>" to stdout.

From Python:

    from mirror_server import MirrorServer
    with MirrorServer(root, rules=[{"path": "/a.bin", "status": 500, "times": 1}]) as srv:
        urllib.request.urlopen(srv.url + "/a.bin")
        srv.requests()

Control API (never recorded, never subject to rules or latency):

    POST /__control/rules      JSON list of rules (or one object): replaces all
    GET  /__control/rules      current rules with their hit/remaining counters
    GET  /__control/requests   JSON list of the requests received so far
    GET  /__control/stats      counts since the last reset: requests, body bytes
                               sent, statuses, per file, and the most requests and
                               connections open at once; ?prefix=/m1/ counts only
                               the requests whose decoded path starts so (one
                               mirror of several served side by side)
    POST /__control/reset      clear the rules, the request log and the counts
    POST /__control/shutdown   stop the server
    POST /__control/sign       {"path": served path, "key": name}: the base64 of
                               the file's ECDSA P-256 signature (openssl dgst
                               -sha256 -sign) and of the key's public DER, with a
                               key of that name made by openssl on first use and
                               kept until the server stops

A rule is a JSON object.  Matching keys: "path" (exact raw request target as
sent, compared without the query string unless the rule's path contains "?"),
"path_glob" (fnmatch on the percent-decoded path), "method" (string or list),
"times" (apply to the first N matching requests only), "skip" (let the first N
matching requests through untouched), "name" (free label).  The first rule in
list order that matches and is not exhausted applies; see RULE_HELP for the
actions.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import collections
import email.utils
import fnmatch
import http.server
import itertools
import json
import mimetypes
import os
import re
import shutil
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

try:  # Linux: used to see whether sent data was acknowledged before a reset
    import fcntl
    import termios
except ImportError:  # pragma: no cover
    pass

HOST = "127.0.0.1"
CONTROL_PREFIX = "/__control/"
DEFAULT_STALL_SECONDS = 60.0
DEFAULT_DRIP_BYTES = 1024
DEFAULT_DRIP_INTERVAL_MS = 100.0
DEFAULT_REDIRECT_STATUS = 302
DEFAULT_RESET_DELAY_MS = 50.0
RATE_SLICE_SECONDS = 0.05
BLOCK_SIZE = 256 * 1024
MAX_LOGGED_REQUESTS = 100_000
MAX_CONTROL_BODY = 4 * 1024 * 1024
MAX_DISCARDED_BODY = 64 * 1024 * 1024
HANDSHAKE_TIMEOUT = 30.0
CONNECTION_TIMEOUT = 300.0
SIGNING_KEY_NAME = re.compile(r"[A-Za-z0-9_-]{1,32}")

RULE_HELP = """\
rule keys (a rule is a JSON object; the first matching rule wins):
  match:    path (raw target as sent, e.g. "/a%20b.bin"; the query is
            ignored unless the rule's path contains "?"), path_glob
            (fnmatch on the decoded path), method (string or list),
            times (first N matches only), skip (let N matches through
            first), name (label)
  latency_ms          sleep before answering (replaces --latency-ms)
  drop                close right after reading the request, no response
  stall               read the request, never answer; close after
                      stall_seconds (default 60)
  status              answer with this status code and a small body
                      (or "body"/"body_b64" if given)
  redirect            answer redirect_status (default 302) with
                      Location: location
  refuse_head         answer HEAD with 405
  ignore_range        answer 200 with the full body even if Range is sent
  range_shift         answer a Range request with a 206 of another range: it
                      starts this many bytes later (earlier when negative)
                      than asked, and its Content-Range says so
  body / body_b64     serve this content instead of the file
  chunked             Transfer-Encoding: chunked instead of Content-Length
  chunked_size_mismatch
                      chunked, but send chunked_bytes bytes in total
                      (default: half; more than the entity pads with '#'),
                      then a proper terminating chunk
  short               announce the real Content-Length, send short_bytes
                      (default: half), then close
  long                announce Content-Length "announce" (default: half),
                      send the whole body, then close
  endless             send the body, then '#' bytes without end until the
                      client goes away; no Content-Length (the body ends
                      only with the connection), or chunks with "chunked",
                      or the Content-Length "announce" when given
  stall_after_bytes   send headers and N body bytes, then stall
                      (stall_seconds), then close
  drop_after_bytes    send headers and N body bytes, wait until the peer's
                      TCP stack acknowledged them, plus reset_delay_ms
                      (default 50) so the client can read them, then reset
                      the connection (RST); counted from the body's start, so
                      without "times" every resumed Range request gets the
                      next N bytes (a link that cuts every connection)
  drop_at_byte        like drop_after_bytes, counted from the start of the
                      file: the body stops before byte N of the entity (a
                      range starting at or past N is reset after its headers)
  drip                send drip_bytes (default 1024) every
                      drip_interval_ms (default 100)
  bytes_per_second    send the body at this steady rate (a crawling mirror),
                      in slices of a twentieth of a second
  headers             extra response headers (object of strings)
precedence: latency, drop, stall, status, redirect, refuse_head, then the
body (range, chunked/short/long/endless/..._after_bytes, drip or
bytes_per_second).
every recorded request carries "sent": the body bytes sent for it so far,
"status": the status answered (known once its body is being sent),
"range": its Range header (or null), "time" and "end": when it arrived and
when its answer ended (null while in progress).
/__control/stats counts as "sent" the bodies of 200 and 206 answers (the files'
bytes, not the texts of error answers), a request as open from its arrival to its end, and a
connection from its first request since the reset (of the prefix, if given)
until it closes: connections left idle from before a reset are not counted.
It counts what the request log holds (its last 100,000 requests).
"""

_NUMBER = "number"
_SIGNED = ("range_shift",)  # integers that may be negative
_RULE_SCHEMA = {
    "name": str,
    "path": str,
    "path_glob": str,
    "method": "methods",
    "times": int,
    "skip": int,
    "latency_ms": _NUMBER,
    "drop": bool,
    "stall": bool,
    "header_drip": bool,
    "header_drip_interval_ms": _NUMBER,
    "stall_seconds": _NUMBER,
    "status": int,
    "redirect": bool,
    "redirect_status": int,
    "location": str,
    "refuse_head": bool,
    "ignore_range": bool,
    "range_shift": int,
    "body": str,
    "body_b64": str,
    "chunked": bool,
    "chunked_size_mismatch": bool,
    "chunked_bytes": int,
    "short": bool,
    "short_bytes": int,
    "long": bool,
    "announce": int,
    "endless": bool,
    "stall_after_bytes": int,
    "drop_after_bytes": int,
    "drop_at_byte": int,
    "reset_delay_ms": _NUMBER,
    "drip": bool,
    "drip_bytes": int,
    "drip_interval_ms": _NUMBER,
    "bytes_per_second": _NUMBER,
    "headers": "headers",
}
# parameter -> the actions it belongs to (one of them must be present)
_PARAM_OF = {
    "stall_seconds": ("stall", "stall_after_bytes"),
    "redirect_status": ("redirect",),
    "location": ("redirect",),
    "chunked_bytes": ("chunked_size_mismatch",),
    "short_bytes": ("short",),
    "announce": ("long", "endless"),
    "reset_delay_ms": ("drop_after_bytes", "drop_at_byte"),
    "drip_bytes": ("drip",),
    "drip_interval_ms": ("drip",),
    "header_drip_interval_ms": ("header_drip",),
}


class RuleError(ValueError):
    """A rule that cannot be applied: an unknown key, a wrong type or a setting without its action."""


def _type_ok(value, expected):
    if expected is bool:
        return isinstance(value, bool)
    if expected is int:
        return isinstance(value, int) and not isinstance(value, bool)
    if expected is _NUMBER:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if expected == "methods":
        return isinstance(value, str) or (
            isinstance(value, list) and value and all(isinstance(m, str) for m in value))
    if expected == "headers":
        return isinstance(value, dict) and all(
            isinstance(k, str) and isinstance(v, str) for k, v in value.items())
    return isinstance(value, expected)


class Rule:
    """One validated fault rule with its own hit counters."""

    def __init__(self, spec):
        if isinstance(spec, Rule):
            spec = spec.spec
        if not isinstance(spec, dict):
            raise RuleError(f"a rule must be a JSON object, got {type(spec).__name__}")
        for key, value in spec.items():
            if key not in _RULE_SCHEMA:
                raise RuleError(f"unknown rule key {key!r}")
            expected = _RULE_SCHEMA[key]
            if not _type_ok(value, expected):
                name = expected if isinstance(expected, str) else expected.__name__
                raise RuleError(f"rule key {key!r}: expected {name}, got {value!r}")
            if expected in (int, _NUMBER) and value < 0 and key not in _SIGNED:
                raise RuleError(f"rule key {key!r} must not be negative")
        self.spec = dict(spec)
        for param, owners in _PARAM_OF.items():
            if param in spec and not any(self.active(o) for o in owners):
                raise RuleError(f"{param!r} needs {' or '.join(map(repr, owners))}")
        for key in ("status", "redirect_status"):
            if key in spec and not 100 <= spec[key] <= 599:
                raise RuleError(f"{key!r} must be an HTTP status code")
        if spec.get("drip_bytes") == 0:
            raise RuleError("'drip_bytes' must be at least 1")
        if spec.get("bytes_per_second") == 0:
            raise RuleError("'bytes_per_second' must be more than 0")
        if self.active("drip") and "bytes_per_second" in spec:
            raise RuleError("use either 'drip' or 'bytes_per_second'")
        if self.active("redirect") and "location" not in spec:
            raise RuleError("'redirect' needs 'location'")
        if "body" in spec and "body_b64" in spec:
            raise RuleError("use either 'body' or 'body_b64'")
        self.body = None
        if "body" in spec:
            self.body = spec["body"].encode("utf-8")
        elif "body_b64" in spec:
            try:
                self.body = base64.b64decode(spec["body_b64"], validate=True)
            except binascii.Error as exc:
                raise RuleError(f"'body_b64' is not valid base64: {exc}") from None
        method = spec.get("method")
        if method is None:
            self.methods = None
        else:
            self.methods = {m.upper() for m in ([method] if isinstance(method, str) else method)}
        self.extra_headers = spec.get("headers", {})
        self.remaining = spec.get("times")
        self.skip_left = spec.get("skip", 0)
        self.hits = 0

    def active(self, key):
        value = self.spec.get(key)
        return value is not None and value is not False

    def get(self, key, default=None):
        return self.spec.get(key, default)

    def exhausted(self):
        return self.remaining is not None and self.remaining <= 0

    def matches(self, method, raw_target, decoded_path):
        if self.methods is not None and method not in self.methods:
            return False
        path = self.spec.get("path")
        if path is not None:
            target = raw_target if "?" in path else raw_target.split("?", 1)[0]
            if path != target:
                return False
        glob = self.spec.get("path_glob")
        if glob is not None and (decoded_path is None or not fnmatch.fnmatchcase(decoded_path, glob)):
            return False
        return True

    def describe(self):
        return dict(self.spec, hits=self.hits, remaining=self.remaining)


_NO_RULE = Rule({})


def parse_rules(value):
    """Validate a rule list (or a single rule object); returns [Rule]."""
    if isinstance(value, (dict, Rule)):
        value = [value]
    if not isinstance(value, (list, tuple)):
        raise RuleError("rules must be a JSON list of objects")
    rules = []
    for index, spec in enumerate(value):
        try:
            rules.append(Rule(spec))
        except RuleError as exc:
            raise RuleError(f"rule {index}: {exc}") from None
    return rules


def parse_range(header, size):
    """Parse a single-range "bytes=" header.

    Returns (start, end) inclusive, "unsatisfiable", or None when the header
    is to be ignored (malformed, multiple ranges).
    """
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header)
    if not m or m.group(1) == m.group(2) == "":
        return None
    first, last = m.groups()
    if first == "":
        suffix = int(last)
        if suffix == 0 or size == 0:
            return "unsatisfiable"
        return max(0, size - suffix), size - 1
    start = int(first)
    end = int(last) if last else size - 1
    if last and end < start:
        return None
    if start >= size:
        return "unsatisfiable"
    return start, min(end, size - 1)


def _split_target(target):
    """Return the path part (still percent-encoded) of a request target."""
    if not target.startswith("/") and "://" in target:
        target = urllib.parse.urlsplit(target).path or "/"
    return target.split("?", 1)[0].split("#", 1)[0]


def _decode_path(raw_path):
    """Percent-decode a path taken from the request line (as latin-1 text).

    Raw (unescaped) UTF-8 bytes and %XX escapes are both accepted.  Each byte
    that is not part of a valid UTF-8 sequence is read as Latin-1, so one name
    may mix both ("%E9%C5%81" is U+00E9 U+0141).
    """
    try:
        raw = urllib.parse.unquote_to_bytes(raw_path.encode("latin-1"))
    except UnicodeEncodeError:
        return None
    # Clients that escape each character up to U+00FF as one byte (%E9 for
    # U+00E9) send Latin-1 there; the file on disk is still named in UTF-8.
    text = raw.decode("utf-8", "surrogateescape")
    return re.sub("[\udc80-\udcff]", lambda m: chr(ord(m.group()) - 0xDC00), text)


def _rechunk(pieces, size):
    buf = bytearray()
    for piece in pieces:
        buf += piece
        while len(buf) >= size:
            yield bytes(buf[:size])
            del buf[:size]
    if buf:
        yield bytes(buf)


class _Entity:
    """The bytes to serve: a file on disk or a literal body."""

    def __init__(self, data=None, path=None):
        self.data = data
        self.file = None
        self.mtime = None
        if path is not None:
            self.file = open(path, "rb")
            st = os.fstat(self.file.fileno())
            self.size = st.st_size
            self.mtime = st.st_mtime
            self.etag = '"%x-%x"' % (st.st_size, st.st_mtime_ns)
        else:
            self.size = len(data)
            self.etag = None

    def pieces(self, start, length):
        if self.file is None:
            yield self.data[start:start + length]
            return
        self.file.seek(start)
        while length > 0:
            block = self.file.read(min(BLOCK_SIZE, length))
            if not block:
                return
            length -= len(block)
            yield block

    def close(self):
        if self.file is not None:
            self.file.close()


class _Stopping(Exception):
    """The server is shutting down in the middle of a response."""


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The headers and a small body go out as two writes: with Nagle's algorithm the
    # body waits for the client's delayed ACK of the headers (40 ms here), which no
    # CDN's server makes a client wait (nginx sets TCP_NODELAY on kept-alive connections).
    disable_nagle_algorithm = True
    server_version = "MirrorServer/1.0"
    sys_version = ""
    timeout = CONNECTION_TIMEOUT
    _rule = None

    # -- plumbing -----------------------------------------------------------
    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # noqa: A002 - silenced; see _dispatch
        pass

    def send_response(self, code, message=None):
        self._status = code
        super().send_response(code, message)

    def end_headers(self):
        if self._rule is not None:
            for key, value in self._rule.extra_headers.items():
                self.send_header(key, value)
        super().end_headers()

    def do_GET(self):
        self._dispatch()

    do_HEAD = do_POST = do_GET

    # -- request entry ----------------------------------------------------------
    def _dispatch(self):
        owner = self.server.owner
        self._status = None
        self._sent = 0
        self._note = ""
        self._rule = None
        raw_path = _split_target(self.path)
        decoded = _decode_path(raw_path)
        if decoded is not None and decoded.startswith(CONTROL_PREFIX):
            owner._touch()
            self._control(decoded[len(CONTROL_PREFIX):])
            return
        raw_target = self.path.encode("latin-1").decode("utf-8", "backslashreplace")
        conn_id, is_tls = owner._conn_info(self.connection)
        index, rule = owner._match(self.command, raw_target, decoded)
        self._entry = owner._record(self.command, raw_target, decoded, self.headers, conn_id, is_tls, index)
        self._rule = rule
        owner._activity(+1)
        started = time.monotonic()
        try:
            self._discard_request_body()
            self._respond(rule or _NO_RULE, decoded)
        except _Stopping:
            self.close_connection = True
            self._note = (self._note + " interrupted").strip()
        finally:
            owner._activity(-1)
            owner._count_sent(self._entry, self._sent, self._status, ended=True)
            if owner.log_requests:
                owner._log("%s conn=%d %s %s -> %s sent=%d %.3fs%s%s" % (
                    "https" if is_tls else "http", conn_id, self.command, raw_target,
                    self._status if self._status is not None else "-", self._sent,
                    time.monotonic() - started,
                    "" if index is None else f" rule={index}",
                    f" [{self._note}]" if self._note else ""))

    def _discard_request_body(self):
        if "Transfer-Encoding" in self.headers:
            self.close_connection = True
            return
        try:
            length = int(self.headers.get("Content-Length", 0))
        except ValueError:
            length = -1
        if length < 0 or length > MAX_DISCARDED_BODY:
            self.close_connection = True
        elif length:
            self.rfile.read(length)

    def _sleep(self, seconds):
        if seconds > 0 and self.server.owner._stopping.wait(seconds):
            raise _Stopping()

    # -- responses --------------------------------------------------------------
    def _respond(self, rule, decoded):
        owner = self.server.owner
        latency = rule.get("latency_ms", owner.latency_ms)
        self._sleep(latency / 1000.0)
        if rule.active("drop"):
            self._note = "drop"
            self.close_connection = True
            return
        if rule.active("stall"):
            self._note = "stall"
            self.close_connection = True
            self._sleep(rule.get("stall_seconds", DEFAULT_STALL_SECONDS))
            return
        if rule.active("header_drip"):
            self._drip_headers(rule.get("header_drip_interval_ms", 1000.0) / 1000.0)
            return
        if rule.active("status"):
            self._send_simple(rule.get("status"), body=rule.body)
            return
        if rule.active("redirect"):
            self._send_simple(rule.get("redirect_status", DEFAULT_REDIRECT_STATUS),
                              headers={"Location": rule.get("location")})
            return
        if self.command == "HEAD" and rule.active("refuse_head"):
            self._send_simple(405, headers={"Allow": "GET"})
            return
        if self.command not in ("GET", "HEAD"):
            self._send_simple(405, headers={"Allow": "GET, HEAD"})
            return
        if rule.body is not None:
            entity = _Entity(data=rule.body)
        else:
            code, fs_path = owner._resolve(decoded)
            if code != 200:
                self._send_simple(code)
                return
            try:
                entity = _Entity(path=fs_path)
            except OSError:
                self._send_simple(404)
                return
        try:
            self._send_entity(rule, entity, decoded)
        finally:
            entity.close()

    def _drip_headers(self, interval):
        """A status line, then one byte of a header every interval, never ending the headers."""
        self._note = "header_drip"
        self.close_connection = True
        self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Drip: ")
        try:
            while True:
                self.wfile.flush()
                self._sleep(interval)
                self.wfile.write(b"a")
        except OSError:
            pass  # the client gave up

    def _send_simple(self, code, body=None, headers=None, content_type="text/plain; charset=utf-8"):
        if body is None:
            phrase = self.responses.get(code, ("",))[0]
            body = f"{code} {phrase}\n".encode("utf-8")
        self.send_response(code)
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        has_body = code >= 200 and code not in (204, 304)
        if has_body:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if has_body and self.command != "HEAD":
            self.wfile.write(body)
            self._sent += len(body)

    def _send_entity(self, rule, entity, decoded):
        size = entity.size
        status, start, length = 200, 0, size
        content_range = None
        use_ranges = not rule.active("ignore_range")
        range_header = self.headers.get("Range")
        if use_ranges and range_header is not None and self._if_range_ok(entity):
            parsed = parse_range(range_header, size)
            if parsed == "unsatisfiable":
                self._send_simple(416, headers={"Content-Range": f"bytes */{size}"})
                return
            if parsed is not None:
                start, end = parsed
                if rule.active("range_shift"):
                    start = min(max(0, start + rule.get("range_shift")), size - 1)
                    end = max(start, min(end, size - 1))
                status, length = 206, end - start + 1
                content_range = f"bytes {start}-{end}/{size}"
        chunked = rule.active("chunked") or rule.active("chunked_size_mismatch")

        self.send_response(status)
        ctype = mimetypes.guess_type(decoded or "")[0] if entity.file is not None else None
        self.send_header("Content-Type", ctype or "application/octet-stream")
        if use_ranges:
            self.send_header("Accept-Ranges", "bytes")
        if entity.mtime is not None:
            self.send_header("Last-Modified", email.utils.formatdate(entity.mtime, usegmt=True))
        if entity.etag is not None:
            self.send_header("ETag", entity.etag)
        if content_range:
            self.send_header("Content-Range", content_range)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        elif rule.active("long"):
            self.send_header("Content-Length", str(rule.get("announce", length // 2)))
        elif rule.active("endless"):
            if "announce" in rule.spec:
                self.send_header("Content-Length", str(rule.get("announce")))
        else:
            self.send_header("Content-Length", str(length))
        self.end_headers()
        if self.command == "HEAD":
            return

        limit, pad, after = length, 0, None
        if rule.active("chunked_size_mismatch"):
            wanted = rule.get("chunked_bytes", length // 2 if length else 1)
            limit, pad = min(wanted, length), max(0, wanted - length)
            self._note = f"chunked_size_mismatch {wanted}/{length}"
        if rule.active("long"):
            after, self._note = "close", "long"
        if rule.active("endless"):
            pad, after, self._note = None, "close", "endless"
        if rule.active("short"):
            limit, after = min(limit, rule.get("short_bytes", length // 2)), "close"
            self._note = "short"
        if rule.active("stall_after_bytes"):
            limit, after = min(limit, rule.get("stall_after_bytes")), "stall"
            self._note = "stall_after_bytes"
        if rule.active("drop_after_bytes"):
            limit, after = min(limit, rule.get("drop_after_bytes")), "reset"
            self._note = "drop_after_bytes"
        if "drop_at_byte" in rule.spec:
            limit, after = min(limit, max(0, rule.get("drop_at_byte") - start)), "reset"
            self._note = "drop_at_byte"
        drip = rule.active("drip")
        rate = rule.get("bytes_per_second")

        if not chunked and not drip and not rate and pad == 0 and entity.file is not None:
            if limit > 0:  # sendfile() treats count=0 as "to the end"
                self._sent += self.connection.sendfile(entity.file, start, limit)
            self.server.owner._count_sent(self._entry, self._sent, self._status)
        else:
            step = rule.get("drip_bytes", DEFAULT_DRIP_BYTES) if drip else BLOCK_SIZE
            if rate:
                step = max(1, min(BLOCK_SIZE, int(rate * RATE_SLICE_SECONDS)))
            interval = rule.get("drip_interval_ms", DEFAULT_DRIP_INTERVAL_MS) / 1000.0
            paced_from, paced = time.monotonic(), 0
            pieces = itertools.chain(entity.pieces(start, limit), _padding(pad))
            if pad is None:
                self.close_connection = True  # only the connection's end ends the body
            first = True
            for piece in _rechunk(pieces, step):
                if drip and not first:
                    self._sleep(interval)
                if rate:  # each slice leaves when the bytes before it have had their time
                    self._sleep(paced_from + paced / rate - time.monotonic())
                first = False
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
                self._sent += len(piece)
                paced += len(piece)
                self.server.owner._count_sent(self._entry, self._sent, self._status)
            if chunked and after is None:
                self.wfile.write(b"0\r\n\r\n")

        if after is not None:
            self.close_connection = True
        if after == "stall":
            self._sleep(rule.get("stall_seconds", DEFAULT_STALL_SECONDS))
        elif after == "reset":
            self._wait_unsent_acked(1.0)
            self._sleep(rule.get("reset_delay_ms", DEFAULT_RESET_DELAY_MS) / 1000.0)
            self.server.owner._mark_abortive(self.connection)

    def _wait_unsent_acked(self, limit):
        """Wait (up to limit seconds) until the peer acknowledged all we sent."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            try:
                buf = fcntl.ioctl(self.connection.fileno(), termios.TIOCOUTQ, b"\0\0\0\0")
            except (OSError, NameError):
                return  # not Linux: rely on the delay alone
            if struct.unpack("i", buf)[0] == 0:
                return
            self._sleep(0.005)

    def _if_range_ok(self, entity):
        validator = self.headers.get("If-Range")
        if validator is None:
            return True
        validator = validator.strip()
        if validator.startswith(('"', 'W/')):
            return entity.etag is not None and validator == entity.etag
        return entity.mtime is not None and validator == email.utils.formatdate(entity.mtime, usegmt=True)

    # -- control API ------------------------------------------------------------
    def _json(self, code, obj):
        self._send_simple(code, body=(json.dumps(obj, indent=1) + "\n").encode("utf-8"),
                          headers={"Cache-Control": "no-store"},
                          content_type="application/json")

    def _control(self, name):
        owner = self.server.owner
        try:
            length = int(self.headers.get("Content-Length", 0))
        except ValueError:
            length = -1
        if "Transfer-Encoding" in self.headers or length < 0:
            self.close_connection = True
            self._json(411, {"error": "send the body with a Content-Length"})
            return
        if length > MAX_CONTROL_BODY:
            self.close_connection = True
            self._json(413, {"error": "body too large"})
            return
        body = self.rfile.read(length) if length else b""
        endpoint = (self.command, name.rstrip("/"))
        if endpoint == ("POST", "rules"):
            try:
                count = owner.set_rules(json.loads(body.decode("utf-8") or "[]"))
            except (ValueError, UnicodeDecodeError) as exc:
                self._json(400, {"error": str(exc)})
                return
            self._json(200, {"ok": True, "rules": count})
        elif endpoint == ("GET", "rules"):
            self._json(200, owner.rules())
        elif endpoint == ("GET", "requests"):
            self._json(200, owner.requests())
        elif endpoint == ("GET", "stats"):
            query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
            self._json(200, owner.stats(query.get("prefix", [None])[0]))
        elif endpoint == ("POST", "reset"):
            owner.reset()
            self._json(200, {"ok": True})
        elif endpoint == ("POST", "sign"):
            self._sign(body)
        elif endpoint == ("POST", "shutdown"):
            self.close_connection = True
            self._json(200, {"ok": True})
            owner._stop_async("control request")
        elif name.rstrip("/") in ("rules", "requests", "stats", "reset", "shutdown", "sign"):
            self._json(405, {"error": f"{self.command} not allowed here"})
        else:
            self._json(404, {"error": f"unknown control endpoint {name!r}"})

    def _sign(self, body):
        try:
            request = json.loads(body.decode("utf-8") or "{}")
            path, name = request["path"], request["key"]
        except (ValueError, UnicodeDecodeError, KeyError, TypeError) as exc:
            self._json(400, {"error": f"expected {{\"path\": ..., \"key\": ...}}: {exc}"})
            return
        status, real = self.server.owner._resolve(path if isinstance(path, str) else None)
        if status != 200 or not isinstance(name, str) or not SIGNING_KEY_NAME.fullmatch(name):
            self._json(400, {"error": f"no file {path!r} or a bad key name {name!r}"})
            return
        try:
            self._json(200, self.server.owner.sign(real, name))
        except Exception as exc:  # noqa: BLE001 - openssl or its key, whatever failed
            self._json(500, {"error": f"signing failed: {exc}"})


def _most_at_once(intervals):
    """The most of the (start, end) intervals open at one time; an end of None is open still.
    An interval that ends when another starts does not overlap it."""
    events = []
    for start, end in intervals:
        events.append((start, 1))
        if end is not None:
            events.append((end, -1))
    most = current = 0
    for _, step in sorted(events):
        current += step
        most = max(most, current)
    return most


def _padding(count):
    """count bytes of '#', or without end when count is None."""
    block = b"#" * BLOCK_SIZE
    while count is None or count > 0:
        n = BLOCK_SIZE if count is None else min(count, BLOCK_SIZE)
        if count is not None:
            count -= n
        yield block[:n]


class _HTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address, owner):
        self.owner = owner
        super().__init__(address, _Handler)

    def server_bind(self):
        # skip HTTPServer.server_bind: its getfqdn() can be slow
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def process_request_thread(self, request, client_address):
        owner = self.owner
        if owner._ssl_context is not None:
            try:
                request.settimeout(HANDSHAKE_TIMEOUT)
                request = owner._ssl_context.wrap_socket(request, server_side=True)
            except (OSError, ValueError) as exc:
                if owner.log_requests:
                    owner._log(f"TLS handshake from port {client_address[1]} failed: {exc}")
                try:
                    request.close()
                except OSError:
                    pass
                return
        owner._track(request)
        try:
            self.finish_request(request, client_address)
        except Exception:  # noqa: BLE001 - same as socketserver
            self.handle_error(request, client_address)
        finally:
            owner._untrack(request)
            self.shutdown_request(request)

    def shutdown_request(self, request):
        if self.owner._take_abortive(request):
            try:
                request.close()
            except OSError:
                pass
            return
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError, ssl.SSLError)):
            return
        super().handle_error(request, client_address)


def refused_port():
    """A socket bound to a port on 127.0.0.1 and never listening: connections to the
    port are refused, and no server started meanwhile can take the port over (as one
    could a port that was merely free when a test picked it). Close it when done."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    return s


class MirrorServer:
    """A fault-injecting static file server running in background threads.

    root: directory to serve.  port: 0 picks a free port.  rules: list of
    rule dicts.  tls: None, (certfile, keyfile), {"cert": .., "key": ..} or an
    ssl.SSLContext.  Use start()/stop() or a with-block.
    """

    def __init__(self, root, port=0, rules=None, tls=None, *, latency_ms=0,
                 log_requests=False, idle_exit=None, log_stream=None):
        if not os.path.isdir(root):
            raise ValueError(f"root is not a directory: {root}")
        self.root = os.path.abspath(root)
        self._root_real = os.path.realpath(os.fsencode(self.root))
        self._port = int(port)
        self.latency_ms = float(latency_ms)
        self.log_requests = bool(log_requests)
        self.idle_exit = idle_exit
        self._log_stream = log_stream
        self._ssl_context = self._make_ssl_context(tls)
        self._lock = threading.Lock()
        self._log_lock = threading.Lock()
        self._rules = parse_rules(rules or [])
        self._requests = collections.deque(maxlen=MAX_LOGGED_REQUESTS)
        self._conns = {}
        self._closed = {}  # connection id -> when it closed, since the last reset
        self._conn_counter = itertools.count(1)
        self._abortive = set()
        self._inflight = 0
        self._last_activity = time.monotonic()
        self._stopping = threading.Event()
        self._stopped = threading.Event()
        self._stop_lock = threading.Lock()
        self._httpd = None
        self._thread = None
        self.stop_reason = None
        self._keys_lock = threading.Lock()
        self._keys_dir = None

    @staticmethod
    def _make_ssl_context(tls):
        if tls is None or isinstance(tls, ssl.SSLContext):
            return tls
        if isinstance(tls, dict):
            cert, key = tls["cert"], tls.get("key")
        else:
            cert, key = tls
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        return ctx

    # -- public API -------------------------------------------------------------
    @property
    def port(self):
        return self._port

    @property
    def scheme(self):
        return "https" if self._ssl_context is not None else "http"

    @property
    def url(self):
        return f"{self.scheme}://{HOST}:{self._port}"

    def url_for(self, relpath):
        """URL of a file given by its path relative to root (quoted as UTF-8)."""
        return self.url + "/" + urllib.parse.quote(relpath.lstrip("/"), safe="/")

    def start(self):
        if self._httpd is not None:
            raise RuntimeError("already started")
        self._httpd = _HTTPServer((HOST, self._port), self)
        self._port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever,
                                        kwargs={"poll_interval": 0.2},
                                        name=f"mirror-server-{self._port}", daemon=True)
        self._thread.start()
        if self.idle_exit:
            threading.Thread(target=self._idle_watchdog, name="mirror-idle", daemon=True).start()
        return self

    def stop(self):
        with self._stop_lock:
            if self._httpd is None or self._stopped.is_set():
                return
            self._stopping.set()
            self._httpd.shutdown()
            with self._lock:
                conns = list(self._conns)
            for conn in conns:
                try:
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self._httpd.server_close()
            self._thread.join()
            if self._keys_dir is not None:
                shutil.rmtree(self._keys_dir, ignore_errors=True)
            self._stopped.set()

    def wait(self, timeout=None):
        """Wait until the server has stopped; returns True if it has."""
        return self._stopped.wait(timeout)

    def set_rules(self, rules):
        parsed = parse_rules(rules)
        with self._lock:
            self._rules = parsed
        return len(parsed)

    def rules(self):
        with self._lock:
            return [r.describe() for r in self._rules]

    def requests(self):
        with self._lock:
            return [dict(r) for r in self._requests]

    def reset(self):
        with self._lock:
            self._rules = []
            self._requests.clear()
            self._closed.clear()

    def stats(self, prefix=None):
        """What the server answered since the last reset, counted (see RULE_HELP); with a
        prefix, only the requests whose decoded path starts with it."""
        with self._lock:
            chosen = [dict(r) for r in self._requests
                      if prefix is None or (r["decoded_path"] or "").startswith(prefix)]
            closed = dict(self._closed)
        methods, statuses, files, first_use = {}, {}, {}, {}
        for r in chosen:
            methods[r["method"]] = methods.get(r["method"], 0) + 1
            status = str(r["status"]) if r["status"] is not None else "none"
            statuses[status] = statuses.get(status, 0) + 1
            counts = files.setdefault(r["decoded_path"] or r["path"], {"requests": 0, "sent": 0})
            counts["requests"] += 1
            counts["sent"] += r["sent"] if r["status"] in (200, 206) else 0
            first_use.setdefault(r["conn"], r["time"])
        return {"prefix": prefix, "requests": len(chosen),
                "sent": sum(r["sent"] for r in chosen if r["status"] in (200, 206)),
                "methods": methods, "statuses": statuses, "files": files,
                "in_progress": sum(1 for r in chosen if r["end"] is None),
                "max_in_progress": _most_at_once((r["time"], r["end"]) for r in chosen),
                "connections": len(first_use),
                "max_connections": _most_at_once((t, closed.get(c)) for c, t in first_use.items())}

    def sign(self, path, key_name):
        """{"signature", "public_key"}: base64 of the DER signature of the file at
        `path` and of the key's DER SubjectPublicKeyInfo; the key is made on first use."""
        import make_manifest  # the publisher's own signing, beside this file

        key = self._signing_key(key_name)
        with open(path, "rb") as f:
            data = f.read()
        return {"signature": base64.b64encode(make_manifest.sign(data, key)).decode("ascii"),
                "public_key": make_manifest.trusted_key(key)}

    def _signing_key(self, name):
        with self._keys_lock:
            if self._keys_dir is None:
                self._keys_dir = tempfile.mkdtemp(prefix="mirror-server-keys-")
            path = os.path.join(self._keys_dir, name + ".pem")
            if not os.path.exists(path):
                subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                                "ec_paramgen_curve:P-256", "-out", path], capture_output=True, check=True)
            return path

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- internals used by the handler -------------------------------------------
    def _log(self, message):
        stream = self._log_stream or sys.stderr
        with self._log_lock:
            try:
                stream.write(f"mirror_server: {message}\n")
                stream.flush()
            except (OSError, ValueError):
                pass

    def _stop_async(self, reason):
        self.stop_reason = reason
        threading.Thread(target=self.stop, name="mirror-stop", daemon=True).start()

    def _idle_watchdog(self):
        limit = float(self.idle_exit)
        while not self._stopping.wait(min(1.0, limit / 4)):
            with self._lock:
                idle = self._inflight == 0 and time.monotonic() - self._last_activity >= limit
            if idle:
                self._log(f"no request for {limit:g}s, exiting")
                self._stop_async("idle")
                return

    def _touch(self):
        with self._lock:
            self._last_activity = time.monotonic()

    def _activity(self, delta):
        with self._lock:
            self._inflight += delta
            self._last_activity = time.monotonic()

    def _track(self, conn):
        with self._lock:
            self._conns[conn] = next(self._conn_counter)

    def _untrack(self, conn):
        with self._lock:
            conn_id = self._conns.pop(conn, None)
            if conn_id is not None:
                self._closed[conn_id] = time.time()

    def _conn_info(self, conn):
        with self._lock:
            return self._conns.get(conn, 0), isinstance(conn, ssl.SSLSocket)

    def _mark_abortive(self, conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        with self._lock:
            self._abortive.add(conn)

    def _take_abortive(self, conn):
        with self._lock:
            if conn in self._abortive:
                self._abortive.discard(conn)
                return True
            return False

    def _match(self, method, raw_target, decoded):
        with self._lock:
            for index, rule in enumerate(self._rules):
                if rule.exhausted() or not rule.matches(method, raw_target, decoded):
                    continue
                if rule.skip_left > 0:
                    rule.skip_left -= 1
                    continue
                if rule.remaining is not None:
                    rule.remaining -= 1
                rule.hits += 1
                return index, rule
        return None, None

    def _record(self, method, raw_target, decoded, headers, conn_id, is_tls, rule_index):
        merged = {}
        for key, value in headers.items():
            merged[key] = f"{merged[key]}, {value}" if key in merged else value
        entry = {"method": method, "path": raw_target, "decoded_path": decoded,
                 "headers": merged, "time": time.time(), "conn": conn_id,
                 "tls": is_tls, "rule": rule_index, "sent": 0, "status": None,
                 "range": merged.get("Range"), "end": None}
        with self._lock:
            self._requests.append(entry)
        return entry

    def _count_sent(self, entry, sent, status=None, ended=False):
        with self._lock:
            entry["sent"] = sent
            if status is not None:
                entry["status"] = status
            if ended:
                entry["end"] = time.time()

    def _resolve(self, decoded):
        """Map a decoded URL path to a file below root: (status, path)."""
        if decoded is None or not decoded.startswith("/") or "\x00" in decoded:
            return 400, None
        parts = []
        for segment in decoded.split("/"):
            if segment in ("", "."):
                continue
            if segment == "..":
                if not parts:
                    return 403, None
                parts.pop()
            else:
                parts.append(segment.encode("utf-8"))
        root = self._root_real
        real = os.path.realpath(os.path.join(root, *parts))
        if real != root and not real.startswith(root + os.sep.encode()):
            return 403, None
        if not os.path.isfile(real):
            return 404, None
        return 200, real


# -- command line -------------------------------------------------------------------

def _load_rules(args):
    specs = []
    if args.rules_file:
        with open(args.rules_file, encoding="utf-8") as f:
            loaded = json.load(f)
        specs.extend(loaded if isinstance(loaded, list) else [loaded])
    for text in args.rule:
        loaded = json.loads(text)
        specs.extend(loaded if isinstance(loaded, list) else [loaded])
    return parse_rules(specs)


def _write_port_file(path, port):
    directory = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(directory, f".{os.path.basename(path)}.{os.getpid()}.tmp")
    with open(tmp, "w", encoding="ascii") as f:
        f.write(f"{port}\n")
    os.replace(tmp, path)


def build_arg_parser():
    parser = argparse.ArgumentParser(
        prog="mirror_server.py",
        description="Fault-injecting static HTTP/HTTPS file server on 127.0.0.1 for "
                    "download-engine tests.  Prints 'LISTENING <port>' once ready.",
        epilog=RULE_HELP + """
control API (not recorded, not subject to rules):
  POST /__control/rules      JSON list of rules, replaces all
  GET  /__control/rules      current rules with hit/remaining counters
  GET  /__control/requests   received requests: method, path (raw), decoded_path,
                             headers, time, end, conn, tls, rule, sent, status, range
  GET  /__control/stats      counts since the reset: requests, sent, methods,
                             statuses, files (requests and sent per path),
                             in_progress, max_in_progress, connections,
                             max_connections; ?prefix=/m1/ for one prefix only
  POST /__control/reset      clear rules, request log and counts
  POST /__control/shutdown   stop the server
  POST /__control/sign       {"path": "/dir/manifest.json", "key": "name"}: base64
                             signature (openssl dgst -sha256 -sign) and public key
                             of a P-256 key made for that name on first use

example:
  mirror_server.py --root data --port 0 --rule '{"path_glob": "*.bin", "short": true, "times": 1}'
""",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True, metavar="DIR", help="directory to serve")
    parser.add_argument("--port", type=int, default=0, metavar="N",
                        help="TCP port on 127.0.0.1 (default 0: pick a free port)")
    parser.add_argument("--port-file", metavar="PATH",
                        help="write the port number to PATH (atomically) once listening")
    parser.add_argument("--tls-cert", metavar="CERT", help="serve HTTPS with this PEM certificate")
    parser.add_argument("--tls-key", metavar="KEY", help="private key for --tls-cert")
    parser.add_argument("--rule", action="append", default=[], metavar="JSON",
                        help="a fault rule as a JSON object (or list); repeatable")
    parser.add_argument("--rules-file", metavar="PATH",
                        help="JSON list of rules, applied before the --rule ones")
    parser.add_argument("--latency-ms", type=float, default=0, metavar="MS",
                        help="default delay before every answer (a rule's latency_ms replaces it)")
    parser.add_argument("--log-requests", action="store_true",
                        help="print one line per request to stderr")
    parser.add_argument("--idle-exit", type=float, default=None, metavar="SECONDS",
                        help="exit when no request arrived for SECONDS (default: never)")
    return parser


def main(argv=None):
    parser = build_arg_parser()
    args = parser.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    if args.idle_exit is not None and args.idle_exit <= 0:
        parser.error("--idle-exit must be positive")
    try:
        rules = _load_rules(args)
    except (OSError, ValueError) as exc:
        parser.error(f"bad rules: {exc}")
    tls = (args.tls_cert, args.tls_key) if args.tls_cert else None
    try:
        server = MirrorServer(args.root, args.port, rules, tls, latency_ms=args.latency_ms,
                              log_requests=args.log_requests, idle_exit=args.idle_exit)
        server.start()
    except (OSError, ValueError, ssl.SSLError) as exc:
        print(f"mirror_server: cannot start: {exc}", file=sys.stderr)
        return 1

    stop_signal = threading.Event()

    def on_signal(signum, _frame):
        server.stop_reason = signal.Signals(signum).name
        stop_signal.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.port_file:
        _write_port_file(args.port_file, server.port)
    print(f"LISTENING {server.port}", flush=True)
    while not server.wait(0.2):
        if stop_signal.is_set():
            server.stop()
    if args.log_requests:
        print(f"mirror_server: stopped ({server.stop_reason})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
