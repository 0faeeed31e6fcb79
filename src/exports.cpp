// The nine exported functions. They forward to the session and status modules
// and never let an exception reach the host.
#include "session.h"
#include "status.h"

#include "tolvek_online_installer.h"

extern "C" {

int32_t TOLVEK_CALL StartOnlineInstall(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                                       const wchar_t* logPath, const wchar_t* workingDirectory) {
    try {
        return tolvek::StartSession(manifestUrls, targetDirectory, logPath, workingDirectory);
    } catch (...) {
        return 0;
    }
}

int32_t TOLVEK_CALL StartOnlineInstallVerified(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                                               const wchar_t* logPath, const wchar_t* workingDirectory,
                                               const wchar_t* trustedKeys) {
    if (!trustedKeys) return 0;
    try {
        return tolvek::StartSession(manifestUrls, targetDirectory, logPath, workingDirectory, trustedKeys);
    } catch (...) {
        return 0;
    }
}

int32_t TOLVEK_CALL GetOnlineInstallProgress(TolvekProgressRecord* destination) {
    if (!destination) return 0;
    return tolvek::CopyProgress(destination) ? 1 : 0;
}

int32_t TOLVEK_CALL GetOnlineInstallResult(int32_t* code, wchar_t* message, int32_t capacity) {
    try {
        return tolvek::CopyResult(code, message, capacity) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int32_t TOLVEK_CALL IsOnlineInstallDone(void) { return tolvek::IsSessionDone() ? 1 : 0; }

void TOLVEK_CALL CancelOnlineInstall(void) { tolvek::CancelSession(); }

void TOLVEK_CALL ShutdownOnlineInstall(void) { tolvek::ShutdownSession(); }

int32_t TOLVEK_CALL SetOnlineInstallOption(const wchar_t* name, const wchar_t* value) {
    try {
        return tolvek::SetSessionOption(name, value) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int32_t TOLVEK_CALL GetOnlineInstallDetail(TolvekInstallDetail* detail) {
    return tolvek::CopyDetail(detail) ? 1 : 0;
}

}  // extern "C"
