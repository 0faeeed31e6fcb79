#include "manifest.h"

#include "handles.h"
#include "http.h"
#include "signature.h"
#include "support.h"

namespace tolvek {

namespace {

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
// A manifest has no declared size; an endless body must not fill the disk.
constexpr int64_t kManifestCeiling = 134217728;  // 128 MiB

// How one attempt on a manifest URL ended; Continue: a check passed, the attempt goes on.
enum class Attempt { Succeeded, Retry, NextUrl, Stop, Continue };

struct ManifestRetrieval {
    HINTERNET session;
    const ProgressTracker& tracker;
    const std::atomic<bool>* cancelFlag;
    const std::wstring& manifestPath;
    std::wstring temporaryPath;
    JsonDocument& document;
    std::wstring& errorText;
    std::wstring lastError;
    const TrustedKeys* trustedKeys;  // null: the plain start verifies nothing
    std::wstring lastUntrusted;      // the last manifest that failed its signature or expiry
};

void LogFailure(const std::wstring& url, const std::wstring& error) {
    Log(L"Manifest download failed: " + url + L" ; error=" + error);
}

// A transfer of the attempt failed (the manifest's or its signature's); `failure` is
// what the failure line and the final message say about it.
Attempt AfterFailedTransfer(ManifestRetrieval& r, const std::wstring& url, int attempt,
                            const std::wstring& transferError, const std::wstring& failure) {
    r.lastError = failure;
    LogFailure(url, r.lastError);
    DeleteFileIfExists(r.temporaryPath);
    // A full disk is not the network's fault: no other attempt or URL.
    if (EndsWholeDownload(transferError)) {
        r.errorText = transferError;
        return Attempt::Stop;
    }
    if (attempt == kAttemptsPerTarget || Contains(r.lastError, kInvalidUrl) ||
        Contains(r.lastError, kSha256Mismatch))
        return Attempt::NextUrl;
    Log(L"Retrying same manifest URL after failure (attempt " + AttemptOfLimit(attempt) + L")");
    return Attempt::Retry;
}

std::wstring DecodeUtf8(const std::string& bytes) {
    size_t start = 0;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    if (bytes.size() == start) return std::wstring();
    const int byteCount = static_cast<int>(bytes.size() - start);
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, byteCount, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, byteCount, &text[0], length);
    return text;
}

// ---- the publisher's signature, under the verified start only ----

// Another attempt on this URL would bring the same bytes.
Attempt Untrusted(ManifestRetrieval& r, const std::wstring& url, const std::wstring& failure) {
    r.lastError = r.lastUntrusted = failure;
    LogFailure(url, r.lastError);
    DeleteFileIfExists(r.temporaryPath);
    return Attempt::NextUrl;
}

// The signature over exactly the bytes that are then parsed.
Attempt CheckSignature(ManifestRetrieval& r, const std::wstring& url, int number, int count, int attempt,
                       const std::string& bytes) {
    const SignatureCheck check = CheckManifestSignature(r.session, url, r.manifestPath, r.tracker, number, count,
                                                        r.cancelFlag, *r.trustedKeys, bytes);
    if (!check.downloadError.empty())
        return AfterFailedTransfer(r, url, attempt, check.downloadError,
                                   kSignatureDownloadFailed + check.downloadError);
    if (check.keyNumber == 0) return Untrusted(r, url, kSignatureNotValid);
    Log(SignatureVerifiedLine(check.keyNumber, r.trustedKeys->keys.size()));
    return Attempt::Continue;
}

Attempt CheckExpiry(ManifestRetrieval& r, const std::wstring& url) {
    std::wstring failure;
    if (CheckFreshness(r.document.root, UtcNowSeconds(), failure)) return Attempt::Continue;
    return Untrusted(r, url, failure);
}

// ---- end of the publisher's signature ----

Attempt TryOnce(ManifestRetrieval& r, const std::wstring& url, int number, int count, int attempt) {
    ReportProgress(r.tracker, L"Downloading manifest", url, number, count, 0, 0);
    Log(L"Trying to download manifest [URL " + std::to_wstring(number) + L"/" +
        std::to_wstring(count) + L", attempt " + AttemptOfLimit(attempt) + L"]: " + url);
    DeleteFileIfExists(r.temporaryPath);
    DeleteFileIfExists(r.manifestPath);

    const SizeCeiling ceiling{
        kManifestCeiling,
        L"Manifest too large (more than " + std::to_wstring(kManifestCeiling) + L" bytes)"};
    std::wstring downloadError;
    if (!DownloadToFile(r.session, url, r.temporaryPath, r.tracker, url, number, count, 0,
                        r.cancelFlag, &downloadError, &ceiling))
        return AfterFailedTransfer(r, url, attempt, downloadError, downloadError);

    // Read once: what is verified is what is parsed.
    std::wstring text;
    {
        const std::string bytes = ReadFileBytes(r.temporaryPath);
        if (r.trustedKeys) {
            const Attempt verdict = CheckSignature(r, url, number, count, attempt, bytes);
            if (verdict != Attempt::Continue) return verdict;
        }
        text = DecodeUtf8(bytes);
    }
    std::wstring parseError;
    if (!ParseJson(text, r.document, parseError, r.cancelFlag)) {
        r.lastError = parseError.empty() ? L"Downloaded manifest is empty or invalid JSON" : parseError;
        LogFailure(url, r.lastError);
        DeleteFileIfExists(r.temporaryPath);
        if (parseError == kCancelledByUser) {
            r.errorText = parseError;
            return Attempt::Stop;
        }
        if (attempt == kAttemptsPerTarget) return Attempt::NextUrl;
        Log(L"Retrying same manifest URL after parse failure (attempt " + AttemptOfLimit(attempt) + L")");
        return Attempt::Retry;
    }

    if (r.trustedKeys) {
        const Attempt verdict = CheckExpiry(r, url);
        if (verdict != Attempt::Continue) return verdict;
    }
    const JsonValue* files = FindMember(r.document.root, L"files");
    if (!files || files->kind != JsonKind::Object) {
        r.lastError = L"Manifest does not contain files object";
        LogFailure(url, r.lastError);
        DeleteFileIfExists(r.temporaryPath);
        return Attempt::NextUrl;
    }

    if (!MoveFileExW(r.temporaryPath.c_str(), r.manifestPath.c_str(), kMoveFlags)) {
        r.lastError = L"Cannot move manifest file: " + Win32ErrorText(0);
        DeleteFileIfExists(r.temporaryPath);
        return attempt == kAttemptsPerTarget ? Attempt::NextUrl : Attempt::Retry;
    }
    Log(L"Manifest downloaded successfully from: " + url);
    return Attempt::Succeeded;
}

}  // namespace

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> pieces;
    std::wstring piece;
    for (wchar_t c : text) {
        if (c != separator) {
            piece += c;
        } else if (!piece.empty()) {
            pieces.push_back(std::move(piece));
            piece.clear();
        }
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
    return pieces;
}

