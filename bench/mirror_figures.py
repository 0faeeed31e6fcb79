#!/usr/bin/env python3
"""What mirrors that stall, refuse, waste or crawl cost an install: each case run
once per build against mirror servers on 127.0.0.1, timed whole, its requests and
bytes counted by each mirror.

    bench/mirror_figures.py BIN_DIR [BIN_DIR ...] [--case NAME]... [--option NAME=VALUE]...

Each BIN_DIR holds tolvek-install.exe and the DLL it loads (build/bin); the host runs
under Wine. --option is handed to the host as it is (a host that predates it fails
the run). Every mirror is a tools/mirror_server.py of its own, or a port that refuses
connections; the mirror meant to be chosen first answers the probe at once, the
others 150 or 300 ms later. The cases (all by default):

  stall   3 files of 200 KB; the fastest mirror stalls every body at half for 60 s,
          a second one is healthy
  probe   four mirrors that refuse connections and one healthy, every file already
          valid in the target; beside it the same run with the healthy mirror alone,
          and the probe stage as the log's stamps (whole seconds) date it
  stale   8 files of 1 MiB; the fastest mirror serves an older build whose files
          are an eighth smaller, a second one the right build
  404     20 files of 4 KiB; the fastest mirror answers 404 to every file, a second
          one serves them
  403     the same with 403 (a signed-URL token that expired)
  416     one 32 MiB file; the fastest mirror drops it at 24 MiB on every request,
          the next holds a stale copy of 20 MiB (it answers the resume with 416), the
          last one the right file
  cut     one 40 MiB file from one mirror that cuts every connection after 10 MiB
  crawl   one file of 40 KB; the fastest-probing mirror sends bodies at 1.5 KB/s,
          the other at full speed
  slowline  one file of 100 KB; both mirrors send at 3 KB/s (a user's slow line)
  past4g  one file of 4.5 GiB (zeros, sparse on the mirror) from one mirror; only
          when asked for with --case (it needs about 9 GiB of disk and minutes)

Prints one markdown table: per case and build whether the file set installed (the
result text when not), the seconds of the run, and per mirror the GET requests and
the body bytes it sent, with all bytes sent over the product's size.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from datetime import datetime

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from mirror_server import MirrorServer, refused_port  # noqa: E402

WINE = "/usr/lib/wine/wine64"
KB, MIB = 1000, 1 << 20
SLOWER_PROBE = ({"method": "HEAD", "latency_ms": 150}, {"method": "HEAD", "latency_ms": 300})
STAMP = re.compile(r"^\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\] (.*)$")
PROBE_START, PROBE_END = "Testing CDN endpoints", ("Selected CDN", "All CDN probes failed")


def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def environment():
    env = dict(os.environ, WINEDEBUG="-all")
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY"):
        env.pop(name, None)
    return env


def files_of(count, size, name="file_{:02d}.bin"):
    return {f"data/{name.format(i)}": os.urandom(size) for i in range(count)}


class Zeros:
    """The content of a file of `size` zero bytes, written sparse."""

    def __init__(self, size):
        self.size = size

    def __len__(self):
        return self.size

    def write(self, f):
        f.truncate(self.size)

    def sha256(self):
        digest, block = hashlib.sha256(), bytes(64 * MIB)
        for start in range(0, self.size, len(block)):
            digest.update(block[:min(len(block), self.size - start)])
        return digest


def sha256_hex(data):
    return (data.sha256() if isinstance(data, Zeros) else hashlib.sha256(data)).hexdigest().upper()


class Mirror:
    """One mirror of a case: a server with its own copy of the files (or a refused port)."""

    def __init__(self, name, files=None, rules=(), probe=None):
        self.name, self.files, self.rules, self.probe = name, files, list(rules), probe
        self.server = self.socket = None

    def start(self, root):
        if self.files is None:  # nothing listens: every connection is refused
            self.socket = refused_port()
            self.url = f"http://127.0.0.1:{self.socket.getsockname()[1]}/m"
            return
        for key, data in self.files.items():
            path = os.path.join(root, self.name, "m", *key.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                if isinstance(data, Zeros):
                    data.write(f)
                else:
                    f.write(data)
        probe = [] if self.probe is None else [SLOWER_PROBE[self.probe]]
        self.server = MirrorServer(os.path.join(root, self.name), rules=probe + self.rules).start()
        self.url = self.server.url + "/m"

    def counts(self):
        """(GET requests, body bytes sent for them); None for a refused port."""
        if self.server is None:
            return None
        seen = self.server.stats()
        return seen["methods"].get("GET", 0), seen["sent"]  # a HEAD sends no body

    def stop(self):
        if self.server is not None:
            self.server.stop()
        if self.socket is not None:
            self.socket.close()


class Case:
    """A product, its mirrors (in the manifest's order) and what an install of it costs."""

    def __init__(self, product, mirrors, prefilled=False):
        self.product, self.mirrors, self.prefilled = product, mirrors, prefilled

    def run(self, bin_dir, options):
        work = tempfile.mkdtemp(prefix="mirror-figures-")
        try:
            for mirror in self.mirrors:
                mirror.start(work)
            entries = {key: {"size": len(data), "hash": sha256_hex(data)} for key, data in self.product.items()}
            os.makedirs(os.path.join(work, "origin"))
            with open(os.path.join(work, "origin", "manifest.json"), "w") as f:
                json.dump({"version": 1, "cdn_list": [m.url for m in self.mirrors], "files": entries}, f)
            target = os.path.join(work, "target")
            if self.prefilled:
                for key, data in self.product.items():
                    path = os.path.join(target, *key.split("/"))
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "wb") as f:
                        f.write(data)
            with MirrorServer(os.path.join(work, "origin")) as origin:
                given = [arg for option in options for arg in ("--option", option)]
                command = [WINE, os.path.join(bin_dir, "tolvek-install.exe"), *given, origin.url + "/manifest.json",
                           windows(target), windows(os.path.join(work, "install.log")), windows(os.path.join(work, "wd"))]
                # Into a file, not a pipe: Wine's helper processes may outlive the host and hold a pipe.
                with open(os.path.join(work, "host.out"), "w") as out:
                    started = time.monotonic()
                    code = subprocess.run(command, env=environment(), stdout=out, stderr=subprocess.STDOUT,
                                          timeout=1800).returncode
                    seconds = time.monotonic() - started
            log, said = (read_text(os.path.join(work, name)) for name in ("install.log", "host.out"))
            results = [line[len("Result: "):] for line in said.splitlines() if line.startswith("Result: ")]
            result = results[-1] if results else (said.strip().splitlines() or ["no result"])[0]
            return {"code": code, "result": result,
                    "seconds": seconds, "log": log, "counts": [(m.name, m.counts()) for m in self.mirrors]}
        finally:
            for mirror in self.mirrors:
                mirror.stop()
            shutil.rmtree(work, ignore_errors=True)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def probe_stage_seconds(log):
    """From the probe's first line to its choice, by the log's stamps (whole seconds)."""
    start = end = None
    for line in log.splitlines():
        m = STAMP.match(line)
        if not m:
            continue
        when = datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")
        if start is None and m.group(2).startswith(PROBE_START):
            start = when
        if start is not None and m.group(2).startswith(PROBE_END):
            end = when
            break
    return None if start is None or end is None else (end - start).total_seconds()


