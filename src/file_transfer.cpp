#include "file_transfer.h"

#include "attempts.h"
#include "log.h"
#include "urls.h"
#include "verify.h"

namespace tolvek {

namespace {

const wchar_t kAllMirrorsFailed[] = L"All CDN mirrors failed for ";
const wchar_t kMovedToEnd[] = L"CDN moved to the end of the order after failing every attempt: ";

// The attempts on the mirrors for one file, in the run's order as the file starts.
struct MirrorAttempts {
    const RunContext& run;
    const FileDownload& file;
    const MirrorOrder& mirrors;
    const std::vector<size_t> order = mirrors.order;  // as the file starts
    const FileEntry& entry = *file.job.entry;
    const bool resumable = IsResumable(entry);
    std::vector<size_t> failed = {};  // mirrors that failed every attempt by a fault of their own
    size_t current = 0;          // the mirror being tried
    std::wstring url = {};       // its file URL, built once per mirror
    bool verifying = false;      // the last failure came from the check of a whole copy
    bool onlyMirrorFailures = true;
    Outcome lastError = {};      // what the final text names: the most telling failure

    const std::wstring& Mirror() const { return mirrors.urls[current]; }

    Outcome Attempt(size_t place, int attempt) {
        if (attempt == 1) {
            current = order[place];
            url = BuildFileUrl(Mirror(), entry.key, file.urlEncoding);
            onlyMirrorFailures = true;
        }
        const std::wstring line = L"Downloading [CDN " + std::to_wstring(place + 1) + L"/" +
                                  std::to_wstring(order.size()) + L", attempt " + AttemptOfLimit(attempt) +
                                  L"]: " + url;
        TransferResult fetched = Fetch(line);
        // The digest decides: continued bytes that fail the check may be an older
        // version's, so the same mirror sends the whole file once more, within this attempt.
        if (fetched.writtenFrom > 0 && verifying && !fetched.outcome.ok() &&
            fetched.outcome.kind != FailureKind::Cancelled) {
            LogFailure(fetched.outcome);
            Enter(file.job, JobEvent::Broken, file.temporaryPath);
            fetched = Fetch(line);
        }
        if (fetched.outcome.ok()) return std::move(fetched.outcome);

        onlyMirrorFailures = onlyMirrorFailures && IsMirrorFailure(fetched.outcome);
        LogFailure(fetched.outcome);
        KeepPrefixOrRestart(fetched);
        return std::move(fetched.outcome);
    }

    // One transfer into the temporary file, continuing what it holds, and the check
    // of the copy; the outcome is the check's when the transfer succeeded.
    TransferResult Fetch(const std::wstring& line) {
        Log(line);
        const int64_t held = file.job.held;
        if (held > 0) Log(L"Resuming download at " + std::to_wstring(held) + L" bytes: " + url);
        Enter(file.job, JobEvent::TransferStarts, file.temporaryPath);
        TransferResult result = DownloadToFile(run, {url, file.temporaryPath, entry.size, nullptr, held}, file.report);
        verifying = result.outcome.ok();
        if (!verifying) return result;
        result.outcome = VerifyFile(run, file.temporaryPath, entry, entry.key);
        if (result.outcome.ok()) Enter(file.job, JobEvent::CopyVerified, file.temporaryPath);
        return result;
    }

    // Every failure line; the final text names the most telling of them.
    void LogFailure(const Outcome& failure) {
        if (IsAnswer(failure) || !IsAnswer(lastError)) lastError = failure;
        Log(L"Download failed from CDN: " + Mirror() + L" ; file=" + std::wstring(entry.key) + L" ; error=" +
            failure.text);
    }

    // After a failed attempt only a prefix below the declared size stays: bytes that
    // failed the check, a file that reached the size, and bytes another range would
    // follow go. A transfer that never opened the file left it as it was.
    void KeepPrefixOrRestart(const TransferResult& result) {
        const int64_t held = result.held >= 0 ? result.held : file.job.held;
        const bool keep = resumable && !verifying && result.outcome.kind != FailureKind::RangeMismatch && held > 0 &&
                          held < *entry.size;
        Enter(file.job, keep ? JobEvent::PrefixKept : JobEvent::Broken, file.temporaryPath, held);
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
        Log(std::wstring(L"Retrying same CDN after ") + kind + L" failure (attempt " + AttemptOfLimit(attempt) +
            L"): " + Mirror());
    }

    void Left(size_t, const Outcome&) {
        if (!onlyMirrorFailures) return;
        Log(kMovedToEnd + Mirror());
        failed.push_back(current);
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

// A temporary file as long as the declared size (a download that ended just before
// its move) is checked before anything is requested; false when it has to be fetched.
bool WholeFileHeld(const RunContext& run, const FileDownload& file, Outcome& outcome) {
    FileJob& job = file.job;
    const FileEntry& entry = *job.entry;
    if (job.state != JobState::Resumed || job.held != *entry.size) return false;
    file.report(L"Verifying", job.held);
    outcome = VerifyFile(run, file.temporaryPath, entry, entry.key);
    if (outcome.kind == FailureKind::Cancelled) return true;
    Enter(job, outcome.ok() ? JobEvent::CopyVerified : JobEvent::Broken, file.temporaryPath);
    return outcome.ok();
}

// What every mirror failing a file says, by its most telling failure: bytes other
// than the manifest's, an error status, or no answer at all.
FailureKind KindOfAllFailed(const Outcome& mostTelling) {
    switch (mostTelling.kind) {
        case FailureKind::SizeMismatch:
        case FailureKind::TooLarge:
        case FailureKind::RangeMismatch:
        case FailureKind::DigestMismatch: return FailureKind::FileCorrupt;
        case FailureKind::HttpStatus:
        case FailureKind::InvalidUrl: return FailureKind::FileUnavailable;
        default: return FailureKind::MirrorsUnreachable;
    }
}

Outcome AllMirrorsFailed(const FileEntry& entry, size_t mirrors, const Outcome& last) {
    return Fail(KindOfAllFailed(last),
                kAllMirrorsFailed + std::wstring(entry.key) + L" (" + std::to_wstring(mirrors) + L" tried, " +
                    std::to_wstring(kAttemptsPerTarget) + L" attempts each). Last error: " + last.text,
                last.platformCode, last.httpStatus);
}

}  // namespace

Outcome TransferFile(const RunContext& run, const FileDownload& file, MirrorOrder& mirrors) {
    FileJob& job = file.job;
    if (job.state == JobState::Examined) {
        int64_t held = 0;
        Enter(job, StockOf(*job.entry, file.temporaryPath, held), file.temporaryPath, held);
    }
    Outcome outcome;
    if (!WholeFileHeld(run, file, outcome)) {
        // A mirror that keeps failing would cost every later file all its attempts
        // (a dead mirror: three time-outs per file); it is tried last from the next file on.
        MirrorAttempts attempts{run, file, mirrors};
        AttemptsEnd end = RunAttempts(attempts, attempts.order.size(), run.cancel);
        MoveToEnd(mirrors, attempts.failed);
        outcome = end.exhausted ? AllMirrorsFailed(*job.entry, attempts.order.size(), attempts.lastError)
                                : std::move(end.last);
        // The check before the next mirror, for the last one: a cancel that cut its
        // verification short ends the transfer as a cancel, not as a mirror failure.
        if (end.exhausted && IsCancelled(run.cancel)) outcome = Cancelled();
    }
    // A cancel abandons the file: none of its bytes stay behind.
    if (outcome.kind == FailureKind::Cancelled) Enter(job, JobEvent::Cancelled, file.temporaryPath);
    return outcome;
}

}  // namespace tolvek
