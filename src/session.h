// Session: the one install session, its lock and its worker thread. The exports
// forward here; the worker runs the install run and stores its result.
#pragma once

#include "install.h"
#include "support.h"

#include <cstdint>
#include <mutex>

namespace tolvek {

struct InstallSession {
    InstallRequest request;
    CancelSignal cancelRequested;
};

// Serialises start, cancel and shutdown. Always taken before StatusLock.
extern std::mutex SessionLock;

int32_t StartSession(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                     const wchar_t* logPath, const wchar_t* workingDirectory);
void CancelSession();
void ShutdownSession();
bool IsSessionDone();

}  // namespace tolvek
