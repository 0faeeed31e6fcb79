// The public header compiles as C++; its declarations match the pointer types a
// host uses with GetProcAddress, in the Windows API's calling convention, and the
// record has the 1044-byte layout.
#include <cstdio>
#include <type_traits>

#include <windows.h>

#include "tolvek_online_installer.h"

static_assert(std::is_same<decltype(&StartOnlineInstall), StartOnlineInstallFn>::value, "");
static_assert(std::is_same<decltype(&GetOnlineInstallProgress), GetOnlineInstallProgressFn>::value, "");
static_assert(std::is_same<decltype(&GetOnlineInstallResult), GetOnlineInstallResultFn>::value, "");
static_assert(std::is_same<decltype(&IsOnlineInstallDone), IsOnlineInstallDoneFn>::value, "");
static_assert(std::is_same<decltype(&CancelOnlineInstall), CancelOnlineInstallFn>::value, "");
static_assert(std::is_same<decltype(&ShutdownOnlineInstall), ShutdownOnlineInstallFn>::value, "");
static_assert(std::is_standard_layout<TolvekProgressRecord>::value, "");

// The pointer types carry the Windows API's convention, which a setup builder's
// stdcall declaration expects (on x86 it is not the C default).
static_assert(std::is_same<StartOnlineInstallFn,
                           int32_t(WINAPI*)(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*)>::value, "");
static_assert(std::is_same<GetOnlineInstallProgressFn, int32_t(WINAPI*)(TolvekProgressRecord*)>::value, "");
static_assert(std::is_same<GetOnlineInstallResultFn, int32_t(WINAPI*)(int32_t*, wchar_t*, int32_t)>::value, "");
static_assert(std::is_same<IsOnlineInstallDoneFn, int32_t(WINAPI*)()>::value, "");
static_assert(std::is_same<CancelOnlineInstallFn, void(WINAPI*)()>::value, "");
static_assert(std::is_same<ShutdownOnlineInstallFn, void(WINAPI*)()>::value, "");

int main() {
    const bool ok = sizeof(TolvekProgressRecord) == 1044 &&
                    offsetof(TolvekProgressRecord, fileBytesTotalText) == 980;
    std::printf(ok ? "1 passed, 0 failed\n" : "0 passed, 1 failed\n");
    return ok ? 0 : 1;
}
