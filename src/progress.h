// Progress: the run's progress tracker, which every stage and every transfer
// reports to, the record and the counts it publishes from what they report, and
// the byte, duration and speed texts. Publishes through status.h.
#pragma once

#include "status.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tolvek {

// What a stage reports: its status, the item it works on, that item's place in the
// stage, and the bytes of the file in transfer (its own texts in the record).
struct ProgressReport {
    std::wstring_view status = {};
    std::wstring_view item = {};
    int32_t itemIndex = 0;
    int32_t itemCount = 0;
    int64_t fileBytesDone = 0;
    int64_t fileBytesTotal = 0;
};

// A report kept for the record while its file is in transfer.
struct KeptReport {
    std::wstring status, item;
    int32_t itemIndex = 0, itemCount = 0;
    int64_t fileBytesDone = 0, fileBytesTotal = 0;
};

// The record a start publishes before its worker runs: "Preparing", nothing done.
ProgressRecord FirstRecord();

// One per run. The overall figures count only declared sizes, and only once the
// file list is known: until then the bar stands at 0 and there is no total. Files
// in transfer (several at once) count what they received up to their declared
// size; a file that starts over keeps what it had counted until its new bytes pass
// it, so the bar never goes back. While files are in transfer the record shows the
// earliest of them (by its number in the list).
struct ProgressTracker {
    std::chrono::steady_clock::time_point startTime = std::chrono::steady_clock::now();
    std::atomic<int64_t> receivedBytes{0};  // every byte that came from the network
    mutable std::mutex lock;                // guards what follows
    int64_t totalBytes = 0;      // declared sizes of all files; 0 until the file list is known
    int64_t completedBytes = 0;  // declared sizes of the files finished (installed or already valid)
    int64_t transferBytes = 0;   // what the files in transfer count toward the total
    int32_t filesTotal = 0, filesDone = 0, filesSkipped = 0, filesInTransfer = 0;
    std::map<int32_t, KeptReport> inTransfer;  // each file's last report, by its number
    mutable int32_t shownPermille = 0;  // the highest per-mille published
    // Held from a report's look at the figures to its record's publication, so that
    // no report of several at once publishes older figures over newer ones.
    mutable std::mutex publishing;
};

// What one file in transfer counts toward the total, as its reports have raised it.
struct FileCount {
    int64_t counted = 0;
};

void SetFileList(ProgressTracker& tracker, int64_t totalBytes, int32_t files);
void CountReceived(ProgressTracker& tracker, int64_t bytes);
void StartTransfer(ProgressTracker& tracker);
// The file's bytes so far, counted up to its declared size and never less than before.
void CountTransfer(ProgressTracker& tracker, FileCount& file, int64_t bytesDone, int64_t declaredSize);
// The transfer of the file numbered `number` ends: installed (its size counts as
// done), or not.
void EndTransfer(ProgressTracker& tracker, int32_t number, FileCount& file, bool installed, int64_t declaredSize);
// A file found valid, or a protected one: its declared size counts as done.
void CountSkipped(ProgressTracker& tracker, int64_t declaredSize);

// Derives per-mille, speed and time left from the tracker and publishes the record
// with the counts; while files are in transfer, the earliest one's report is shown.
void ReportProgress(const ProgressTracker& tracker, const ProgressReport& report);
// A report of the file in transfer numbered `report.itemIndex`, kept for the record.
void ReportTransfer(ProgressTracker& tracker, const ProgressReport& report);

std::wstring FormatBytes(int64_t bytes);
std::wstring FormatDuration(double seconds);
std::wstring FormatSpeed(double bytesPerSecond);

}  // namespace tolvek
