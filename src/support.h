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

// Replacing moves: the destination is overwritten and the move reaches the disk
// before the call returns.
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

std::wstring ParentDirectory(const std::wstring& path);
// True when the directory exists afterwards. Otherwise false with the platform's code
// in `error`: of the level that could not be made, ERROR_ALREADY_EXISTS for a file in
// the directory's place, ERROR_PATH_NOT_FOUND below a file, ERROR_CANCELLED when the
// cancel signal, read before every level, was raised.
bool EnsureDirectoryExists(const std::wstring& path, const CancelSignal& cancel, DWORD& error);
bool EnsureDirectoryExists(const std::wstring& path);
bool DeleteFileIfExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
int64_t QueryFileSize(const std::wstring& path);
// FileExists and QueryFileSize in one query of the path: true with the size when a
// file (not a directory) is there.
bool QueryExistingFile(const std::wstring& path, int64_t& size);
// The whole file's bytes, or empty on any failure (a file of 2 GiB or more among them).
std::string ReadFileBytes(const std::wstring& path);

}  // namespace tolvek