def cases():
    """Case name -> a function making a fresh Case (fresh files, fresh rule counters)."""
    def stall():
        product = files_of(3, 200 * KB)
        return Case(product, [Mirror("staller", product, [{"method": "GET", "stall_after_bytes": 100 * KB,
                                                            "stall_seconds": 60}]),
                              Mirror("healthy", product, probe=1)])

    def probe(alone=False):
        product = files_of(20, 4096)
        refused = [] if alone else [Mirror(f"refused{i}") for i in range(1, 5)]
        return Case(product, refused + [Mirror("healthy", product)], prefilled=True)

    def stale():
        product = files_of(8, MIB)
        older = {key: os.urandom(len(data) * 7 // 8) for key, data in product.items()}
        return Case(product, [Mirror("stale", older), Mirror("good", product, probe=1)])

    def refusing(status):
        def make():
            product = files_of(20, 4096)
            return Case(product, [Mirror(str(status), product, [{"method": "GET", "status": status}]),
                                  Mirror("good", product, probe=1)])
        return make

    def after_drop():
        product = files_of(1, 32 * MIB)
        key, data = next(iter(product.items()))
        return Case(product, [Mirror("dropper", product, [{"method": "GET", "drop_at_byte": 24 * MIB}]),
                              Mirror("stale", {key: data[:20 * MIB]}, probe=0), Mirror("good", product, probe=1)])

    def cut():
        product = files_of(1, 40 * MIB)
        return Case(product, [Mirror("cutter", product, [{"method": "GET", "drop_after_bytes": 10 * MIB}])])

    def crawl():
        product = files_of(1, 40 * KB)
        return Case(product, [Mirror("crawler", product, [{"method": "GET", "bytes_per_second": 1500}]),
                              Mirror("fast", product, probe=1)])

    def slow_line():
        product = files_of(1, 100 * KB)
        paced = [{"method": "GET", "bytes_per_second": 3000}]
        return Case(product, [Mirror("first", product, paced), Mirror("second", product, paced, probe=1)])

    def past_4_gib():
        product = {"data/huge.bin": Zeros(4608 * MIB)}
        return Case(product, [Mirror("only", product)])

    return {"stall": stall, "probe": probe, "stale": stale, "404": refusing(404), "403": refusing(403),
            "416": after_drop, "cut": cut, "crawl": crawl, "slowline": slow_line,
            "past4g": past_4_gib}, {"probe": lambda: probe(alone=True)}


ASKED_FOR_ONLY = {"past4g"}


def mib(count):
    return "0" if count == 0 else f"{count / MIB:.2f}" if count >= MIB // 100 else f"{count / MIB:.4f}"


def row(name, bin_dir, outcome, product_size, note=""):
    counted = [(n, c) for n, c in outcome["counts"] if c is not None]
    requests = ", ".join(f"{n} {c[0]}" for n, c in counted)
    sent = ", ".join(f"{n} {mib(c[1])}" for n, c in counted)
    total = sum(c[1] for _, c in counted)
    installed = "yes" if outcome["code"] == 0 else f"no: {outcome['result']}"
    return (f"| {name} | {bin_dir} | {installed} | {outcome['seconds']:.1f} | {requests} | {sent} | "
            f"{total / product_size:.2f}x | {note} |")


def main():
    makers, baselines = cases()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bin_dirs", nargs="+")
    parser.add_argument("--case", action="append", choices=list(makers), help="run only this case (repeatable)")
    parser.add_argument("--option", action="append", default=[], metavar="NAME=VALUE",
                        help="handed to the host as --option NAME=VALUE (repeatable)")
    args = parser.parse_args()
    print("| case | build | installed | seconds | GET requests per mirror | MiB sent per mirror | "
          "sent / product | note |")
    print("|---|---|---|---:|---|---|---:|---|")
    for name in args.case or [name for name in makers if name not in ASKED_FOR_ONLY]:
        for bin_dir in args.bin_dirs:
            note = ""
            if name in baselines:  # first: the case then finds Wine as warm as its baseline did
                alone = baselines[name]().run(bin_dir, args.option)
            case = makers[name]()
            size = sum(map(len, case.product.values()))
            outcome = case.run(bin_dir, args.option)
            if name in baselines:
                stage = probe_stage_seconds(outcome["log"])
                note = (f"healthy mirror alone: {alone['seconds']:.1f} s; probe stage by the log's stamps: "
                        + ("n/a" if stage is None else f"{stage:.0f} s"))
            print(row(name, bin_dir, outcome, size, note), flush=True)


if __name__ == "__main__":
    main()
