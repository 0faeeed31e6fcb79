// File download with mirror failover, and the file URLs it requests.
#include "http_failover.h"

#include "attempts.h"
#include "support.h"
#include "verify.h"

#include <algorithm>
#include <cwchar>

namespace tolvek {

namespace {

const wchar_t kAllMirrorsFailed[] = L"NETWORK_UNREACHABLE: All CDN mirrors failed for ";
const wchar_t kMovedToEnd[] = L"CDN moved to the end of the order after failing every attempt: ";

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

// The attempts on the mirrors for one file, in the run's order as the file starts.
// A resumable file's temporary file carries over from one attempt to the next.
struct MirrorAttempts {
    const FileDownload& file;
    const std::vector<std::wstring>& mirrors;
    const bool resumable = IsResumable(file.entry);
    int64_t held = 0;            // bytes of the temporary file the next transfer continues
    std::vector<size_t> failed = {};  // mirrors that failed every attempt by a fault of their own
    size_t current = 0;          // the mirror being tried
    std::wstring url = {};       // its file URL, built once per mirror
    bool verifying = false;      // the last failure came from the verification
    bool onlyMirrorFailures = true;
    Outcome lastError = {};      // what the final text names: the most telling failure

    // What the temporary file holds as the download starts.
    void TakeStock() {
        if (!resumable) return;
        held = file.held != kHeldUnknown ? file.held : UsableTemporary(file.entry, file.temporaryPath);
    }

    // A temporary file as long as the declared size (a download that ended just
    // before its move) is checked before anything is requested; false when it fails
    // the check and is deleted.
    bool WholeFileHeld(Outcome& outcome) {
        if (!resumable || held != file.entry.size) return false;
        file.report(L"Verifying", held);
        outcome = VerifyFile(file.temporaryPath, file.entry, file.entry.key, file.buffer, file.cancel);
        if (outcome.ok() || outcome.kind == FailureKind::Cancelled) return true;
        Restart();
        return false;
    }

    Outcome Attempt(size_t mirror, int attempt) {
        if (attempt == 1) {
            current = mirror;
            url = BuildFileUrl(mirrors[mirror], file.entry.key, file.urlEncoding);
            onlyMirrorFailures = true;
        }
        if (!resumable) DeleteFileIfExists(file.temporaryPath);
        const std::wstring line = L"Downloading [CDN " + std::to_wstring(mirror + 1) + L"/" +
                                  std::to_wstring(mirrors.size()) + L", attempt " + AttemptOfLimit(attempt) +
                                  L"]: " + url;
        bool appended = false;
        Outcome outcome = Fetch(line, appended);
        // The digest decides: continued bytes that fail the check may be an older
        // version's, so the same mirror sends the whole file once more, within this attempt.
        if (appended && verifying && !outcome.ok() && outcome.kind != FailureKind::Cancelled) {
            LogFailure(outcome);
            Restart();
            outcome = Fetch(line, appended);
        }
        if (outcome.ok()) return outcome;

        onlyMirrorFailures = onlyMirrorFailures && IsMirrorFailure(outcome);
        LogFailure(outcome);
        KeepPrefixOrRestart();
        return outcome;
    }

    // One transfer into the temporary file, continuing what it holds, and the check
    // of the copy. `appended`: the body went after bytes held from before.
    Outcome Fetch(const std::wstring& line, bool& appended) {
        Log(line);
        if (held > 0) Log(L"Resuming download at " + std::to_wstring(held) + L" bytes: " + url);
        std::optional<int64_t> expectedSize;
        if (file.entry.hasSize) expectedSize = file.entry.size;
        int64_t from = 0;
        Outcome outcome = DownloadToFile(file.session, {url, file.temporaryPath, expectedSize, nullptr, held,
                                                        resumable, &from},
                                         file.buffer, file.cancel, file.report);
        appended = from > 0;
        verifying = outcome.ok();
        if (verifying)
            outcome = VerifyFile(file.temporaryPath, file.entry, file.entry.key, file.buffer, file.cancel);
        return outcome;
    }

    // Every failure line; the final text names the most telling of them.
    void LogFailure(const Outcome& failure) {
        if (IsAnswer(failure) || !IsAnswer(lastError)) lastError = failure;
        Log(L"Download failed from CDN: " + mirrors[current] + L" ; file=" + file.entry.key + L" ; error=" +
            failure.text);
    }

    void Restart() {
        DeleteFileIfExists(file.temporaryPath);
        held = 0;
    }

    // After a failed attempt only a prefix stays: bytes that failed the check, and
    // a file that reached the declared size, go.
    void KeepPrefixOrRestart() {
        int64_t size = 0;
        if (resumable && !verifying && QueryExistingFile(file.temporaryPath, size) && size > 0 &&
            size < file.entry.size) {
            held = size;
            return;
        }
        Restart();
    }

    FailureReach Reach(const Outcome& failure) const {
        // A full disk or a file that cannot be created is no mirror's fault, and no
        // other mirror can help.
        if (failure.kind == FailureKind::DiskWrite || failure.kind == FailureKind::CannotCreateFile)
            return FailureReach::Operation;
        if (failure.kind == FailureKind::InvalidUrl || failure.kind == FailureKind::DigestMismatch)
            return FailureReach::Target;
        return FailureReach::Attempt;
    }

