/* The public header compiles as C11 and describes the 1044-byte record. */
#include <stdio.h>
#include "tolvek_online_installer.h"

int main(void) {
    TolvekProgressRecord record;
    StartOnlineInstallFn start = 0;
    (void)start;
    if (sizeof record != 1044 || offsetof(TolvekProgressRecord, fileBytesTotalText) != 980) {
        printf("0 passed, 1 failed\n");
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return 0;
}
