// Install run: the worker's run from set-up to stored result, the file stage,
// file entries and the safety rules for target paths.
#pragma once

#include "json.h"

#include <cstdint>
#include <string>

namespace tolvek {

struct InstallSession;

// One member of the manifest's "files" object.
struct FileEntry {
    std::wstring key;  // path relative to the target directory, "/" or "\" separated
    int64_t size = -1;
    std::wstring hash;  // upper-cased a-z
    bool hasSize = false;
    bool hasHash = false;
};

// Size, hash and their flags from a member value; the caller sets `key`.
FileEntry ReadFileEntry(const JsonValue& value);
std::wstring ToForwardSlashes(const std::wstring& path);
bool IsSafeRelativePath(const std::wstring& key);
std::wstring JoinPath(const std::wstring& directory, const std::wstring& relative);
std::wstring FullPath(const std::wstring& path);
bool EscapesTargetDirectory(const std::wstring& base, const std::wstring& key);
bool IsProtectedInstallerArtifact(const std::wstring& key);
// The full long path of the existing file or directory that `path` opens, or empty
// when nothing is there. A short (8.3) name in a key reaches a file under a name the
// key does not show.
std::wstring ExistingLongName(const std::wstring& path);

// The whole run on the worker thread; always stores a result, never throws.
void RunInstall(InstallSession& session);

}  // namespace tolvek
