// Status: what the host reads of a run, the progress record and the result, with
// the lock that guards both. The worker publishes; the exports copy. Calls only
// the text rule of support.h.
#pragma once

#include "failure.h"
#include "tolvek_online_installer.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace tolvek {

using ProgressRecord = TolvekProgressRecord;

// Guards the progress record and the result; held only for fixed-size copies.
extern std::mutex StatusLock;

// The counts beside the record, as the detail record gives them.
struct ProgressCounts {
    uint64_t bytesDone = 0, bytesTotal = 0, bytesReceived = 0;
    int32_t filesDone = 0, filesSkipped = 0, filesTotal = 0, filesInTransfer = 0;
};

// Replaces the whole record and the counts in one locked step.
void PublishProgress(const ProgressRecord& record, const ProgressCounts& counts);
// Copies as much of the detail (the last failure and the counts) as `detail->size`
// holds; false for a size below the least one.
bool CopyDetail(TolvekInstallDetail* detail);
// The public kind of a failure: the host's stable number for it.
int32_t PublicKind(const Outcome& outcome);
// Copies the record when its status is not empty.
bool CopyProgress(ProgressRecord* destination);

// Clears the record and the result. With a first record, that record is published
// in the same locked step, so a host polling while starts race never finds the
// record empty once a session has started.
void ResetStatus();
void ResetStatus(const ProgressRecord& first);

// Stores the run's result as the host is shown it, cut to 1023 characters.
void SetResult(int32_t code, const std::wstring& message);
// The run's end: code 0 with "OK", or code 1 with the failure's text; the failure's
// kind, platform code and HTTP status are kept beside it.
void SetResult(const Outcome& outcome);

bool GetResult(int32_t& code, std::wstring& message);
// Copies the result into the host's buffer, cut to capacity - 1 units.
bool CopyResult(int32_t* code, wchar_t* message, int32_t capacity);

}  // namespace tolvek
