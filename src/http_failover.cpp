// File download with mirror failover, and the file URLs it requests.
#include "http.h"

#include "manifest.h"
#include "support.h"
#include "verify.h"

#include <algorithm>
#include <cwchar>

namespace tolvek {

namespace {

const wchar_t kAllMirrorsFailed[] = L"NETWORK_UNREACHABLE: All CDN mirrors failed for ";
const wchar_t kMovedToEnd[] = L"CDN moved to the end of the order after failing every attempt: ";

enum class Outcome { Verified, DownloadFailed, ValidationFailed };

// The texts after which another attempt on the same mirror cannot help.
bool EndsAttemptsOnMirror(const std::wstring& failure) {
    return Contains(failure, kCancelledByUser) || Contains(failure, kInvalidUrl) ||
           Contains(failure, kSha256Mismatch);
}

bool IsUnreserved(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'.' || c == L'_' || c == L'~';
}

void AppendEscape(std::wstring& encoded, unsigned byte) {
    wchar_t escape[4] = {};
    swprintf(escape, 4, L"%%%02X", byte);
    encoded += escape;
}

// The code point at `i`, advancing `i` past a surrogate pair. An unpaired
// surrogate (refused as a file path, but a probe may still name it) reads as
// U+FFFD, as the platform's own conversion reads it.
uint32_t CodePointAt(const std::wstring& text, size_t& i) {
    const wchar_t c = text[i];
    if (i + 1 < text.size() && IS_SURROGATE_PAIR(c, text[i + 1])) {
        ++i;
        return 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (text[i] - 0xDC00);
    }
    if (IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c)) return 0xFFFD;
    return c;
}

std::vector<unsigned> Utf8Bytes(uint32_t codePoint) {
    if (codePoint < 0x80) return {codePoint};
    if (codePoint < 0x800) return {0xC0 | (codePoint >> 6), 0x80 | (codePoint & 0x3F)};
    if (codePoint < 0x10000)
        return {0xE0 | (codePoint >> 12), 0x80 | ((codePoint >> 6) & 0x3F), 0x80 | (codePoint & 0x3F)};
    return {0xF0 | (codePoint >> 18), 0x80 | ((codePoint >> 12) & 0x3F), 0x80 | ((codePoint >> 6) & 0x3F),
            0x80 | (codePoint & 0x3F)};
}

// What one mirror is asked for, and how it is named in the log.
struct MirrorTry {
    const std::wstring& baseUrl;
    std::wstring url;
    std::wstring position;  // "i/n"
};

struct FileRequest {
    HINTERNET session;
    const std::wstring& manifestPath;
    const std::wstring& temporaryPath;
    const FileEntry& entry;
    int32_t fileNumber;
    int32_t fileCount;
    const ProgressTracker& tracker;
    const std::atomic<bool>* cancelFlag;
    RunBuffer& buffer;
};

// One download into the temporary file and, when it arrived, its verification.
Outcome RunAttempt(const FileRequest& file, const MirrorTry& mirror, int attempt,
                   std::wstring& failure) {
    DeleteFileIfExists(file.temporaryPath);
    Log(L"Downloading [CDN " + mirror.position + L", attempt " + AttemptOfLimit(attempt) + L"]: " +
        mirror.url);
    const int64_t expectedSize = file.entry.hasSize ? file.entry.size : 0;
    failure.clear();
    if (!DownloadToFile(file.session, mirror.url, file.temporaryPath, file.tracker, file.manifestPath,
                        file.fileNumber, file.fileCount, expectedSize, file.buffer, &failure))
        return Outcome::DownloadFailed;
    if (!VerifyFile(file.temporaryPath, file.entry, file.manifestPath, file.buffer, &failure))
        return Outcome::ValidationFailed;
    return Outcome::Verified;
}

void LogRetry(Outcome outcome, int attempt, const std::wstring& baseUrl) {
    const wchar_t* kind = outcome == Outcome::DownloadFailed ? L"download" : L"validation";
    Log(std::wstring(L"Retrying same CDN after ") + kind + L" failure (attempt " +
        AttemptOfLimit(attempt) + L"): " + baseUrl);
}

// A failure of the mirror itself rather than of the file asked for: no HTTP status
// at all (refused, reset, TLS, time-out) or a server error.
bool IsMirrorFailure(Outcome outcome, const std::wstring& failure) {
    if (outcome != Outcome::DownloadFailed) return false;
    if (failure.rfind(kHttpRequestFailed, 0) == 0) return true;
    if (failure.rfind(kHttpStatus, 0) != 0) return false;
    return std::wcstoul(failure.c_str() + kHttpStatus.size(), nullptr, 10) >= 500;
}

// Verified; ended (cancelled, or the disk refused a write); left after failures of its own (a later file may be there);
// or left after every attempt failed as a mirror failure.
enum class MirrorResult { Verified, Ended, Left, Failed };

// Up to three attempts on one mirror; `lastFailure` keeps the latest failure text.
MirrorResult TryMirror(const FileRequest& file, const MirrorTry& mirror, std::wstring& lastFailure,
                       std::wstring& errorText) {
    bool everyAttemptMirrorFailure = true;
    for (int attempt = 1; attempt <= kAttemptsPerTarget; ++attempt) {
        if (IsCancelled(file.cancelFlag)) {
            errorText = kCancelledByUser;
            return MirrorResult::Ended;
        }
        std::wstring failure;
        const Outcome outcome = RunAttempt(file, mirror, attempt, failure);
        if (outcome == Outcome::Verified) return MirrorResult::Verified;

        lastFailure = failure;
        everyAttemptMirrorFailure = everyAttemptMirrorFailure && IsMirrorFailure(outcome, failure);
        Log(L"Download failed from CDN: " + mirror.baseUrl + L" ; file=" + file.manifestPath +
            L" ; error=" + lastFailure);
        DeleteFileIfExists(file.temporaryPath);
        // A cancelled transfer or a refused write ends the whole download (a full
        // disk is no mirror's fault); a verification that merely mentions the
        // text only ends this mirror.
        if (outcome == Outcome::DownloadFailed && EndsWholeDownload(failure)) {
            errorText = failure;
            return MirrorResult::Ended;
        }
        if (attempt == kAttemptsPerTarget)
            return everyAttemptMirrorFailure ? MirrorResult::Failed : MirrorResult::Left;
        if (EndsAttemptsOnMirror(lastFailure)) return MirrorResult::Left;
        LogRetry(outcome, attempt, mirror.baseUrl);
        PauseBeforeRetry(file.cancelFlag);
    }
    return MirrorResult::Left;
}

// Moves the mirrors that failed every attempt on this file to the end of the run's
// order, in the order they failed; the others keep theirs.
void MoveFailedToEnd(std::vector<std::wstring>& mirrors, const std::vector<size_t>& failed) {
    if (failed.empty()) return;
    std::vector<std::wstring> reordered;
    reordered.reserve(mirrors.size());
    for (size_t i = 0; i < mirrors.size(); ++i)
        if (std::find(failed.begin(), failed.end(), i) == failed.end())
            reordered.push_back(std::move(mirrors[i]));
    for (size_t i : failed) reordered.push_back(std::move(mirrors[i]));
    mirrors.swap(reordered);
}

// The mirrors in the run's order as this file starts; true when one delivered.
bool TryMirrorsInOrder(const FileRequest& file, const std::vector<std::wstring>& mirrors,
                       std::vector<size_t>& failed, std::wstring& errorText) {
    const std::wstring count = std::to_wstring(mirrors.size());
    std::wstring lastFailure;
    for (size_t i = 0; i < mirrors.size(); ++i) {
        if (IsCancelled(file.cancelFlag)) {
            errorText = kCancelledByUser;
            return false;
        }
        const MirrorTry mirror{mirrors[i], BuildFileUrl(mirrors[i], file.manifestPath),
                               std::to_wstring(i + 1) + L"/" + count};
        switch (TryMirror(file, mirror, lastFailure, errorText)) {
            case MirrorResult::Verified: return true;
            case MirrorResult::Ended: return false;
            case MirrorResult::Failed:
                Log(kMovedToEnd + mirrors[i]);
                failed.push_back(i);
                break;
            case MirrorResult::Left: break;
        }
    }
    // The check before the next mirror, for the last one: a cancel that cut its
    // verification short ends the download as a cancel, not as a mirror failure.
    if (IsCancelled(file.cancelFlag)) {
        errorText = kCancelledByUser;
        return false;
    }
    errorText = kAllMirrorsFailed + file.manifestPath + L" (" + count + L" tried, " +
                std::to_wstring(kAttemptsPerTarget) + L" attempts each). Last error: " + lastFailure;
    return false;
}

}  // namespace

