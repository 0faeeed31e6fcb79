#include "install.h"

#include "cdn.h"
#include "entry_rules.h"
#include "file_transfer.h"
#include "http.h"
#include "install_lock.h"
#include "install_paths.h"
#include "installed_version.h"
#include "lanes.h"
#include "log.h"
#include "manifest.h"
#include "mirrors.h"
#include "plan.h"
#include "progress.h"
#include "proxy.h"
#include "run_buffer.h"
#include "run_context.h"
#include "signature.h"
#include "support.h"
#include "verify.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace tolvek {

namespace {

const wchar_t kUserAgent[] = L"TolvekLauncherOnlineInstaller/1.5.1";
const wchar_t kEmptyTarget[] = L"Target directory is empty";
const wchar_t kEmptyWorkingDirectory[] = L"Working directory is empty";

// The working state of one run.
struct InstallRun {
    const InstallRequest& request;
    const CancelSignal& cancel;
    ProgressTracker tracker = {};
    ManifestFiles manifestFiles = {};
    Manifest manifest = {};
};

// "Total size" names at least 1 B: a manifest that declares no size has no total.
void LogSummary(const InstallRun& run, int64_t totalBytes) {
    Log(L"Manifest version: " + std::to_wstring(run.manifest.version));
    Log(L"Manifest version_string: " + run.manifest.versionString);
    Log(L"Files in manifest: " + std::to_wstring(run.manifest.entries.size()));
    Log(L"Total size: " + FormatBytes(totalBytes > 0 ? totalBytes : 1));
}

// What the file stage works with besides the run: its context, the plan, and the
// mirror order (failover moves a mirror that keeps failing to its end).
struct FileStage {
    InstallRun& run;
    const RunContext& context;
    InstallPlan plan = {};
    MirrorOrder mirrors = {};
    RoomClaims room = {};
    int32_t count = 0;
};

void Report(const FileStage& stage, const FileJob& job, const wchar_t* status) {
    ReportProgress(stage.run.tracker, {.status = status, .item = job.entry->key, .itemIndex = job.number,
                                       .itemCount = stage.count});
}

void Skip(FileStage& stage, FileJob& job, const RunContext& lane, const wchar_t* line) {
    Log(lane.log, line + std::wstring(job.entry->key));
    Enter(job, JobEvent::Skipped, std::wstring());
    // Counted as done like an installed file, so a completed run reaches 1000 per mille.
    CountSkipped(stage.run.tracker, DeclaredSizeOrZero(*job.entry));
    Report(stage, job, L"Skipped");
}

// Downloads the job's file, moves it over its destination and verifies it there;
// what it received counts toward the total in `counted`.
Outcome Download(FileStage& stage, FileJob& job, const RunContext& lane, const std::wstring& destination,
                 FileCount& counted) {
    const FileEntry& entry = *job.entry;
    const int64_t reportedTotal = DeclaredSizeOrZero(entry);
    const TransferReport report = [&](const wchar_t* status, int64_t done) {
        CountTransfer(stage.run.tracker, counted, done, reportedTotal);
        ReportTransfer(stage.run.tracker, {.status = status, .item = entry.key, .itemIndex = job.number,
                                           .itemCount = stage.count, .fileBytesDone = done,
                                           .fileBytesTotal = reportedTotal});
    };
    const std::wstring temporary = TemporaryPath(destination);
    TakeStock(job, temporary);
    RoomClaim claim;
    Outcome outcome = ClaimRoomFor(stage.room, job, destination, lane.cancel, claim);
    if (outcome.ok()) outcome = TransferFile(lane, {job, temporary, report, stage.run.manifest.urlEncoding}, stage.mirrors);
    if (!outcome.ok()) return outcome;
    DWORD code = 0;
    if (!MovePlainFile(temporary, destination, code)) {
        Enter(job, JobEvent::MoveFailed, temporary);
        return Fail(FailureKind::Move, L"Cannot move downloaded file: " + Win32ErrorText(code), code);
    }
    Enter(job, JobEvent::MovedIntoPlace, temporary);
    outcome = VerifyFile(lane, destination, entry, entry.key);
    if (outcome.ok()) Enter(job, JobEvent::CheckedInPlace, temporary);
    return outcome;
}

// The folders of the job's file, none made and no file written where a link in the
// target leads out of it (one that stood where a folder was made too). A folder that
// cannot be made shows as the temporary file that cannot be created.
Outcome MakeFolders(const FileStage& stage, const FileJob& job, const std::wstring& destination,
                    const CancelSignal& cancel) {
    bool folderExists = true;
    Outcome inside = RequireInsideTarget(stage.plan, job, &folderExists);
    if (!inside.ok() || folderExists) return inside;
    DWORD unused = 0;
    if (!EnsureDirectoryExists(ParentDirectory(destination), cancel, unused) && IsCancelled(cancel))
        return Cancelled();
    return RequireInsideTarget(stage.plan, job);
}

Outcome InstallEntry(FileStage& stage, FileJob& job, const RunContext& lane) {
    const FileEntry& entry = *job.entry;
    if (job.isProtected) {
        Skip(stage, job, lane, L"Skipped protected installer artifact: ");
        return Success();
    }
    const std::wstring destination = Destination(stage.plan, job);
    Outcome folders = MakeFolders(stage, job, destination, lane.cancel);
    if (!folders.ok()) return folders;
    Log(lane.log, L"[" + std::to_wstring(job.number) + L"/" + std::to_wstring(stage.count) +
                      L"] Processing key: " + std::wstring(entry.key));

    if (VerifyFile(lane, destination, entry, entry.key).ok()) {
        Skip(stage, job, lane, L"Already valid, skipped: ");
        return Success();
    }
    // A check cut short by a cancel says nothing about the file: nothing is downloaded.
    if (IsCancelled(lane.cancel)) return Cancelled();

    FileCount counted;
    StartTransfer(stage.run.tracker);
    Outcome downloaded = Download(stage, job, lane, destination, counted);
    EndTransfer(stage.run.tracker, job.number, counted, downloaded.ok(), DeclaredSizeOrZero(entry));
    if (!downloaded.ok()) return downloaded;
    Report(stage, job, L"Installed");
    Log(lane.log, L"Installed: " + std::wstring(entry.key));
    return Success();
}

// The jobs in list order, several at once: each lane (a thread with a block of its
// own) takes the next job until none is left or the work stops. A job that fails
// stops the lanes on later jobs at once, and no later job starts; the earlier ones
// go on, and the run ends with the failure of the earliest job in list order, as
// one job after another would. A cancel of the host stops every lane. The jobs
// stopped keep what they hold.
struct Lane {
    CancelSignal stop = {};
    size_t job = SIZE_MAX;  // the job it works on; under Lanes::lock
};

struct Lanes {
    FileStage& stage;
    std::vector<Lane> lanes;
    OrderedLog log = {};
    std::atomic<size_t> installed{0};
    std::mutex lock = {};
    size_t next = 0;              // the next job to start; under `lock`
    size_t failedJob = SIZE_MAX;  // the earliest job that failed; under `lock`
    Outcome failure = {};
};

// The lane's next job; false once every job is taken, or a job before it failed.
bool TakeJob(Lanes& lanes, Lane& lane, size_t& job) {
    std::lock_guard<std::mutex> lock(lanes.lock);
    lane.job = SIZE_MAX;
    if (IsCancelled(lane.stop) || lanes.next >= lanes.stage.plan.jobs.size() || lanes.next > lanes.failedJob)
        return false;
    job = lane.job = lanes.next++;
    // Under the lanes' lock, so the jobs begin their turns for room in list order.
    BeginClaimTurn(lanes.stage.room, lanes.stage.plan.jobs[job]);
    return true;
}

void RecordFailure(Lanes& lanes, size_t job, Outcome outcome) {
    std::lock_guard<std::mutex> lock(lanes.lock);
    if (job >= lanes.failedJob) return;
    lanes.failedJob = job;
    lanes.failure = std::move(outcome);
    HoldFrom(lanes.log, job + 1);
    for (Lane& lane : lanes.lanes)
        if (lane.job != SIZE_MAX && lane.job > job) RaiseCancel(lane.stop);
}

// A job whose destination is an earlier job's temporary file starts once that job,
// and every one before it, has ended; false when stopped first.
bool AfterTheJobItWaitsFor(Lanes& lanes, size_t job, const CancelSignal& stop) {
    const auto waits = lanes.stage.plan.waitsFor.find(job);
    if (waits == lanes.stage.plan.waitsFor.end()) return true;
    while (EarliestNotEnded(lanes.log) <= waits->second) {
        if (IsCancelled(stop)) return false;
        PauseUnlessCancelled(stop, 10);
    }
    return true;
}

void StopEveryLane(Lanes& lanes) {
    std::lock_guard<std::mutex> lock(lanes.lock);
    for (Lane& lane : lanes.lanes) RaiseCancel(lane.stop);
}

void RunLaneJobs(Lanes& lanes, Lane& lane) {
    FileStage& stage = lanes.stage;
    RunBuffer buffer;
    size_t job = 0;
    while (TakeJob(lanes, lane, job)) {
        const RunContext context{stage.context.network, buffer, lane.stop, stage.run.tracker, {&lanes.log, job}};
        Outcome outcome = AfterTheJobItWaitsFor(lanes, job, lane.stop)
                              ? InstallEntry(stage, stage.plan.jobs[job], context)
                              : Cancelled();
        // Stopped because an earlier job failed: neither a failure nor lines of its own.
        const bool stopped = outcome.kind == FailureKind::Cancelled && !IsCancelled(stage.run.cancel);
        EndClaimTurn(stage.room, stage.plan.jobs[job]);
        const bool installed = outcome.ok();
        if (!installed && !stopped) RecordFailure(lanes, job, std::move(outcome));
        End(lanes.log, job, stopped);
        if (installed) ++lanes.installed;
    }
}

void RunLane(Lanes& lanes, Lane& lane) {
    try {
        RunLaneJobs(lanes, lane);
    } catch (...) {
        // Memory ran out in this lane: the run ends with that, after any job that failed.
        RecordFailure(lanes, lanes.stage.plan.jobs.size(), Fail(FailureKind::Unknown, L"Unknown installation error"));
    }
}

Outcome RunJobs(FileStage& stage) {
    const size_t jobs = stage.plan.jobs.size();
    const size_t wanted = static_cast<size_t>(std::clamp(stage.run.request.options.parallel, 1, kMostParallel));
    Lanes lanes{stage, std::vector<Lane>(std::min(wanted, jobs))};
    if (jobs > 0)
        RunAtOnce(
            lanes.lanes.size(), [&](size_t lane) { RunLane(lanes, lanes.lanes[lane]); }, stage.run.cancel,
            [&] { StopEveryLane(lanes); });
    Close(lanes.log, jobs);
    if (lanes.failedJob != SIZE_MAX) return std::move(lanes.failure);
    if (lanes.installed < jobs) return Cancelled();
    return Success();
}

Outcome InstallJobs(FileStage& stage) {
    std::vector<std::wstring> order;
    Outcome selected = SelectCdns(stage.context, stage.run.manifest.mirrors, stage.plan.probePath, stage.count, order,
                                  stage.run.manifest.urlEncoding, stage.run.request.options.parallel);
    if (!selected.ok()) return selected;
    SetMirrors(stage.mirrors, std::move(order));
    Outcome installed = RunJobs(stage);
    if (!installed.ok()) return installed;
    if (stage.plan.refusal.ok()) return Success();
    if (IsCancelled(stage.run.cancel)) return Cancelled();
    return stage.plan.refusal;
}

// The jobs the run leaves behind: a cancel abandons the install, and the bytes held
// go; a failure keeps them for the next run to continue.
void EndJobs(FileStage& stage) {
    const JobEvent end = IsCancelled(stage.run.cancel) ? JobEvent::Cancelled : JobEvent::RunFailed;
    for (FileJob& job : stage.plan.jobs) {
        const bool holdsFile = job.state == JobState::Resumed || job.state == JobState::InTransfer ||
                               job.state == JobState::Verified;
        Enter(job, end, holdsFile ? TemporaryPath(Destination(stage.plan, job)) : std::wstring());
    }
}

// Installs, skips or rejects every entry in list order, once the plan holds and the
// room is there; every transfer and digest reads into the run's one buffer.
Outcome InstallFiles(FileStage& stage, Outcome planned) {
    Outcome outcome = std::move(planned);
    if (outcome.ok()) outcome = RequireRoom(stage.plan);
    if (outcome.ok()) outcome = InstallJobs(stage);
    if (!outcome.ok()) EndJobs(stage);
    return outcome;
}

void DeleteManifestCopy(const InstallRun& run) {
    if (run.manifestFiles.copy.empty()) return;
    DeleteFileIfExists(run.manifestFiles.copy);
    DeleteFileIfExists(run.manifestFiles.temporary);
}

// A directory the run needs: an empty path would put its files in the host's
// current directory, and one that cannot be made fails every file in it.
Outcome PrepareDirectory(const std::wstring& path, const wchar_t* emptyText, const CancelSignal& cancel) {
    if (path.empty()) return Fail(FailureKind::CannotCreateDirectory, emptyText);
    DWORD error = 0;
    if (EnsureDirectoryExists(path, cancel, error)) return Success();
    if (error == ERROR_CANCELLED) return Cancelled();
    return Fail(FailureKind::CannotCreateDirectory,
                L"Cannot create directory: " + path + L" (" + Win32ErrorText(error) + L")", error);
}

// The directories and the opening lines; a working or target directory that cannot
// exist ends the run before the manifest is requested.
Outcome PrepareDirectoriesAndLog(InstallRun& run) {
    const InstallRequest& request = run.request;
    Outcome working = PrepareDirectory(request.workingDirectory, kEmptyWorkingDirectory, run.cancel);
    EnsureDirectoryExists(ParentDirectory(request.logPath));
    Outcome target = PrepareDirectory(request.targetDirectory, kEmptyTarget, run.cancel);
    Log(L"Online installation started");
    Log(L"Manifest URLs: " + request.manifestUrls);
    Log(L"Target directory: " + request.targetDirectory);
    return working.ok() ? target : working;
}

// Everything from the sessions to the last file, on the run's proxy choices and buffer.
Outcome InstallFromNetwork(InstallRun& run, const TrustedKeys* trustedKeys,
                           std::optional<int64_t> installedVersion) {
    // All released when this function is left, after every request and before the
    // failure is reported.
    const RunOptions& options = run.request.options;
    ProxySessions sessions(kUserAgent);
    ProxyRouter router(options.proxy, options.proxy.mode == ProxyMode::System ? ReadProxySettings() : ProxySettings{},
                       run.cancel);
    const RunNetwork network{router, sessions, {options.proxyUser, options.proxyPassword}};
    RunBuffer buffer;
    const RunContext context{network, buffer, run.cancel, run.tracker};
    // A platform that opens no session ends the run before any request.
    Outcome outcome = CheckHttpSession(sessions.For(L""));
    if (!outcome.ok()) return outcome;

    Log(L"Downloading manifest with fallback...");
    outcome = DownloadManifest(context, run.request.manifestUrls, run.manifestFiles, run.manifest, trustedKeys,
                               installedVersion);
    if (!outcome.ok()) return outcome;
    if (run.manifest.entries.empty()) return Fail(FailureKind::NoFiles, L"Manifest files list is empty");

    // One pass over the entries; what it refuses is said after the summary.
    FileStage stage{run, context};
    stage.count = static_cast<int32_t>(run.manifest.entries.size());
    const InstallRequest& request = run.request;
    Outcome planned = MakePlan({run.manifest, request.targetDirectory, request.logPath, run.manifestFiles.copy,
                                run.manifestFiles.temporary, trustedKeys != nullptr, request.options.followLinks},
                               run.cancel, stage.plan);
    SetFileList(run.tracker, stage.plan.totalBytes, stage.count);
    ReportProgress(run.tracker, {.status = L"Preparing files", .itemCount = stage.count});
    LogSummary(run, stage.plan.totalBytes);
    return InstallFiles(stage, std::move(planned));
}

// Steps from the directories to the run's success.
Outcome RunSteps(InstallRun& run) {
    Outcome outcome = PrepareDirectoriesAndLog(run);
    if (!outcome.ok()) return outcome;
    // Held until this function is left; taken before the manifest copy has a path,
    // so a refused run deletes nothing of the run that holds it.
    const TargetDirectoryLock targetLock(run.request.targetDirectory);
    if (targetLock.busy()) return Fail(FailureKind::TargetBusy, kTargetDirectoryBusy);
    ReportProgress(run.tracker, {.status = L"Preparing"});
    run.manifestFiles = RunManifestFiles(run.request.workingDirectory);

    // The verified start: its keys are checked before any request.
    TrustedKeys trustedKeys;
    if (run.request.verified) {
        outcome = ParseTrustedKeys(run.request.trustedKeys, trustedKeys);
        if (!outcome.ok()) return outcome;
    }
    const std::optional<int64_t> installedVersion =
        run.request.verified ? ReadInstalledVersion(run.request.targetDirectory) : std::nullopt;
    outcome = InstallFromNetwork(run, run.request.verified ? &trustedKeys : nullptr, installedVersion);
    if (!outcome.ok()) return outcome;
    if (run.request.verified) RecordInstalledVersion(run.request.targetDirectory, run.manifest.version);

    DeleteManifestCopy(run);
    const int32_t count = static_cast<int32_t>(run.manifest.entries.size());
    ReportProgress(run.tracker, {.status = L"Completed", .itemIndex = count, .itemCount = count});
    Log(L"Online installation completed successfully");
    return Success();
}

Outcome FailRun(InstallRun& run, Outcome failure) {
    try {
        const std::wstring text = ResultText(failure);
        Log(L"ERROR: " + text);
        DeleteManifestCopy(run);
        ReportProgress(run.tracker, {.status = L"Error", .item = text});
    } catch (...) {
        // Out of memory while reporting: the result still reaches the host.
    }
    return failure;
}

// The host's strings with the directories and the log made absolute once, as the run
// starts: the checks, the lock, the files and the log then stay where they began.
InstallRequest WithAbsolutePaths(const InstallRequest& request) {
    InstallRequest absolute = request;
    absolute.targetDirectory = AbsolutePath(request.targetDirectory);
    absolute.logPath = AbsolutePath(request.logPath);
    absolute.workingDirectory = AbsolutePath(request.workingDirectory);
    return absolute;
}

}  // namespace

Outcome RunInstall(const InstallRequest& request, const CancelSignal& cancel) {
    InstallRequest absolute;
    try {
        absolute = WithAbsolutePaths(request);
        LogFilePath = absolute.logPath;
    } catch (...) {
        // Out of memory before the run has begun: nothing to log or delete.
        LogFilePath.clear();
        return Fail(FailureKind::Unknown, L"Unknown installation error");
    }
    InstallRun run{absolute, cancel};
    Outcome outcome;
    try {
        outcome = RunSteps(run);
        if (outcome.ok()) return outcome;
    } catch (...) {
        // Memory ran out somewhere: the run still ends with a result.
        outcome = Fail(FailureKind::Unknown, L"Unknown installation error");
    }
    return FailRun(run, std::move(outcome));
}

}  // namespace tolvek
