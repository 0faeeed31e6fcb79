#!/usr/bin/env python3
"""Benchmark of tolvek_online_installer.dll against its peers, on this machine.

Serves three workloads from a local nginx on 127.0.0.1 and installs each one
with the DLL (through the reference host under Wine), with aria2c (checksums,
one download at a time), with curl followed by sha256sum and with
platform_floor.exe (only the platform calls the file stage needs, per file),
and measures the transfer alone (curl to /dev/null). Every command is timed
whole, several times, in interleaved rounds; the table gives medians, and the
DLL's time divided by the floor's. Then engine_bench.exe
times the engine's own functions and the platform calls beneath them, so the
DLL's time can be split into its parts, and measures the manifest parser and
the cost of a progress poll.

A fourth set is bound by round trips, not bytes: 300 files of 1-32 KiB from
tools/mirror_server.py, which waits 20 ms before each answer, installed by the
DLL with `--option parallel=1` and `--option parallel=6` given to the reference
host, and by aria2c with six downloads at once (-j6), on the same mirror in the
same rounds; the mirror counts the most connections and requests open at once.
A host that does not take --option ends the benchmark before its first round;
--no-option measures an engine from before the option, once per round, as is.

    run_bench.py BUILD_DIR [--runs N] [--work DIR] [--results DIR] [--quick]
                 [--sets large,many,resume,latency] [--no-option]

Writes results.md, results.csv and chart.png into bench/results/ (or --results).
--quick makes small workloads (300 files, two of 32 MiB, 100 behind latency),
skips engine_bench and writes into its own work and results directories: a check of
the benchmark itself, not a measurement. --sets runs only the sets named (engine_bench
and document_bench run with all four only) and writes into the work directory's results.
"""

import argparse
import csv
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tools"))
import make_manifest  # noqa: E402

MIB = 1 << 20
WINE = "/usr/lib/wine/wine64"
LARGE_FILES, LARGE_SIZE = 8, 128 * MIB
MANY_FILES, MANY_MIN, MANY_MAX = 5000, 1024, 64 * 1024
PARSER_ENTRIES = 100_000
SMALL_FILE = "many/pkg00/mod0/file_0001.dat"  # 30 KiB
DATA_VERSION = "1"  # change to regenerate cached data
WORK_DEFAULT = "/tmp/tolvek-bench"
LATENCY_FILES, LATENCY_MIN, LATENCY_MAX, LATENCY_MS = 300, 1024, 32 * 1024, 20
LATENCY_VERSION = "1"
LATENCY_PARALLEL = (1, 6)  # the DLL's `parallel` option in the latency set's runs
ARIA2C_JOBS = 6
SETS = ("large", "many", "resume", "latency")
# The latency set's targets: parallel=1 over parallel=6 at least, parallel=6 over aria2c at most.
LATENCY_SPEED_UP, LATENCY_PEER_RATIO = 5.0, 1.0

# Targets of the issue: the DLL's time over the peer's, at most.
TARGETS = {("many", "aria2c"): 1.0, ("resume", "aria2c"): 1.0, ("large", "curl+sha256sum"): 1.5}
# The DLL's time over the platform floor's (for resume: the floor's hashing alone), at most.
FLOOR_TARGETS = {"large": 1.05, "many": 1.05, "resume": 1.05}
POLL_TARGET_NS = 2000


def log(text):
    print(text, file=sys.stderr, flush=True)


def quiet_env(extra=None):
    """The environment without proxies, so that loopback stays loopback."""
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "all_proxy", "no_proxy")}
    env.update(extra or {})
    return env


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


# ---- workloads ---------------------------------------------------------------------

def write_random_file(path, size, rng):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, MIB)
            f.write(rng.randbytes(n))
            left -= n


def make_data(www):
    """The served files and their manifest entries, made once and kept."""
    marker = www / f".complete-{DATA_VERSION}"
    if marker.exists():
        return json.loads(marker.read_text())
    log("making the workloads' files (once)...")
    shutil.rmtree(www, ignore_errors=True)
    rng = random.Random(20240611)
    for i in range(LARGE_FILES):
        write_random_file(www / "large" / f"blob_{i:02d}.bin", LARGE_SIZE, rng)
    for i in range(MANY_FILES):
        # 50 packages x 10 modules x 10 files, some a level deeper.
        folder = www / "many" / f"pkg{i // 100:02d}" / f"mod{i // 10 % 10}"
        if i % 3 == 0:
            folder = folder / "res"
        write_random_file(folder / f"file_{i:04d}.dat", rng.randint(MANY_MIN, MANY_MAX), rng)
    entries = {}
    for name in ("large", "many"):
        manifest, _ = make_manifest.build_manifest(str(www / name), ["http://placeholder/"])
        entries[name] = manifest["files"]
    marker.write_text(json.dumps(entries))
    return entries


def make_latency_data(www, count):
    """The latency set's files and entries, made once and kept beside the other sets'."""
    marker = www / f".latency-{LATENCY_VERSION}-{count}"
    if marker.exists():
        return json.loads(marker.read_text())
    log("making the latency set's files (once)...")
    folder = www / "latency"
    shutil.rmtree(folder, ignore_errors=True)
    rng = random.Random(20240612)
    for i in range(count):
        write_random_file(folder / f"pkg{i // 50:02d}" / f"file_{i:04d}.dat",
                          rng.randint(LATENCY_MIN, LATENCY_MAX), rng)
    manifest, _ = make_manifest.build_manifest(str(folder), ["http://placeholder/"])
    marker.write_text(json.dumps(manifest["files"]))
    return manifest["files"]


def write_manifests(www, entries, bases):
    """Each set's manifest, naming its mirror (bases: set name -> server URL)."""
    for name, files in entries.items():
        manifest = {"version": 1, "version_string": "bench", "cdn_list": [f"{bases[name]}/{name}"],
                    "files": files}
        (www / f"{name}.json").write_text(make_manifest.manifest_text(manifest), encoding="utf-8")
        # The peers' lists: sha256sum's check file and the relative paths.
        (www / f"{name}.sha256").write_text(
            "".join(f"{e['hash'].lower()}  {k}\n" for k, e in sorted(files.items())))


