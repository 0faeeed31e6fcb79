#!/usr/bin/env python3
"""Writes a user's proxy settings into a Wine prefix's registry as Windows keeps them,
and puts back what was there before.

    proxy_settings.py --prefix PREFIX set [--proxy SERVERS] [--bypass LIST]
                                          [--pac URL] [--auto-detect]
    proxy_settings.py --prefix PREFIX restore
    proxy_settings.py --prefix PREFIX show
    proxy_settings.py --prefix PREFIX run [settings as for set] -- PROGRAM [ARGUMENTS...]

"run" sets, runs the Windows program under Wine in the prefix with the settings
in its environment (PROXY_SETTINGS_AUTO_DETECT, _PAC, _PROXY and _BYPASS), restores,
and exits with the program's status.

"set" with no setting means a direct connection ("Automatically detect settings"
cleared). SERVERS is what the Internet Options dialog writes: "host:port", or
per scheme "http=host:port;https=host:port". LIST is the bypass list, ";"
between entries, "<local>" among them for names without a dot.

Windows keeps the settings of the LAN connection in
HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections,
value DefaultConnectionSettings (REG_BINARY), which WinHTTP's
WinHttpGetIEProxyConfigForCurrentUser reads:

    DWORD version (0x46)     DWORD change counter     DWORD flags
    DWORD length, proxy servers (ANSI)
    DWORD length, bypass list (ANSI)
    DWORD length, PAC URL (ANSI)
    32 bytes of the last automatic detection (zero: none yet)

with the flags 1 (direct, always set), 2 (named proxy), 4 (PAC URL) and 8
(automatic detection). Beside it, in Internet Settings itself, the older values
ProxyEnable, ProxyServer, ProxyOverride and AutoConfigURL that WinINet programs
read; this tool writes both, as the dialog does.

The first "set" saves the values it replaces in PREFIX/tolvek-proxy-settings.saved.reg;
"restore" imports that file (values that were absent are deleted again) and
removes it. The registry is changed through Wine's own reg.exe, so a Wine
program running in the prefix sees the change at once.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import struct
import subprocess
import sys
import tempfile

INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
CONNECTIONS = INTERNET_SETTINGS + r"\Connections"
BLOB_VALUE = "DefaultConnectionSettings"
LEGACY_VALUES = ("ProxyEnable", "ProxyServer", "ProxyOverride", "AutoConfigURL")
SAVED_FILE = "tolvek-proxy-settings.saved.reg"

VERSION = 0x46
FLAG_DIRECT, FLAG_PROXY, FLAG_PAC, FLAG_AUTO_DETECT = 1, 2, 4, 8
DETECTION_TAIL = bytes(32)


@dataclasses.dataclass
class ProxySettings:
    proxy: str = ""
    bypass: str = ""
    pac_url: str = ""
    auto_detect: bool = False
    counter: int = 1


def encode(settings: ProxySettings) -> bytes:
    """The DefaultConnectionSettings blob for these settings."""
    flags = FLAG_DIRECT
    if settings.proxy:
        flags |= FLAG_PROXY
    if settings.pac_url:
        flags |= FLAG_PAC
    if settings.auto_detect:
        flags |= FLAG_AUTO_DETECT
    blob = struct.pack("<III", VERSION, settings.counter, flags)
    for text in (settings.proxy, settings.bypass, settings.pac_url):
        data = text.encode("ascii")
        blob += struct.pack("<I", len(data)) + data
    return blob + DETECTION_TAIL


def decode(blob: bytes) -> ProxySettings:
    """The settings a DefaultConnectionSettings blob holds; ValueError when it is not one."""
    if len(blob) < 12:
        raise ValueError("too short for the header")
    version, counter, flags = struct.unpack_from("<III", blob)
    if version != VERSION:
        raise ValueError(f"version {version:#x}, not {VERSION:#x}")
    texts, at = [], 12
    for _ in range(3):
        if at + 4 > len(blob):
            raise ValueError("cut short")
        (length,) = struct.unpack_from("<I", blob, at)
        at += 4
        if at + length > len(blob):
            raise ValueError("a length past the end")
        texts.append(blob[at:at + length].decode("ascii"))
        at += length
    proxy, bypass, pac_url = texts
    return ProxySettings(proxy=proxy if flags & FLAG_PROXY else "", bypass=bypass,
                         pac_url=pac_url if flags & FLAG_PAC else "",
                         auto_detect=bool(flags & FLAG_AUTO_DETECT), counter=counter)


# --- the .reg files that reg.exe imports -------------------------------------

def reg_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_binary(data: bytes) -> str:
    return "hex:" + ",".join(f"{b:02x}" for b in data)


def reg_file(sections: dict[str, dict[str, str | None]]) -> str:
    """A .reg text; a value given as None is deleted."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for key, values in sections.items():
        lines.append(f"[{key}]")
        for name, data in values.items():
            lines.append(f"{reg_string(name)}={'-' if data is None else data}")
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def settings_sections(settings: ProxySettings) -> dict[str, dict[str, str | None]]:
    return {
        INTERNET_SETTINGS: {
            "ProxyEnable": f"dword:{1 if settings.proxy else 0:08x}",
            "ProxyServer": reg_string(settings.proxy) if settings.proxy else None,
            "ProxyOverride": reg_string(settings.bypass) if settings.bypass else None,
            "AutoConfigURL": reg_string(settings.pac_url) if settings.pac_url else None,
        },
        CONNECTIONS: {BLOB_VALUE: reg_binary(encode(settings))},
    }


# --- Wine's reg.exe ------------------------------------------------------------

