// File entries of the manifest and the rules that stand between a path written by a
// server and a path on the user's disk.
#include "install_paths.h"

#include "support.h"

#include <windows.h>

#include <iterator>

namespace tolvek {

namespace {

wchar_t AsciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Only A-Z and a-z fold: the comparison must not depend on the user's locale.
bool EqualIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

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

// The last component of a key as the file system stores it: the platform reads the
// path only up to its first NUL and drops trailing dots and blanks from the last
// component, so "unins000.exe." and "unins000.exe " both land on unins000.exe.
std::wstring StoredFileName(const std::wstring& key) {
    const std::wstring path = ToForwardSlashes(key.substr(0, key.find(L'\0')));
    std::wstring name = path.substr(path.find_last_of(L'/') + 1);
    name.erase(name.find_last_not_of(L". ") + 1);
    return name;
}

// Asks a platform call that answers the room it needs when the buffer is too small,
// first with a buffer on the stack: paths past 260 characters cost a second call.
// Empty when the call fails.
template <typename Call>
std::wstring AskWithRoom(Call call) {
    wchar_t small[MAX_PATH];
    const DWORD length = call(small, MAX_PATH);
    if (length < MAX_PATH) return std::wstring(small, length);
    std::wstring large(length, L'\0');
    const DWORD written = call(&large[0], length);
    if (written >= length) return L"";
    large.resize(written);
    return large;
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

bool LastComponentNamesNoFile(const std::wstring& key) {
    const size_t last = key.find_last_of(L"\\/");
    const size_t start = last == std::wstring::npos ? 0 : last + 1;
    return key.find_first_not_of(L". ", start) == std::wstring::npos;
}

// The longest path the platform converts for a file call: its native form counts
// bytes in 16 bits.
constexpr size_t kLongestPlatformPath = 32767;
const wchar_t kTemporarySuffix[] = L".download";

bool IsForbiddenInName(wchar_t c) {
    return c < 0x20 || c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'|' || c == L'"';
}

// COM and LPT take one digit from 1 to 9; some Windows versions read the superscripts
// U+00B9, U+00B2 and U+00B3 as digits there too.
bool IsPortNumber(wchar_t c) { return (c >= L'1' && c <= L'9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// The platform opens a device for such a name wherever it stands in a path: its part
// before the first dot, without trailing blanks, names the device ("con .txt" is CON).
bool IsReservedDeviceName(const wchar_t* name, size_t length) {
    size_t end = 0;
    while (end < length && name[end] != L'.') ++end;
    while (end > 0 && name[end - 1] == L' ') --end;
    std::wstring stem(name, end);
    for (wchar_t& c : stem) c = static_cast<wchar_t>(c >= L'a' && c <= L'z' ? c - L'a' + L'A' : c);
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           IsPortNumber(stem[3]);
}

Outcome Refused(const wchar_t* what, const std::wstring& key) {
    return Fail(FailureKind::InvalidEntry, what + key);
}

bool HasUnpairedSurrogate(const std::wstring& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (i + 1 < text.size() && IS_SURROGATE_PAIR(text[i], text[i + 1]))
            ++i;
        else if (IS_HIGH_SURROGATE(text[i]) || IS_LOW_SURROGATE(text[i]))
            return true;
    }
    return false;
}

}  // namespace

std::wstring ToForwardSlashes(const std::wstring& path) {
    std::wstring result = path;
    for (wchar_t& c : result)
        if (c == L'\\') c = L'/';
    return result;
}

// A syntactic first line of defence; EscapesTargetDirectory decides the rest.
bool IsSafeRelativePath(const std::wstring& key) {
    if (key.empty()) return false;
    // A name that no UTF-8 form can carry: it could be neither requested nor stored.
    if (HasUnpairedSurrogate(key)) return false;
    const std::wstring p = ToForwardSlashes(key);
    if (p[0] == L'/') return false;
    if (p.find(L"/../") != std::wstring::npos) return false;
    if (p.compare(0, 3, L"../") == 0) return false;
    if (EndsWith(p, L"/..")) return false;
    if (p.find(L':') != std::wstring::npos) return false;  // drives and streams alike
    return true;
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& relative) {
    if (directory.empty()) return relative;
    if (relative.empty()) return directory;
    if (IsSeparator(directory.back())) return directory + relative;
    return directory + L'\\' + relative;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    if (length == 0 || length >= MAX_PATH) return path;
    return std::wstring(buffer, length);
}

bool EscapesTargetDirectory(const std::wstring& base, const std::wstring& key) {
    const std::wstring full = FullPath(JoinPath(base, key));
    std::wstring prefix = base;
    if (!prefix.empty() && !IsSeparator(prefix.back())) prefix += L'\\';
    if (full.size() < prefix.size()) return true;
    if (!EqualIgnoringAsciiCase(full.substr(0, prefix.size()), prefix)) return true;
    return HasParentSegment(full.substr(prefix.size()));
}

bool IsProtectedInstallerArtifact(const std::wstring& key) {
    const std::wstring name = StoredFileName(key);
    if (name.size() < 9) return false;
    if (!EqualIgnoringAsciiCase(name.substr(0, 5), L"unins")) return false;
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot + 1 == name.size()) return false;
    const std::wstring extension = name.substr(dot);
    return EqualIgnoringAsciiCase(extension, L".exe") ||
           EqualIgnoringAsciiCase(extension, L".dat") ||
           EqualIgnoringAsciiCase(extension, L".msg");
}

bool IsWindowsFileName(const std::wstring& key) {
    size_t start = 0;
    for (size_t i = 0; i <= key.size(); ++i) {
        if (i < key.size() && !IsSeparator(key[i])) {
            if (IsForbiddenInName(key[i])) return false;
            continue;
        }
        if (IsReservedDeviceName(key.data() + start, i - start)) return false;
        start = i + 1;
    }
    return true;
}

Outcome CheckEntry(const FileEntry& entry, const std::wstring& resolvedTarget) {
    if (entry.sizeUnusable) return Refused(L"Invalid file size in manifest: ", entry.key);
    if (entry.hashUnusable) return Refused(L"Invalid file hash in manifest: ", entry.key);
    // The platform reads a path only up to its first NUL. A key with one is refused by
    // the file stage in its turn, after the protected file its head may name by a
    // short name; here only the part the platform would see is judged.
    const std::wstring seen = entry.key.substr(0, entry.key.find(L'\0'));
    const size_t longest = resolvedTarget.size() + seen.size() + std::size(kTemporarySuffix) - 1;
    if (!IsWindowsFileName(seen) || longest > kLongestPlatformPath)
        return Refused(kInvalidPathInManifest, entry.key);
    return Success();
}

std::wstring TemporaryPath(const std::wstring& destination) { return destination + kTemporarySuffix; }

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

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

void Claim(ClaimedPaths& claimed, const std::wstring& resolvedPath) {
    claimed.byFoldedHash.emplace(FoldedHash(resolvedPath), claimed.paths.size());
    claimed.paths.push_back(resolvedPath);
}

bool IsClaimed(const ClaimedPaths& claimed, const std::wstring& resolvedPath) {
    const auto range = claimed.byFoldedHash.equal_range(FoldedHash(resolvedPath));
    for (auto it = range.first; it != range.second; ++it)
        if (SamePath(claimed.paths[it->second], resolvedPath)) return true;
    return false;
}

bool MayWriteDestination(const ClaimedPaths& claimed, const std::wstring& key,
                         const ResolvedPath& destination) {
    if (LastComponentNamesNoFile(key) || destination.isDirectory) return false;
    return !IsClaimed(claimed, destination.path) &&
           !IsClaimed(claimed, TemporaryPath(destination.path));
}

}  // namespace tolvek
