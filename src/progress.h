// Progress: the run's progress tracker, the record it makes from what a stage
// reports, and the byte, duration and speed texts. Publishes through status.h.
#pragma once

#include "status.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvek {

// What a stage reports: its status, the item it works on, that item's place in the
// stage, and the bytes of the file in transfer.
struct ProgressReport {
    std::wstring_view status = {};
    std::wstring_view item = {};
    int32_t itemIndex = 0;
    int32_t itemCount = 0;
    int64_t fileBytesDone = 0;
    int64_t fileBytesTotal = 0;
};

// The record a start publishes before its worker runs: "Preparing", nothing done.
ProgressRecord FirstRecord();

// One per run. The run owns the two counters; the tracker only reads them.
struct ProgressTracker {
    std::chrono::steady_clock::time_point startTime;
    const int64_t& completedBytes;  // declared sizes of the files already finished
    const int64_t& totalBytes;      // declared sizes of all files, at least 1
};

// Derives per-mille, speed and time left from the tracker and publishes the record.
void ReportProgress(const ProgressTracker& tracker, const ProgressReport& report);

std::wstring FormatBytes(int64_t bytes);
std::wstring FormatDuration(double seconds);
std::wstring FormatSpeed(double bytesPerSecond);

}  // namespace tolvek
