#include "support.h"

#include "handles.h"

#include <algorithm>
#include <cwchar>
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

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool LiesWithin(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || path.size() < folder.size()) return false;
    const bool below = path.size() == folder.size() || IsSeparator(folder.back()) || IsSeparator(path[folder.size()]);
    return below && SamePath(path.substr(0, folder.size()), folder);
}

std::wstring FinalPathOf(HANDLE file) {
    std::wstring path = AskWithRoom([&](wchar_t* buffer, DWORD size) {
        return GetFinalPathNameByHandleW(file, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return path.erase(2, 6);  // "\\?\UNC\s" -> "\\s"
    if (path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
    return path;
}

std::wstring FinalFolderPath(const std::wstring& folder) {
    const FileHandle opened(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return opened ? FinalPathOf(opened.get()) : std::wstring();
}

std::wstring UniqueNamePart() {
    uint64_t random = 0;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&random), sizeof random,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        random = static_cast<uint64_t>(now.QuadPart);
    }
    wchar_t part[32] = {};
    swprintf(part, 32, L"%lx-%016llx", static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long long>(random));
    return part;
}

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The folder part of a path, with its separator ("C:\\" for a file at a drive's root).
std::wstring FolderOf(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? L".\\" : path.substr(0, last + 1);
}

// Opened without following a link: on Windows the handle is then the link itself.
FileHandle OpenName(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    return FileHandle(CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Whether the file system finds the open file under the name `path` gives it in its
// folder. A platform that follows a link despite FILE_FLAG_OPEN_REPARSE_POINT (Wine,
// for a Unix symbolic link) shows the link's target here. A platform that keeps no
// final path cannot show a link either: the name is taken as it is.
bool IsAtItsName(HANDLE file, const std::wstring& path) {
    const std::wstring found = FinalPathOf(file);
    std::wstring expected = FinalFolderPath(FolderOf(path));
    if (found.empty() || expected.empty()) return true;
    if (!IsSeparator(expected.back())) expected += L'\\';
    return SamePath(found, expected + path.substr(path.find_last_of(L"\\/") + 1));
}

bool DeleteByHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Gives the open file the name `path`, replacing what has it as a name: a link
// there is replaced itself, its target untouched.
bool RenameTo(HANDLE file, const std::wstring& path) {
    const size_t nameBytes = path.size() * sizeof(wchar_t);
    std::vector<unsigned char> block(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(path.begin(), path.end(), rename->FileName);
    return SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(block.size())) != 0;
}

// A new file made beside `path` under a name of its own and renamed over it, open for
// writing and deleting.
FileHandle ReplaceByNewFile(const std::wstring& path, DWORD& error) {
    FileHandle file = OpenName(FolderOf(path) + L"~" + UniqueNamePart() + L".new", GENERIC_WRITE | DELETE, 0,
                               CREATE_NEW);
    error = file ? 0 : GetLastError();
    if (file && !RenameTo(file.get(), path)) {
        error = GetLastError();
        DeleteByHandle(file.get());
        file.reset();
    }
    return file;
}

}  // namespace

bool IsPlainFileAt(HANDLE file, const std::wstring& path) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    // The standard information holds the count of names: GetFileInformationByHandle
    // would also ask for the volume's serial number, which costs Wine 0.6 ms a call.
    FILE_STANDARD_INFO standard = {};
    if (GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        standard.Directory || standard.NumberOfLinks != 1)
        return false;
    return IsAtItsName(file, path);
}

bool IsPlainFile(const std::wstring& path) {
    const FileHandle file = OpenName(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
    return file && IsPlainFileAt(file.get(), path);
}

FileHandle CreatePlainFile(const std::wstring& path, DWORD& error) {
    FileHandle file = OpenName(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
    error = file ? 0 : GetLastError();
    // Made new, the file is at its name: a create never follows a name that exists, a
    // link's included (under Wine it is an O_EXCL open, which does not follow one either).
    if (file || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) return file;
    file = ReplaceByNewFile(path, error);
    if (!file || IsPlainFileAt(file.get(), path)) return file;
    // The folder itself led elsewhere: the new file goes again.
    DeleteByHandle(file.get());
    error = ERROR_CANT_ACCESS_FILE;
    return FileHandle();
}

FileHandle OpenPlainFile(const std::wstring& path, DWORD& error) {
    FileHandle file = OpenName(path, GENERIC_WRITE | DELETE, 0, OPEN_EXISTING);
    error = file ? 0 : GetLastError();
    if (!file || IsPlainFileAt(file.get(), path)) return file;
    error = ERROR_CANT_ACCESS_FILE;
    return FileHandle();
}

bool MovePlainFile(const std::wstring& from, const std::wstring& to, DWORD& error) {
    const FileHandle file = OpenPlainFile(from, error);
    if (file && RenameTo(file.get(), to)) return true;
    if (file) error = GetLastError();
    return false;
}

bool DeleteFileIfExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    FileHandle file = OpenName(path, DELETE, kShareAll, OPEN_EXISTING);
    // Found elsewhere, the file is reached through a link the platform followed:
    // the name is replaced by a new file, and that one goes.
    if (file && !IsAtItsName(file.get(), path)) {
        file.reset();
        DWORD error = 0;
        file = ReplaceByNewFile(path, error);
    }
    return file && DeleteByHandle(file.get());
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
