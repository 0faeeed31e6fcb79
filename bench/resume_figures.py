#!/usr/bin/env python3
"""Bytes a mirror sends to install one file when transfers break, counted by the
mirror server: a connection dropped at half, a run that fails after 60 % and is run
again, a setup program killed at half and run again.

    bench/resume_figures.py BIN_DIR [BIN_DIR ...] [--size-mib 32]

Each BIN_DIR holds tolvek-install.exe and the DLL it loads (build/bin); the host
runs under Wine against a mirror server on 127.0.0.1. Prints one table row per case
and directory: the bytes of the file the mirror sent over all runs, and that over
the file's size.
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from mirror_server import MirrorServer  # noqa: E402

WINE = "/usr/lib/wine/wine64"
KEY = "game/data.pak"


def windows(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def environment():
    env = dict(os.environ, WINEDEBUG="-all")
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"):
        env.pop(name, None)
    return env


class Case:
    def __init__(self, bin_dir, root, server, size):
        self.bin_dir, self.server, self.size = bin_dir, server, size
        self.work = tempfile.mkdtemp(prefix="resume-figures-", dir=root)
        self.target = os.path.join(self.work, "target")
        self.temporary = os.path.join(self.target, *KEY.split("/")) + ".download"
        self.manifest = server.url + "/manifest.json"

    def command(self):
        return [WINE, os.path.join(self.bin_dir, "tolvek-install.exe"), self.manifest, windows(self.target),
                windows(os.path.join(self.work, "install.log")), windows(os.path.join(self.work, "wd"))]

    def install(self):
        return subprocess.run(self.command(), env=environment(), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=600).returncode

    def install_killed_at(self, size):
        host = subprocess.Popen(self.command(), env=environment(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            if os.path.exists(self.temporary) and os.path.getsize(self.temporary) >= size:
                break
            time.sleep(0.02)
        host.send_signal(signal.SIGKILL)  # a power loss, as the setup program sees it
        host.wait()

    def sent(self):
        return sum(r["sent"] for r in self.server.requests()
                   if r["method"] == "GET" and r["path"].endswith("/data.pak") and r["status"] in (200, 206))

    def installed(self):
        with open(os.path.join(self.target, *KEY.split("/")), "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()


def rule(**fields):
    return dict(path="/m/" + KEY, method="GET", **fields)


def run_case(name, bin_dir, root, server, size, digest):
    server.reset()
    case = Case(bin_dir, root, server, size)
    if name == "drop":
        server.set_rules([rule(drop_at_byte=size // 2, times=1)])
        codes = [case.install()]
    elif name == "fail":
        server.set_rules([rule(drop_at_byte=size * 6 // 10, times=1), rule(status=503)])
        codes = [case.install()]
        server.set_rules([])
        codes.append(case.install())
    else:
        server.set_rules([rule(stall_after_bytes=size // 2, stall_seconds=20, times=1)])
        case.install_killed_at(size // 2)
        server.set_rules([])
        codes = [case.install()]
    ok = codes[-1] == 0 and case.installed() == digest
    sent = case.sent()
    shutil.rmtree(case.work, ignore_errors=True)
    return sent, ok, codes


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bin_dirs", nargs="+")
    parser.add_argument("--size-mib", type=int, default=32)
    args = parser.parse_args()
    size = args.size_mib << 20
    root = tempfile.mkdtemp(prefix="resume-mirror-")
    try:
        content = os.urandom(size)
        digest = hashlib.sha256(content).hexdigest()
        os.makedirs(os.path.join(root, "m", "game"))
        with open(os.path.join(root, "m", *KEY.split("/")), "wb") as f:
            f.write(content)
        with MirrorServer(root) as server:
            manifest = {"version": 1, "cdn_list": [server.url + "/m"],
                        "files": {KEY: {"size": size, "hash": digest.upper()}}}
            with open(os.path.join(root, "manifest.json"), "w") as f:
                json.dump(manifest, f)
            cases = {"drop": "the connection drops at half, the next attempt succeeds",
                     "fail": "a run fails after 60 % (then 503), the next run succeeds",
                     "kill": "the setup program is killed at half, the next run succeeds"}
            print(f"| case, one {args.size_mib} MiB file | build | bytes the mirror sent | over the size | installed |")
            print("|---|---|---:|---:|---|")
            for name, text in cases.items():
                for bin_dir in args.bin_dirs:
                    sent, ok, codes = run_case(name, bin_dir, root, server, size, digest)
                    print(f"| {text} | {bin_dir} | {sent / 1048576:.2f} MiB | {sent / size:.2f}x | "
                          f"{'yes' if ok else 'no'} (exit {'/'.join(map(str, codes))}) |", flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
