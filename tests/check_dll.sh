#!/bin/sh
# The DLL exports exactly the nine entry points, undecorated, imports only system
# DLLs (the C++ runtime and winpthread are linked in statically), carries the
# version resource of the build, and, when shipped, no debug sections:
#   check_dll.sh DLL VERSION stripped|debug x64|x86
# The binutils prefix (x86_64- or i686-w64-mingw32-) follows the DLL's own format,
# which must be the bitness asked for. On x86 the exports are __stdcall: each one
# that takes arguments removes them from the stack itself, so the first return in
# its code is "ret $N", N the bytes of its arguments (a __cdecl function returns
# with a plain "ret").
set -e
usage="usage: check_dll.sh DLL VERSION stripped|debug x64|x86"
dll="$1"
version="$2"
kind="$3"
bitness="$4"
case "$kind" in stripped|debug) ;; *) echo "$usage"; exit 2 ;; esac
case "$bitness" in
  x64) expected_format=pei-x86-64 ;;
  x86) expected_format=pei-i386 ;;
  *) echo "$usage"; exit 2 ;;
esac

format=$(x86_64-w64-mingw32-objdump -f "$dll" | sed -n 's/.*file format //p')
case "$format" in
  pei-x86-64) prefix=x86_64-w64-mingw32- ;;
  pei-i386) prefix=i686-w64-mingw32- ;;
  *) echo "FAIL: not a Windows DLL: $format"; exit 1 ;;
esac
[ "$format" = "$expected_format" ] || { echo "FAIL: $dll is $format, not $expected_format"; exit 1; }
dump=$(${prefix}objdump -p "$dll")

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t{exit}' | sort)
expected=$(printf '%s\n' CancelOnlineInstall GetOnlineInstallProgress GetOnlineInstallResult \
  IsOnlineInstallDone ShutdownOnlineInstall StartOnlineInstall StartOnlineInstallVerified \
  SetOnlineInstallOption GetOnlineInstallDetail | sort)
if [ "$exports" != "$expected" ]; then
  echo "FAIL: exports differ"; echo "got:"; echo "$exports"; exit 1
fi

imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
allowed="kernel32.dll winhttp.dll bcrypt.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll"
for dll_name in $imports; do
  case " $allowed " in
    *" $dll_name "*) ;;
    api-ms-win-crt-*) ;;
    *) echo "FAIL: imports non-system DLL $dll_name"; exit 1 ;;
  esac
done

# The version resource as windres reads it back: the numbers and the texts.
resource=$(${prefix}windres -i "$dll" -O rc 2>&1) || { echo "FAIL: no version resource: $resource"; exit 1; }
numbers=$(echo "$version" | sed 's/\./, /g')
for line in "FILEVERSION $numbers, 0" "PRODUCTVERSION $numbers, 0" \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    "VALUE \"ProductName\", \"" "VALUE \"FileDescription\", \""; do
  if ! printf '%s\n' "$resource" | grep -qF "$line"; then
    echo "FAIL: the version resource lacks: $line"; printf '%s\n' "$resource"; exit 1
  fi
done

sections=$(${prefix}objdump -h "$dll" | awk '$1 ~ /^[0-9]+$/ {print $2}')
debug=$(printf '%s\n' "$sections" | grep '^\.debug' || true)
if [ "$kind" = stripped ] && [ -n "$debug" ]; then
  echo "FAIL: debug sections in the shipped DLL:" $debug; exit 1
fi
if [ "$kind" = debug ] && [ -z "$debug" ]; then
  echo "FAIL: a debug build without debug sections"; exit 1
fi

# The address of an export: its slot in the export address table plus the image base.
export_address() {
  slot=$(printf '%s\n' "$dump" | sed -n "s/^[[:space:]]*\[ *\([0-9]*\)\] $1\$/\1/p")
  rva=$(printf '%s\n' "$dump" | sed -n "s/^[[:space:]]*\[ *$slot\] +base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA\$/\1/p")
  base=$(printf '%s\n' "$dump" | awk '$1=="ImageBase"{print $2; exit}')
  printf '0x%x' $((0x$base + 0x$rva))
}

first_return() {
  start=$(export_address "$1")
  ${prefix}objdump -d --start-address="$start" --stop-address=$((start + 512)) "$dll" |
    awk -F'\t' '$3 ~ /^ret/{gsub(/[ ]+/," ",$3); sub(/ $/,"",$3); print $3; exit}'
}

if [ "$bitness" = x86 ]; then
  for row in "StartOnlineInstall ret \$0x10" "StartOnlineInstallVerified ret \$0x14" \
             "GetOnlineInstallProgress ret \$0x4" "GetOnlineInstallResult ret \$0xc" \
             "SetOnlineInstallOption ret \$0x8" "GetOnlineInstallDetail ret \$0x4"; do
    name=${row%% *}
    want=${row#* }
    got=$(first_return "$name")
    [ "$got" = "$want" ] || { echo "FAIL: $name returns with \"$got\", not \"$want\" (__stdcall)"; exit 1; }
  done
  echo "calling convention: __stdcall"
fi
echo "format: $format"
echo "exports: $(echo $exports)"
echo "imports: $(echo $imports)"
echo "version: $version; sections: $(echo $sections)"
echo "1 passed, 0 failed"
