// Session: the one install session, the two locks, the worker thread and the
// result store. The exports forward here; the worker runs the install run.
#pragma once

#include "progress.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tolvek {

struct InstallSession {
    std::wstring manifestUrls;      // "|"-separated manifest URLs
    std::wstring targetDirectory;
    std::wstring logPath;
    std::wstring workingDirectory;  // receives the downloaded manifest
    bool verified = false;          // started by StartOnlineInstallVerified
    std::wstring trustedKeys;       // its "|"-separated public keys
    std::atomic<bool> cancelRequested{false};
};

// Serialises start, cancel and shutdown. Always taken before StatusLock.
extern std::mutex SessionLock;
// Guards the progress record store and the result.
extern std::mutex StatusLock;

// A null `trustedKeys` is the plain start; the verified start refuses a null list itself.
int32_t StartSession(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                     const wchar_t* logPath, const wchar_t* workingDirectory,
                     const wchar_t* trustedKeys = nullptr);
void CancelSession();
void ShutdownSession();
bool IsSessionDone();
// Copies the result into the host's buffer, truncated to capacity - 1 units.
bool CopyResult(int32_t* code, wchar_t* message, int32_t capacity);

void ResetStatus();
// Stores the run's result; the message is cut to 1023 characters.
void SetResult(int32_t code, const std::wstring& message);
bool GetResult(int32_t& code, std::wstring& message);


}  // namespace tolvek
