// The log file of the run, and the one rule for how the engine shows a text that
// may come from the network: in the log, the result and the progress record.
#pragma once

#include <string>

namespace tolvek {

// The log file of the current run; empty disables logging. Set by the install run.
extern std::wstring LogFilePath;

// A text as the engine shows it in the log, the result and the progress record:
// each character below U+0020 and U+007F as "\u" and four lower-case hex digits,
// so a text from the network cannot start a line of its own or hide its end,
// and the user information of every URL ("scheme://user:password@") as "***@".
std::wstring ShownText(const std::wstring& text);

// Appends "[YYYY-MM-DD hh:mm:ss] " + ShownText (message) + "\r\n" in the ANSI
// code page, in one write, the file shared with other writers. Best effort: a line
// that cannot be written within a few tens of milliseconds is lost.
void AppendLogLine(const std::wstring& path, const std::wstring& message);
// AppendLogLine (LogFilePath, message).
void Log(const std::wstring& message);

}  // namespace tolvek
