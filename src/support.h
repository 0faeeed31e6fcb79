// Support: the log file and the small file-system operations everything shares.
// Calls only the platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace tolvek {

// The text of a cancellation, which every stage passes up unchanged and the retry
// loops recognise; and the test of the session's cancel flag (absent: never set).
inline const std::wstring kCancelledByUser = L"Cancelled by user";
inline bool IsCancelled(const std::atomic<bool>* cancelFlag) { return cancelFlag && cancelFlag->load(); }

// The log file of the current run; empty disables logging. Set by the install run.
extern std::wstring LogFilePath;

// A text as the engine shows it in the log, the result and the progress record:
// each character below U+0020 and U+007F as "\u" and four lower-case hex digits,
// so a text from the network cannot start a line of its own or hide its end,
// and the user information of every URL ("scheme://user:password@") as "***@".
std::wstring ShownText(const std::wstring& text);

// Appends "[YYYY-MM-DD hh:mm:ss] " + ShownText (message) + "\r\n" in the ANSI
// code page. Best effort.
void AppendLogLine(const std::wstring& path, const std::wstring& message);
// AppendLogLine (LogFilePath, message).
void Log(const std::wstring& message);

// Writes a failure text when the caller asked for one (the text out may be absent).
inline void SetError(std::wstring* errorText, const std::wstring& text) {
    if (errorText) *errorText = text;
}

std::wstring ParentDirectory(const std::wstring& path);
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
