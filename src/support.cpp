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

FileHandle OpenForAppending(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

void AppendLogLine(const std::wstring& path, const std::wstring& message) {
    if (path.empty()) return;
    const std::wstring line = Timestamp() + message + L"\r\n";

    // The log's directory is made whenever it is missing; asking for it before
    // every line would cost a query of the path per line when it is there.
    FileHandle file = OpenForAppending(path);
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND && EnsureDirectoryExists(ParentDirectory(path)))
        file = OpenForAppending(path);
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

bool QueryExistingFile(const std::wstring& path, int64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    return true;
}

int64_t QueryFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

}  // namespace tolvek
