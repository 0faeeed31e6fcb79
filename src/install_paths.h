// Target paths: where a key written by a server lands on the user's disk, as the
// file system sees it, and the paths a run has claimed. Nothing here downloads,
// logs or writes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tolvek {

std::wstring JoinPath(const std::wstring& directory, std::wstring_view relative);
std::wstring FullPath(const std::wstring& path);
// A path as a run uses it throughout: an absolute one as given, a relative one
// ("game", "..\game", "\game", "C:game") made absolute against the current
// directory now, so that a host changing that directory later moves nothing.
std::wstring AbsolutePath(const std::wstring& path);
bool EscapesTargetDirectory(const std::wstring& base, std::wstring_view key);

// A path as the file system sees it: absolute, "\" separated, without trailing
// dots and blanks in any component, and for an existing file or directory its long
// name (a short 8.3 name reaches a file under a name the path does not show). Two
// resolved paths name one file when SamePath (support.h) says so.
struct ResolvedPath {
    std::wstring path;
    bool exists = false;
    bool isDirectory = false;
    int64_t size = -1;  // an existing file's size
};
ResolvedPath ResolvePath(const std::wstring& path);
// The one upper-case form that paths equal under SamePath share; empty when the
// platform cannot fold the text.
std::wstring FoldedPath(const std::wstring& path);

// Resolved paths that a run has claimed: its own files and the destination of every
// entry so far. Looked up by a hash of the upper-cased path, so that tens of thousands
// of entries cost one lookup each; SamePath decides. An entry's destination is claimed
// by its hash alone, and made again by `derivedPath` only where two hashes meet.
struct ClaimedPaths {
    std::vector<std::wstring> paths;  // the paths claimed by their text
    std::unordered_multimap<size_t, size_t> byFoldedHash;  // -> index into paths, or kDerived + claimant
    std::function<std::wstring(size_t claimant)> derivedPath = {};
};
void Claim(ClaimedPaths& claimed, const std::wstring& resolvedPath);
void ClaimDerived(ClaimedPaths& claimed, const std::wstring& resolvedPath, size_t claimant);
bool IsClaimed(const ClaimedPaths& claimed, const std::wstring& resolvedPath);
// The claimant of a derived claim on the path; SIZE_MAX when there is none.
size_t DerivedClaimant(const ClaimedPaths& claimed, const std::wstring& resolvedPath);

// Whether an entry's file may be written at its resolved destination: the key names
// a file (its last component is more than dots and blanks), the destination is not a
// directory (the target itself among them), and neither the destination nor its
// temporary file is a path claimed by the run.
bool MayWriteDestination(const ClaimedPaths& claimed, std::wstring_view key,
                         const ResolvedPath& destination);

}  // namespace tolvek
