// The log file of the run, and the one rule for how the engine shows a text that
// may come from the network: in the log, the result and the progress record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tolvek {

// The log file of the current run; empty disables logging. Set by the install run.
extern std::wstring LogFilePath;

// A text as the engine shows it in the log, the result and the progress record:
// each character below U+0020 and U+007F as "\u" and four lower-case hex digits,
// so a text from the network cannot start a line of its own or hide its end,
// and the user information of every URL ("scheme://user:password@") as "***@".
std::wstring ShownText(const std::wstring& text);

// Appends "[YYYY-MM-DD hh:mm:ss] " + ShownText (message) + "\r\n" in UTF-8 (no
// byte-order mark), in one write, the file shared with other writers. Best effort:
// a line that cannot be written within a few tens of milliseconds is lost.
void AppendLogLine(const std::wstring& path, const std::wstring& message);
// AppendLogLine (LogFilePath, message).
void Log(const std::wstring& message);

// A line as the log holds it: the stamp of the moment it is made, the text as
// shown, CR LF.
std::wstring LogLineText(const std::wstring& message);
// Appends lines made by LogLineText to the log in one write. Best effort.
void AppendLogText(const std::wstring& path, const std::wstring& lines);

// The log of several jobs at once (files in transfer, mirrors probed), each job's
// lines one block and the blocks in list order: the earliest job not yet ended
// writes its lines as they come; a later one's wait, stamped when they were made,
// until every job before it has ended. A job that ends dropped leaves no lines.
// Once a job has failed, the blocks after it are written only when they have
// ended, so that a job stopped for that failure can still leave none.
struct OrderedLog {
    struct Block {
        std::wstring lines;
        bool ended = false;
        bool dropped = false;
    };
    std::mutex lock;
    // Held while the lines decided under `lock` are written: taken before `lock` is
    // let go, so the writes keep the order of the decisions, and a job that only adds
    // to its block never waits for the file.
    std::mutex writing;
    size_t next = 0;  // the earliest job not yet ended
    size_t holdFrom = SIZE_MAX;  // the first job after the earliest that failed
    std::map<size_t, Block> waiting;
};
void Write(OrderedLog& log, size_t job, const std::wstring& message);
void End(OrderedLog& log, size_t job, bool dropped = false);
// The blocks from `job` on are held until they end.
void HoldFrom(OrderedLog& log, size_t job);
size_t EarliestNotEnded(OrderedLog& log);
// Ends every job below `jobs` not ended yet as dropped: the blocks waiting behind
// them are written.
void Close(OrderedLog& log, size_t jobs);

// Where a stage's lines go: the log itself, or one job's block of an ordered log.
struct LogPlace {
    OrderedLog* log = nullptr;
    size_t job = 0;
};
void Log(const LogPlace& place, const std::wstring& message);

}  // namespace tolvek
