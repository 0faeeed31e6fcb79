#include "install_lock.h"

#include "install_paths.h"
#include "support.h"
#include "verify.h"

namespace tolvek {

namespace {

const wchar_t kLockNamePrefix[] = L"Local\\TolvekOnlineInstall.Target.";

}  // namespace

std::wstring TargetLockName(const std::wstring& targetDirectory) {
    std::wstring identity = FinalFolderPath(targetDirectory);
    if (identity.empty()) identity = ResolvePath(targetDirectory).path;
    return kLockNamePrefix + TextSha256(FoldedPath(identity));
}

TargetDirectoryLock::TargetDirectoryLock(const std::wstring& targetDirectory) {
    const std::wstring name = TargetLockName(targetDirectory);
    mutex_.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex_) {
        // Denied: a run of another privilege level made the mutex and holds it. Any
        // other failure proves no other run, and leaves this one unguarded.
        busy_ = GetLastError() == ERROR_ACCESS_DENIED;
        return;
    }
    const DWORD waited = WaitForSingleObject(mutex_.get(), 0);
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    busy_ = waited == WAIT_TIMEOUT;
}

TargetDirectoryLock::~TargetDirectoryLock() {
    if (owned_) ReleaseMutex(mutex_.get());
}

}  // namespace tolvek
