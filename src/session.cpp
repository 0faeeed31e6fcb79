#include "session.h"

#include "install.h"
#include "support.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <thread>

namespace tolvek {

std::mutex SessionLock;
std::mutex StatusLock;

namespace {

constexpr size_t kResultCapacity = 1024;

// The worker and the reference it holds on this library. While a worker is
// joinable the library stays loaded even if the host frees it, so the worker
// never runs in unmapped code and the session it reads stays alive.
struct Worker {
    std::thread thread;
    HMODULE pinnedModule = nullptr;

    ~Worker() {
        // Only reached at process exit with a worker never shut down (the pin
        // keeps the library loaded otherwise); the system has already ended the
        // thread, and a joinable std::thread must not reach its destructor.
        if (thread.joinable()) thread.detach();
    }
};

std::unique_ptr<InstallSession> CurrentSession;
Worker WorkerThread;
std::atomic<bool> InstallDone{false};
int32_t ResultCode = -1;
wchar_t ResultMessage[kResultCapacity] = {};

void ResetStatusLocked() {
    ClearProgressStoreLocked();
    ResultCode = -1;
    ResultMessage[0] = L'\0';
}

// The reset and the first record in one locked step: a host polling while starts
// race never finds the store empty once a session has started.
void ResetStatusToFirstRecord() {
    std::lock_guard<std::mutex> lock(StatusLock);
    ResetStatusLocked();
    PublishProgressLocked(L"Preparing", L"", 0, 0, 0, L"0 B", L"0 B", L"0 B/s", L"calculating...",
                          L"0 B", L"0 B");
}

void WorkerBody(InstallSession* session) {
    RunInstall(*session);
    InstallDone.store(true);
}

HMODULE PinThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&PinThisModule), &module);
    return module;
}

void Unpin(HMODULE& module) {
    if (module) FreeLibrary(module);
    module = nullptr;
}

}  // namespace

void ResetStatus() {
    std::lock_guard<std::mutex> lock(StatusLock);
    ResetStatusLocked();
}

void SetResult(int32_t code, const std::wstring& message) {
    // The host may show or log the text: no control character may reach it.
    const std::wstring shown = ShownText(message);
    std::lock_guard<std::mutex> lock(StatusLock);
    const size_t count = shown.size() < kResultCapacity - 1 ? shown.size() : kResultCapacity - 1;
    std::memcpy(ResultMessage, shown.data(), count * sizeof(wchar_t));
    ResultMessage[count] = L'\0';
    ResultCode = code;
}

bool GetResult(int32_t& code, std::wstring& message) {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (ResultCode < 0) return false;
    code = ResultCode;
    message = ResultMessage;
    return true;
}

int32_t StartSession(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                     const wchar_t* logPath, const wchar_t* workingDirectory,
                     const wchar_t* trustedKeys) {
    if (!manifestUrls || !targetDirectory || !logPath || !workingDirectory) return 0;
    std::lock_guard<std::mutex> lock(SessionLock);
    if (WorkerThread.thread.joinable()) return 0;

    // Everything that may fail for want of memory comes before the first change.
    auto session = std::make_unique<InstallSession>();
    session->manifestUrls = manifestUrls;
    session->targetDirectory = targetDirectory;
    session->logPath = logPath;
    session->workingDirectory = workingDirectory;
    session->verified = trustedKeys != nullptr;
    if (trustedKeys) session->trustedKeys = trustedKeys;

    InstallDone.store(false);
    ResetStatusToFirstRecord();
    CurrentSession = std::move(session);
    WorkerThread.pinnedModule = PinThisModule();
    try {
        WorkerThread.thread = std::thread(WorkerBody, CurrentSession.get());
    } catch (...) {
        // No thread (refused by the system, or no memory for its start): leave no
        // session and no reference on this library behind, and report no start.
        CurrentSession.reset();
        Unpin(WorkerThread.pinnedModule);
        return 0;
    }
    return 1;
}

void CancelSession() {
    std::lock_guard<std::mutex> lock(SessionLock);
    if (CurrentSession) CurrentSession->cancelRequested.exchange(true);
}

void ShutdownSession() {
    std::lock_guard<std::mutex> lock(SessionLock);
    if (WorkerThread.thread.joinable()) {
        if (CurrentSession) CurrentSession->cancelRequested.exchange(true);
        WorkerThread.thread.join();
        // The host still holds its own reference while it calls us.
        Unpin(WorkerThread.pinnedModule);
    }
    CurrentSession.reset();
}

bool IsSessionDone() { return InstallDone.load(); }

bool CopyResult(int32_t* code, wchar_t* message, int32_t capacity) {
    if (!code || !message || capacity <= 0) return false;
    int32_t storedCode = 0;
    std::wstring storedMessage;
    if (!GetResult(storedCode, storedMessage)) return false;
    *code = storedCode;
    const size_t room = static_cast<size_t>(capacity) - 1;
    const size_t count = storedMessage.size() < room ? storedMessage.size() : room;
    std::memcpy(message, storedMessage.data(), count * sizeof(wchar_t));
    message[count] = L'\0';
    return true;
}

}  // namespace tolvek
