// One job per manifest entry: where its file goes, what its temporary file holds,
// and the small state machine that is the one place deciding whether that
// temporary file is kept or deleted. Jobs are independent of each other, so
// several can be in transfer at once.
#pragma once

#include "manifest_model.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tolvek {

// examined -> resumed or fresh -> in transfer -> verified -> moved -> done; or kept
// for a later run to continue, or discarded.
enum class JobState { Examined, Fresh, Resumed, InTransfer, Verified, Moved, Done, Kept, Discarded };

enum class JobEvent {
    HeldPrefix,      // the temporary file holds bytes a download may continue
    HeldNothing,     // there is no temporary file
    HeldStale,       // there is one, but no download may continue it
    Skipped,         // the destination is valid already, or a protected file
    TransferStarts,
    PrefixKept,      // a transfer failed and left bytes the next one may continue
    Broken,          // a transfer or the check of its copy failed: start over from byte 0
    CopyVerified,    // the temporary file holds the entry's file
    MovedIntoPlace,
    MoveFailed,
    CheckedInPlace,
    RunFailed,       // the run ends without this job done
    Cancelled,
};

enum class TemporaryFile { Keep, Delete };

struct JobStep {
    JobState next;
    TemporaryFile file;
};

// The step an event makes from a state; none for an event that cannot happen there.
std::optional<JobStep> NextJobStep(JobState state, JobEvent event);

struct FileJob {
    const FileEntry* entry;
    int32_t number;             // 1-based place in the manifest's list
    bool isProtected = false;   // the setup program's own file: never touched
    int64_t present = -1;       // the size of the file at the destination, -1 when none
    int64_t held = 0;           // bytes of the temporary file the next transfer continues
    JobState state = JobState::Examined;
};

// What the temporary file holds, as the event it makes of an examined job: a prefix
// a download may continue (up to the declared size: a whole file is checked before
// anything is requested), nothing, or a stale file (longer than the size, of an
// entry that cannot resume, or no plain file of its folder: a link planted there).
// A missing file costs one query of its path.
JobEvent StockOf(const FileEntry& entry, const std::wstring& temporaryPath, int64_t& held);

// An examined job's first step: what its temporary file holds (StockOf). A job
// past it is left as it is.
void TakeStock(FileJob& job, const std::wstring& temporaryPath);

// Makes the step the event calls for: deletes the temporary file at `temporaryPath`
// when the step says so (`held` is then 0), or sets `held` for a kept prefix. An
// event that cannot happen in the job's state changes nothing.
void Enter(FileJob& job, JobEvent event, const std::wstring& temporaryPath, int64_t held = 0);

}  // namespace tolvek
