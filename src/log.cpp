#include "log.h"

#include "handles.h"
#include "support.h"

#include <algorithm>
#include <atomic>
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

// Shared for reading and for writing: runs (or a viewer) sharing one log each append
// whole lines, every line one write at the end of the file. Reading access only lets
// the line be locked.
FileHandle OpenForAppending(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A writer that shares no write access (an older engine) holds the log a moment per
// line: the open is tried again for a few tens of milliseconds. One that holds it
// longer loses the lines meanwhile, each of them for one try, not for the wait.
constexpr int kSharingRetries = 8;
constexpr DWORD kSharingPauseMs = 4;
std::atomic<bool> logHeld{false};

// The log's directory is made whenever it is missing; asking for it before every
// line would cost a query of the path per line when it is there.
FileHandle OpenLog(const std::wstring& path) {
    FileHandle file = OpenForAppending(path);
    if (!file && GetLastError() == ERROR_PATH_NOT_FOUND && EnsureDirectoryExists(ParentDirectory(path)))
        file = OpenForAppending(path);
    for (int retry = 0; !file && GetLastError() == ERROR_SHARING_VIOLATION && !logHeld && retry < kSharingRetries;
         ++retry) {
        Sleep(kSharingPauseMs);
        file = OpenForAppending(path);
    }
    logHeld = !file && GetLastError() == ERROR_SHARING_VIOLATION;
    return file;
}

// Under Wine an append is a seek to the end and a write, which another process's can
// meet halfway (lines were seen merged): each line's write holds a lock of a byte far
// past the end, where no reader reads. Given up after a few tens of milliseconds, the
// line is written all the same; on Windows an append is whole without it.
class LineLock {
public:
    explicit LineLock(HANDLE file) : file_(file) {
        at_.Offset = 0xFFFFFFF0;
        at_.OffsetHigh = 0x3FFFFFFF;
        for (int retry = 0; retry <= kSharingRetries; ++retry) {
            locked_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at_) != 0;
            if (locked_ || GetLastError() != ERROR_LOCK_VIOLATION) return;
            Sleep(kSharingPauseMs);
        }
    }
    ~LineLock() {
        if (locked_) UnlockFileEx(file_, 0, 1, 0, &at_);
    }
    LineLock(const LineLock&) = delete;
    LineLock& operator=(const LineLock&) = delete;

private:
    HANDLE file_;
    OVERLAPPED at_ = {};
    bool locked_ = false;
};

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

std::wstring LogLineText(const std::wstring& message) { return Timestamp() + ShownText(message) + L"\r\n"; }

void AppendLogLine(const std::wstring& path, const std::wstring& message) {
    if (!path.empty()) AppendLogText(path, LogLineText(message));
}

void AppendLogText(const std::wstring& path, const std::wstring& line) {
    if (path.empty() || line.empty()) return;

    const FileHandle file = OpenLog(path);
    if (!file) return;
    // UTF-8, whatever the user's code page: a log exists to name the file that
    // failed, Japanese and Polish names too. An unpaired surrogate becomes U+FFFD.
    const int length = static_cast<int>(line.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::vector<char> buffer(static_cast<size_t>(bytes), 0);
    WideCharToMultiByte(CP_UTF8, 0, line.data(), length, buffer.data(), bytes, nullptr, nullptr);
    const LineLock whole(file.get());
    DWORD written = 0;
    WriteFile(file.get(), buffer.data(), static_cast<DWORD>(bytes), &written, nullptr);
}

void Log(const std::wstring& message) { AppendLogLine(LogFilePath, message); }

namespace {

// Writes what was decided under `held` (the log's lock, which it lets go) in the
// order of those decisions.
void WriteInOrder(OrderedLog& log, std::unique_lock<std::mutex>& held, const std::wstring& lines) {
    if (lines.empty()) return;
    const std::lock_guard<std::mutex> writing(log.writing);
    held.unlock();
    AppendLogText(LogFilePath, lines);
}

}  // namespace

void Write(OrderedLog& log, size_t job, const std::wstring& message) {
    std::unique_lock<std::mutex> lock(log.lock);
    if (job == log.next && job < log.holdFrom)
        WriteInOrder(log, lock, LogLineText(message));
    else
        log.waiting[job].lines += LogLineText(message);
}

void End(OrderedLog& log, size_t job, bool dropped) {
    std::unique_lock<std::mutex> lock(log.lock);
    OrderedLog::Block& block = log.waiting[job];
    block.ended = true;
    block.dropped = dropped;
    // The blocks now due, each the next job's: ended ones whole, then the one still open.
    std::wstring due;
    for (auto it = log.waiting.find(log.next); it != log.waiting.end() && it->first == log.next;
         it = log.waiting.find(log.next)) {
        if (!it->second.ended && log.next >= log.holdFrom) break;
        if (!it->second.dropped) due += it->second.lines;
        it->second.lines.clear();
        if (!it->second.ended) break;
        log.waiting.erase(it);
        ++log.next;
    }
    WriteInOrder(log, lock, due);
}

void HoldFrom(OrderedLog& log, size_t job) {
    std::lock_guard<std::mutex> lock(log.lock);
    log.holdFrom = std::min(log.holdFrom, job);
}

size_t EarliestNotEnded(OrderedLog& log) {
    std::lock_guard<std::mutex> lock(log.lock);
    return log.next;
}

void Close(OrderedLog& log, size_t jobs) {
    for (size_t job = 0; job < jobs; ++job) {
        bool ended = false;
        {
            std::lock_guard<std::mutex> lock(log.lock);
            const auto it = log.waiting.find(job);
            ended = job < log.next || (it != log.waiting.end() && it->second.ended);
        }
        if (!ended) End(log, job, true);
    }
}

void Log(const LogPlace& place, const std::wstring& message) {
    if (place.log)
        Write(*place.log, place.job, message);
    else
        Log(message);
}

}  // namespace tolvek
