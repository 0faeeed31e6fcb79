// The plan of an install: one pass over the manifest's entries before anything is
// requested, deciding for each its job (number, destination, protected or not,
// what its temporary file holds) and what the whole install needs (the paths it
// claims, the room), and finding the entries that must be refused.
#pragma once

#include "cancel.h"
#include "cdn.h"
#include "failure.h"
#include "job.h"
#include "manifest_model.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tolvek {

struct PlanRequest {
    const Manifest& manifest;
    const std::wstring& targetDirectory;  // as the host passed it
    const std::wstring& logPath;          // the run's own files: no entry may be written over them
    const std::wstring& manifestPath;
    const std::wstring& manifestTemporaryPath;  // the manifest's download, a name of the run's own
    bool verified = false;  // a signed manifest: every entry but the protected ones must be verifiable
    bool followLinks = false;  // links and junctions in the target may lead out of it
};

struct InstallPlan {
    std::wstring target;          // as the host passed it: destinations are joined to it
    std::wstring resolvedTarget;  // as the file system sees it, ending in a separator
    std::wstring finalTarget;     // where it really is, after links and drive mappings; empty when unknown
    bool followLinks = false;
    std::vector<FileJob> jobs;    // the entries the path rules admitted, in list order
    // Why the entry after the last job is refused: the run ends so once the jobs are done.
    Outcome refusal;
    int64_t roomNeeded = 0;  // the most the install adds to the target's volume at any moment
    int64_t totalBytes = 0;  // the declared sizes of all entries
    std::wstring probePath;  // the file the mirrors are probed for
    // A job whose destination is an earlier job's temporary file starts once that job
    // has ended: job -> the job it waits for. Rare, so kept apart from the jobs.
    std::unordered_map<size_t, size_t> waitsFor;
};

// Declared sizes come from the network: a sum past the 64-bit range stays at the limit.
int64_t SaturatingAdd(int64_t total, int64_t size);

// The destination of a job: the target as the host passed it, the key's separators unchanged.
std::wstring Destination(const InstallPlan& plan, const FileJob& job);

// Refuses (InvalidEntry) an entry that no mirror's bytes could install: an unusable
// size or hash, a name Windows cannot hold, or a temporary path below
// `resolvedTarget` longer than any path the platform accepts.
Outcome CheckEntry(const FileEntry& entry, const std::wstring& resolvedTarget);

// Makes the plan in one pass over the entries. Fails, before any request, for the
// first entry of a signed manifest that is not verifiable, then for the first entry
// CheckEntry refuses; an entry that the path rules refuse ends the jobs instead
// (`refusal`). Temporary files that no download may continue are deleted once the
// plan holds. The total and the probe file are the whole list's, also on failure.
Outcome MakePlan(const PlanRequest& request, const CancelSignal& cancel, InstallPlan& plan);

// Refuses the job ("File path escapes target directory: ") when the deepest folder on
// the way to its file that exists lies outside the target's final path: a link or a
// junction in the target leads out of it. Asked before a file's folders are made and,
// when some were missing (`folderExists` false), again before its first request;
// every job passes when links are followed.
Outcome RequireInsideTarget(const InstallPlan& plan, const FileJob& job, bool* folderExists = nullptr);

// A target without room for the files is said before any of them is requested,
// rather than by a full disk half-way.
Outcome RequireRoom(const InstallPlan& plan);
// The room that the downloads in transfer at once have claimed and may still write.
struct RoomClaims {
    std::mutex lock;
    std::condition_variable released;
    int64_t claimed = 0;  // under `lock`
    // The jobs begun and not yet past their claim, by number, with what each may
    // claim: a later download leaves them their room, as one after another would.
    std::map<int32_t, int64_t> ahead;  // under `lock`
};
// A job taken, in list order, and a job past its claim (or ended without one).
void BeginClaimTurn(RoomClaims& claims, const FileJob& job);
void EndClaimTurn(RoomClaims& claims, const FileJob& job);
// One download's claim, given back when it is left (after the move that frees the
// room of the copy it replaced).
struct RoomClaim {
    RoomClaims* claims = nullptr;
    int64_t bytes = 0;
    RoomClaim() = default;
    RoomClaim(const RoomClaim&) = delete;
    RoomClaim& operator=(const RoomClaim&) = delete;
    ~RoomClaim();
};
// The same for one download about to start next to `destination`: what its file
// still needs beside the copy it replaces (a file present at its size counts
// nothing above, yet its update needs the whole size until the move), and beside
// what the other downloads claimed and the earlier jobs may claim. Without the room
// it waits for those, and fails once no other download holds a claim and no earlier
// job may still make one.
Outcome ClaimRoomFor(RoomClaims& claims, const FileJob& job, const std::wstring& destination,
                     const CancelSignal& cancel, RoomClaim& claim);

}  // namespace tolvek
