#include "install.h"
#include "install_lock.h"

#include "cdn.h"
#include "failure.h"
#include "http.h"
#include "http_failover.h"
#include "install_paths.h"
#include "manifest.h"
#include "progress.h"
#include "run_buffer.h"
#include "signature.h"
#include "verify.h"

#include <chrono>
#include <stdexcept>
#include <vector>

namespace tolvek {

namespace {

// The run's one exception: its message becomes the host's result text.
class InstallError : public std::runtime_error {
public:
    explicit InstallError(std::wstring text)
        : std::runtime_error("install error"), message(std::move(text)) {}
    std::wstring message;
};

const wchar_t kManifestFileName[] = L"tolvek_launcher_manifest.json";
const wchar_t kUserAgent[] = L"TolvekLauncherOnlineInstaller/1.5.1";
const wchar_t kNetworkUnreachable[] = L"NETWORK_UNREACHABLE: ";
const wchar_t kEmptyTarget[] = L"Target directory is empty";
const wchar_t kEmptyWorkingDirectory[] = L"Working directory is empty";

// The working state of one run.
struct InstallRun {
    InstallRun(const InstallRequest& r, const CancelSignal& c) : request(r), cancel(c) {}

    const InstallRequest& request;
    const CancelSignal& cancel;
    int64_t completedBytes = 0;
    int64_t totalBytes = 1;
    ProgressTracker tracker{std::chrono::steady_clock::now(), completedBytes, totalBytes};
    std::wstring manifestPath;
    std::wstring errorText;  // the text of the last failure
    Manifest manifest;
};

// A stage's failure ends the run with its text.
void Require(InstallRun& run, Outcome outcome) {
    if (outcome.ok()) return;
    run.errorText = outcome.text;
    throw InstallError(std::move(outcome.text));
}

// Declared sizes come from the network: a sum past the 64-bit range stays at the limit.
int64_t SaturatingAdd(int64_t total, int64_t size) {
    if (size > 0 && total > INT64_MAX - size) return INT64_MAX;
    if (size < 0 && total < INT64_MIN - size) return INT64_MIN;
    return total + size;
}

void CountAsDone(InstallRun& run, const FileEntry& entry) {
    if (entry.hasSize) run.completedBytes = SaturatingAdd(run.completedBytes, entry.size);
}

void SumDeclaredSizes(InstallRun& run) {
    if (run.manifest.entries.empty()) throw InstallError(L"Manifest files list is empty");
    run.totalBytes = 0;
    for (const FileEntry& entry : run.manifest.entries)
        if (entry.hasSize) run.totalBytes = SaturatingAdd(run.totalBytes, entry.size);
    if (run.totalBytes <= 0) run.totalBytes = 1;
}

void LogSummary(const InstallRun& run) {
    Log(L"Manifest version: " + std::to_wstring(run.manifest.version));
    Log(L"Manifest version_string: " + run.manifest.versionString);
    Log(L"Files in manifest: " + std::to_wstring(run.manifest.entries.size()));
    Log(L"Total size: " + FormatBytes(run.totalBytes));
}

std::wstring WithTrailingSeparator(std::wstring path) {
    if (!path.empty() && !IsSeparator(path.back())) path += L'\\';
    return path;
}

// The log and the manifest copy with its temporary file: no entry may be written
// over them. Both exist by now, so they are known by their long names.
ClaimedPaths ClaimRunFiles(const InstallRun& run) {
    ClaimedPaths claimed;
    if (!LogFilePath.empty()) Claim(claimed, ResolvePath(LogFilePath).path);
    const std::wstring manifest = ResolvePath(run.manifestPath).path;
    Claim(claimed, manifest);
    Claim(claimed, TemporaryPath(manifest));
    return claimed;
}

// One entry's place in the stage: its number, its destination, and what the path
// rules and the count of the room needed found there before anything was requested.
struct EntryPlace {
    const FileEntry& entry;
    int32_t number;
    std::wstring destination;
    bool isProtected = false;
    int64_t present = -1;         // the size of the file at the destination
    int64_t held = kHeldUnknown;  // what its temporary file holds to continue
};

// What the file stage works with besides the run: the run's session and buffer, the
// mirror order (failover moves a mirror that keeps failing to its end), the paths
// claimed so far, the target as the file system sees it, and the entries the path
// rules admitted, up to the first key they refuse.
struct FileStage {
    InstallRun& run;
    HINTERNET session;
    RunBuffer& buffer;
    std::vector<std::wstring> mirrors = {};
    ClaimedPaths claimed = {};
    std::wstring resolvedTarget = {};
    int32_t count = 0;
    std::vector<EntryPlace> places = {};
    std::wstring refusal = {};  // why the entry after the last place is refused
};

void Skip(FileStage& stage, const EntryPlace& place, const std::wstring& line) {
    Log(line + place.entry.key);
    // Counted as done like an installed file, so a completed run reaches 1000 per mille.
    CountAsDone(stage.run, place.entry);
    ReportProgress(stage.run.tracker, {.status = L"Skipped", .item = place.entry.key,
                                       .itemIndex = place.number, .itemCount = stage.count});
}

void SkipProtected(FileStage& stage, const EntryPlace& place) {
    Skip(stage, place, L"Skipped protected installer artifact: ");
}

InstallError InvalidPath(const std::wstring& key) {
    return InstallError(kInvalidPathInManifest + key);
}

// The path rules in order; false when the entry is a protected file after all.
bool AdmitDestination(FileStage& stage, EntryPlace& place) {
    const std::wstring& key = place.entry.key;
    if (!IsSafeRelativePath(key)) throw InvalidPath(key);
    if (EscapesTargetDirectory(stage.resolvedTarget, key))
        throw InstallError(L"File path escapes target directory: " + key);

    const ResolvedPath resolved = ResolvePath(place.destination);
    // A short (8.3) name in the key reaches an existing file under its own name.
    if (resolved.exists && IsProtectedInstallerArtifact(resolved.path)) return false;
    // The platform reads a path only up to its first NUL: the rest of such a key
    // vanishes, and its temporary file would be the destination itself.
    if (key.find(L'\0') != std::wstring::npos) throw InvalidPath(key);
    // Keys that differ in case, trailing dots or "." components name one file; a
    // later one would overwrite the earlier, or its download delete it.
    if (!MayWriteDestination(stage.claimed, key, resolved)) throw InvalidPath(key);
    Claim(stage.claimed, resolved.path);
    place.present = resolved.size;
    return true;
}

// The path rules for every entry in list order, before anything is requested: only
// destinations they admit are looked at, and counted. The first key they refuse
// ends the list; the run ends there once the entries before it are in place.
void AdmitEntries(FileStage& stage) {
    int32_t number = 0;
    for (const FileEntry& entry : stage.run.manifest.entries) {
        // The directory as the host passed it; the key's separators unchanged.
        EntryPlace place{entry, ++number, JoinPath(stage.run.request.targetDirectory, entry.key)};
        try {
            place.isProtected = IsProtectedInstallerArtifact(entry.key) || !AdmitDestination(stage, place);
        } catch (InstallError& refused) {
            stage.refusal = std::move(refused.message);
            return;
        }
        stage.places.push_back(std::move(place));
    }
}

// The most the rest of the install adds to the target's volume at any moment:
// entry by entry in list order, a download adds its declared size less what its
// temporary file already holds, and the move gives back the old copy it replaces.
// A file present at its declared size, and an entry without a size, count nothing.
// Takes stock of the temporary files on the way, deleting those no download may continue.
int64_t RoomNeeded(std::vector<EntryPlace>& places) {
    int64_t added = 0, most = 0;
    for (EntryPlace& place : places) {
        const FileEntry& entry = place.entry;
        if (place.isProtected || (entry.hasSize && place.present == entry.size)) continue;
        place.held = UsableTemporary(entry, TemporaryPath(place.destination));
        if (!entry.hasSize || entry.size <= 0) continue;
        added = SaturatingAdd(added, entry.size - place.held);
        if (added > most) most = added;
        if (place.present > 0) added -= place.present;
    }
    return most;
}

// A target without room for the files is said before any of them is requested,
// rather than by a full disk half-way.
void RequireRoom(FileStage& stage) {
    const int64_t needed = RoomNeeded(stage.places);
    ULARGE_INTEGER available;
    if (needed <= 0 || !GetDiskFreeSpaceExW(stage.resolvedTarget.c_str(), &available, nullptr, nullptr))
        return;
    const int64_t free = available.QuadPart > INT64_MAX ? INT64_MAX : static_cast<int64_t>(available.QuadPart);
    if (needed > free)
        throw InstallError(L"Not enough disk space in the target directory: " + FormatBytes(needed) +
                           L" needed, " + FormatBytes(free) + L" available");
}

// A cancel abandons the install: the temporary files the run found go too.
void DeleteTemporaries(const FileStage& stage) {
    for (const EntryPlace& place : stage.places)
        if (place.held > 0) DeleteFileIfExists(TemporaryPath(place.destination));
}

// Downloads the entry, moves it over its destination and verifies it there.
void Download(FileStage& stage, const EntryPlace& place) {
    InstallRun& run = stage.run;
    const FileEntry& entry = place.entry;
    const int64_t reportedTotal = entry.hasSize && entry.size > 0 ? entry.size : 0;
    const TransferReport report = [&](const wchar_t* status, int64_t done) {
        ReportProgress(run.tracker, {.status = status, .item = entry.key, .itemIndex = place.number,
                                     .itemCount = stage.count, .fileBytesDone = done,
                                     .fileBytesTotal = reportedTotal});
    };
    const std::wstring temporary = TemporaryPath(place.destination);
    Require(run, DownloadFileWithFailover(
                     {stage.session, entry, temporary, stage.buffer, run.cancel, report, place.held,
                      run.manifest.urlEncoding},
                     stage.mirrors));
    if (!MoveFileExW(temporary.c_str(), place.destination.c_str(), kMoveFlags))
        throw InstallError(L"Cannot move downloaded file: " + Win32ErrorText(0));
    Require(run, VerifyFile(place.destination, entry, entry.key, stage.buffer, run.cancel));
}

void InstallEntry(FileStage& stage, const EntryPlace& place) {
    InstallRun& run = stage.run;
    const FileEntry& entry = place.entry;
    if (place.isProtected) return SkipProtected(stage, place);
    // A folder that cannot be made shows as the temporary file that cannot be created.
    DWORD unused = 0;
    if (!EnsureDirectoryExists(ParentDirectory(place.destination), run.cancel, unused) &&
        IsCancelled(run.cancel))
        throw InstallError(kCancelledByUser);
    Log(L"[" + std::to_wstring(place.number) + L"/" + std::to_wstring(stage.count) +
        L"] Processing key: " + entry.key);

    if (VerifyFile(place.destination, entry, entry.key, stage.buffer, run.cancel).ok())
        return Skip(stage, place, L"Already valid, skipped: ");
    // A check cut short by a cancel says nothing about the file: nothing is downloaded.
    if (IsCancelled(run.cancel)) throw InstallError(kCancelledByUser);

    Download(stage, place);
    CountAsDone(run, entry);
    ReportProgress(run.tracker, {.status = L"Installed", .item = entry.key,
                                 .itemIndex = place.number, .itemCount = stage.count});
    Log(L"Installed: " + entry.key);
}

// Entries that no mirror's bytes could install (an unusable size or hash, a name
// Windows cannot hold) end the run before the probe and before any file request.
// Protected files are skipped unread by the stage, whatever they declare.
void RefuseUnusableEntries(InstallRun& run, const std::wstring& resolvedTarget) {
    for (const FileEntry& entry : run.manifest.entries) {
        if (IsCancelled(run.cancel)) throw InstallError(kCancelledByUser);
        if (!IsProtectedInstallerArtifact(entry.key)) Require(run, CheckEntry(entry, resolvedTarget));
    }
}

void InstallAdmitted(FileStage& stage) {
    InstallRun& run = stage.run;
    RequireRoom(stage);
    Require(run, SelectCdns(stage.session, run.manifest.mirrors, run.manifest.entries, run.tracker,
                            run.cancel, stage.mirrors, run.manifest.urlEncoding));
    for (const EntryPlace& place : stage.places) {
        if (IsCancelled(run.cancel)) throw InstallError(kCancelledByUser);
        InstallEntry(stage, place);
    }
    if (stage.refusal.empty()) return;
    if (IsCancelled(run.cancel)) throw InstallError(kCancelledByUser);
    throw InstallError(stage.refusal);
}

// Installs, skips or rejects every entry in list order; every transfer and digest
// reads into the run's one buffer.
void InstallFiles(InstallRun& run, HINTERNET session, RunBuffer& buffer) {
    FileStage stage{run, session, buffer};
    stage.resolvedTarget = WithTrailingSeparator(FullPath(run.request.targetDirectory));
    RefuseUnusableEntries(run, stage.resolvedTarget);
    stage.claimed = ClaimRunFiles(run);
    stage.count = static_cast<int32_t>(run.manifest.entries.size());
    AdmitEntries(stage);
    try {
        InstallAdmitted(stage);
    } catch (...) {
        // A failed run keeps them for the next one to continue.
        if (IsCancelled(run.cancel)) DeleteTemporaries(stage);
        throw;
    }
}

void DeleteManifestCopy(const InstallRun& run) {
    if (run.manifestPath.empty()) return;
    DeleteFileIfExists(run.manifestPath);
    DeleteFileIfExists(TemporaryPath(run.manifestPath));
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
void PrepareDirectoriesAndLog(InstallRun& run) {
    const InstallRequest& request = run.request;
    const Outcome working = PrepareDirectory(request.workingDirectory, kEmptyWorkingDirectory, run.cancel);
    EnsureDirectoryExists(ParentDirectory(request.logPath));
    const Outcome target = PrepareDirectory(request.targetDirectory, kEmptyTarget, run.cancel);
    Log(L"Online installation started");
    Log(L"Manifest URLs: " + request.manifestUrls);
    Log(L"Target directory: " + request.targetDirectory);
    Require(run, working);
    Require(run, target);
}

// Steps from the directories to the run's success; any failure throws.
void RunSteps(InstallRun& run) {
    PrepareDirectoriesAndLog(run);
    // Held until this function is left; taken before the manifest copy has a path,
    // so a refused run deletes nothing of the run that holds it.
    const TargetDirectoryLock targetLock(run.request.targetDirectory);
    if (targetLock.busy()) throw InstallError(kTargetDirectoryBusy);
    ReportProgress(run.tracker, {.status = L"Preparing"});
    run.manifestPath = JoinPath(run.request.workingDirectory, kManifestFileName);

    // The verified start: its keys are checked before any request.
    TrustedKeys trustedKeys;
    if (run.request.verified) Require(run, ParseTrustedKeys(run.request.trustedKeys, trustedKeys));

    // Both released when this function is left, before any failure handler runs.
    const InternetHandle session = OpenHttpSession(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
    RunBuffer buffer;
    Outcome opened = CheckHttpSession(session.get());
    if (!opened.ok()) {
        opened.text = kNetworkUnreachable + opened.text;
        Require(run, std::move(opened));
    }

    Log(L"Downloading manifest with fallback...");
    Require(run, DownloadManifest(session.get(), run.request.manifestUrls, run.manifestPath,
                                  run.tracker, buffer, run.cancel, run.manifest,
                                  run.request.verified ? &trustedKeys : nullptr));

    SumDeclaredSizes(run);
    const int32_t count = static_cast<int32_t>(run.manifest.entries.size());
    ReportProgress(run.tracker, {.status = L"Preparing files", .itemCount = count});
    LogSummary(run);
    if (run.request.verified) Require(run, CheckEntriesVerifiable(run.manifest.entries));

    InstallFiles(run, session.get(), buffer);

    DeleteManifestCopy(run);
    ReportProgress(run.tracker,
                   {.status = L"Completed", .itemIndex = count, .itemCount = count});
    Log(L"Online installation completed successfully");
}

RunResult FailRun(InstallRun& run) {
    try {
        Log(L"ERROR: " + run.errorText);
        DeleteManifestCopy(run);
        ReportProgress(run.tracker, {.status = L"Error", .item = run.errorText});
    } catch (...) {
        // Out of memory while reporting: the result still reaches the host.
    }
    return {1, std::move(run.errorText)};
}

}  // namespace

RunResult RunInstall(const InstallRequest& request, const CancelSignal& cancel) {
    try {
        LogFilePath = request.logPath;
    } catch (...) {
        LogFilePath.clear();
    }
    InstallRun run(request, cancel);
    try {
        RunSteps(run);
        return {0, L"OK"};
    } catch (InstallError& error) {
        run.errorText.swap(error.message);
    } catch (...) {
        if (run.errorText.empty()) run.errorText = L"Unknown installation error";
    }
    return FailRun(run);
}

}  // namespace tolvek