bool DownloadFileWithFailover(HINTERNET session, std::vector<std::wstring>& mirrors,
                              const std::wstring& manifestPath, const std::wstring& temporaryPath,
                              const FileEntry& entry, int32_t fileNumber, int32_t fileCount,
                              const ProgressTracker& tracker, RunBuffer& buffer,
                              std::wstring& errorText) {
    const FileRequest file{session,   manifestPath, temporaryPath,     entry, fileNumber,
                           fileCount, tracker,      buffer.cancelFlag, buffer};
    // A mirror that keeps failing would cost every later file all its attempts
    // (a dead mirror: three time-outs per file); it is tried last from the next file on.
    std::vector<size_t> failed;
    const bool delivered = TryMirrorsInOrder(file, mirrors, failed, errorText);
    MoveFailedToEnd(mirrors, failed);
    return delivered;
}

std::wstring PercentEncodeSegment(const std::wstring& segment) {
    std::wstring encoded;
    for (size_t i = 0; i < segment.size(); ++i) {
        const wchar_t c = segment[i];
        if (IsUnreserved(c)) {
            encoded += c;
        } else if (c <= 0xFF) {
            // One escape of the unit itself: mirrors rely on %E9 for U+00E9.
            AppendEscape(encoded, static_cast<unsigned>(c));
        } else {
            for (const unsigned byte : Utf8Bytes(CodePointAt(segment, i))) AppendEscape(encoded, byte);
        }
    }
    return encoded;
}

std::wstring BuildFileUrl(const std::wstring& baseUrl, const std::wstring& manifestPath) {
    std::wstring path;
    for (const std::wstring& piece : SplitString(ToForwardSlashes(manifestPath), L'/')) {
        if (!path.empty()) path += L'/';
        path += PercentEncodeSegment(piece);
    }
    std::wstring base = baseUrl;
    while (!base.empty() && (base.back() == L'/' || base.back() == L'\\')) base.pop_back();
    return base + L"/" + path;
}

}  // namespace tolvek
