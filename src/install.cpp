#include "install.h"
#include "install_paths.h"

#include "cdn.h"
#include "http.h"
#include "manifest.h"
#include "progress.h"
#include "session.h"
#include "signature.h"
#include "support.h"
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
constexpr DWORD kSecureProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 |
                                   WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                                   WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // 2688
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// The working state of one run.
struct InstallRun {
    explicit InstallRun(InstallSession& s) : session(s) {}

    InstallSession& session;
    int64_t completedBytes = 0;
    int64_t totalBytes = 1;
    ProgressTracker tracker{std::chrono::steady_clock::now(), completedBytes, totalBytes};
    std::wstring manifestPath;
    std::wstring errorText;
    JsonDocument document;
    std::vector<FileEntry> entries;
};

// Declared sizes come from the network: a sum past the 64-bit range stays at the limit.
int64_t SaturatingAdd(int64_t total, int64_t size) {
    if (size > 0 && total > INT64_MAX - size) return INT64_MAX;
    if (size < 0 && total < INT64_MIN - size) return INT64_MIN;
    return total + size;
}

InternetHandle OpenHttpSession() {
    InternetHandle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (session) {
        DWORD protocols = kSecureProtocols;
        WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                         sizeof protocols);
    }
    return session;
}

void BuildEntries(InstallRun& run) {
    const JsonValue* files = FindMember(run.document.root, L"files");
    if (!files || files->kind != JsonKind::Object || files->count == 0)
        throw InstallError(L"Manifest files list is empty");

    run.entries.reserve(files->count);
    run.totalBytes = 0;
    for (const JsonMember& member : MembersOf(*files)) {
        FileEntry entry = ReadFileEntry(member.value);
        entry.key = StringOf(member.name);
        if (entry.hasSize) run.totalBytes = SaturatingAdd(run.totalBytes, entry.size);
        run.entries.push_back(std::move(entry));
    }
    if (run.totalBytes <= 0) run.totalBytes = 1;
}

void LogSummary(const InstallRun& run) {
    const int64_t version = TruncateToInt64(GetNumber(run.document.root, L"version", 0));
    Log(L"Manifest version: " + std::to_wstring(version));
    Log(L"Manifest version_string: " + GetString(run.document.root, L"version_string", L""));
    Log(L"Files in manifest: " + std::to_wstring(run.entries.size()));
    Log(L"Total size: " + FormatBytes(run.totalBytes));
}

