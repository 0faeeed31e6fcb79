#include "manifest.h"

#include "attempts.h"
#include "entry_rules.h"
#include "handles.h"
#include "http.h"
#include "install_paths.h"
#include "installed_version.h"
#include "log.h"
#include "signature.h"
#include "support.h"
#include "urls.h"
#include "utf8_text.h"

#include <algorithm>
#include <new>

namespace tolvek {

namespace {

const wchar_t kManifestFileName[] = L"tolvek_launcher_manifest.json";

// A manifest has no declared size; an endless body must not fill the disk.
constexpr int64_t kManifestCeiling = 134217728;  // 128 MiB

// A manifest that came but is not to be trusted: the same URL would bring it again.
bool IsDistrusted(FailureKind kind) {
    return kind == FailureKind::Untrusted || kind == FailureKind::Expired || kind == FailureKind::Older;
}

void LogFailure(const std::wstring& url, const std::wstring& error) {
    Log(L"Manifest download failed: " + url + L" ; error=" + error);
}

std::wstring DecodeUtf8(std::string_view bytes) {
    bytes = WithoutByteOrderMark(bytes);
    if (bytes.empty()) return std::wstring();
    const int byteCount = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), byteCount, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), byteCount, &text[0], length);
    return text;
}

// One window of a manifest, invalid sequences as U+FFFD; Utf8Text keeps a window
// within the int that the conversion counts in.
size_t DecodeWindow(const char* bytes, size_t count, wchar_t* units, size_t room) {
    return static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), units, static_cast<int>(room)));
}

// The attempts on the manifest URLs in list order.
struct ManifestAttempts {
    const RunContext& run;
    const std::vector<std::wstring>& urls;
    const std::wstring& manifestPath;
    const std::wstring& temporaryPath;
    const std::wstring& signaturePath;
    Manifest& manifest;
    const TrustedKeys* trustedKeys;  // null: the plain start verifies nothing
    std::optional<int64_t> installedVersion;  // what the verified start installed last
    const SizeCeiling ceiling{
        kManifestCeiling,
        L"Manifest too large (more than " + std::to_wstring(kManifestCeiling) + L" bytes)"};
    Outcome lastUntrusted = {};  // the last manifest that failed its signature, expiry or version

    size_t Targets() const { return urls.size(); }
    Outcome Attempt(size_t index, int attempt) {
        const std::wstring& url = urls[index];
        const int32_t number = static_cast<int32_t>(index + 1);
        const int32_t count = static_cast<int32_t>(urls.size());
        ReportProgress(run.progress, {.status = L"Downloading manifest", .item = url,
                                 .itemIndex = number, .itemCount = count});
        Log(L"Trying to download manifest [URL " + std::to_wstring(number) + L"/" +
            std::to_wstring(count) + L", attempt " + AttemptOfLimit(attempt) + L"]: " + url);
        DeleteFileIfExists(temporaryPath);
        DeleteFileIfExists(manifestPath);

        Outcome outcome = Download({url, temporaryPath, std::nullopt, &ceiling}, number, count);
        if (outcome.ok()) outcome = Read(url, number, count);
        if (outcome.ok()) outcome = MoveIntoPlace();
        if (outcome.ok()) {
            Log(L"Manifest downloaded successfully from: " + url);
            return outcome;
        }
        // A failed move says nothing about the manifest, and is not logged.
        if (outcome.kind != FailureKind::Move) LogFailure(url, outcome.text);
        DeleteFileIfExists(temporaryPath);
        return outcome;
    }

    FailureReach Reach(const Outcome& failure) const {
        // A full disk or a working directory that cannot hold the copy is not the
        // network's fault: no other attempt or URL.
        if (failure.kind == FailureKind::DiskWrite || failure.kind == FailureKind::CannotCreateFile)
            return FailureReach::Operation;
        // The same URL would bring the same document (trusted or not, or too large to
        // hold), or never crack.
        if (failure.kind == FailureKind::InvalidUrl || failure.kind == FailureKind::MissingFiles ||
            IsDistrusted(failure.kind) || failure.kind == FailureKind::TooLargeForMemory)
            return FailureReach::Target;
        return FailureReach::Attempt;
    }

    void LogRetry(const Outcome& failure, int attempt) const {
        if (failure.kind == FailureKind::Move) return;
        const wchar_t* after = failure.kind == FailureKind::Parse ? L"after parse failure" : L"after failure";
        Log(std::wstring(L"Retrying same manifest URL ") + after + L" (attempt " + AttemptOfLimit(attempt) + L")");
    }

    void Left(size_t, const Outcome& last) {
        if (IsDistrusted(last.kind)) lastUntrusted = last;
    }

    // The manifest's transfer and its signature file's, through the run's buffer;
    // a failed one's file is deleted by the attempt.
    Outcome Download(const Transfer& transfer, int32_t number, int32_t count) {
        const TransferReport report = [&](const wchar_t* status, int64_t done) {
            ReportProgress(run.progress, {.status = status, .item = transfer.url, .itemIndex = number,
                                          .itemCount = count, .fileBytesDone = done});
        };
        return DownloadToFile(run, transfer, report).outcome;
    }

