// File entries of the manifest and the rules that stand between a path written by
// a server and a path on the user's disk. Pure functions over strings, apart from
// the platform's path resolution; nothing here downloads, logs or writes.
#pragma once

#include "json.h"

#include <cstdint>
#include <string>

namespace tolvek {

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

}  // namespace tolvek