std::wstring WithTrailingSeparator(std::wstring path) {
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
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

// Installs, skips or rejects every entry in list order; every transfer and digest
// reads into the run's one buffer.
void InstallFiles(InstallRun& run, HINTERNET sessionHandle, RunBuffer& buffer) {
    InstallSession& session = run.session;
    const std::atomic<bool>* cancelFlag = &session.cancelRequested;
    const std::wstring resolvedTarget = WithTrailingSeparator(FullPath(session.targetDirectory));
    ClaimedPaths claimed = ClaimRunFiles(run);

    // The run's mirror order: failover moves a mirror that keeps failing to its end.
    std::vector<std::wstring> mirrors = SelectCdns(
        sessionHandle, run.document.root, run.entries, run.tracker, cancelFlag, run.errorText);
    if (mirrors.empty()) throw InstallError(run.errorText);

    const int32_t count = static_cast<int32_t>(run.entries.size());
    int32_t number = 0;
    for (const FileEntry& entry : run.entries) {
        if (IsCancelled(cancelFlag)) throw InstallError(kCancelledByUser);
        ++number;
        const std::wstring& key = entry.key;
        auto skipProtected = [&] {
            Log(L"Skipped protected installer artifact: " + key);
            // Counted as done like a valid file, so a completed run reaches 1000 per mille.
            if (entry.hasSize) run.completedBytes = SaturatingAdd(run.completedBytes, entry.size);
            ReportProgress(run.tracker, L"Skipped", key, number, count, 0, 0);
        };
        if (IsProtectedInstallerArtifact(key)) {
            skipProtected();
            continue;
        }
        if (!IsSafeRelativePath(key)) throw InstallError(L"Invalid file path in manifest: " + key);
        if (EscapesTargetDirectory(resolvedTarget, key))
            throw InstallError(L"File path escapes target directory: " + key);

        // The directory as the host passed it; the key's separators unchanged.
        const std::wstring destination = JoinPath(session.targetDirectory, key);
        const ResolvedPath resolved = ResolvePath(destination);
        // A short (8.3) name in the key reaches an existing file under its own name.
        if (resolved.exists && IsProtectedInstallerArtifact(resolved.path)) {
            skipProtected();
            continue;
        }
        // The platform reads a path only up to its first NUL: the rest of such a key
        // vanishes, and its temporary file would be the destination itself.
        if (key.find(L'\0') != std::wstring::npos)
            throw InstallError(L"Invalid file path in manifest: " + key);
        // Keys that differ in case, trailing dots or "." components name one file; a
        // later one would overwrite the earlier, or its download delete it.
        if (!MayWriteDestination(claimed, key, resolved))
            throw InstallError(L"Invalid file path in manifest: " + key);
        Claim(claimed, resolved.path);
        EnsureDirectoryExists(ParentDirectory(destination));
        Log(L"[" + std::to_wstring(number) + L"/" + std::to_wstring(count) +
            L"] Processing key: " + key);

        std::wstring scratch;
        if (VerifyFile(destination, entry, key, buffer, &scratch)) {
            Log(L"Already valid, skipped: " + key);
            if (entry.hasSize) run.completedBytes = SaturatingAdd(run.completedBytes, entry.size);
            ReportProgress(run.tracker, L"Skipped", key, number, count, 0, 0);
            continue;
        }
        // A check cut short by a cancel says nothing about the file: nothing is downloaded.
        if (IsCancelled(cancelFlag)) throw InstallError(kCancelledByUser);

        const std::wstring temporary = TemporaryPath(destination);
        if (!DownloadFileWithFailover(sessionHandle, mirrors, key, temporary, entry, number, count,
                                      run.tracker, buffer, run.errorText))
            throw InstallError(run.errorText);
        if (!MoveFileExW(temporary.c_str(), destination.c_str(), kMoveFlags))
            throw InstallError(L"Cannot move downloaded file: " + Win32ErrorText(0));
        if (!VerifyFile(destination, entry, key, buffer, &run.errorText)) throw InstallError(run.errorText);

        if (entry.hasSize) run.completedBytes = SaturatingAdd(run.completedBytes, entry.size);
        ReportProgress(run.tracker, L"Installed", key, number, count, 0, 0);
        Log(L"Installed: " + key);
    }
}

void DeleteManifestCopy(const InstallRun& run) {
    if (run.manifestPath.empty()) return;
    DeleteFileIfExists(run.manifestPath);
    DeleteFileIfExists(TemporaryPath(run.manifestPath));
}

// Steps from the directories to the stored success; any failure throws.
void RunSteps(InstallRun& run) {
    const InstallSession& session = run.session;
    EnsureDirectoryExists(session.workingDirectory);
    EnsureDirectoryExists(ParentDirectory(session.logPath));
    EnsureDirectoryExists(session.targetDirectory);
    Log(L"Online installation started");
    Log(L"Manifest URLs: " + session.manifestUrls);
    Log(L"Target directory: " + session.targetDirectory);
    ReportProgress(run.tracker, L"Preparing", L"", 0, 0, 0, 0);
    run.manifestPath = JoinPath(session.workingDirectory, kManifestFileName);

    // The verified start: its keys are checked before any request.
    TrustedKeys trustedKeys;
    if (session.verified && !ParseTrustedKeys(session.trustedKeys, trustedKeys, run.errorText))
        throw InstallError(run.errorText);

    // Both released when this function is left, before any failure handler runs.
    const InternetHandle sessionHandle = OpenHttpSession();
    RunBuffer buffer(&session.cancelRequested);
    if (!CheckHttpSession(sessionHandle.get(), &run.errorText))
        throw InstallError(kNetworkUnreachable + run.errorText);

    Log(L"Downloading manifest with fallback...");
    if (!DownloadManifest(sessionHandle.get(), session.manifestUrls, run.manifestPath, run.tracker,
                          &session.cancelRequested, run.document, run.errorText,
                          session.verified ? &trustedKeys : nullptr))
        throw InstallError(run.errorText);

    BuildEntries(run);
    const int32_t count = static_cast<int32_t>(run.entries.size());
    ReportProgress(run.tracker, L"Preparing files", L"", 0, count, 0, 0);
    LogSummary(run);
    if (session.verified && !CheckEntriesVerifiable(run.entries, run.errorText))
        throw InstallError(run.errorText);

    InstallFiles(run, sessionHandle.get(), buffer);

    DeleteManifestCopy(run);
    ReportProgress(run.tracker, L"Completed", L"", count, count, 0, 0);
    Log(L"Online installation completed successfully");
    SetResult(0, L"OK");
}

void FailRun(InstallRun& run) {
    try {
        Log(L"ERROR: " + run.errorText);
        DeleteManifestCopy(run);
        ReportProgress(run.tracker, L"Error", run.errorText, 0, 0, 0, 0);
    } catch (...) {
        // Out of memory while reporting: the result below still reaches the host.
    }
    SetResult(1, run.errorText);
}

}  // namespace

void RunInstall(InstallSession& session) {
    try {
        LogFilePath = session.logPath;
    } catch (...) {
        LogFilePath.clear();
    }
    InstallRun run(session);
    try {
        RunSteps(run);
    } catch (InstallError& error) {
        run.errorText.swap(error.message);
        FailRun(run);
    } catch (...) {
        if (run.errorText.empty()) run.errorText = L"Unknown installation error";
        FailRun(run);
    }
}

}  // namespace tolvek