class Wine:
    def __init__(self, prefix: str):
        self.prefix = os.path.abspath(prefix)
        self.runner = os.environ.get("TOLVEK_WINE", "/usr/lib/wine/wine64")

    def environment(self) -> dict[str, str]:
        """Quiet, in the prefix, and away from the proxies of the Linux side."""
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all")
        for name in ("http_proxy", "https_proxy"):
            env.pop(name, None)
        return env

    def reg(self, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        return subprocess.run([self.runner, "reg", *args], env=self.environment(), check=check,
                              capture_output=True, text=True, errors="replace")

    def import_text(self, text: str) -> None:
        with tempfile.NamedTemporaryFile("wb", suffix=".reg", dir=self.prefix, delete=False) as f:
            f.write(b"\xff\xfe" + text.encode("utf-16-le"))
        try:
            self.reg("import", self.to_windows_path(f.name))
        finally:
            os.unlink(f.name)

    @staticmethod
    def to_windows_path(path: str) -> str:
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def values(self, key: str) -> dict[str, tuple[str, str]]:
        """The values of one key (not of its subkeys): name -> (type, data as reg.exe shows it)."""
        shown = self.reg("query", key, check=False)
        values = {}
        for line in shown.stdout.splitlines():
            if not line.startswith("    "):
                continue
            parts = line.strip().split("    ")
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
        return values


def saved_data(kind: str, shown: str) -> str:
    """A value as reg.exe showed it, in .reg syntax."""
    if kind == "REG_DWORD":
        return f"dword:{int(shown, 16):08x}"
    if kind == "REG_BINARY":
        return reg_binary(bytes.fromhex(shown))
    return reg_string(shown)


def save_current(wine: Wine, path: str) -> None:
    """The values that a set replaces, as a .reg file that puts them back."""
    sections = {}
    for key, names in ((INTERNET_SETTINGS, LEGACY_VALUES), (CONNECTIONS, (BLOB_VALUE,))):
        present = wine.values(key)
        sections[key] = {name: saved_data(*present[name]) if name in present else None for name in names}
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(reg_file(sections))


def current_blob(wine: Wine) -> bytes | None:
    shown = wine.values(CONNECTIONS).get(BLOB_VALUE)
    return bytes.fromhex(shown[1]) if shown and shown[0] == "REG_BINARY" else None


def command_set(wine: Wine, args: argparse.Namespace) -> None:
    saved = os.path.join(wine.prefix, SAVED_FILE)
    if not os.path.exists(saved):
        save_current(wine, saved)
    counter = 1
    before = current_blob(wine)
    if before:
        try:
            counter = decode(before).counter + 1
        except ValueError:
            pass
    settings = ProxySettings(proxy=args.proxy, bypass=args.bypass, pac_url=args.pac,
                             auto_detect=args.auto_detect, counter=counter)
    wine.import_text(reg_file(settings_sections(settings)))


def command_run(wine: Wine, args: argparse.Namespace) -> int:
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        raise SystemExit("run: no program given")
    env = wine.environment()
    # A Wine server or a service of the prefix started by the program would keep
    # the caller's pipes open until it ends: both start here with no output. The
    # first start makes the prefix.
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    os.makedirs(wine.prefix, exist_ok=True)
    subprocess.run([os.path.join(os.path.dirname(wine.runner), "wineserver"), "-p30"], env=env, **quiet)
    subprocess.run([wine.runner, "cmd", "/c", "exit"], env=env, **quiet)
    command_set(wine, args)
    env.update(PROXY_SETTINGS_AUTO_DETECT=str(int(args.auto_detect)), PROXY_SETTINGS_PAC=args.pac,
               PROXY_SETTINGS_PROXY=args.proxy, PROXY_SETTINGS_BYPASS=args.bypass)
    try:
        return subprocess.run([wine.runner, *program], env=env).returncode
    finally:
        command_restore(wine)


def command_restore(wine: Wine) -> None:
    saved = os.path.join(wine.prefix, SAVED_FILE)
    if not os.path.exists(saved):
        return
    with open(saved, encoding="utf-8") as f:
        wine.import_text(f.read())
    os.unlink(saved)


def command_show(wine: Wine) -> None:
    blob = current_blob(wine)
    if blob is None:
        print("no settings (Windows' default: automatic detection)")
        return
    settings = decode(blob)
    print(f"auto_detect={int(settings.auto_detect)} pac={settings.pac_url} "
          f"proxy={settings.proxy} bypass={settings.bypass}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--prefix", required=True, help="the Wine prefix (WINEPREFIX)")
    commands = parser.add_subparsers(dest="command", required=True)
    setters = [commands.add_parser("set", help="write the settings"),
               commands.add_parser("run", help="run a program with the settings, then restore")]
    for setter in setters:
        setter.add_argument("--proxy", default="", help='"host:port" or "http=host:port;https=..."')
        setter.add_argument("--bypass", default="", help='bypass list, e.g. "*.corp;<local>"')
        setter.add_argument("--pac", default="", help="the PAC script's URL")
        setter.add_argument("--auto-detect", action="store_true", help="automatic detection (WPAD)")
    setters[1].add_argument("program", nargs=argparse.REMAINDER, help="-- PROGRAM [ARGUMENTS...]")
    commands.add_parser("restore", help="put back what the first set replaced")
    commands.add_parser("show", help="print the settings as WinHTTP reads them")
    args = parser.parse_args(argv)
    wine = Wine(args.prefix)
    if args.command == "run":
        return command_run(wine, args)
    if args.command == "set":
        command_set(wine, args)
    elif args.command == "restore":
        command_restore(wine)
    else:
        command_show(wine)
    return 0


if __name__ == "__main__":
    sys.exit(main())
