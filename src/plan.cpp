#include "plan.h"

#include "entry_rules.h"
#include "install_paths.h"
#include "installed_version.h"
#include "log.h"
#include "progress.h"
#include "support.h"

#include <algorithm>
#include <chrono>

namespace tolvek {

namespace {

const wchar_t kUnverifiableFile[] = L"Unverifiable file in signed manifest: ";
const wchar_t kEscapesTarget[] = L"File path escapes target directory: ";

Outcome Refused(const wchar_t* what, std::wstring_view key) {
    return Fail(FailureKind::InvalidEntry, what + std::wstring(key));
}

// Room for `needed` bytes beside those `claimed` by other downloads.
Outcome RequireBytes(const std::wstring& directory, int64_t needed, int64_t claimed = 0) {
    ULARGE_INTEGER available;
    if (needed <= 0 || !GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr)) return Success();
    const int64_t free = available.QuadPart > INT64_MAX ? INT64_MAX : static_cast<int64_t>(available.QuadPart);
    if (needed <= free - std::min(claimed, free)) return Success();
    return Fail(FailureKind::NoRoom, L"Not enough disk space in the target directory: " + FormatBytes(needed) +
                                         L" needed, " + FormatBytes(free) + L" available");
}

std::wstring WithTrailingSeparator(std::wstring path) {
    if (!path.empty() && !IsSeparator(path.back())) path += L'\\';
    return path;
}

// The one pass: the first refusal of each kind, the claims, the room and the stock.
struct Planner {
    const PlanRequest& request;
    InstallPlan& plan;
    ClaimedPaths claimed = {};
    Outcome cancelled = {};
    Outcome unverifiable = {};
    Outcome unusable = {};
    std::vector<size_t> stale = {};  // jobs whose temporary file goes once the plan holds
    int64_t added = 0;               // what the install has added to the volume so far
    ProbeFileChoice probe = {};

    // The log and the manifest copy with its temporary file: no entry may be written
    // over them. They are known by their long names (the temporary file, gone by now,
    // by its folder's).
    void ClaimRunFiles() {
        if (!request.logPath.empty()) Claim(claimed, ResolvePath(request.logPath).path);
        Claim(claimed, ResolvePath(request.manifestPath).path);
        Claim(claimed, ResolvePath(request.manifestTemporaryPath).path);
        ClaimInstalledVersionRecord(claimed, request.targetDirectory);
        claimed.derivedPath = [this](size_t job) { return ResolvePath(Destination(plan, plan.jobs[job])).path; };
    }

    // The rules that refuse an entry before any request, whatever its path.
    void CheckRefusedUpFront(const FileEntry& entry) {
        if (IsProtectedInstallerArtifact(entry.key)) return;
        if (request.verified && unverifiable.ok() && !(entry.size && entry.hash))
            unverifiable = Fail(FailureKind::Unverifiable, kUnverifiableFile + std::wstring(entry.key));
        if (unusable.ok()) unusable = CheckEntry(entry, plan.resolvedTarget);
    }

    // The path rules in order; false when the entry is a protected file after all.
    bool Admit(FileJob& job) {
        const std::wstring_view key = job.entry->key;
        if (!IsSafeRelativePath(key)) return Refuse(Refused(kInvalidPathInManifest, key));
        if (EscapesTargetDirectory(plan.resolvedTarget, key)) return Refuse(Refused(kEscapesTarget, key));

        const ResolvedPath resolved = ResolvePath(Destination(plan, job));
        // A short (8.3) name in the key reaches an existing file under its own name.
        if (resolved.exists && IsProtectedInstallerArtifact(resolved.path)) return false;
        // The platform reads a path only up to its first NUL: the rest of such a key
        // vanishes, and its temporary file would be the destination itself.
        if (key.find(L'\0') != std::wstring_view::npos) return Refuse(Refused(kInvalidPathInManifest, key));
        // Keys that differ in case, trailing dots or "." components name one file; a
        // later one would overwrite the earlier, or its download delete it.
        if (!MayWriteDestination(claimed, key, resolved)) return Refuse(Refused(kInvalidPathInManifest, key));
        WaitForTheFileWhoseTemporaryThisIs(resolved.path);
        ClaimDerived(claimed, resolved.path, plan.jobs.size());
        job.present = resolved.size;
        return true;
    }

