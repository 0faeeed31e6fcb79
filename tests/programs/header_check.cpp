// The public header compiles as C++; its declarations match the pointer types a
// host uses with GetProcAddress, and the record has the 1044-byte layout.
#include <cstdio>
#include <type_traits>
#include "tolvek_online_installer.h"

static_assert(std::is_same<decltype(&StartOnlineInstall), StartOnlineInstallFn>::value, "");
static_assert(std::is_same<decltype(&GetOnlineInstallProgress), GetOnlineInstallProgressFn>::value, "");
static_assert(std::is_same<decltype(&GetOnlineInstallResult), GetOnlineInstallResultFn>::value, "");
static_assert(std::is_same<decltype(&IsOnlineInstallDone), IsOnlineInstallDoneFn>::value, "");
static_assert(std::is_same<decltype(&CancelOnlineInstall), CancelOnlineInstallFn>::value, "");
static_assert(std::is_same<decltype(&ShutdownOnlineInstall), ShutdownOnlineInstallFn>::value, "");
static_assert(std::is_standard_layout<TolvekProgressRecord>::value, "");

int main() {
    const bool ok = sizeof(TolvekProgressRecord) == 1044 &&
                    offsetof(TolvekProgressRecord, fileBytesTotalText) == 980;
    std::printf(ok ? "1 passed, 0 failed\n" : "0 passed, 1 failed\n");
    return ok ? 0 : 1;
}