    void LogRetry(const Outcome&, int attempt) const {
        const wchar_t* kind = verifying ? L"validation" : L"download";
        Log(std::wstring(L"Retrying same CDN after ") + kind + L" failure (attempt " +
            AttemptOfLimit(attempt) + L"): " + mirrors[current]);
    }

    void Left(size_t mirror, const Outcome&) {
        if (!onlyMirrorFailures) return;
        Log(kMovedToEnd + mirrors[mirror]);
        failed.push_back(mirror);
    }

    // A mirror that answered (a status, bytes other than the manifest's) or a URL that
    // is none tells a publishing mistake from the network: the final text names the
    // last such failure rather than a later mirror's refusal or silence.
    static bool IsAnswer(const Outcome& failure) {
        switch (failure.kind) {
            case FailureKind::HttpStatus:
            case FailureKind::SizeMismatch:
            case FailureKind::TooLarge:
            case FailureKind::RangeMismatch:
            case FailureKind::DigestMismatch:
            case FailureKind::InvalidUrl: return true;
            default: return false;
        }
    }

    // A failure of the mirror itself rather than of the file asked for: no HTTP
    // status at all (refused, reset, TLS, time-out), a server error, a body that stalls,
    // breaks off or ends short of its own length, or other bytes than the manifest's
    // (a stale copy). A 4xx or a size against the manifest may be the file's own.
    static bool IsMirrorFailure(const Outcome& failure) {
        switch (failure.kind) {
            case FailureKind::NoHttpStatus:
            case FailureKind::BodyRead:
            case FailureKind::IncompleteBody:
            case FailureKind::DigestMismatch: return true;
            case FailureKind::HttpStatus: return failure.httpStatus >= 500;
            default: return false;
        }
    }
};

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

}  // namespace

bool IsResumable(const FileEntry& entry) { return entry.hasSize && entry.size >= 1 && entry.hasHash; }

int64_t UsableTemporary(const FileEntry& entry, const std::wstring& temporaryPath) {
    int64_t size = 0;
    if (!QueryExistingFile(temporaryPath, size)) return 0;
    if (IsResumable(entry) && size <= entry.size) return size;
    DeleteFileW(temporaryPath.c_str());
    return 0;
}

Outcome DownloadFileWithFailover(const FileDownload& file, std::vector<std::wstring>& mirrors) {
    MirrorAttempts attempts{file, mirrors};
    attempts.TakeStock();
    Outcome outcome;
    if (!attempts.WholeFileHeld(outcome)) {
        // A mirror that keeps failing would cost every later file all its attempts
        // (a dead mirror: three time-outs per file); it is tried last from the next file on.
        AttemptsEnd end = RunAttempts(attempts, mirrors.size(), file.cancel);
        MoveFailedToEnd(mirrors, attempts.failed);
        outcome = end.exhausted ? Fail(FailureKind::Unreachable,
                                       kAllMirrorsFailed + file.entry.key + L" (" + std::to_wstring(mirrors.size()) +
                                           L" tried, " + std::to_wstring(kAttemptsPerTarget) +
                                           L" attempts each). Last error: " + attempts.lastError.text)
                                : std::move(end.last);
        // The check before the next mirror, for the last one: a cancel that cut its
        // verification short ends the download as a cancel, not as a mirror failure.
        if (end.exhausted && IsCancelled(file.cancel)) outcome = Cancelled();
    }
    // A cancel abandons the file: none of its bytes stay behind.
    if (outcome.kind == FailureKind::Cancelled) DeleteFileIfExists(file.temporaryPath);
    return outcome;
}

std::wstring PercentEncodeSegment(const std::wstring& segment, UrlEncoding encoding) {
    std::wstring encoded;
    for (size_t i = 0; i < segment.size(); ++i) {
        const wchar_t c = segment[i];
        if (IsUnreserved(c)) {
            encoded += c;
        } else if (c <= 0xFF && (c < 0x80 || encoding == UrlEncoding::Legacy)) {
            // One escape of the unit itself: mirrors published for legacy manifests
            // hold U+00E9 under the byte %E9.
            AppendEscape(encoded, static_cast<unsigned>(c));
        } else {
            for (const unsigned byte : Utf8Bytes(CodePointAt(segment, i))) AppendEscape(encoded, byte);
        }
    }
    return encoded;
}

std::wstring BuildFileUrl(const std::wstring& baseUrl, const std::wstring& manifestPath, UrlEncoding encoding) {
    std::wstring path;
    for (const std::wstring& piece : SplitString(ToForwardSlashes(manifestPath), L'/')) {
        if (!path.empty()) path += L'/';
        path += PercentEncodeSegment(piece, encoding);
    }
    // A signed mirror URL carries its token in a query: the file's path goes before it.
    const size_t tail = baseUrl.find_first_of(L"?#");
    std::wstring base = baseUrl.substr(0, tail);
    while (!base.empty() && (base.back() == L'/' || base.back() == L'\\')) base.pop_back();
    return base + L"/" + path + (tail == std::wstring::npos ? L"" : baseUrl.substr(tail));
}

}  // namespace tolvek
