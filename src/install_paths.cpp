// File entries of the manifest and the rules that stand between a path written by a
// server and a path on the user's disk.
#include "install_paths.h"

#include <windows.h>

namespace tolvek {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

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

FileEntry ReadFileEntry(const JsonValue& value) {
    FileEntry entry;
    const JsonValue* size = FindMember(value, L"size");
    if (size && size->kind == JsonKind::Number) {
        entry.size = TruncateToInt64(size->number);
        entry.hasSize = true;
    }
    const JsonValue* hash = FindMember(value, L"hash");
    if (hash && hash->kind == JsonKind::String && !hash->string.empty()) {
        entry.hash = hash->string;
        for (wchar_t& c : entry.hash)
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        entry.hasHash = true;
    }
    return entry;
}

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

// Resolved first, as opening resolves it (trailing dots and blanks go), and with
// room for paths past 260 characters, which the platform may open too.
std::wstring ExistingLongName(const std::wstring& path) {
    constexpr DWORD kCapacity = 32768;
    std::wstring full(kCapacity, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), kCapacity, &full[0], nullptr);
    if (length == 0 || length >= kCapacity) return L"";
    full.resize(length);
    // Nothing there, as for every file of a fresh install: the long name would be
    // refused too, and asking for it reads every directory along the path.
    if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return L"";
    }
    std::wstring name(kCapacity, L'\0');
    length = GetLongPathNameW(full.c_str(), &name[0], kCapacity);
    if (length == 0 || length >= kCapacity) return L"";
    name.resize(length);
    return name;
}

}  // namespace tolvek