    void WaitForTheFileWhoseTemporaryThisIs(const std::wstring& path) {
        if (path.size() <= kTemporarySuffixLength) return;
        const size_t earlier = DerivedClaimant(claimed, path.substr(0, path.size() - kTemporarySuffixLength));
        if (earlier != SIZE_MAX && SamePath(TemporaryPath(claimed.derivedPath(earlier)), path))
            plan.waitsFor.emplace(plan.jobs.size(), earlier);
    }

    bool Refuse(Outcome refusal) {
        plan.refusal = std::move(refusal);
        return true;
    }

    // The most the install adds to the target's volume at any moment: entry by entry
    // in list order, a download adds its declared size less what its temporary file
    // already holds, and the move gives back the old copy it replaces. A file present
    // at its declared size, and an entry without a size, count nothing.
    void CountRoom(FileJob& job) {
        const FileEntry& entry = *job.entry;
        if (job.isProtected || (entry.size && job.present == *entry.size)) return;
        int64_t held = 0;
        const JobEvent stock = StockOf(entry, TemporaryPath(Destination(plan, job)), held);
        if (stock == JobEvent::HeldStale) {
            stale.push_back(plan.jobs.size());
        } else {
            Enter(job, stock, std::wstring(), held);  // nothing is deleted for these
        }
        if (!entry.size || *entry.size <= 0) return;
        added = SaturatingAdd(added, *entry.size - job.held);
        if (added > plan.roomNeeded) plan.roomNeeded = added;
        if (job.present > 0) added -= job.present;
    }

    void Plan(const FileEntry& entry, int32_t number) {
        if (entry.size) plan.totalBytes = SaturatingAdd(plan.totalBytes, *entry.size);
        Consider(probe, entry);
        if (!cancelled.ok()) return;  // the sizes are still summed: the run logs their total
        CheckRefusedUpFront(entry);
        if (!plan.refusal.ok()) return;  // the path rules stop at the first key they refuse
        FileJob job{&entry, number};
        job.isProtected = IsProtectedInstallerArtifact(entry.key) || !Admit(job);
        if (!plan.refusal.ok()) return;
        CountRoom(job);
        plan.jobs.push_back(job);
    }
};

}  // namespace

int64_t SaturatingAdd(int64_t total, int64_t size) {
    if (size > 0 && total > INT64_MAX - size) return INT64_MAX;
    if (size < 0 && total < INT64_MIN - size) return INT64_MIN;
    return total + size;
}

std::wstring Destination(const InstallPlan& plan, const FileJob& job) { return JoinPath(plan.target, job.entry->key); }

Outcome CheckEntry(const FileEntry& entry, const std::wstring& resolvedTarget) {
    switch (entry.fault) {
        case EntryFault::Size: return Refused(L"Invalid file size in manifest: ", entry.key);
        case EntryFault::Hash: return Refused(L"Invalid file hash in manifest: ", entry.key);
        case EntryFault::Name: return Refused(kInvalidPathInManifest, entry.key);
        case EntryFault::None: break;
    }
    // The platform reads a path only up to its first NUL. A key with one is refused by
    // the path rules in its turn, after the protected file its head may name by a
    // short name; here only the part the platform would see is judged.
    const size_t longest = resolvedTarget.size() + SeenByPlatform(entry.key).size() + kTemporarySuffixLength;
    if (longest > kLongestPlatformPath) return Refused(kInvalidPathInManifest, entry.key);
    return Success();
}

