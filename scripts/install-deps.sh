#!/bin/sh
# Installs the cross toolchains, Wine (64-bit, and 32-bit for the x86 build), NSIS,
# nginx, Xvfb, npm, squid, clang for the fuzz targets and the test tools when any is
# missing.
# Idempotent: does nothing (and needs no network) when everything is present.
set -e
export DEBIAN_FRONTEND=noninteractive
# The i386 X libraries that a 32-bit Wine window needs, when they cannot be
# installed as packages (scripts/wine32.sh puts them on the library path).
WINE32_X11="${TOLVEK_WINE32_X11:-/opt/tolvek-wine32-x11}"
# npm tools: Inno Setup's compiler (examples/inno/CMakeLists.txt finds it here).
TOOLS_DIR="${TOLVEK_TOOLS_DIR:-/opt/tolvek-tools}"
INNO_SETUP_VERSION=6.4.1

# The index may be incomplete for one architecture (a security index for i386
# that fails its check has been seen); what is missing then fails the install.
update_index() {
  apt-get update -qq || echo "install-deps: apt-get update reported errors; going on with the index it has"
}

need=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64"
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v python3 >/dev/null 2>&1 || need="$need python3"
command -v openssl >/dev/null 2>&1 || need="$need openssl"
command -v makensis >/dev/null 2>&1 || need="$need nsis"
command -v nginx >/dev/null 2>&1 || need="$need nginx"
command -v update-ca-certificates >/dev/null 2>&1 || need="$need ca-certificates"
command -v Xvfb >/dev/null 2>&1 || need="$need xvfb"
# xvfb-run (the guide runs an Inno setup under it) needs xauth, which xvfb does not pull in.
command -v xauth >/dev/null 2>&1 || need="$need xauth"
command -v npm >/dev/null 2>&1 || need="$need npm"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
# The proxies of the tests (tests/proxy.sh): squid, Basic's password file, and
# NTLM checked by Samba's ntlm_auth against a winbindd of the test's own.
[ -x /usr/sbin/squid ] || need="$need squid"
command -v htpasswd >/dev/null 2>&1 || need="$need apache2-utils"
command -v ntlm_auth >/dev/null 2>&1 || need="$need winbind"
# The fuzz targets (scripts/fuzz.sh): clang, with libFuzzer and the sanitizers' runtimes.
command -v clang++ >/dev/null 2>&1 || need="$need clang"
command -v clang++ >/dev/null 2>&1 && [ -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ] ||
  need="$need libclang-rt-dev"
if [ -n "$need" ]; then
  echo "Installing:$need"
  update_index
  # shellcheck disable=SC2086
  apt-get install -y -qq $need
fi

# The 32-bit Wine: the loader, its i386 libraries and the builtin zlib that
# wineboot needs to make a prefix's syswow64; and the X libraries for windows.
wine32_present() {
  [ -x /usr/lib/wine/wine ] && [ -f /usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll ]
}
x11_i386_present() {
  [ -f /usr/lib/i386-linux-gnu/libX11.so.6 ] || [ -f "$WINE32_X11/usr/lib/i386-linux-gnu/libX11.so.6" ]
}

# wine32 and libwine of the installed 64-bit Wine's version, unpacked rather than
# installed (their i386 dependencies cannot all be had), so apt's view stays whole;
# libwine's post-installation step, which writes the builtin zlib, is run by hand.
unpack_wine32() {
  version=$(dpkg-query -W -f='${Version}' wine64)
  work=$(mktemp -d)
  (
    cd "$work"
    apt-get download "wine32:i386=$version" "libwine:i386=$version"
    for deb in ./*.deb; do dpkg -x "$deb" /; done
    dpkg -e ./libwine_*_i386.deb control
    sh control/postinst configure
  )
  rm -rf "$work"
}

# The i386 X libraries (and theirs) unpacked into a private folder.
unpack_x11_libraries() {
  work=$(mktemp -d)
  (
    cd "$work"
    for package in libx11-6 libxcb1 libxau6 libxdmcp6 libbsd0 libmd0 libxext6 libxrender1 \
                   libfreetype6 libbrotli1 libpng16-16 zlib1g libfontconfig1 libexpat1; do
      apt-get download "$package:i386"
    done
    mkdir -p "$WINE32_X11"
    for deb in ./*.deb; do dpkg -x "$deb" "$WINE32_X11"; done
  )
  rm -rf "$work"
}

if ! wine32_present || ! x11_i386_present; then
  echo "Installing the 32-bit Wine"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  update_index
  if ! apt-get install -y -qq --no-remove wine32:i386; then
    echo "install-deps: wine32:i386 cannot be installed from the index; unpacking it instead"
    apt-get install -y -qq --no-remove libc6:i386 libgcc-s1:i386 libgnutls30:i386
    wine32_present || unpack_wine32
    x11_i386_present || unpack_x11_libraries
  fi
  wine32_present && x11_i386_present || { echo "install-deps: the 32-bit Wine is still incomplete" >&2; exit 1; }
fi

# Inno Setup's compiler, ISCC.exe, from its npm package; it runs under the 32-bit Wine.
if [ ! -f "$TOOLS_DIR/node_modules/innosetup/bin/ISCC.exe" ]; then
  echo "Installing Inno Setup $INNO_SETUP_VERSION (npm package innosetup) into $TOOLS_DIR"
  mkdir -p "$TOOLS_DIR"
  npm install --prefix "$TOOLS_DIR" --no-audit --no-fund --loglevel=error "innosetup@$INNO_SETUP_VERSION"
fi
