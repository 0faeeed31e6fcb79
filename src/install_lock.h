// One install at a time per target directory: a named mutex in the namespace of
// the Windows logon session, owned by the run's thread for as long as the run lasts.
#pragma once

#include "handles.h"

#include <string>

namespace tolvek {

inline const std::wstring kTargetDirectoryBusy =
    L"Another installation into this target directory is running";

// The mutex's name: the directory's identity is its final path, where the file system
// finds it after links, junctions and drive mappings (a subst drive, a mapped share),
// so that every spelling of one directory and every route to it (letter case,
// trailing dots and blanks, short names, a relative path) is one name; a directory
// that cannot be opened counts by its resolved path. The name carries the SHA-256 of
// the identity's upper-cased form, so that any length of path fits.
std::wstring TargetLockName(const std::wstring& targetDirectory);

// Takes the target directory's lock without waiting, and releases it when destroyed,
// which must happen on the thread that took it. A process that dies with the lock
// leaves the mutex abandoned, and the next run takes it.
class TargetDirectoryLock {
public:
    explicit TargetDirectoryLock(const std::wstring& targetDirectory);
    ~TargetDirectoryLock();
    TargetDirectoryLock(const TargetDirectoryLock&) = delete;
    TargetDirectoryLock& operator=(const TargetDirectoryLock&) = delete;

    // True when a run in this logon session holds the directory's lock.
    bool busy() const noexcept { return busy_; }

private:
    KernelHandle mutex_;
    bool owned_ = false;
    bool busy_ = false;
};

}  // namespace tolvek
