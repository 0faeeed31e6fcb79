#!/bin/sh
# The DLL exports exactly the seven entry points, undecorated, and imports only
# system DLLs (the C++ runtime and winpthread are linked in statically).
set -e
dll="$1"
dump=$(x86_64-w64-mingw32-objdump -p "$dll")

exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t{exit}' | sort)
expected=$(printf '%s\n' CancelOnlineInstall GetOnlineInstallProgress GetOnlineInstallResult \
  IsOnlineInstallDone ShutdownOnlineInstall StartOnlineInstall StartOnlineInstallVerified | sort)
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
echo "exports: $(echo $exports)"
echo "imports: $(echo $imports)"
echo "1 passed, 0 failed"