def write_parser_manifest(path):
    """A 100,000-entry manifest in the layout make_manifest.py writes."""
    rng = random.Random(7)
    files = {f"data/pkg{i // 1000:03d}/module_{i % 1000:03d}/asset_{i:06d}.bin":
             {"size": rng.randint(1, 1 << 30), "hash": "%064X" % rng.getrandbits(256)}
             for i in range(PARSER_ENTRIES)}
    manifest = {"version": 1, "version_string": "parser", "cdn_list": ["http://127.0.0.1/"],
                "files": files}
    path.write_text(make_manifest.manifest_text(manifest), encoding="utf-8")


# ---- the local server --------------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx serving `root` on 127.0.0.1, in the foreground, with its files under `state`."""

    def __init__(self, root, state):
        self.port = free_port()
        state.mkdir(parents=True, exist_ok=True)
        conf = state / "nginx.conf"
        user = "user root;\n" if os.geteuid() == 0 else ""
        conf.write_text(f"""{user}worker_processes 1;
daemon off;
pid {state}/nginx.pid;
error_log {state}/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    client_body_temp_path {state}/body;
    proxy_temp_path {state}/proxy;
    fastcgi_temp_path {state}/fastcgi;
    uwsgi_temp_path {state}/uwsgi;
    scgi_temp_path {state}/scgi;
    types {{ }}
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{self.port};
        root {root};
    }}
}}
""")
        self.process = subprocess.Popen(["nginx", "-c", str(conf), "-p", str(state)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        raise SystemExit("nginx did not start: " + self.process.stderr.read().decode())

    @property
    def base(self):
        return f"http://127.0.0.1:{self.port}"

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class LatencyMirror:
    """tools/mirror_server.py serving `root` on 127.0.0.1, waiting `latency_ms` before each answer."""

    def __init__(self, root, state, latency_ms):
        state.mkdir(parents=True, exist_ok=True)
        port_file = state / "mirror.port"
        port_file.unlink(missing_ok=True)
        self.process = subprocess.Popen([sys.executable, str(ROOT / "tools" / "mirror_server.py"), "--root",
                                         str(root), "--port-file", str(port_file), "--latency-ms",
                                         str(latency_ms)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        for _ in range(200):
            if port_file.exists() and port_file.read_text().strip():
                self.port = int(port_file.read_text())
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.process.kill()
        raise SystemExit("mirror_server.py did not start: " + self.process.stderr.read().decode())

    @property
    def base(self):
        return f"http://127.0.0.1:{self.port}"

    def control(self, name, post=False):
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        request = urllib.request.Request(f"{self.base}/__control/{name}", data=b"{}" if post else None,
                                         method="POST" if post else "GET")
        with opener.open(request, timeout=10) as answer:
            return json.load(answer)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


# ---- the contestants ---------------------------------------------------------------

class Bench:
    def __init__(self, build, work, runs, stage_sample=0, sets=SETS, no_option=False):
        self.sets = sets
        self.no_option = no_option  # the host predates --option: the latency set runs the DLL as is
        self.build = Path(build).resolve()
        self.work = Path(work).resolve()
        self.runs = runs
        self.stage_sample = stage_sample  # files of "many" whose steps are timed (0: all)
        self.www = self.work / "www"
        self.out = self.work / "out"
        self.host = self.build / "bin" / "tolvek-install.exe"
        self.engine_bench = self.build / "bin" / "engine_bench.exe"
        self.floor = self.build / "bin" / "platform_floor.exe"
        self.wine_env = quiet_env({"WINEDEBUG": "-all", "WINEPREFIX": str(self.work / "wineprefix"),
                                   "WINEDLLOVERRIDES": "mscoree,mshtml="})
        self.env = quiet_env()
        self.times = {}  # (workload, tool) -> [seconds]
        self.seen = {}  # (workload, tool) -> [the latency mirror's counts of each run]
        self.server = None
        self.mirror = None

    # -- helpers
    def target(self, tool, workload):
        name = "large" if workload == "resume" else workload
        return self.out / f"{tool}-{name}"

    def timed(self, argv, env, **kwargs):
        start = time.perf_counter()
        result = subprocess.run(argv, env=env, **kwargs)
        seconds = time.perf_counter() - start
        if result.returncode != 0:
            raise SystemExit(f"failed ({result.returncode}): {' '.join(map(str, argv))}")
        return seconds

    def wine(self, *args, **kwargs):
        return subprocess.run([WINE, *map(str, args)], env=self.wine_env, **kwargs)

    def engine(self, *args):
        """engine_bench.exe's RESULT lines as {name: value}."""
        result = self.wine(self.engine_bench, *args, capture_output=True, text=True)
        if result.returncode != 0:
            raise SystemExit(f"engine_bench {args[0]} failed: {result.stderr}")
        figures = {}
        for line in result.stdout.splitlines():
            parts = line.split()
            if len(parts) == 4 and parts[0] == "RESULT":
                figures[parts[1]] = float(parts[2])
        return figures

    # -- one install by each contestant; the target is prepared, not timed
    def host_command(self, workload, tool, options):
        """The reference host installing `workload` into the tool's target, with `options`
        given as --option NAME=VALUE; the target (but for resume) and the log start empty."""
        target = self.target(tool, workload)
        if workload != "resume":
            shutil.rmtree(target, ignore_errors=True)
        logs = self.out / "logs"
        logs.mkdir(parents=True, exist_ok=True)
        logfile = logs / f"{tool}-{workload}.log"
        logfile.unlink(missing_ok=True)
        name = "large" if workload == "resume" else workload
        given = [arg for n, v in options.items() for arg in ("--option", f"{n}={v}")]
        return [WINE, self.host, *given, f"{self.bases[name]}/{name}.json", windows_path(target), windows_path(logfile),
                windows_path(self.out / "dll-work")], logs / f"{tool}-{workload}.out"

    def run_dll(self, workload, tool="dll", options=None):
        argv, output = self.host_command(workload, tool, options or {})
        with open(output, "w") as stdout:
            return self.timed(argv, self.wine_env, stdout=stdout, stderr=subprocess.STDOUT)

    def run_aria2c(self, workload, jobs=1, tool="aria2c"):
        target = self.target(tool, workload)
        if workload != "resume":
            shutil.rmtree(target, ignore_errors=True)
        name = "large" if workload == "resume" else workload
        # `jobs` downloads at a time (one unless told), one connection each; the digest is
        # checked after each download, and of files already there before deciding to fetch them.
        return self.timed(["aria2c", "--no-conf", "-q", "-i", str(self.www / f"{name}.aria2"),
                           "-d", str(target), f"-j{jobs}", "-x1", "-s1", "--check-integrity=true",
                           "--allow-overwrite=true", "--auto-file-renaming=false",
                           "--console-log-level=error", "--summary-interval=0"],
                          self.env, stdout=subprocess.DEVNULL)

    def run_curl(self, workload):
        target = self.target("curl", workload)
        if workload != "resume":
            shutil.rmtree(target, ignore_errors=True)
        name = "large" if workload == "resume" else workload
        return self.timed(["sh", str(HERE / "curl_sha256_install.sh"), f"{self.base}/{name}",
                           str(self.www / f"{name}.sha256"), str(target)], self.env)

    def run_floor(self, workload):
        """platform_floor.exe: the file stage's platform calls alone; for resume, the digests alone."""
        target = self.target("floor", workload)
        name = "large" if workload == "resume" else workload
        listed = windows_path(self.www / f"{name}.floor")
        if workload == "resume":
            return self.timed([WINE, self.floor, "hash", listed, windows_path(target)], self.wine_env,
                              stdout=subprocess.DEVNULL)
        shutil.rmtree(target, ignore_errors=True)
        logs = self.out / "logs"
        logs.mkdir(parents=True, exist_ok=True)
        logfile = logs / f"floor-{workload}.log"
        logfile.unlink(missing_ok=True)
        return self.timed([WINE, self.floor, "install", listed, f"{self.base}/{name}", windows_path(target),
                           windows_path(logfile)], self.wine_env, stdout=subprocess.DEVNULL)

    def write_floor_lists(self):
        """The floor's lists: key, size and digest per line, in the order the DLL installs them."""
        for name in self.floor_sets():
            files = json.loads((self.www / f"{name}.json").read_text())["files"]
            with open(self.www / f"{name}.floor", "w", encoding="utf-8", newline="\n") as f:
                for key, e in sorted(files.items()):
                    f.write(f"{key}\t{e['size']}\t{e['hash'].upper()}\n")

    def warm_up(self, files):
        """One untimed install of one small file by the DLL and by the floor: the first
        process to load the host, the DLL, WinHTTP and CNG reads them from disk, which
        would count against whichever of the two runs first in round 1."""
        key = min(files)
        manifest = {"version": 1, "version_string": "warm-up", "cdn_list": [f"{self.base}/many"],
                    "files": {key: files[key]}}
        (self.www / "warmup.json").write_text(make_manifest.manifest_text(manifest), encoding="utf-8")
        (self.www / "warmup.floor").write_text(f"{key}\t{files[key]['size']}\t{files[key]['hash'].upper()}\n")
        warm = self.out / "warm-up"
        shutil.rmtree(warm, ignore_errors=True)
        warm.mkdir(parents=True)
        self.timed([WINE, self.host, f"{self.base}/warmup.json", windows_path(warm / "dll"),
                    windows_path(warm / "dll.log"), windows_path(warm / "work")], self.wine_env,
                   stdout=subprocess.DEVNULL)
        self.timed([WINE, self.floor, "install", windows_path(self.www / "warmup.floor"), f"{self.base}/many",
                    windows_path(warm / "floor"), windows_path(warm / "floor.log")], self.wine_env,
                   stdout=subprocess.DEVNULL)
        shutil.rmtree(warm, ignore_errors=True)

    def run_transfer(self, workload):
        return self.timed(["curl", "-sS", "--fail", "--noproxy", "*", "-K",
                           str(self.www / f"{workload}.null")], self.env)

    def floor_sets(self):
        """The sets that nginx serves and make_data makes: large (resume reinstalls it) and many."""
        wanted = set(self.sets) | ({"large"} if "resume" in self.sets else set())
        return [name for name in ("large", "many") if name in wanted]

    def write_peer_lists(self, bases):
        for name in [*self.floor_sets(), *(["latency"] if "latency" in self.sets else [])]:
            files = json.loads((self.www / f"{name}.json").read_text())["files"]
            with open(self.www / f"{name}.aria2", "w") as f:
                for key, e in sorted(files.items()):
                    f.write(f"{bases[name]}/{name}/{key}\n  out={key}\n"
                            f"  checksum=sha-256={e['hash'].lower()}\n")
            if name == "latency":
                continue
            with open(self.www / f"{name}.null", "w") as f:
                for key in sorted(files):
                    f.write(f'url = "{self.base}/{name}/{key}"\noutput = "/dev/null"\n')

    def check_host_options(self):
        """One untimed install of the latency set's first file with --option parallel=1: it
        warms the mirror, and ends the benchmark clearly when the host does not take --option."""
        files = json.loads((self.www / "latency.json").read_text())["files"]
        key = min(files)
        manifest = {"version": 1, "version_string": "options", "cdn_list": [f"{self.mirror.base}/latency"],
                    "files": {key: files[key]}}
        (self.www / "options.json").write_text(make_manifest.manifest_text(manifest), encoding="utf-8")
        argv, output = self.host_command("options", "dll", {} if self.no_option else {"parallel": 1})
        with open(output, "w") as stdout:  # not a pipe: Wine's helper processes would hold it open
            code = subprocess.run(argv, env=self.wine_env, stdout=stdout, stderr=subprocess.STDOUT).returncode
        said = output.read_text(errors="replace")
        if code == 2 and not self.no_option:
            first = next((line for line in said.splitlines() if line.strip()), "")
            raise SystemExit("bench: the reference host does not take --option NAME=VALUE, which the latency "
                             f"set needs (it answered: {first.strip()!r}); build a host that does, or give "
                             "--no-option to measure this engine without the option")
        if code != 0:
            raise SystemExit(f"bench: one file of the latency set did not install ({code}): {said[-2000:]}")

    def latency_plan(self):
        """The latency set's contestants: tool name -> runner."""
        if self.no_option:
            plan = {"dll": lambda: self.run_dll("latency")}
        else:
            plan = {f"dll-parallel-{n}": (lambda n=n: self.run_dll("latency", f"dll-parallel-{n}", {"parallel": n}))
                    for n in LATENCY_PARALLEL}
        plan[f"aria2c-j{ARIA2C_JOBS}"] = lambda: self.run_aria2c("latency", ARIA2C_JOBS, f"aria2c-j{ARIA2C_JOBS}")
        return plan

    # -- the whole benchmark
    def prepare(self):
        entries, bases = {}, {}
        if self.floor_sets():
            entries = {name: files for name, files in make_data(self.www).items() if name in self.floor_sets()}
            self.server = Nginx(self.www, self.work / "nginx")
            self.base = self.server.base
            bases = dict.fromkeys(entries, self.base)
        if "latency" in self.sets:
            entries["latency"] = make_latency_data(self.www, LATENCY_FILES)
            self.mirror = LatencyMirror(self.www, self.work / "mirror", LATENCY_MS)
            bases["latency"] = self.mirror.base
        write_manifests(self.www, entries, bases)
        self.bases = dict(bases, options=bases.get("latency"))
        self.write_peer_lists(bases)
        self.write_floor_lists()
        write_parser_manifest(self.www / "parser.json")
        # A prefix of its own keeps the benchmark off the wineserver of other Wine
        # users; it stays up while the benchmark runs, as it does on a used machine.
        log("starting Wine...")
        self.wine("cmd", "/c", "exit", capture_output=True)
        subprocess.run(["wineserver", "-p"], env=self.wine_env)  # fails when one is up already
        if "latency" in self.sets:
            self.check_host_options()
        if "many" in entries:
            self.warm_up(entries["many"])
        subprocess.run(["sync"])

    def round(self, number):
        plan = [("large", "dll"), ("resume", "dll"), ("large", "floor"), ("resume", "floor"),
                ("large", "aria2c"), ("resume", "aria2c"), ("large", "curl+sha256sum"),
                ("resume", "curl+sha256sum"), ("large", "transfer"), ("many", "dll"), ("many", "floor"),
                ("many", "aria2c"), ("many", "curl+sha256sum"), ("many", "transfer")]
        runners = {"dll": self.run_dll, "floor": self.run_floor, "aria2c": self.run_aria2c,
                   "curl+sha256sum": self.run_curl, "transfer": self.run_transfer}
        steps = [(w, t, lambda w=w, t=t: runners[t](w)) for w, t in plan if w in self.sets]
        if "latency" in self.sets:
            steps += [("latency", t, run) for t, run in self.latency_plan().items()]
        for workload, tool, run in steps:
            if workload == "latency":
                self.mirror.control("reset", post=True)
            seconds = run()
            if workload == "latency":
                self.seen.setdefault((workload, tool), []).append(self.mirror.control("stats"))
            if workload != "resume" and tool != "transfer":
                subprocess.run(["sync"])  # its write-back is not the next run's cost
            self.times.setdefault((workload, tool), []).append(seconds)
            log(f"  round {number}: {workload:7} {tool:15} {seconds:7.2f} s")

    def micro(self):
        """engine_bench's figures: the platform alone, the engine's functions, the parser."""
        figures = {}
        log("engine_bench: process start, platform calls, parser, transfer, stages, poll...")
        starts = [self.timed([WINE, self.engine_bench, "noop"], self.wine_env) for _ in range(5)]
        figures["wine_process_start"] = statistics.median(starts)
        figures.update(self.engine("platform", windows_path(self.www / "large/blob_00.bin"),
                                   windows_path(self.www / SMALL_FILE), windows_path(self.out / "platform")))
        figures.update(self.engine("parse", windows_path(self.www / "parser.json"), 3))
        figures.update(self.engine("download", f"{self.base}/large/blob_00.bin", f"{self.base}/{SMALL_FILE}",
                                   windows_path(self.out / "download.bin"), LARGE_SIZE, 2))
        figures.update(python_json(self.www / "parser.json"))
        for workload in ("large", "resume", "many"):
            name = "large" if workload == "resume" else workload
            target = self.out / f"stages-{name}"
            if workload != "resume":
                shutil.rmtree(target, ignore_errors=True)
            sample = self.stage_sample if workload == "many" else 0
            stage = self.engine("stages", windows_path(self.www / f"{name}.json"), f"{self.base}/{name}",
                                windows_path(target), windows_path(self.out / f"stages-{workload}.log"), sample)
            figures.update({f"{workload}_{k}": v for k, v in stage.items()})
            subprocess.run(["sync"])
        # Keys 20,000 folders deep (past the longest path, refused by the entry check) and
        # 10,000 deep (within it: every rule, then its folders until a cancel after 1 s).
        for levels in (20000, 10000):
            target = self.out / f"deep{levels}"
            shutil.rmtree(target, ignore_errors=True)
            target.mkdir(parents=True)
            deep = self.engine("deep", windows_path(target), levels, "d/")
            figures.update({f"deep{levels}_{k[len('deep_'):]}": v for k, v in deep.items()})
            figures[f"deep{levels}_rules"] = sum(deep[f"deep_{rule}"] for rule in DEEP_RULES)
            shutil.rmtree(target, ignore_errors=True)
        target = self.out / "poll"
        shutil.rmtree(target, ignore_errors=True)
        figures.update(self.engine("poll", windows_path(self.build / "bin/tolvek_online_installer.dll"),
                                   f"{self.base}/large.json", windows_path(target),
                                   windows_path(self.out / "poll.log"), windows_path(self.out / "poll-work")))
        shutil.rmtree(target, ignore_errors=True)
        return figures

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.wine_env)
        for server in (self.server, self.mirror):
            if server:
                server.stop()


# engine_bench deep's timings of the file stage's path rules on one key.
DEEP_RULES = ("check_entry", "protected", "safe_relative", "escapes", "resolve", "may_write", "file_url")

PYTHON_PARSE = """
import json, sys, time
text = open(sys.argv[1], encoding="utf-8").read()
start = time.perf_counter()
json.loads(text)
print(time.perf_counter() - start)
"""


def python_json(path):
    """Python's json.loads on the same text: the first parse of a fresh process, as
    an install parses its manifest once, and the median of five more in one process."""
    size = path.stat().st_size
    first = float(subprocess.run([sys.executable, "-c", PYTHON_PARSE, str(path)], capture_output=True,
                                 text=True, check=True).stdout)
    text = path.read_text(encoding="utf-8")
    runs = []
    for _ in range(5):
        start = time.perf_counter()
        json.loads(text)
        runs.append(time.perf_counter() - start)
    return {"python_json_first_rate": size / 1e6 / first, "python_json_rate": size / 1e6 / statistics.median(runs)}


# ---- the report --------------------------------------------------------------------

TOOLS = ["dll", "floor", "aria2c", "curl+sha256sum", "transfer"]
WORKLOADS = ["large", "many", "resume"]
LATENCY_LABELS = {**{f"dll-parallel-{n}": f"DLL, parallel={n}" for n in LATENCY_PARALLEL},
                  "dll": "DLL, no option", f"aria2c-j{ARIA2C_JOBS}": f"aria2c -j{ARIA2C_JOBS}"}
LABELS = {"dll": "DLL (host, Wine)", "floor": "platform floor (Wine)", "aria2c": "aria2c",
          "curl+sha256sum": "curl + sha256sum", "transfer": "transfer alone"}


def stage_scale(figures, workload):
    """How many times the timed files go into the workload's files (1 when all were timed)."""
    timed = figures.get(f"{workload}_stage_files", 0)
    total = MANY_FILES if workload == "many" else LARGE_FILES
    return total / timed if timed else 1.0


def breakdown(figures, medians, workload):
    """Where the DLL's time goes, in seconds, from the stage timings and the whole run."""
    scale = stage_scale(figures, workload)
    f = lambda k: figures.get(f"{workload}_stage_{k}", 0.0) * scale  # noqa: E731
    parts = {
        "Wine process start": figures.get("wine_process_start", 0.0),
        "transfer (DownloadToFile)": f("transfer"),
        "hashing (VerifyFile)": f("check_existing") + f("verify_download") + f("verify_installed"),
        "path rules, dirs, move": f("path_rules_and_dirs") + f("move"),
        "log lines": f("log_lines"),
        "progress reports": f("progress"),
        "manifest parse": f("parse"),
    }
    whole = medians.get((workload, "dll"))
    if whole is not None:
        parts["rest (whole run - parts): manifest, CDN probe, host polling"] = whole - sum(parts.values())
    return parts


def whole_install_lines(bench, med, figures, load, workloads, rows, lines):
    """The whole installs of the nginx sets, against the floor, and where the DLL's time goes."""
    lines.append("## Whole installs (seconds, median of %d runs)\n" % bench.runs)
    lines.append("| workload | " + " | ".join(LABELS[t] for t in TOOLS) +
                 " | DLL / aria2c | DLL / curl+sha256sum | DLL / transfer | target |")
    lines.append("|---|" + "---:|" * (len(TOOLS) + 3) + "---|")
    for w in workloads:
        cells = []
        for t in TOOLS:
            v = med.get((w, t))
            cells.append("n/a" if v is None else f"{v:.2f}")
            if v is not None:
                rows.append([w, t, f"{v:.3f}", " ".join(f"{x:.3f}" for x in bench.times[(w, t)])])
        ratios = []
        for t in ("aria2c", "curl+sha256sum", "transfer"):
            ratios.append(f"{med[(w, 'dll')] / med[(w, t)]:.2f}x" if (w, t) in med else "n/a")
        goal = [f"DLL/{t} <= {limit}: " + ("met" if med[(w, "dll")] / med[(w, t)] <= limit else "NOT met")
                for (tw, t), limit in TARGETS.items() if tw == w]
        lines.append(f"| {w} | " + " | ".join(cells) + " | " + " | ".join(ratios) + " | " +
                     ("; ".join(goal) or "-") + " |")
    lines.append(f"\nlarge: {LARGE_FILES} files of {LARGE_SIZE // MIB} MiB; many: {MANY_FILES:,} files of 1-64 KiB "
                 "in nested folders; resume: large again with every file already valid (nothing to transfer); "
                 "for resume the platform floor only hashes.")
    lines += floor_lines(bench.times, figures, load)

    lines.append("\n## Where the DLL's time goes (seconds, measured with engine_bench)\n")
    if "wine_process_start" not in figures:
        lines.append("engine_bench did not run (--quick): every part but the rest reads 0.\n")
    lines.append("| part | " + " | ".join(workloads) + " |")
    lines.append("|---|" + "---:|" * len(workloads))
    parts = {w: breakdown(figures, med, w) for w in workloads}
    for name in parts[workloads[0]]:
        lines.append(f"| {name} | " + " | ".join(f"{parts[w][name]:.2f}" for w in workloads) + " |")
    lines.append("| whole run (median above) | " +
                 " | ".join(f"{med[(w, 'dll')]:.2f}" for w in workloads) + " |")
    sampled = [f"{w}: the steps of the first {figures[f'{w}_stage_files']:.0f} files timed, "
               f"times {stage_scale(figures, w):g}" for w in workloads if stage_scale(figures, w) != 1.0]
    lines.append("\nThe parts come from one run of engine_bench stages, which performs the file stage's "
                 "steps with the engine's own functions and times each; the whole run is the DLL's median "
                 "above, so the rest also holds run-to-run noise (it can come out negative). The DLL makes "
                 "no fixed pauses in these runs (the 500 ms pauses come only before retries); the host "
                 "polls every 100 ms." + (" " + "; ".join(sampled) + "." if sampled else ""))


def latency_lines(bench, med, rows):
    """results.md's section on the latency-bound set: each contestant's median, what the
    mirror saw at once, and the targets."""
    tools = [t for t in bench.latency_plan() if ("latency", t) in med]
    lines = [f"\n## Latency-bound set (seconds, median of {bench.runs} runs)\n",
             f"{LATENCY_FILES:,} files of {LATENCY_MIN // 1024}-{LATENCY_MAX // 1024} KiB from tools/mirror_server.py "
             f"on 127.0.0.1, which waits {LATENCY_MS} ms before each answer; the DLL through the reference host "
             "(its option `parallel` given as `--option parallel=N`), aria2c with the digests checked, "
             f"{ARIA2C_JOBS} downloads at once. Counted by the mirror in each run: the most connections and "
             "requests open at once, and the requests.\n",
             "| contestant | median | runs | most connections at once | most requests at once | requests |",
             "|---|---:|---|---:|---:|---:|"]
    for t in tools:
        times, seen = bench.times[("latency", t)], bench.seen[("latency", t)]
        rows.append(["latency", t, f"{med[('latency', t)]:.3f}", " ".join(f"{x:.3f}" for x in times)])
        counts = [" / ".join(str(run[key]) for run in seen) for key in ("max_connections", "max_in_progress",
                                                                         "requests")]
        lines.append(f"| {LATENCY_LABELS.get(t, t)} | {med[('latency', t)]:.2f} | "
                     + ", ".join(f"{x:.2f}" for x in times) + " | " + " | ".join(counts) + " |")
    one, six = (med.get(("latency", f"dll-parallel-{n}")) for n in LATENCY_PARALLEL)
    peer = med.get(("latency", f"aria2c-j{ARIA2C_JOBS}"))
    if one and six and peer:
        lines.append(f"\nparallel=1 / parallel=6: {one / six:.2f}x (target >= {LATENCY_SPEED_UP:g}: "
                     f"{'met' if one / six >= LATENCY_SPEED_UP else 'NOT met'}); parallel=6 / aria2c -j{ARIA2C_JOBS}: "
                     f"{six / peer:.2f}x (target <= {LATENCY_PEER_RATIO:g}: "
                     f"{'met' if six / peer <= LATENCY_PEER_RATIO else 'NOT met'}).")
    if bench.no_option:
        lines.append("\n--no-option: the host does not take --option; the DLL ran as it is, without it.")
    return lines


def report(bench, figures, results_dir, load):
    med = {key: statistics.median(values) for key, values in bench.times.items()}
    workloads = [w for w in WORKLOADS if (w, "dll") in med]  # the sets this run measured
    rows, lines = [], []
    if workloads:
        whole_install_lines(bench, med, figures, load, workloads, rows, lines)
    if "latency" in bench.sets:
        lines += latency_lines(bench, med, rows)
    micro = [
        ("manifest parser, 100,000 entries: first parse in the process", "parse_json_first_rate", "MB/s",
         "target >= 100"),
        ("  the same, median of later parses", "parse_json_rate", "MB/s", ""),
        ("  python3 json.loads, first parse in the process", "python_json_first_rate", "MB/s", ""),
        ("  python3 json.loads, median of later parses", "python_json_rate", "MB/s", ""),
        ("  reading and decoding the UTF-8 file", "read_utf8_file", "ms", ""),
        ("  manifest size", "manifest_bytes", "B", ""),
        ("GetOnlineInstallProgress during a transfer", "poll_ns", "ns per call", "target < 2000"),
        ("DownloadToFile, one 128 MiB file", "download_to_file", "MB/s", ""),
        ("  WinHTTP reads alone, same file, no disk", "winhttp_read_only", "MB/s", "platform"),
        ("  bytes per WinHttpReadData (what WinHTTP reports available)", "winhttp_bytes_per_read", "B",
         "platform"),
        ("DownloadToFile, one 30 KiB file", "download_to_file_small", "us", ""),
        ("  WinHTTP request alone, same file", "winhttp_small_request", "us", "platform"),
        ("ComputeFileSha256, one 128 MiB file", "compute_file_sha256", "MB/s", ""),
        ("  CNG SHA-256 alone, in memory", "cng_sha256_memory", "MB/s", "platform"),
        ("  ReadFile alone, 1 MiB blocks, cached", "readfile", "MB/s", "platform"),
        ("VerifyFile, 16 KiB file", "verify_file_16k", "us", ""),
        ("  ReadFile of a 30 KiB file, 1 MiB request, fresh 1 MiB buffer", "small_file_read_fresh_buffer", "us",
         "platform"),
        ("  the same into a reused buffer", "small_file_read_reused_buffer", "us", "platform"),
        ("  a fresh zero-filled 1 MiB buffer alone", "fresh_buffer_alone", "us", "platform"),
        ("MoveFileExW, replace + write-through", "movefileex_write_through", "us", "platform"),
        ("create + write 16 KiB + close", "create_write_close_16k", "us", "platform"),
        ("GetFileAttributesW", "get_file_attributes", "us", "platform"),
        ("AppendLogLine (open, write, close)", "append_log_line", "us", ""),
        ("Wine process start (empty program)", "wine_process_start", "s", "platform"),
        ("key 20,000 folders deep: the entry check (refused: past the longest path)", "deep20000_check_entry",
         "ms", "target well under 1000"),
        ("  every path rule of the file stage on it, together", "deep20000_rules", "ms", ""),
        ("key 10,000 folders deep: every path rule, together", "deep10000_rules", "ms", ""),
        ("  its folders: a cancel 1 s into the walk answered after", "deep10000_cancel_latency", "ms",
         "one platform call"),
    ]
    if any(key in figures for _, key, _, _ in micro):
        lines.append("\n## Engine functions and platform calls alone (under Wine)\n")
        lines.append("| measurement | value |")
        lines.append("|---|---:|")
    for label, key, unit, note in micro:
        if key in figures:
            v = figures[key]
            shown = f"{v:,.0f}" if v >= 100 else f"{v:.3g}"
            lines.append(f"| {label} | {shown} {unit}" + (f" ({note})" if note else "") + " |")
    if "sha256sum_rate" in figures:
        lines.append(f"\nsha256sum on this machine, one 128 MiB file: {figures['sha256sum_rate']:.0f} MB/s.")
    lines.append(f"\nMachine: {os.cpu_count()} cores; load average before / after: {load[0]} / {load[1]}.")

    text = "\n".join(lines) + "\n"
    results_dir.mkdir(parents=True, exist_ok=True)
    (results_dir / "results.md").write_text("# Benchmark results\n\n" + text)
    with open(results_dir / "results.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["workload", "tool", "median_seconds", "runs_seconds"])
        writer.writerows(rows)
        for key in sorted(figures):
            writer.writerow(["engine", key, f"{figures[key]:.6g}", ""])
    if workloads == WORKLOADS:
        chart(med, {w: breakdown(figures, med, w) for w in WORKLOADS}, figures, results_dir / "chart.png")
    print(text)


def floor_ratio(times, workload, run=None):
    """The DLL's time over the floor's: of the medians, or of one round's pair of runs."""
    dll, floor = times.get((workload, "dll")), times.get((workload, "floor"))
    if not dll or not floor:
        return None
    if run is None:
        return statistics.median(dll) / statistics.median(floor)
    return dll[run] / floor[run]


def floor_lines(times, figures, load):
    """results.md's section on the DLL against the platform floor, from the same rounds."""
    lines = ["\n## The DLL against the platform floor\n",
             "| workload | DLL | platform floor | DLL / floor (medians) | per round | target |",
             "|---|---:|---:|---:|---|---|"]
    for w in WORKLOADS:
        ratio = floor_ratio(times, w)
        if ratio is None:
            continue
        rounds = ", ".join(f"{floor_ratio(times, w, i):.3f}" for i in range(len(times[(w, "floor")])))
        limit = FLOOR_TARGETS[w]
        what = "hashing alone" if w == "resume" else "install"
        lines.append(f"| {w} | {statistics.median(times[(w, 'dll')]):.2f} | "
                     f"{statistics.median(times[(w, 'floor')]):.2f} ({what}) | {ratio:.3f}x | {rounds} | "
                     f"<= {limit}: {'met' if ratio <= limit else 'NOT met'} |")
    poll = figures.get("poll_ns")
    if poll is not None:
        lines.append(f"\nGetOnlineInstallProgress during a transfer: {poll:.0f} ns per call "
                     f"(target < {POLL_TARGET_NS}: {'met' if poll < POLL_TARGET_NS else 'NOT met'}).")
    lines.append(f"\nLoad average (1 minute) before / after this run: {load[0]} / {load[1]}, "
                 f"{os.cpu_count()} cores. Each pair of DLL and floor runs follows each other in every round.")
    lines.append("\nThe floor is `platform_floor.exe` (bench/platform_floor.cpp): per file the directory "
                 "chain, one attribute query of the destination, a GET on one kept-alive WinHTTP connection "
                 "into the temporary file, its size and CNG SHA-256 read in 1 MiB blocks into one reused "
                 "buffer, the move with write-through, the digest again, and three log lines each opened, "
                 "appended and closed; for resume only the size and digest of every file. It runs under "
                 "Wine like the DLL and is timed whole the same way (process start included); it does not "
                 "fetch the manifest or probe the mirror.")
    return lines


def floor_title(med, workload):
    ratio = floor_ratio({k: [v] for k, v in med.items()}, workload)
    return workload if ratio is None else f"{workload}: DLL = {ratio:.2f} x floor"


def chart(med, parts, figures, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 4, figsize=(13, 4.6), gridspec_kw={"width_ratios": [3, 3, 3, 2]})
    colors = plt.get_cmap("tab20").colors
    for ax, w in zip(axes, WORKLOADS):
        tools = [t for t in TOOLS if (w, t) in med]
        for i, t in enumerate(tools):
            if t == "dll":
                bottom = 0.0
                for j, (name, v) in enumerate(parts[w].items()):
                    v = max(v, 0.0)
                    ax.bar(i, v, bottom=bottom, color=colors[j], label=name if w == "large" else None)
                    bottom += v
            else:
                ax.bar(i, med[(w, t)], color="0.6")
                bottom = med[(w, t)]
            ax.text(i, bottom, f"{med[(w, t)]:.1f}", ha="center", va="bottom", fontsize=8)
        ax.set_xticks(range(len(tools)), [LABELS[t].replace(" (", "\n(").replace(" + ", "\n+ ") for t in tools],
                      fontsize=7)
        ax.set_title(floor_title(med, w), fontsize=10)
        ax.set_ylim(0, ax.get_ylim()[1] * 1.1)  # room for the figures above the bars
        ax.set_ylabel("seconds (median)", fontsize=8)
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, fontsize=7, loc="lower center", ncol=4, title="DLL bar: where its time goes",
               title_fontsize=7)
    ax = axes[3]
    bars = [("parser\nDLL", figures.get("parse_json_first_rate", 0)),
            ("parser\npython", figures.get("python_json_first_rate", 0)),
            ("CNG\nSHA-256", figures.get("cng_sha256_memory", 0)), ("sha256sum", figures.get("sha256sum_rate", 0))]
    ax.bar(range(len(bars)), [b[1] for b in bars], color=[colors[0], "0.6", colors[4], "0.6"])
    for i, (_, v) in enumerate(bars):
        ax.text(i, v, f"{v:.0f}", ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(len(bars)), [b[0] for b in bars], fontsize=7)
    ax.set_title(f"MB/s (poll: {figures.get('poll_ns', 0):.0f} ns)", fontsize=10)
    fig.tight_layout(rect=(0, 0.16, 1, 1))
    fig.savefig(path, dpi=72)


def sha256sum_rate(path):
    runs = []
    for _ in range(3):
        start = time.perf_counter()
        subprocess.run(["sha256sum", str(path)], stdout=subprocess.DEVNULL, check=True)
        runs.append(time.perf_counter() - start)
    return path.stat().st_size / 1e6 / statistics.median(runs)


DOCUMENT_SHAPES = [  # (label, document_bench shape)
    ("[0,0,...]", "zeros"),
    ("[[],[],...]", "empty_arrays"),
    ("[{},{},...]", "empty_objects"),
    ('{"a":0,"b":0,...} (distinct short keys)', "distinct_keys"),
    ('"files" of entries "ab":{}', "files_empty"),
    ('"files" of entries "ab":0', "files_zero"),
    ('[{"":{"":...}}, ...] at the nesting limit', "nested"),
]


def document_section(build, work, results_dir):
    """document_bench's figures, appended to results.md: a run's memory per byte of
    manifest for ordinary and pathological shapes, cancelling a parse, long numbers."""
    exe = Path(build) / "bin" / "document_bench.exe"
    manifest = Path(work) / "document_bench.json"
    manifest.parent.mkdir(parents=True, exist_ok=True)
    env = quiet_env({"WINEDEBUG": "-all"})

    def run(*args):
        result = subprocess.run([WINE, str(exe), *map(str, args)], env=env, capture_output=True,
                                text=True, check=True)
        return {line.split()[1]: float(line.split()[2])
                for line in result.stdout.splitlines() if line.startswith("RESULT ")}

    def written(shape, size):
        run("write", shape, size, windows_path(manifest))
        return windows_path(manifest)

    near = 128 * MIB - MIB  # just under the manifest ceiling
    cases = [(f"ordinary, {n:,} entries", "ordinary", n * 120) for n in (10_000, 100_000, 500_000)]
    cases += [(label, shape, near) for label, shape in DOCUMENT_SHAPES]
    cases.append(("one string of 120 MiB", "one_string", 120 * MIB))
    lines = ["\n## Manifest document: memory, cancellation, long numbers (document_bench)\n",
             "Each manifest is read, parsed and listed as a run does, in a fresh process. Peak: the "
             "process's peak working set less what it held before, per byte of manifest (the text "
             "itself takes 3 bytes per byte while it is decoded). Held: the document and the entry "
             "list after the parse, the text released. Peak private bytes as Wine reports them "
             "(Wine leaves large blocks out). Budget: 16 bytes per byte plus 32 MiB.\n",
             "| manifest | size | entries | peak B/B | held B/B | peak private B/B | parse s | release ms |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for label, shape, size in cases:
        log(f"document_bench: {label}")
        m = run("memory", written(shape, size))
        lines.append(f"| {label} | {m['manifest_bytes'] / MIB:.1f} MiB | {m['entries']:,.0f} | "
                     f"{m['peak_working_set_per_byte']:.2f} | {m['document_and_entries_per_byte']:.2f} | "
                     f"{m['peak_private_per_byte']:.2f} | {m['parse_seconds']:.2f} | "
                     f"{m['release_seconds'] * 1e3:.0f} |")
    lines += ["\nCancelling a parse at a tenth, two tenths ... nine tenths of its time: the latest "
              "return after the cancel.\n", "| manifest | whole parse s | latest return ms |",
              "|---|---:|---:|"]
    for label, shape, size in [("ordinary, 127 MiB", "ordinary", near),
                               ("distinct short keys (sorted at the end), 127 MiB", "distinct_keys", near),
                               ("one string of 120 MiB", "one_string", 120 * MIB)]:
        log(f"document_bench: cancel, {label}")
        m = run("cancel", written(shape, size))
        lines.append(f"| {label} | {m['whole_parse_seconds']:.2f} | {m['cancel_latency_max_ms']:.0f} |")
    manifest.unlink()
    numbers = run("numbers")
    lines += ["\nNumbers of a million digits, each parsed as a whole document (ms): " +
              ", ".join(f"{key.replace('_', ' ')} {value:.1f}" for key, value in numbers.items()) + "."]
    with open(Path(results_dir) / "results.md", "a") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def make_quick(args):
    """Workloads small enough to check the benchmark on a busy machine, kept apart from the real ones."""
    global LARGE_FILES, LARGE_SIZE, MANY_FILES, DATA_VERSION, LATENCY_FILES
    LARGE_FILES, LARGE_SIZE, MANY_FILES, DATA_VERSION, LATENCY_FILES = 2, 32 * MIB, 300, "quick-1", 100
    if args.work == WORK_DEFAULT:
        args.work += "-quick"
    args.results = args.results or str(Path(args.work) / "results")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build", help="the build directory (holds bin/)")
    parser.add_argument("--runs", type=int, default=3, help="runs of each install (default 3)")
    parser.add_argument("--stage-sample", type=int, default=1000,
                        help="files of the many workload whose steps engine_bench times, scaled to "
                             "all 5,000 in the breakdown (default 1000; 0 times all of them)")
    parser.add_argument("--work", default=WORK_DEFAULT, help="data and scratch directory")
    parser.add_argument("--results", default=None, help="where the results go (default bench/results)")
    parser.add_argument("--quick", action="store_true",
                        help="small workloads, no engine_bench: checks the benchmark, measures nothing")
    parser.add_argument("--sets", default=",".join(SETS),
                        help="the sets to run, of " + ",".join(SETS) + " (default all; engine_bench and "
                             "document_bench run with all only)")
    parser.add_argument("--no-option", action="store_true",
                        help="for a host without --option: the latency set runs the DLL once per round as it is")
    args = parser.parse_args()
    sets = tuple(name for name in SETS if name in args.sets.split(","))
    if not sets or set(args.sets.split(",")) - set(SETS):
        parser.error(f"--sets takes names of {', '.join(SETS)}, separated by commas")
    full = sets == SETS and not args.quick
    if args.quick:
        make_quick(args)
    # Only a run of every set replaces the benchmark's own results.
    args.results = args.results or str(HERE / "results" if full else Path(args.work) / "results")

    started = time.time()
    load_before = "%.2f" % os.getloadavg()[0]
    bench = Bench(args.build, args.work, args.runs, args.stage_sample, sets, args.no_option)
    try:
        bench.prepare()
        for number in range(1, args.runs + 1):
            bench.round(number)
        figures = bench.micro() if full else {}
        if "large" in bench.floor_sets():
            figures["sha256sum_rate"] = sha256sum_rate(bench.www / "large/blob_00.bin")
    finally:
        bench.close()
    report(bench, figures, Path(args.results), (load_before, "%.2f" % os.getloadavg()[0]))
    if full:
        document_section(args.build, args.work, args.results)
    log(f"benchmark took {time.time() - started:.0f} s; results in {args.results}")


if __name__ == "__main__":
    main()
