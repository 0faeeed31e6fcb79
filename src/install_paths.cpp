// Target paths: where a key lands on the disk, and the paths a run has claimed.
#include "install_paths.h"

#include "entry_rules.h"
#include "support.h"

#include <windows.h>

#include <iterator>

namespace tolvek {

namespace {

// A common prefix proves containment only for a path without ".." segments.
// Resolution removes them, except in a path too long to resolve, and except where
// the platform shortens a name such as "..." to ".." after collapsing the others.
bool HasParentSegment(const std::wstring& path) {
    size_t start = 0;
    for (;;) {
        const size_t end = path.find_first_of(L"\\/", start);
        const size_t length = end == std::wstring::npos ? end : end - start;
        if (path.compare(start, length, L"..") == 0) return true;
        if (end == std::wstring::npos) return false;
        start = end + 1;
    }
}

std::wstring FullPathAnyLength(const std::wstring& path) {
    return AskWithRoom([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
}

std::wstring LongName(const std::wstring& path) {
    return AskWithRoom(
        [&](wchar_t* buffer, DWORD size) { return GetLongPathNameW(path.c_str(), buffer, size); });
}

// The part of a full path that no trimming may touch: "C:\", "\\server\share\" or a
// lone "\"; the "\\?\" form is written as the plain one, which names the same file.
std::wstring SplitRoot(std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) path.erase(2, 6);  // "\\?\UNC\s" -> "\\s"
    else if (path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
    size_t end = 0;
    if (path.size() >= 2 && path[1] == L':') {
        end = 2;
    } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        end = path.find_first_of(L"\\/", 2);                              // after the server
        end = end == std::wstring::npos ? path.size() : path.find_first_of(L"\\/", end + 1);
        if (end == std::wstring::npos) end = path.size();                 // after the share
    }
    if (end < path.size() && IsSeparator(path[end])) ++end;
    std::wstring root = path.substr(0, end);
    path.erase(0, end);
    return root;
}

// The file system ignores trailing dots and blanks of a name, so "a. /f.txt " and
// "a/f.txt" name one file; a component of nothing but those names none.
std::wstring WithoutTrailingDotsAndBlanks(std::wstring path) {
    std::wstring result = SplitRoot(path);
    const size_t rootLength = result.size();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) end = path.size();
        size_t kept = end;
        while (kept > start && (path[kept - 1] == L'.' || path[kept - 1] == L' ')) --kept;
        if (kept > start) {
            if (result.size() > rootLength) result += L'\\';
            result.append(path, start, kept - start);
        }
        start = end + 1;
    }
    return result;
}

// A hash that paths equal under SamePath share; a path the platform cannot fold
// goes to the empty path's bucket: slower, never wrong.
size_t FoldedHash(const std::wstring& path) { return std::hash<std::wstring>()(FoldedPath(path)); }

bool LastComponentNamesNoFile(std::wstring_view key) {
    const size_t last = key.find_last_of(L"\\/");
    const size_t start = last == std::wstring_view::npos ? 0 : last + 1;
    return key.find_first_not_of(L". ", start) == std::wstring_view::npos;
}

// Claimants past this number were claimed by their hash alone.
constexpr size_t kDerived = size_t{1} << (sizeof(size_t) * 8 - 1);

}  // namespace

std::wstring JoinPath(const std::wstring& directory, std::wstring_view relative) {
    if (directory.empty()) return std::wstring(relative);
    if (relative.empty()) return directory;
    std::wstring joined = directory;
    if (!IsSeparator(directory.back())) joined += L'\\';
    return joined.append(relative);
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    if (length == 0 || length >= MAX_PATH) return path;
    return std::wstring(buffer, length);
}

std::wstring AbsolutePath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && path[1] == L':' && IsSeparator(path[2]);
    const bool network = path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);  // "\\?\" too
    if (path.empty() || drive || network) return path;
    const std::wstring full = FullPathAnyLength(path);
    return full.empty() ? path : full;
}

