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

// Replaces the whole record in one locked step.
void PublishProgress(const ProgressRecord& record);
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

// The last run's failure as a value: its kind, platform code and HTTP status
// (success when the run succeeded or no run has ended).
Outcome LastFailure();
bool GetResult(int32_t& code, std::wstring& message);
// Copies the result into the host's buffer, cut to capacity - 1 units.
bool CopyResult(int32_t* code, wchar_t* message, int32_t capacity);

}  // namespace tolvek
