// Session: the one install session, its lock and its worker thread. The exports
// forward here; the worker runs the install run and stores its result.
#pragma once

#include "cancel.h"
#include "install.h"

#include <cstdint>
#include <mutex>

namespace tolvek {

struct InstallSession {
    InstallRequest request;
    CancelSignal cancelRequested;
};

// Serialises start and shutdown. Always taken before CancelLock and StatusLock.
extern std::mutex SessionLock;
// Guards the current session for a cancel, which must never wait for a shutdown's
// join: writers of the current session hold both locks, a cancel only this one.
extern std::mutex CancelLock;

// A null `trustedKeys` is the plain start; the verified start refuses a null list itself.
int32_t StartSession(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                     const wchar_t* logPath, const wchar_t* workingDirectory,
                     const wchar_t* trustedKeys = nullptr);
// Sets an option for the later starts (see SetRunOption); false while a run is active.
bool SetSessionOption(const wchar_t* name, const wchar_t* value);
void CancelSession();
void ShutdownSession();
bool IsSessionDone();

}  // namespace tolvek
