/* The public header compiles as C11, declares the functions with their pointer
 * types and describes the 1044-byte record. */
#include <stdio.h>
#include "tolvek_online_installer.h"

/* Each function has the type of its pointer typedef, calling convention included
 * (on x86 a __stdcall and a __cdecl function have different types). */
#define SAME_TYPE(function, type) _Static_assert(_Generic(&function, type: 1, default: 0), #function)
SAME_TYPE(StartOnlineInstall, StartOnlineInstallFn);
SAME_TYPE(GetOnlineInstallProgress, GetOnlineInstallProgressFn);
SAME_TYPE(GetOnlineInstallResult, GetOnlineInstallResultFn);
SAME_TYPE(IsOnlineInstallDone, IsOnlineInstallDoneFn);
SAME_TYPE(CancelOnlineInstall, CancelOnlineInstallFn);
SAME_TYPE(ShutdownOnlineInstall, ShutdownOnlineInstallFn);
SAME_TYPE(SetOnlineInstallOption, SetOnlineInstallOptionFn);
SAME_TYPE(GetOnlineInstallDetail, GetOnlineInstallDetailFn);

int main(void) {
    TolvekProgressRecord record;
    StartOnlineInstallFn start = 0;
    (void)start;
    if (sizeof record != 1044 || offsetof(TolvekProgressRecord, fileBytesTotalText) != 980 ||
        sizeof(TolvekInstallDetail) != 56 || offsetof(TolvekInstallDetail, filesInTransfer) != 52) {
        printf("0 passed, 1 failed\n");
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return 0;
}
