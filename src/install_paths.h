// File entries of the manifest and the rules that stand between a path written by
// a server and a path on the user's disk. Pure functions over strings, apart from
// the platform's path resolution; nothing here downloads, logs or writes.
#pragma once

#include "failure.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tolvek {

// One member of the manifest's "files" object.
struct FileEntry {
    std::wstring key;  // path relative to the target directory, "/" or "\" separated
    int64_t size = -1;
    std::wstring hash;  // upper-cased a-z
    bool hasSize = false;
    bool hasHash = false;
    // A "size" or "hash" member was written but cannot bound or verify anything: a
    // size that is negative, fractional or no number; a hash that is no string of
    // 64 hexadecimal digits. Such an entry is refused before any request.
    bool sizeUnusable = false;
    bool hashUnusable = false;
};

// How a key's characters beyond ASCII go into its file URL. Utf8: the escaped
// UTF-8 bytes of every one (RFC 3986, what object stores and ordinary servers hold;
// the manifest says "url_encoding": "utf-8"). Legacy, for manifests without that
// member: a character up to U+00FF as one escape of its code, the others as UTF-8.
enum class UrlEncoding { Legacy, Utf8 };

std::wstring ToForwardSlashes(const std::wstring& path);
bool IsSafeRelativePath(const std::wstring& key);
std::wstring JoinPath(const std::wstring& directory, const std::wstring& relative);
std::wstring FullPath(const std::wstring& path);
bool EscapesTargetDirectory(const std::wstring& base, const std::wstring& key);
bool IsProtectedInstallerArtifact(const std::wstring& key);
// Whether every component of the key is a name Windows can hold: none of * ? < > | "
// or U+0000-U+001F, and no reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9,
// CONIN$, CONOUT$, in any case, with any extension and trailing blanks and dots).
bool IsWindowsFileName(const std::wstring& key);
// What a refused key is reported as, followed by the key: by the check below and by
// the file stage's path rules alike.
inline constexpr wchar_t kInvalidPathInManifest[] = L"Invalid file path in manifest: ";
// Refuses (InvalidEntry) an entry that no mirror's bytes could install: an unusable
// size or hash, a name Windows cannot hold, or a temporary path below `resolvedTarget`
// longer than any path the platform accepts. The name is judged up to a NUL.
Outcome CheckEntry(const FileEntry& entry, const std::wstring& resolvedTarget);

// Where a destination's file is downloaded before it is moved into place.
std::wstring TemporaryPath(const std::wstring& destination);

// A path as the file system sees it: absolute, "\" separated, without trailing
// dots and blanks in any component, and for an existing file or directory its long
// name (a short 8.3 name reaches a file under a name the path does not show). Two
// resolved paths name one file when SamePath says so.
struct ResolvedPath {
    std::wstring path;
    bool exists = false;
    bool isDirectory = false;
    int64_t size = -1;  // an existing file's size
};
ResolvedPath ResolvePath(const std::wstring& path);
// Equal ignoring case, compared as the platform compares file names.
bool SamePath(const std::wstring& a, const std::wstring& b);
// The one upper-case form that paths equal under SamePath share; empty when the
// platform cannot fold the text.
std::wstring FoldedPath(const std::wstring& path);

// Resolved paths that a run has claimed: its own files and the destination of every
// entry so far. Looked up by a hash of the upper-cased path, so that tens of thousands
// of entries cost one lookup each; SamePath decides.
struct ClaimedPaths {
    std::vector<std::wstring> paths;
    std::unordered_multimap<size_t, size_t> byFoldedHash;  // -> index into paths
};
void Claim(ClaimedPaths& claimed, const std::wstring& resolvedPath);
bool IsClaimed(const ClaimedPaths& claimed, const std::wstring& resolvedPath);

// Whether an entry's file may be written at its resolved destination: the key names
// a file (its last component is more than dots and blanks), the destination is not a
// directory (the target itself among them), and neither the destination nor its
// temporary file is a path claimed by the run.
bool MayWriteDestination(const ClaimedPaths& claimed, const std::wstring& key,
                         const ResolvedPath& destination);

}  // namespace tolvek
