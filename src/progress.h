// Progress: the process-wide progress record store, the run's progress tracker
// and the byte, duration and speed texts. Calls only the session's StatusLock.
#pragma once

#include "tolvek_online_installer.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace tolvek {

using ProgressRecord = TolvekProgressRecord;

// Writes all eleven fields of the store in one step under StatusLock; texts are
// cut to their buffers.
void PublishProgress(const std::wstring& status, const std::wstring& currentItem, int32_t itemIndex,
                     int32_t itemCount, int32_t progressPermille, const std::wstring& bytesDoneText,
                     const std::wstring& bytesTotalText, const std::wstring& speedText,
                     const std::wstring& timeLeftText, const std::wstring& fileBytesDoneText,
                     const std::wstring& fileBytesTotalText);
// PublishProgress for a caller that holds StatusLock.
void PublishProgressLocked(const std::wstring& status, const std::wstring& currentItem,
                           int32_t itemIndex, int32_t itemCount, int32_t progressPermille,
                           const std::wstring& bytesDoneText, const std::wstring& bytesTotalText,
                           const std::wstring& speedText, const std::wstring& timeLeftText,
                           const std::wstring& fileBytesDoneText,
                           const std::wstring& fileBytesTotalText);
// Copies the store when its status is not empty.
bool CopyProgress(ProgressRecord* destination);
// Zeroes the store; the caller holds StatusLock.
void ClearProgressStoreLocked();

// One per run. The run owns the two counters; the tracker only reads them.
struct ProgressTracker {
    std::chrono::steady_clock::time_point startTime;
    const int64_t& completedBytes;  // declared sizes of the files already finished
    const int64_t& totalBytes;      // declared sizes of all files, at least 1
};

// Derives per-mille, speed and time left from the tracker and publishes the record.
void ReportProgress(const ProgressTracker& tracker, const std::wstring& status,
                    const std::wstring& currentItem, int32_t itemIndex, int32_t itemCount,
                    int64_t fileBytesDone, int64_t fileBytesTotal);

std::wstring FormatBytes(int64_t bytes);
std::wstring FormatDuration(double seconds);
std::wstring FormatSpeed(double bytesPerSecond);

}  // namespace tolvek
