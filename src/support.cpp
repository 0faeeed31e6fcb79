#include "support.h"

#include "handles.h"

#include <cstdio>
#include <vector>

namespace tolvek {

std::wstring LogFilePath;

void RaiseCancel(CancelSignal& cancel) {
    cancel.raised.exchange(true);
    SetEvent(cancel.event.get());
}

void PauseUnlessCancelled(const CancelSignal& cancel, DWORD milliseconds) {
    if (!IsCancelled(cancel)) WaitForSingleObject(cancel.event.get(), milliseconds);
}

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> pieces;
    std::wstring piece;
    for (wchar_t c : text) {
        if (c != separator) {
            piece += c;
        } else if (!piece.empty()) {
            pieces.push_back(std::move(piece));
            piece.clear();
        }
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
    return pieces;
}

namespace {

std::wstring Timestamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[32] = {};
    swprintf(text, 32, L"[%04d-%02d-%02d %02d:%02d:%02d] ", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
    return text;
}

FileHandle OpenForAppending(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

// Where the authority of a URL ends: its path, query or fragment, or the end of
// the URL itself in a list or a sentence.
bool EndsAuthority(wchar_t c) {
    return c == L'/' || c == L'?' || c == L'#' || c == L'|' || c == L' ' || IsControl(c);
}

}  // namespace

std::wstring ShownText(const std::wstring& text) {
    const std::wstring marker = L"://";
    std::wstring masked;
    size_t copied = 0;
    for (size_t at = text.find(marker); at != std::wstring::npos; at = text.find(marker, at)) {
        const size_t start = at + marker.size();
        size_t end = start;
        size_t lastAt = std::wstring::npos;
        for (; end < text.size() && !EndsAuthority(text[end]); ++end)
            if (text[end] == L'@') lastAt = end;
        if (lastAt != std::wstring::npos) {
            masked.append(text, copied, start - copied).append(L"***");
            copied = lastAt;  // the '@' and the host follow as they are
        }
        at = end;
    }
    masked.append(text, copied, std::wstring::npos);

    std::wstring shown;
    shown.reserve(masked.size());
    for (const wchar_t c : masked) {
        if (!IsControl(c)) {
            shown += c;
            continue;
        }
        wchar_t escape[8] = {};
        swprintf(escape, 8, L"\\u%04x", static_cast<unsigned>(c));
        shown += escape;
    }
    return shown;
}

void AppendLogLine(const std::wstring& path, const std::wstring& message) {
    if (path.empty()) return;
    const std::wstring line = Timestamp() + ShownText(message) + L"\r\n";

    // The log's directory is made whenever it is missing; asking for it before
    // every line would cost a query of the path per line when it is there.
    FileHandle file = OpenForAppending(path);
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND && EnsureDirectoryExists(ParentDirectory(path)))
        file = OpenForAppending(path);
    if (!file) return;
    // UTF-8, whatever the user's code page: a log exists to name the file that
    // failed, Japanese and Polish names too. An unpaired surrogate becomes U+FFFD.
    const int length = static_cast<int>(line.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::vector<char> buffer(static_cast<size_t>(bytes), 0);
    WideCharToMultiByte(CP_UTF8, 0, line.data(), length, buffer.data(), bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file.get(), buffer.data(), static_cast<DWORD>(bytes), &written, nullptr);
}

void Log(const std::wstring& message) { AppendLogLine(LogFilePath, message); }

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

}  // namespace

// Missing directories are found walking up and created from the outermost down, in a
// loop: a path with tens of thousands of separators costs no stack, and each level
// one platform call and no copy of the path. The manifest decides how deep a path
// goes, so every level reads the cancel signal.
bool EnsureDirectoryExists(const std::wstring& path, const CancelSignal& cancel, DWORD& error) {
    error = 0;
    if (path.empty()) return true;
    std::wstring prefix = path;
    std::vector<size_t> missing;  // lengths of the missing prefixes, deepest first
    for (size_t length = path.size();;) {
        if (IsCancelled(cancel)) return Stopped(error, ERROR_CANCELLED);
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
        if (IsCancelled(cancel)) return Stopped(error, ERROR_CANCELLED);
        const bool created = WithPrefix(prefix, *it, [](const wchar_t* directory) {
            return CreateDirectoryW(directory, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
        });
        if (!created) return Stopped(error, GetLastError());
    }
    return true;
}

bool EnsureDirectoryExists(const std::wstring& path) {
    const CancelSignal never;
    DWORD error = 0;
    return EnsureDirectoryExists(path, never, error);
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