bool EscapesTargetDirectory(const std::wstring& base, std::wstring_view key) {
    const std::wstring full = FullPath(JoinPath(base, key));
    std::wstring prefix = base;
    if (!prefix.empty() && !IsSeparator(prefix.back())) prefix += L'\\';
    if (full.size() < prefix.size()) return true;
    if (!EqualIgnoringAsciiCase(std::wstring_view(full).substr(0, prefix.size()), prefix)) return true;
    return HasParentSegment(full.substr(prefix.size()));
}

ResolvedPath ResolvePath(const std::wstring& path) {
    ResolvedPath resolved;
    std::wstring full = FullPathAnyLength(path);
    if (full.empty()) full = path;
    // One query gives the size too: the install run counts the room it needs from it.
    WIN32_FILE_ATTRIBUTE_DATA data;
    resolved.exists = GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data) != 0;
    const DWORD error = GetLastError();
    resolved.isDirectory = resolved.exists && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (resolved.exists && !resolved.isDirectory)
        resolved.size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);

    std::wstring named;
    if (resolved.exists) {
        named = LongName(full);
    } else if (error == ERROR_FILE_NOT_FOUND && full.find(L'~') != std::wstring::npos) {
        // Not there yet, but its folder is, and may be written with a short name.
        const size_t cut = full.find_last_of(L"\\/");
        if (cut != std::wstring::npos) {
            named = LongName(full.substr(0, cut));
            if (!named.empty()) named += full.substr(cut);
        }
    }
    resolved.path = WithoutTrailingDotsAndBlanks(named.empty() ? full : named);
    return resolved;
}

// ASCII folds here; other text is upper-cased by the platform with the file
// system's table, the one SamePath's comparison uses.
std::wstring FoldedPath(const std::wstring& path) {
    std::wstring folded = path;
    bool ascii = true;
    for (wchar_t& c : folded) {
        if (c >= 0x80) ascii = false;
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    if (ascii) return folded;
    const int length = static_cast<int>(path.size());
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.data(), length, &folded[0], length,
                      nullptr, nullptr, 0) != length)
        return std::wstring();
    return folded;
}

void Claim(ClaimedPaths& claimed, const std::wstring& resolvedPath) {
    claimed.byFoldedHash.emplace(FoldedHash(resolvedPath), claimed.paths.size());
    claimed.paths.push_back(resolvedPath);
}

void ClaimDerived(ClaimedPaths& claimed, const std::wstring& resolvedPath, size_t claimant) {
    claimed.byFoldedHash.emplace(FoldedHash(resolvedPath), kDerived + claimant);
}

bool IsClaimed(const ClaimedPaths& claimed, const std::wstring& resolvedPath) {
    const auto range = claimed.byFoldedHash.equal_range(FoldedHash(resolvedPath));
    for (auto it = range.first; it != range.second; ++it) {
        const size_t claimant = it->second;
        const std::wstring path =
            claimant < kDerived ? claimed.paths[claimant] : claimed.derivedPath(claimant - kDerived);
        if (SamePath(path, resolvedPath)) return true;
    }
    return false;
}

size_t DerivedClaimant(const ClaimedPaths& claimed, const std::wstring& resolvedPath) {
    const auto range = claimed.byFoldedHash.equal_range(FoldedHash(resolvedPath));
    for (auto it = range.first; it != range.second; ++it) {
        const size_t claimant = it->second;
        if (claimant >= kDerived && SamePath(claimed.derivedPath(claimant - kDerived), resolvedPath))
            return claimant - kDerived;
    }
    return SIZE_MAX;
}

bool MayWriteDestination(const ClaimedPaths& claimed, std::wstring_view key,
                         const ResolvedPath& destination) {
    if (LastComponentNamesNoFile(key) || destination.isDirectory) return false;
    return !IsClaimed(claimed, destination.path) &&
           !IsClaimed(claimed, TemporaryPath(destination.path));
}

}  // namespace tolvek