    // A document that the process cannot hold (a 32-bit one runs out of address
    // space long before the ceiling) is that URL's failure: all it took is given
    // back as the exception passes, for the next URL.
    Outcome Read(const std::wstring& url, int32_t number, int32_t count) {
        try {
            return ReadAndParse(url, number, count);
        } catch (const std::bad_alloc&) {
            manifest = Manifest();
            return Fail(FailureKind::TooLargeForMemory, L"Manifest too large for memory: " + url);
        }
    }

    Outcome ReadAndParse(const std::wstring& url, int32_t number, int32_t count) {
        // Read once: what is verified is what is parsed.
        const std::string bytes = ReadFileBytes(temporaryPath);
        if (trustedKeys) {
            Outcome verified = Verify(url, number, count, bytes);
            if (!verified.ok()) return verified;
        }
        JsonDocument document;
        manifest = Manifest();
        Outcome parsed = ParseManifest(Utf8Text(bytes), document, manifest, &run.cancel.raised);
        if (parsed.kind == FailureKind::Parse && parsed.text.empty())
            parsed.text = L"Downloaded manifest is empty or invalid JSON";
        if (parsed.kind != FailureKind::MissingFiles && !parsed.ok()) return parsed;
        if (trustedKeys) {
            Outcome fresh = CheckFreshness(FindMember(document.root, L"expires"), UtcNowSeconds());
            if (!fresh.ok()) return fresh;
        }
        if (!parsed.ok()) return parsed;
        return CheckNotOlder(manifest.version, installedVersion);
    }

    // The signature file beside the manifest, over the manifest's bytes.
    Outcome Verify(const std::wstring& url, int32_t number, int32_t count, std::string_view bytes) {
        // Never shown: a signature file past it is malformed, so the manifest is not trusted.
        const SizeCeiling signatureCeiling{static_cast<int64_t>(kMaxSignatureFileBytes),
                                           L"Signature file too large"};
        DeleteFileIfExists(signaturePath);
        Outcome downloaded = Download({SignatureUrl(url), signaturePath, std::nullopt, &signatureCeiling}, number, count);
        const std::string file = downloaded.ok() ? ReadFileBytes(signaturePath) : std::string();
        DeleteFileIfExists(signaturePath);
        // Another attempt would bring the same oversized file.
        if (!downloaded.ok() && downloaded.kind != FailureKind::TooLarge)
            return SignatureDownloadFailure(std::move(downloaded));
        const size_t keyNumber = downloaded.ok() ? SigningKeyOf(*trustedKeys, file, bytes) : 0;
        if (keyNumber == 0) return Fail(FailureKind::Untrusted, kSignatureNotValid);
        Log(SignatureVerifiedLine(keyNumber, trustedKeys->keys.size()));
        return Success();
    }

    // Retried as any failed download; a failure that ends the run or a full disk keeps its own text.
    Outcome SignatureDownloadFailure(Outcome failure) const {
        if (!EndsTheRun(failure.kind) && Reach(failure) != FailureReach::Operation)
            failure.text = kSignatureDownloadFailed + failure.text;
        return failure;
    }

    Outcome MoveIntoPlace() const {
        DWORD code = 0;
        if (MovePlainFile(temporaryPath, manifestPath, code)) return Success();
        return Fail(FailureKind::Move, L"Cannot move manifest file: " + Win32ErrorText(code), code);
    }
};

}  // namespace

JsonText Utf8Text(std::string_view bytes) { return Utf8Text(bytes, DecodeWindow); }

std::wstring ReadUtf8FileAsWide(const std::wstring& path) { return DecodeUtf8(ReadFileBytes(path)); }

ManifestFiles RunManifestFiles(const std::wstring& workingDirectory) {
    const std::wstring copy = JoinPath(workingDirectory, kManifestFileName);
    const std::wstring ownPart = copy + L"." + UniqueNamePart();
    return {copy, TemporaryPath(ownPart), TemporaryPath(ownPart + L".sig")};
}

Outcome DownloadManifest(const RunContext& run, const std::wstring& manifestUrls, const ManifestFiles& files,
                         Manifest& manifest, const TrustedKeys* trustedKeys,
                         std::optional<int64_t> installedVersion) {
    const std::vector<std::wstring> urls = SplitString(manifestUrls, L'|');
    if (urls.empty()) return Fail(FailureKind::NoUrls, L"Manifest URL list is empty");
    ManifestAttempts attempts{run,      urls,        files.copy, files.temporary, files.signature,
                              manifest, trustedKeys, installedVersion};
    AttemptsEnd end = RunAttempts(attempts, run.cancel);
    if (!end.exhausted) return std::move(end.last);
    // A manifest came but was not trusted: the network worked.
    if (!attempts.lastUntrusted.ok()) return attempts.lastUntrusted;
    return Fail(FailureKind::ManifestUnreachable,
                L"Cannot download manifest from any URL (" + std::to_wstring(urls.size()) + L" tried, " +
                    std::to_wstring(kAttemptsPerTarget) + L" attempts each). Last error: " + end.last.text,
                end.last.platformCode, end.last.httpStatus);
}

}  // namespace tolvek
