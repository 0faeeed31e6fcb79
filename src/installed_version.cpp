#include "installed_version.h"

#include "entry_rules.h"
#include "error_text.h"
#include "log.h"
#include "support.h"

#include <windows.h>

namespace tolvek {

namespace {

// "-9223372036854775808\r\n" and a little more; a larger file is not a record.
constexpr int64_t kMaxRecordBytes = 32;

std::wstring VersionText(int64_t version) { return std::to_wstring(version); }

// 0 when the bytes are on the disk, else the platform's code.
DWORD WriteDurably(const std::wstring& path, const std::string& bytes) {
    // A new plain file: a link planted under the name is never written through.
    DWORD error = 0;
    const FileHandle file = CreatePlainFile(path, error);
    if (!file) return error;
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return GetLastError();
    if (written != bytes.size()) return ERROR_WRITE_FAULT;
    // The move must never put a record in place whose bytes are not yet written.
    if (!FlushFileBuffers(file.get())) return GetLastError();
    return 0;
}

}  // namespace

std::wstring InstalledVersionPath(const std::wstring& targetDirectory) {
    return JoinPath(targetDirectory, kInstalledVersionFileName);
}

std::optional<int64_t> ReadInstalledVersion(const std::wstring& targetDirectory) {
    const std::wstring path = InstalledVersionPath(targetDirectory);
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Log(L"Installed version: none recorded");
        return std::nullopt;
    }
    int64_t size = 0;
    std::optional<int64_t> version;
    if (QueryExistingFile(path, size) && size <= kMaxRecordBytes) version = ParseInstalledVersion(ReadFileBytes(path));
    Log(version ? L"Installed version: " + VersionText(*version)
                : L"Installed version record not understood, taken as none: " + path);
    return version;
}

Outcome CheckNotOlder(int64_t offered, std::optional<int64_t> installed) {
    if (!installed || offered >= *installed) return Success();
    return Fail(FailureKind::Older, L"Manifest version older than installed: " + VersionText(offered) + L" < " +
                                            VersionText(*installed));
}

void RecordInstalledVersion(const std::wstring& targetDirectory, int64_t version) {
    const std::wstring path = InstalledVersionPath(targetDirectory);
    const std::wstring temporary = TemporaryPath(path);
    DWORD error = WriteDurably(temporary, InstalledVersionRecord(version));
    if (error == 0 && MovePlainFile(temporary, path, error)) {
        Log(L"Installed version recorded: " + VersionText(version));
        return;
    }
    DeleteFileIfExists(temporary);
    Log(L"Cannot record installed version: " + path + L" (" + Win32ErrorText(error) + L")");
}

void ClaimInstalledVersionRecord(ClaimedPaths& claimed, const std::wstring& targetDirectory) {
    const std::wstring record = ResolvePath(InstalledVersionPath(targetDirectory)).path;
    Claim(claimed, record);
    Claim(claimed, TemporaryPath(record));
}

}  // namespace tolvek
