#!/usr/bin/env python3
"""How soon a cancel and a shutdown are answered in each phase of a run that waits.

For every phase (a manifest server that never answers, a connect never accepted,
response headers that drip, the probe of a silent mirror, a body stalled at half,
a body that trickles, a retry pause, the digest of a 2 GiB file) one run is
started through engine_bench's `stop` command, stopped 1 s into the phase, and
timed: the cancel call and the time until the run is done, or the shutdown call.
Each figure is the median of --runs runs; --before DLL adds a column for another
build of the engine.

    bench/stop_figures.py BUILD_DIR [--before OTHER.dll] [--runs 3]
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOOLS = HERE.parent / "tools"
WINE = "/usr/lib/wine/wine64"
BIG = 2 << 30  # the already-present file whose digest the run computes


NEVER = "stop_never_answered_ms"


def shown(milliseconds):
    if milliseconds == float("inf"):
        return "never (over 120 s)"
    return f"{milliseconds:.0f} ms" if milliseconds < 1000 else f"{milliseconds / 1000:.1f} s"


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def wine_env():
    env = {k: v for k, v in os.environ.items() if k.lower() not in ("http_proxy", "https_proxy")}
    env["WINEDEBUG"] = "-all"
    return env


def start_server(argv, port_file):
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if port_file.exists() and port_file.read_text().strip():
            return process, int(port_file.read_text())
        time.sleep(0.05)
    process.kill()
    sys.exit(f"server did not start: {argv}")


def set_rules(port, rules):
    request = urllib.request.Request(f"http://127.0.0.1:{port}/__control/rules", data=json.dumps(rules).encode(),
                                     method="POST")
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    opener.open(request).read()


def publish(root, name, files, mirror):
    """A product under root/name: its files under m1/, its manifest naming `mirror`."""
    entries = {}
    for key, data in files.items():
        path = root / name / "m1" / key
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        entries[key] = {"size": len(data), "hash": hashlib.sha256(data).hexdigest().upper()}
    (root / name / "manifest.json").write_text(json.dumps({"files": entries, "cdn_list": [mirror]}))


def zeros_digest(size):
    block, digest = bytes(1 << 20), hashlib.sha256()
    for _ in range(size >> 20):
        digest.update(block)
    return digest.hexdigest().upper()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--before", help="another build's DLL, measured in a column of its own")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    build = Path(args.build).resolve()
    bench = build / "bin" / "engine_bench.exe"
    dlls = {"now": build / "bin" / "tolvek_online_installer.dll"}
    if args.before:
        dlls = {"before": Path(args.before).resolve(), **dlls}

    work = Path(tempfile.mkdtemp(prefix="stop_figures_"))
    root = work / "www"
    root.mkdir()
    servers = []
    try:
        http, port = start_server([sys.executable, str(TOOLS / "mirror_server.py"), "--root", str(root), "--port-file",
                                   str(work / "http.port")], work / "http.port")
        servers.append(http)
        silent, silent_port = start_server([sys.executable, str(TOOLS / "silent_server.py"), "--port-file",
                                            str(work / "silent.port"), "--unaccepted-port-file",
                                            str(work / "unaccepted.port")], work / "silent.port")
        servers.append(silent)
        unaccepted = int((work / "unaccepted.port").read_text())
        base = f"http://127.0.0.1:{port}"
        body = os.urandom(1 << 20)
        publish(root, "p", {"a.txt": b"a", "b.bin": body}, f"{base}/p/m1")
        publish(root, "probe", {"a.txt": b"a"}, f"http://127.0.0.1:{silent_port}/probe/m1")
        # A large file already in place: the run computes its digest before it would download.
        (root / "big" / "m1").mkdir(parents=True, exist_ok=True)
        (root / "big" / "manifest.json").write_text(json.dumps(
            {"files": {"big.bin": {"size": BIG, "hash": zeros_digest(BIG)}}, "cdn_list": [f"{base}/big/m1"]}))
        (root / "big" / "m1" / "big.bin").write_bytes(b"")

        stalled = {"path": "/p/m1/b.bin", "method": "GET", "stall_after_bytes": len(body) // 2, "stall_seconds": 90}
        trickle = {"path": "/p/m1/b.bin", "method": "GET", "drip": True, "drip_bytes": 1, "drip_interval_ms": 1000}
        phases = [
            ("manifest server accepts and never answers", f"http://127.0.0.1:{silent_port}/p/manifest.json", [],
             "Downloading manifest", "-", False),
            ("connect to a port that never accepts", f"http://127.0.0.1:{unaccepted}/p/manifest.json", [],
             "Downloading manifest", "-", False),
            ("response headers arriving one byte per second", f"{base}/p/manifest.json",
             [{"path": "/p/manifest.json", "header_drip": True}], "Downloading manifest", "-", False),
            ("probe of a silent mirror", f"{base}/probe/manifest.json", [], "Testing CDN", "-", False),
            ("body stalled at half", f"{base}/p/manifest.json", [stalled], "Downloading", "b.bin", False),
            ("body trickling one byte per second", f"{base}/p/manifest.json", [trickle], "Downloading", "b.bin", False),
            ("retry pause of the manifest", f"{base}/p/manifest.json", [{"path": "/p/manifest.json", "status": 500}],
             "Downloading manifest", "-", False),
            ("digest of a 2 GiB file", f"{base}/big/manifest.json", [], "Testing CDN", "-", True),
        ]
        print("| phase | " + " | ".join(f"cancel until done ({k}) | shutdown returns after ({k})" for k in dlls) + " |")
        print("|---|" + "---:|" * (2 * len(dlls)))
        for name, url, rules, status, item, big in phases:
            cells = []
            for dll in dlls.values():
                for mode, figure in (("cancel", "cancel_to_done_ms"), ("shutdown", "shutdown_ms")):
                    times = []
                    for _ in range(args.runs):
                        set_rules(port, rules)
                        run = Path(tempfile.mkdtemp(dir=work))
                        target = run / "target"
                        target.mkdir()
                        if big:
                            with open(target / "big.bin", "wb") as handle:
                                handle.truncate(BIG)
                        # In the retry phase the stop comes inside a pause: the 500 is at once.
                        delay = "300" if "pause" in name else ("1500" if big else "1000")
                        out = subprocess.run([WINE, str(bench), "stop", windows_path(dll), url, windows_path(target),
                                              windows_path(run / "log.txt"), windows_path(run / "work"), status, item,
                                              mode, delay], env=wine_env(), capture_output=True, text=True)
                        for line in out.stdout.splitlines():
                            parts = line.split()
                            if len(parts) == 4 and parts[0] == "RESULT" and parts[1] in (figure, NEVER):
                                times.append(float("inf") if parts[1] == NEVER else float(parts[2]))
                        shutil.rmtree(run, ignore_errors=True)
                    cells.append(shown(statistics.median(times)) if times else "n/a")
            print(f"| {name} | " + " | ".join(cells) + " |", flush=True)
    finally:
        for server in servers:
            server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
