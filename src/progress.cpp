#include "progress.h"

#include "log.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tolvek {

namespace {

// Every text goes to the host as the engine shows it (no control character,
// no URL credentials), cut to its field.
template <size_t N>
void CopyText(wchar_t (&field)[N], std::wstring_view text) {
    const std::wstring shown = ShownText(std::wstring(text));
    const size_t count = shown.size() < N - 1 ? shown.size() : N - 1;
    std::memcpy(field, shown.data(), count * sizeof(wchar_t));
    field[count] = L'\0';
}

// "%.2f" with a full stop whatever the C locale says.
std::wstring FixedTwoDecimals(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2);
    return std::wstring(text, result.ptr);
}

constexpr int64_t KiB = 1024;
constexpr int64_t MiB = 1024 * KiB;
constexpr int64_t GiB = 1024 * MiB;

// The overall figures of a record, as texts.
struct Overall {
    int32_t progressPermille = 0;
    std::wstring bytesDone = {}, bytesTotal = {}, speed = {}, timeLeft = {};
};

// The whole record, texts as the host is shown them, made before any lock is taken.
ProgressRecord MakeRecord(const ProgressReport& report, const Overall& overall) {
    ProgressRecord record = {};
    CopyText(record.status, report.status);
    CopyText(record.currentItem, report.item);
    record.itemIndex = report.itemIndex;
    record.itemCount = report.itemCount;
    record.progressPermille = overall.progressPermille;
    CopyText(record.bytesDoneText, overall.bytesDone);
    CopyText(record.bytesTotalText, overall.bytesTotal);
    CopyText(record.speedText, overall.speed);
    CopyText(record.timeLeftText, overall.timeLeft);
    CopyText(record.fileBytesDoneText, FormatBytes(report.fileBytesDone));
    CopyText(record.fileBytesTotalText, FormatBytes(report.fileBytesTotal));
    return record;
}

}  // namespace

ProgressRecord FirstRecord() {
    return MakeRecord({.status = L"Preparing"},
                      {.bytesDone = L"0 B", .bytesTotal = L"0 B", .speed = L"0 B/s",
                       .timeLeft = L"calculating..."});
}

namespace {

int64_t SaturatingSum(int64_t a, int64_t b) { return b > 0 && a > INT64_MAX - b ? INT64_MAX : a + b; }

// What the host reads of the tracker at one moment, taken under its lock.
struct Snapshot {
    int64_t total = 0, done = 0;
    int32_t permille = 0;
    ProgressCounts counts = {};
    std::optional<KeptReport> earliest;  // the earliest file in transfer's report
};

Snapshot Take(const ProgressTracker& tracker) {
    std::lock_guard<std::mutex> lock(tracker.lock);
    Snapshot taken;
    taken.total = tracker.totalBytes;
    taken.done = std::min(SaturatingSum(tracker.completedBytes, tracker.transferBytes), taken.total);
    if (taken.total > 0) {
        // Declared sizes come from the network; keep the product inside 64 bits.
        const int64_t permille = taken.done > INT64_MAX / 1000
                                     ? static_cast<int64_t>(static_cast<double>(taken.done) * 1000.0 / taken.total)
                                     : taken.done * 1000 / taken.total;
        tracker.shownPermille = std::max(tracker.shownPermille, static_cast<int32_t>(std::min<int64_t>(permille, 1000)));
    }
    taken.permille = tracker.shownPermille;
    taken.counts = {static_cast<uint64_t>(taken.done), static_cast<uint64_t>(taken.total),
                    static_cast<uint64_t>(tracker.receivedBytes.load()), tracker.filesDone, tracker.filesSkipped,
                    tracker.filesTotal, tracker.filesInTransfer};
    if (!tracker.inTransfer.empty()) taken.earliest = tracker.inTransfer.begin()->second;
    return taken;
}

KeptReport Kept(const ProgressReport& report) {
    return {std::wstring(report.status), std::wstring(report.item), report.itemIndex,
            report.itemCount, report.fileBytesDone, report.fileBytesTotal};
}

}  // namespace

void SetFileList(ProgressTracker& tracker, int64_t totalBytes, int32_t files) {
    std::lock_guard<std::mutex> lock(tracker.lock);
    tracker.totalBytes = totalBytes;
    tracker.filesTotal = files;
}

void CountReceived(ProgressTracker& tracker, int64_t bytes) { tracker.receivedBytes.fetch_add(bytes); }

