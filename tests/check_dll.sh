#!/bin/sh
# The DLL exports exactly the six entry points, undecorated, and imports only
# system DLLs (the C++ runtime and winpthread are linked in statically):
#   check_dll.sh DLL [x64|x86]
# On x86 the exports are __stdcall: each one that takes arguments removes them
# from the stack itself, so the first return in its code is "ret $N", N the
# bytes of its arguments (a __cdecl function returns with a plain "ret").
set -e
dll="$1"
case "${2:-x64}" in
  x64) tools=x86_64-w64-mingw32; format=pei-x86-64 ;;
  x86) tools=i686-w64-mingw32; format=pei-i386 ;;
  *) echo "usage: check_dll.sh DLL [x64|x86]"; exit 2 ;;
esac
dump=$($tools-objdump -p "$dll")
case "$dump" in
  *"file format $format"*) ;;
  *) echo "FAIL: $dll is not $format"; exit 1 ;;
esac

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t{exit}' | sort)
expected=$(printf '%s\n' CancelOnlineInstall GetOnlineInstallProgress GetOnlineInstallResult \
  IsOnlineInstallDone ShutdownOnlineInstall StartOnlineInstall | sort)
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

# The address of an export: its slot in the export address table plus the image base.
export_address() {
  slot=$(printf '%s\n' "$dump" | sed -n "s/^[[:space:]]*\[ *\([0-9]*\)\] $1\$/\1/p")
  rva=$(printf '%s\n' "$dump" | sed -n "s/^[[:space:]]*\[ *$slot\] +base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA\$/\1/p")
  base=$(printf '%s\n' "$dump" | awk '$1=="ImageBase"{print $2; exit}')
  printf '0x%x' $((0x$base + 0x$rva))
}

first_return() {
  start=$(export_address "$1")
  $tools-objdump -d --start-address="$start" --stop-address=$((start + 512)) "$dll" |
    awk -F'\t' '$3 ~ /^ret/{gsub(/[ ]+/," ",$3); sub(/ $/,"",$3); print $3; exit}'
}

if [ "${2:-x64}" = x86 ]; then
  for row in "StartOnlineInstall ret \$0x10" "GetOnlineInstallProgress ret \$0x4" \
             "GetOnlineInstallResult ret \$0xc"; do
    name=${row%% *}
    want=${row#* }
    got=$(first_return "$name")
    [ "$got" = "$want" ] || { echo "FAIL: $name returns with \"$got\", not \"$want\" (__stdcall)"; exit 1; }
  done
  echo "calling convention: __stdcall"
fi
echo "exports: $(echo $exports)"
echo "imports: $(echo $imports)"
echo "1 passed, 0 failed"
