// Independent checks the path-rule tests use to judge where a key really lands.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace path_checks {

// The names in a directory, "." and ".." left out, sorted.
inline std::vector<std::wstring> DirectoryNames(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// Generated keys leave names such as "a. " that only the verbatim form of a path
// can address.
inline void RemoveTreeVerbatim(const std::wstring& path) {
    const std::wstring verbatim = L"\\\\?\\" + path;
    for (const std::wstring& name : DirectoryNames(verbatim)) {
        const std::wstring child = verbatim + L"\\" + name;
        if (GetFileAttributesW(child.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTreeVerbatim(path + L"\\" + name);
        else
            DeleteFileW(child.c_str());
    }
    RemoveDirectoryW(verbatim.c_str());
}

inline bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// A resolved path that still holds a ".." segment has not been proven to stay inside.
inline bool HasParentSegment(const std::wstring& path) {
    for (size_t start = 0;;) {
        const size_t end = path.find_first_of(L"\\/", start);
        if (path.compare(start, end == std::wstring::npos ? end : end - start, L"..") == 0) return true;
        if (end == std::wstring::npos) return false;
        start = end + 1;
    }
}

}  // namespace path_checks