std::wstring ReadUtf8FileAsWide(const std::wstring& path) { return DecodeUtf8(ReadFileBytes(path)); }

bool DownloadManifest(HINTERNET session, const std::wstring& manifestUrls,
                      const std::wstring& manifestPath, const ProgressTracker& tracker,
                      const std::atomic<bool>* cancelFlag, JsonDocument& document,
                      std::wstring& errorText, const TrustedKeys* trustedKeys) {
    const std::vector<std::wstring> urls = SplitString(manifestUrls, L'|');
    if (urls.empty()) {
        errorText = L"NETWORK_UNREACHABLE: Manifest URL list is empty";
        return false;
    }
    ManifestRetrieval r{session,  tracker,   cancelFlag, manifestPath, TemporaryPath(manifestPath),
                        document, errorText, L"",        trustedKeys,  L""};
    const int count = static_cast<int>(urls.size());
    for (int number = 1; number <= count; ++number) {
        const std::wstring& url = urls[number - 1];
        for (int attempt = 1; attempt <= kAttemptsPerTarget; ++attempt) {
            if (IsCancelled(cancelFlag)) {
                errorText = kCancelledByUser;
                return false;
            }
            const Attempt outcome = TryOnce(r, url, number, count, attempt);
            if (outcome == Attempt::Succeeded) return true;
            if (outcome == Attempt::Stop) return false;
            if (outcome == Attempt::NextUrl) break;
            PauseBeforeRetry(cancelFlag);
        }
    }
    errorText = L"NETWORK_UNREACHABLE: Cannot download manifest from any URL (" +
                std::to_wstring(count) + L" tried, " + std::to_wstring(kAttemptsPerTarget) +
                L" attempts each). Last error: " + r.lastError;
    // A manifest came but was not trusted: the network worked.
    if (!r.lastUntrusted.empty()) errorText = r.lastUntrusted;
    return false;
}

}  // namespace tolvek