void StartTransfer(ProgressTracker& tracker) {
    std::lock_guard<std::mutex> lock(tracker.lock);
    ++tracker.filesInTransfer;
}

void CountTransfer(ProgressTracker& tracker, FileCount& file, int64_t bytesDone, int64_t declaredSize) {
    const int64_t counted = std::max(file.counted, std::min(bytesDone, std::max<int64_t>(declaredSize, 0)));
    if (counted == file.counted) return;
    std::lock_guard<std::mutex> lock(tracker.lock);
    tracker.transferBytes += counted - file.counted;
    file.counted = counted;
}

void EndTransfer(ProgressTracker& tracker, int32_t number, FileCount& file, bool installed, int64_t declaredSize) {
    std::lock_guard<std::mutex> lock(tracker.lock);
    tracker.inTransfer.erase(number);
    --tracker.filesInTransfer;
    tracker.transferBytes -= file.counted;
    file.counted = 0;
    if (!installed) return;
    tracker.completedBytes = SaturatingSum(tracker.completedBytes, std::max<int64_t>(declaredSize, 0));
    ++tracker.filesDone;
}

void CountSkipped(ProgressTracker& tracker, int64_t declaredSize) {
    std::lock_guard<std::mutex> lock(tracker.lock);
    tracker.completedBytes = SaturatingSum(tracker.completedBytes, std::max<int64_t>(declaredSize, 0));
    ++tracker.filesDone;
    ++tracker.filesSkipped;
}

void ReportTransfer(ProgressTracker& tracker, const ProgressReport& report) {
    {
        std::lock_guard<std::mutex> lock(tracker.lock);
        tracker.inTransfer[report.itemIndex] = Kept(report);
    }
    ReportProgress(tracker, report);
}

void ReportProgress(const ProgressTracker& tracker, const ProgressReport& given) {
    std::lock_guard<std::mutex> publishing(tracker.publishing);
    const Snapshot now = Take(tracker);
    const ProgressReport report =
        now.earliest ? ProgressReport{now.earliest->status, now.earliest->item, now.earliest->itemIndex,
                                      now.earliest->itemCount, now.earliest->fileBytesDone,
                                      now.earliest->fileBytesTotal}
                     : given;
    const auto elapsed = std::chrono::steady_clock::now() - tracker.startTime;
    int64_t elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    if (elapsedMs < 1) elapsedMs = 1;
    const double speed = static_cast<double>(now.done) / (static_cast<double>(elapsedMs) / 1000.0);
    const double secondsLeft = speed > 0 ? static_cast<double>(now.total - now.done) / speed : -1.0;

    const Overall overall{now.permille, FormatBytes(now.done), FormatBytes(now.total), FormatSpeed(speed),
                          FormatDuration(secondsLeft)};
    PublishProgress(MakeRecord(report, overall), now.counts);
}

std::wstring FormatBytes(int64_t bytes) {
    const double value = static_cast<double>(bytes);
    if (bytes >= GiB) return FixedTwoDecimals(value / GiB) + L" GB";
    if (bytes >= MiB) return FixedTwoDecimals(value / MiB) + L" MB";
    if (bytes >= KiB) return FixedTwoDecimals(value / KiB) + L" KB";
    return std::to_wstring(bytes) + L" B";
}

std::wstring FormatDuration(double seconds) {
    // Beyond the 32-bit range (about 68 years) an estimate means nothing: the
    // speed is too low to predict from, exactly as when it is zero.
    if (!(seconds >= 0) || std::isinf(seconds) || seconds >= 2147483648.0) return L"calculating...";
    const int32_t s = static_cast<int32_t>(seconds);
    const int32_t h = s / 3600, m = (s % 3600) / 60, sec = s % 60;
    wchar_t text[32] = {};
    if (h >= 1)
        swprintf(text, 32, L"%02d:%02d:%02d", h, m, sec);
    else
        swprintf(text, 32, L"%02d:%02d", m, sec);
    return text;
}

std::wstring FormatSpeed(double bytesPerSecond) {
    if (!(bytesPerSecond > 0)) return L"0 B/s";
    const double largest = 9.2e18;  // just below the signed 64-bit limit
    const double whole = bytesPerSecond < largest ? bytesPerSecond : largest;
    return FormatBytes(static_cast<int64_t>(whole)) + L"/s";
}

}  // namespace tolvek