Outcome RequireInsideTarget(const InstallPlan& plan, const FileJob& job, bool* folderExists) {
    if (folderExists) *folderExists = true;
    if (plan.followLinks || plan.finalTarget.empty()) return Success();
    // Below the deepest folder that exists the run makes its own; the target itself is inside.
    const std::wstring parent = ParentDirectory(Destination(plan, job));
    std::wstring folder = parent, reached;
    while (folder.size() > plan.target.size() && (reached = FinalFolderPath(folder)).empty())
        folder = ParentDirectory(folder);
    if (folderExists) *folderExists = folder == parent;
    if (reached.empty() || LiesWithin(reached, plan.finalTarget)) return Success();
    return Refused(kEscapesTarget, job.entry->key);
}

Outcome MakePlan(const PlanRequest& request, const CancelSignal& cancel, InstallPlan& plan) {
    plan = InstallPlan();
    plan.target = request.targetDirectory;
    plan.resolvedTarget = WithTrailingSeparator(FullPath(request.targetDirectory));
    plan.finalTarget = FinalFolderPath(request.targetDirectory);
    plan.followLinks = request.followLinks;
    plan.jobs.reserve(request.manifest.entries.size());
    Planner planner{request, plan};
    planner.ClaimRunFiles();
    int32_t number = 0;
    for (const FileEntry& entry : request.manifest.entries) {
        if (planner.cancelled.ok() && IsCancelled(cancel)) planner.cancelled = Cancelled();
        planner.Plan(entry, ++number);
    }
    plan.probePath = ProbePath(planner.probe);
    if (!planner.cancelled.ok()) return planner.cancelled;
    if (!planner.unverifiable.ok()) return planner.unverifiable;
    if (!planner.unusable.ok()) return planner.unusable;
    for (const size_t stale : planner.stale) {
        FileJob& job = plan.jobs[stale];
        Enter(job, JobEvent::HeldStale, TemporaryPath(Destination(plan, job)));
    }
    return Success();
}

Outcome RequireRoom(const InstallPlan& plan) { return RequireBytes(plan.resolvedTarget, plan.roomNeeded); }

void BeginClaimTurn(RoomClaims& claims, const FileJob& job) {
    const std::lock_guard<std::mutex> lock(claims.lock);
    claims.ahead[job.number] = job.entry->size ? *job.entry->size : 0;
}

void EndClaimTurn(RoomClaims& claims, const FileJob& job) {
    {
        const std::lock_guard<std::mutex> lock(claims.lock);
        if (claims.ahead.erase(job.number) == 0) return;
    }
    claims.released.notify_all();
}

namespace {

// What the jobs begun before job `number`, and not past their claim, may claim.
int64_t ClaimableAhead(const RoomClaims& claims, int32_t number) {
    int64_t bytes = 0;
    for (auto it = claims.ahead.begin(); it != claims.ahead.end() && it->first < number; ++it) bytes += it->second;
    return bytes;
}

}  // namespace

Outcome ClaimRoomFor(RoomClaims& claims, const FileJob& job, const std::wstring& destination,
                     const CancelSignal& cancel, RoomClaim& claim) {
    const FileEntry& entry = *job.entry;
    const int64_t needed = entry.size ? *entry.size - job.held : 0;
    const std::wstring directory = WithTrailingSeparator(ParentDirectory(destination));
    std::unique_lock<std::mutex> lock(claims.lock);
    Outcome room;
    // Without the room it waits while a download in transfer may give some back (its
    // old copy goes at its move), or an earlier job may still take some first.
    for (;;) {
        const int64_t ahead = ClaimableAhead(claims, job.number);
        room = RequireBytes(directory, needed, claims.claimed + ahead);
        if (room.ok() || (claims.claimed == 0 && ahead == 0)) break;
        if (IsCancelled(cancel)) return Cancelled();
        claims.released.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (room.ok()) {
        claims.claimed += needed;
        claim.claims = &claims;
        claim.bytes = needed;
    }
    // Past its claim: the later jobs no longer leave it room.
    claims.ahead.erase(job.number);
    lock.unlock();
    claims.released.notify_all();
    return room;
}

RoomClaim::~RoomClaim() {
    if (!claims) return;
    {
        std::lock_guard<std::mutex> lock(claims->lock);
        claims->claimed -= bytes;
    }
    claims->released.notify_all();
}

}  // namespace tolvek
