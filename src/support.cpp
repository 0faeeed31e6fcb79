#include "support.h"

#include "handles.h"

#include <vector>

namespace tolvek {

std::wstring ParentDirectory(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos) return std::wstring();
    if (last == 0) return path.substr(0, 1);
    return path.substr(0, last);
}

namespace {

// The length of ParentDirectory (the first `length` units of `path`), 0 when it has
// none. The prefixes "a\\" and "a\" of "a\\\b" name the directory "a" as well, so
// the parent is "a" at once.
size_t ParentLength(const std::wstring& path, size_t length) {
    size_t end = path.find_last_of(L"\\/", length - 1);
    if (end == std::wstring::npos) return 0;
    while (end > 0 && IsSeparator(path[end - 1])) --end;
    return end == 0 ? 1 : end;
}

// Calls `call` with the first `length` units of `path` as a terminated string, cut
// in place for the call: a walk over a long path copies nothing per level.
template <typename Call>
auto WithPrefix(std::wstring& path, size_t length, Call call) {
    const wchar_t kept = path[length];  // the terminator itself when length is the size
    path[length] = L'\0';
    auto result = call(path.c_str());
    path[length] = kept;
    return result;
}

bool Stopped(DWORD& error, DWORD code) {
    error = code;
    return false;
}

bool StopRequested(const CancelSignal* cancel) { return cancel && IsCancelled(*cancel); }


// Missing directories are found walking up and created from the outermost down, in a
// loop: a path with tens of thousands of separators costs no stack, and each level
// one platform call and no copy of the path. The manifest decides how deep a path
// goes, so every level reads the cancel signal.
bool MakeChain(const std::wstring& path, const CancelSignal* cancel, DWORD& error) {
    error = 0;
    if (path.empty()) return true;
    std::wstring prefix = path;
    std::vector<size_t> missing;  // lengths of the missing prefixes, deepest first
    for (size_t length = path.size();;) {
        if (StopRequested(cancel)) return Stopped(error, ERROR_CANCELLED);
        const DWORD attributes = WithPrefix(prefix, length, GetFileAttributesW);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            // What the platform answers for a directory in place of a file, or below one.
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return Stopped(error, length == path.size() ? ERROR_ALREADY_EXISTS : ERROR_PATH_NOT_FOUND);
            break;
        }
        missing.push_back(length);
        const size_t parent = ParentLength(path, length);
        if (parent == 0 || parent == length) break;
        length = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (StopRequested(cancel)) return Stopped(error, ERROR_CANCELLED);
        const bool created = WithPrefix(prefix, *it, [](const wchar_t* directory) {
            return CreateDirectoryW(directory, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
        });
        if (!created) return Stopped(error, GetLastError());
    }
    return true;
}

}  // namespace

bool EnsureDirectoryExists(const std::wstring& path, const CancelSignal& cancel, DWORD& error) {
    return MakeChain(path, &cancel, error);
}

bool EnsureDirectoryExists(const std::wstring& path) {
    DWORD error = 0;
    return MakeChain(path, nullptr, error);
}

bool DeleteFileIfExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    return DeleteFileW(path.c_str()) != 0;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

int64_t SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

}  // namespace

bool QueryExistingFile(const std::wstring& path, int64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = SizeOf(data);
    return true;
}

int64_t QueryFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return SizeOf(data);
}

std::string ReadFileBytes(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    LARGE_INTEGER size;
    // One ReadFile call takes a 32-bit count; a manifest never comes near it.
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > 0x7FFFFFFF)
        return std::string();
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return std::string();
    bytes.resize(read);
    return bytes;
}

}  // namespace tolvek
