// Support: the small file-system operations everything shares. Calls only the
// platform.
#pragma once

#include "cancel.h"
#include "handles.h"
#include "text.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

std::wstring ParentDirectory(const std::wstring& path);

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

// Equal ignoring case, compared as the platform compares file names.
bool SamePath(const std::wstring& a, const std::wstring& b);
// Whether `path` is `folder` or lies below it (both as the file system shows them).
bool LiesWithin(const std::wstring& path, const std::wstring& folder);

// Where an open file or folder really is: its path after links, junctions and drive
// mappings, with long names and without the "\\?\" prefix; empty when the platform
// cannot say (a file system that keeps no such path).
std::wstring FinalPathOf(HANDLE file);
// The same for a folder opened by its path, links on the way followed.
std::wstring FinalFolderPath(const std::wstring& folder);

// A part of a name that no other run has, in this process or another: the process
// id and 64 random bits, in hexadecimal.
std::wstring UniqueNamePart();

// Files the engine writes and deletes by name are plain files of their own folder:
// not a link, a junction, a device or a second name of another file, and found by
// the file system in the folder the name says. A link in such a name's place is
// replaced as a name, never written, created or deleted through.
bool IsPlainFileAt(HANDLE file, const std::wstring& path);
bool IsPlainFile(const std::wstring& path);
// A new, empty plain file at `path`, open for writing and shared with nobody. What
// stands there (an old file, a link) is replaced by a new file renamed over it.
// Fails with the platform's code in `error`, ERROR_CANT_ACCESS_FILE when the new
// file could not be made a plain file of the folder (it is deleted again).
FileHandle CreatePlainFile(const std::wstring& path, DWORD& error);
// The plain file at `path`, open for writing and shared with nobody; fails with
// ERROR_CANT_ACCESS_FILE when the path reaches anything else.
FileHandle OpenPlainFile(const std::wstring& path, DWORD& error);
// Moves the plain file at `from` over `to`, replacing what has that name: the file
// itself, as it is checked here, whatever took its name before (MoveFileExW moves a
// link there itself on Windows, and what it points at under Wine). False with the
// platform's code in `error`.
bool MovePlainFile(const std::wstring& from, const std::wstring& to, DWORD& error);

// True when the directory exists afterwards. Otherwise false with the platform's code
// in `error`: of the level that could not be made, ERROR_ALREADY_EXISTS for a file in
// the directory's place, ERROR_PATH_NOT_FOUND below a file, ERROR_CANCELLED when the
// cancel signal, read before every level, was raised.
bool EnsureDirectoryExists(const std::wstring& path, const CancelSignal& cancel, DWORD& error);
bool EnsureDirectoryExists(const std::wstring& path);
// Deletes the file that the name itself is, never what a link there points at (the
// link goes instead). A directory, or nothing, is left alone: true.
bool DeleteFileIfExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
int64_t QueryFileSize(const std::wstring& path);
// FileExists and QueryFileSize in one query of the path: true with the size when a
// file (not a directory) is there.
bool QueryExistingFile(const std::wstring& path, int64_t& size);
// The whole file's bytes, or empty on any failure (a file of 2 GiB or more among them).
std::string ReadFileBytes(const std::wstring& path);

}  // namespace tolvek
