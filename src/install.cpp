#include "install.h"

#include "cdn.h"
#include "entry_rules.h"
#include "file_transfer.h"
#include "http.h"
#include "install_lock.h"
#include "install_paths.h"
#include "log.h"
#include "manifest.h"
#include "mirrors.h"
#include "plan.h"
#include "progress.h"
#include "run_buffer.h"
#include "run_context.h"
#include "signature.h"
#include "support.h"
#include "verify.h"

#include <chrono>

namespace tolvek {

namespace {

const wchar_t kUserAgent[] = L"TolvekLauncherOnlineInstaller/1.5.1";
const wchar_t kEmptyTarget[] = L"Target directory is empty";
const wchar_t kEmptyWorkingDirectory[] = L"Working directory is empty";

// The working state of one run.
struct InstallRun {
    const InstallRequest& request;
    const CancelSignal& cancel;
    int64_t completedBytes = 0;
    int64_t totalBytes = 1;
    ProgressTracker tracker{std::chrono::steady_clock::now(), completedBytes, totalBytes};
    ManifestFiles manifestFiles = {};
    Manifest manifest = {};
};

void CountAsDone(InstallRun& run, const FileEntry& entry) {
    if (entry.size) run.completedBytes = SaturatingAdd(run.completedBytes, *entry.size);
}

void LogSummary(const InstallRun& run) {
    Log(L"Manifest version: " + std::to_wstring(run.manifest.version));
    Log(L"Manifest version_string: " + run.manifest.versionString);
    Log(L"Files in manifest: " + std::to_wstring(run.manifest.entries.size()));
    Log(L"Total size: " + FormatBytes(run.totalBytes));
}

// What the file stage works with besides the run: its context, the plan, and the
// mirror order (failover moves a mirror that keeps failing to its end).
struct FileStage {
    InstallRun& run;
    const RunContext& context;
    InstallPlan plan = {};
    MirrorOrder mirrors = {};
    int32_t count = 0;
};

void Report(const FileStage& stage, const FileJob& job, const wchar_t* status) {
    ReportProgress(stage.run.tracker, {.status = status, .item = job.entry->key, .itemIndex = job.number,
                                       .itemCount = stage.count});
}

void Skip(FileStage& stage, FileJob& job, const wchar_t* line) {
    Log(line + std::wstring(job.entry->key));
    Enter(job, JobEvent::Skipped, std::wstring());
    // Counted as done like an installed file, so a completed run reaches 1000 per mille.
    CountAsDone(stage.run, *job.entry);
    Report(stage, job, L"Skipped");
}

// Downloads the job's file, moves it over its destination and verifies it there.
Outcome Download(FileStage& stage, FileJob& job, const std::wstring& destination) {
    const FileEntry& entry = *job.entry;
    const int64_t reportedTotal = DeclaredSizeOrZero(entry);
    const TransferReport report = [&](const wchar_t* status, int64_t done) {
        ReportProgress(stage.run.tracker, {.status = status, .item = entry.key, .itemIndex = job.number,
                                           .itemCount = stage.count, .fileBytesDone = done,
                                           .fileBytesTotal = reportedTotal});
    };
    const std::wstring temporary = TemporaryPath(destination);
    Outcome outcome = TransferFile(stage.context, {job, temporary, report}, stage.mirrors);
    if (!outcome.ok()) return outcome;
    DWORD code = 0;
    if (!MovePlainFile(temporary, destination, code)) {
        Enter(job, JobEvent::MoveFailed, temporary);
        return Fail(FailureKind::Move, L"Cannot move downloaded file: " + Win32ErrorText(code), code);
    }
    Enter(job, JobEvent::MovedIntoPlace, temporary);
    outcome = VerifyFile(stage.context, destination, entry, entry.key);
    if (outcome.ok()) Enter(job, JobEvent::CheckedInPlace, temporary);
    return outcome;
}

// The folders of the job's file, none made and no file written where a link in the
// target leads out of it (one that stood where a folder was made too). A folder that
// cannot be made shows as the temporary file that cannot be created.
Outcome MakeFolders(const FileStage& stage, const FileJob& job, const std::wstring& destination) {
    bool folderExists = true;
    Outcome inside = RequireInsideTarget(stage.plan, job, &folderExists);
    if (!inside.ok() || folderExists) return inside;
    DWORD unused = 0;
    if (!EnsureDirectoryExists(ParentDirectory(destination), stage.run.cancel, unused) &&
        IsCancelled(stage.run.cancel))
        return Cancelled();
    return RequireInsideTarget(stage.plan, job);
}

Outcome InstallEntry(FileStage& stage, FileJob& job) {
    const FileEntry& entry = *job.entry;
    const CancelSignal& cancel = stage.run.cancel;
    if (job.isProtected) {
        Skip(stage, job, L"Skipped protected installer artifact: ");
        return Success();
    }
    const std::wstring destination = Destination(stage.plan, job);
    Outcome folders = MakeFolders(stage, job, destination);
    if (!folders.ok()) return folders;
    Log(L"[" + std::to_wstring(job.number) + L"/" + std::to_wstring(stage.count) +
        L"] Processing key: " + std::wstring(entry.key));

    if (VerifyFile(stage.context, destination, entry, entry.key).ok()) {
        Skip(stage, job, L"Already valid, skipped: ");
        return Success();
    }
    // A check cut short by a cancel says nothing about the file: nothing is downloaded.
    if (IsCancelled(cancel)) return Cancelled();

    Outcome downloaded = Download(stage, job, destination);
    if (!downloaded.ok()) return downloaded;
    CountAsDone(stage.run, entry);
    Report(stage, job, L"Installed");
    Log(L"Installed: " + std::wstring(entry.key));
    return Success();
}

Outcome InstallJobs(FileStage& stage) {
    std::vector<std::wstring> order;
    Outcome selected = SelectCdns(stage.context, stage.run.manifest.mirrors, stage.plan.probePath, stage.count, order);
    if (!selected.ok()) return selected;
    stage.mirrors = MakeMirrorOrder(std::move(order));
    for (FileJob& job : stage.plan.jobs) {
        if (IsCancelled(stage.run.cancel)) return Cancelled();
        Outcome installed = InstallEntry(stage, job);
        if (!installed.ok()) return installed;
    }
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

// Everything from the session to the last file, on the run's one session and buffer.
Outcome InstallFromNetwork(InstallRun& run, const TrustedKeys* trustedKeys) {
    // Both released when this function is left, before the failure is reported.
    const InternetHandle session = OpenHttpSession(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    RunBuffer buffer;
    const RunContext context{session.get(), buffer, run.cancel, run.tracker};
    Outcome outcome = CheckHttpSession(session.get());
    if (!outcome.ok()) return outcome;

    Log(L"Downloading manifest with fallback...");
    outcome = DownloadManifest(context, run.request.manifestUrls, run.manifestFiles, run.manifest, trustedKeys);
    if (!outcome.ok()) return outcome;
    if (run.manifest.entries.empty()) return Fail(FailureKind::NoFiles, L"Manifest files list is empty");

    // One pass over the entries; what it refuses is said after the summary.
    FileStage stage{run, context};
    stage.count = static_cast<int32_t>(run.manifest.entries.size());
    const InstallRequest& request = run.request;
    Outcome planned = MakePlan({run.manifest, request.targetDirectory, request.logPath, run.manifestFiles.copy,
                                run.manifestFiles.temporary, trustedKeys != nullptr, request.followLinks},
                               run.cancel, stage.plan);
    run.totalBytes = stage.plan.totalBytes > 0 ? stage.plan.totalBytes : 1;
    ReportProgress(run.tracker, {.status = L"Preparing files", .itemCount = stage.count});
    LogSummary(run);
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
    outcome = InstallFromNetwork(run, run.request.verified ? &trustedKeys : nullptr);
    if (!outcome.ok()) return outcome;

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
