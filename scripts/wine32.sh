#!/bin/sh
# Runs a 32-bit Windows program under the 32-bit Wine:
#   wine32.sh PROGRAM [ARGS...]
# in a WoW64 prefix of its own (TOLVEK_WINE32_PREFIX, default ~/.wine32), made on
# first use, so the 64-bit ~/.wine that everything else uses is never touched. The
# program gets the caller's environment and DISPLAY; the i386 X libraries that
# scripts/install-deps.sh unpacked privately are put on the library path.
#   wine32.sh --check             exits 0 when 32-bit programs can run here
# Where they cannot, either form exits with 77, the code that the test entries of
# 32-bit programs take as "skipped", after saying why.
# The prefix's desktop takes the display of the program that starts it and keeps
# it while any program of the prefix runs: a program that opens windows (an Inno
# setup, even a silent one) wants a prefix whose other programs see the same
# DISPLAY, or one of its own (TOLVEK_WINE32_PREFIX), as tests/host/test_inno_example.py has.
set -e
[ $# -ge 1 ] || { echo "usage: wine32.sh PROGRAM [ARGS...] | --check" >&2; exit 2; }
[ -x /usr/lib/wine/wine ] || { echo "wine32.sh: the 32-bit Wine is missing: run scripts/install-deps.sh" >&2; exit 1; }
# The loader is itself a 32-bit Linux program, and some kernels run none.
/usr/lib/wine/wine --version >/dev/null 2>&1 ||
  { echo "wine32.sh: this machine does not run 32-bit programs (its kernel refuses the 32-bit Wine loader)" >&2; exit 77; }
[ "$1" != --check ] || exit 0

prefix="${TOLVEK_WINE32_PREFIX:-$HOME/.wine32}"
x11="${TOLVEK_WINE32_X11:-/opt/tolvek-wine32-x11}"
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export LD_LIBRARY_PATH="$x11/usr/lib/i386-linux-gnu:$x11/lib/i386-linux-gnu${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# A prefix made by the 64-bit loader holds syswow64, where the 32-bit programs
# find their system DLLs. Callers may start at once: one of them makes it.
ready="$prefix/.tolvek-wow64-ready"
if [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$ready" ]; then
      rm -rf "$prefix"
      # No Mono or Gecko to offer, and no window to show while the prefix is made.
      env -u DISPLAY WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i \
        </dev/null >/dev/null 2>&1
      # Its desktop knows no display: it must be gone before a program opens a window.
      /usr/lib/wine/wineserver -w
      [ -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ] ||
        { echo "wine32.sh: wineboot made no 32-bit system folder in $prefix" >&2; exit 1; }
      touch "$ready"
    fi
  ) 9>"$prefix.lock"
fi

# The prefix's Wine server and system processes, started here with no inherited
# output, as scripts/run-tests.sh does for ~/.wine: started by the program, they
# would keep the caller's pipes open until they end, 30 s after the last client.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
exec /usr/lib/wine/wine "$@"
