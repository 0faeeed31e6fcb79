#include "session.h"

#include "progress.h"
#include "status.h"

#include <windows.h>

#include <memory>
#include <thread>

namespace tolvek {

std::mutex SessionLock;
std::mutex CancelLock;

namespace {

// The worker and the reference it holds on this library. While a worker is
// joinable the library stays loaded even if the host frees it, so the worker
// never runs in unmapped code and the session it reads stays alive.
struct Worker {
    std::thread thread;
    ModuleReference library;

    ~Worker() {
        // Only reached at process exit with a worker never shut down (the pin
        // keeps the library loaded otherwise); the system has already ended the
        // thread, and a joinable std::thread must not reach its destructor.
        if (thread.joinable()) thread.detach();
    }
};

std::unique_ptr<InstallSession> CurrentSession;
// What the host set for the later starts; guarded by SessionLock.
RunOptions Options;
Worker WorkerThread;
std::atomic<bool> InstallDone{false};

void WorkerBody(InstallSession* session) {
    SetResult(RunInstall(session->request, session->cancelRequested));
    InstallDone.store(true);
}

}  // namespace

int32_t StartSession(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                     const wchar_t* logPath, const wchar_t* workingDirectory,
                     const wchar_t* trustedKeys) {
    if (!manifestUrls || !targetDirectory || !logPath || !workingDirectory) return 0;
    std::lock_guard<std::mutex> lock(SessionLock);
    if (WorkerThread.thread.joinable()) return 0;

    // Everything that may fail for want of memory comes before the first change.
    auto session = std::make_unique<InstallSession>();
    session->request = {manifestUrls,     targetDirectory,         logPath,
                        workingDirectory, trustedKeys != nullptr, trustedKeys ? trustedKeys : L"", Options};
    const ProgressRecord first = FirstRecord();

    InstallDone.store(false);
    ResetStatus(first);
    {
        std::lock_guard<std::mutex> cancelLock(CancelLock);
        CurrentSession = std::move(session);
    }
    WorkerThread.library = ReferenceThisModule();
    try {
        WorkerThread.thread = std::thread(WorkerBody, CurrentSession.get());
    } catch (...) {
        // No thread (refused by the system, or no memory for its start): leave no
        // session and no reference on this library behind, and report no start.
        std::lock_guard<std::mutex> cancelLock(CancelLock);
        CurrentSession.reset();
        WorkerThread.library.reset();
        return 0;
    }
    return 1;
}

bool SetSessionOption(const wchar_t* name, const wchar_t* value) {
    if (!name || !value) return false;
    std::lock_guard<std::mutex> lock(SessionLock);
    if (WorkerThread.thread.joinable() && !InstallDone.load()) return false;
    return SetRunOption(Options, name, value);
}

// Never waits for a start or a shutdown: a shutdown holds SessionLock while it joins.
void CancelSession() {
    std::lock_guard<std::mutex> lock(CancelLock);
    if (CurrentSession) RaiseCancel(CurrentSession->cancelRequested);
}

void ShutdownSession() {
    std::lock_guard<std::mutex> lock(SessionLock);
    if (WorkerThread.thread.joinable()) {
        CancelSession();
        WorkerThread.thread.join();
        // The host still holds its own reference while it calls us.
        WorkerThread.library.reset();
    }
    std::lock_guard<std::mutex> cancelLock(CancelLock);
    CurrentSession.reset();
}

bool IsSessionDone() { return InstallDone.load(); }

}  // namespace tolvek
