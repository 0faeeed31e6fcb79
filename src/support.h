// Support: the cancel signal, the log file, small text helpers and the small
// file-system operations everything shares. Calls only the platform.
#pragma once

#include "handles.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

// The session's cancel request: raised once by the host, only read by the run,
// before every attempt and between the blocks of every long loop, and waited on
// beside every operation of the platform that may take long (its event).
struct CancelSignal {
    std::atomic<bool> raised{false};
    KernelHandle event = CreateEventOwned(true);  // set once raised
};
inline bool IsCancelled(const CancelSignal& cancel) { return cancel.raised.load(); }
void RaiseCancel(CancelSignal& cancel);
// Waits `milliseconds`, or less once the cancel is raised.
void PauseUnlessCancelled(const CancelSignal& cancel, DWORD milliseconds);

// Replacing moves: the destination is overwritten and the move reaches the disk
// before the call returns.
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

inline bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
// The pieces between separators, empty pieces dropped, nothing trimmed.
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator);

// The log file of the current run; empty disables logging. Set by the install run.
extern std::wstring LogFilePath;

// A text as the engine shows it in the log, the result and the progress record:
// each character below U+0020 and U+007F as "\u" and four lower-case hex digits,
// so a text from the network cannot start a line of its own or hide its end,
// and the user information of every URL ("scheme://user:password@") as "***@".
std::wstring ShownText(const std::wstring& text);

// Appends "[YYYY-MM-DD hh:mm:ss] " + ShownText (message) + "\r\n" in UTF-8
// (no byte-order mark). Best effort.
void AppendLogLine(const std::wstring& path, const std::wstring& message);
// AppendLogLine (LogFilePath, message).
void Log(const std::wstring& message);

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
