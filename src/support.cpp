#include "support.h"

#include "handles.h"

#include <cstdio>
#include <vector>

namespace tolvek {

std::wstring LogFilePath;

namespace {

std::wstring Timestamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[32] = {};
    swprintf(text, 32, L"[%04d-%02d-%02d %02d:%02d:%02d] ", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
    return text;
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
    EnsureDirectoryExists(ParentDirectory(path));
    const std::wstring line = Timestamp() + ShownText(message) + L"\r\n";

    FileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const int length = static_cast<int>(line.size());
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, line.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::vector<char> buffer(static_cast<size_t>(bytes), 0);
    WideCharToMultiByte(CP_ACP, 0, line.data(), length, buffer.data(), bytes, nullptr, nullptr);
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

bool EnsureDirectoryExists(const std::wstring& path) {
    if (path.empty()) return true;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;

    const std::wstring parent = ParentDirectory(path);
    if (!parent.empty() && parent != path && !EnsureDirectoryExists(parent)) return false;
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
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

int64_t QueryFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

}  // namespace tolvek
