#include "file_transfer.h"

#include "attempts.h"
#include "log.h"
#include "urls.h"
#include "verify.h"

#include <algorithm>
#include <cstdint>

namespace tolvek {

namespace {

const wchar_t kAllMirrorsFailed[] = L"All CDN mirrors failed for ";
const wchar_t kMovedToEnd[] = L"CDN moved to the end of the order after failing every attempt: ";
const wchar_t kMovedAfterRefusals[] = L"CDN moved to the end of the order after refusing two files in a row: ";
constexpr int64_t kProgressBytes = 1048576;          // or a tenth of a smaller file
constexpr int64_t kReceivedAllowance = 67108864;     // beyond twice the file's size
constexpr uint32_t kRangeNotSatisfiable = 416;

// An answer the same mirror would give again at once: the file is not there (not
// yet synced), or not for this client (an expired signed URL).
bool IsDefiniteRefusal(const Outcome& failure) {
    return failure.kind == FailureKind::HttpStatus &&
           (failure.httpStatus == 403 || failure.httpStatus == 404 || failure.httpStatus == 410);
}

// A failure of the mirror itself rather than of the file asked for: no HTTP status
// at all (refused, reset, TLS, time-out), a server error, a body that stalls, crawls,
// breaks off or ends short of its own length, or a copy other than the manifest's
// (a stale build: other bytes or another size). A 4xx may be the file's own.
bool IsMirrorFailure(const Outcome& failure) {
    switch (failure.kind) {
        case FailureKind::NoHttpStatus:
        case FailureKind::BodyRead:
        case FailureKind::TooSlow:
        case FailureKind::IncompleteBody:
        case FailureKind::SizeMismatch:
        case FailureKind::DigestMismatch: return true;
        case FailureKind::HttpStatus: return failure.httpStatus >= 500;
        default: return false;
    }
}

// What the transfers of one file may receive in all while attempts that make
// progress are not counted: twice the file, and 64 MiB.
int64_t ReceivedAllowance(int64_t size) {
    return size > (INT64_MAX - kReceivedAllowance) / 2 ? INT64_MAX : 2 * size + kReceivedAllowance;
}

// The attempts on the mirrors for one file.
struct MirrorAttempts {
    const RunContext& run;
    const FileDownload& file;
    MirrorOrder& mirrors;
    // The file's targets: the run's order as the file starts, then once more any
    // mirror left as too slow, with the prefix it brought, should the others fail.
    std::vector<size_t> order = mirrors.order;
    const FileEntry& entry = *file.job.entry;
    const bool resumable = IsResumable(entry);
    const SlowBodyRule slow = [this](double bytesPerSecond) { return AnotherMayBeFaster(bytesPerSecond); };
    std::vector<size_t> failed = {};   // mirrors that failed every attempt by a fault of their own
    std::vector<size_t> refused = {};  // mirrors that answered the file with a definite refusal
    size_t place = SIZE_MAX;     // the place in `order` being tried
    size_t current = 0;          // its mirror
    std::wstring url = {};       // its file URL, built once per mirror
    bool verifying = false;      // the last failure came from the check of a whole copy
    bool onlyMirrorFailures = true;
    bool renewed = false;        // the last failed attempt made progress: it is not counted
    int64_t received = 0;        // the body bytes of every transfer of the file
    Outcome lastError = {};      // what the final text names: the most telling failure

    size_t Targets() const { return order.size(); }
    const std::wstring& Mirror() const { return mirrors.urls[current]; }

    Outcome Attempt(size_t at, int attempt) {
        if (at != place) {
            place = at;
            current = order[place];
            url = BuildFileUrl(Mirror(), entry.key, file.urlEncoding);
            onlyMirrorFailures = true;
        }
        // A mirror tried once more shows its first place.
        const size_t shown = static_cast<size_t>(std::find(order.begin(), order.end(), current) - order.begin());
        const std::wstring line = L"Downloading [CDN " + std::to_wstring(shown + 1) + L"/" +
                                  std::to_wstring(mirrors.order.size()) + L", attempt " + AttemptOfLimit(attempt) +
                                  L"]: " + url;
        const int64_t before = file.job.held;
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

        const bool mirrorsFault = IsMirrorFailure(fetched.outcome);
        onlyMirrorFailures = onlyMirrorFailures && mirrorsFault;
        if (mirrorsFault) NoteFailure(mirrors, current);
        if (IsDefiniteRefusal(fetched.outcome)) refused.push_back(current);
        LogFailure(fetched.outcome);
        KeepPrefixOrRestart(fetched);
        renewed = MadeProgress(before);
        return std::move(fetched.outcome);
    }

    // One transfer into the temporary file, continuing what it holds, and the check
    // of the copy; the outcome is the check's when the transfer succeeded.
    TransferResult Fetch(const std::wstring& line) {
        Log(line);
        const int64_t held = file.job.held;
        if (held > 0) Log(L"Resuming download at " + std::to_wstring(held) + L" bytes: " + url);
        Enter(file.job, JobEvent::TransferStarts, file.temporaryPath);
        TransferResult result =
            DownloadToFile(run, {url, file.temporaryPath, entry.size, nullptr, held, &slow}, file.report);
        if (result.held >= 0) {
            received += result.held - result.writtenFrom;
            NoteRate(mirrors, current, result.bytesPerSecond);
        }
        verifying = result.outcome.ok();
        if (!verifying) return result;
        result.outcome = VerifyFile(run, file.temporaryPath, entry, entry.key);
        if (result.outcome.ok()) Enter(file.job, JobEvent::CopyVerified, file.temporaryPath);
        return result;
    }

    // A body crawling at this rate is left only for a mirror still ahead for this file
    // that may be faster: never measured, or measured at least four times faster. A
    // user whose own line is slow stays where the file is once every mirror is measured.
    bool AnotherMayBeFaster(double bytesPerSecond) const {
        for (size_t later = place + 1; later < order.size(); ++later)
            if (order[later] != current && MayBeFaster(mirrors.health[order[later]], bytesPerSecond)) return true;
        return false;
    }

    // Every failure line; the final text names the most telling of them.
    void LogFailure(const Outcome& failure) {
        if (IsAnswer(failure) || !IsAnswer(lastError)) lastError = failure;
        Log(L"Download failed from CDN: " + Mirror() + L" ; file=" + std::wstring(entry.key) + L" ; error=" +
            failure.text);
    }

    // A 416 to a resumed request: this mirror holds no rest to the bytes held, which
    // stay for the next mirror. On the file's last mirror the file starts over there.
    bool CannotContinue(const Outcome& failure) const {
        return failure.kind == FailureKind::RangeMismatch && failure.httpStatus == kRangeNotSatisfiable &&
               place + 1 < order.size();
    }

    // After a failed attempt only a prefix below the declared size stays: bytes that
    // failed the check or came in a copy of another size, a file that reached the
    // size, and bytes another range would follow go. A transfer that never opened the
    // file left it as it was.
    void KeepPrefixOrRestart(const TransferResult& result) {
        const Outcome& failure = result.outcome;
        const int64_t held = result.held >= 0 ? result.held : file.job.held;
        const bool otherRange = failure.kind == FailureKind::RangeMismatch && !CannotContinue(failure);
        const bool keep = resumable && !verifying && !otherRange && failure.kind != FailureKind::SizeMismatch &&
                          held > 0 && held < *entry.size;
        Enter(file.job, keep ? JobEvent::PrefixKept : JobEvent::Broken, file.temporaryPath, held);
    }

    // An attempt that left at least 1 MiB (a tenth of a smaller file) more than it
    // started with is not counted, while the file's transfers stay within their
    // allowance: a link that cuts every connection after a while, or a platform whose
    // body reads end at 2 GiB, still brings the file, and no server keeps it going.
    bool MadeProgress(int64_t before) const {
        if (!resumable || received > ReceivedAllowance(*entry.size)) return false;
        const int64_t enough = std::max<int64_t>(1, std::min(kProgressBytes, *entry.size / 10));
        return file.job.held - before >= enough;
    }

    FailureReach Reach(const Outcome& failure) const {
        // A full disk or a file that cannot be created is no mirror's fault, and no
        // other mirror can help.
        if (failure.kind == FailureKind::DiskWrite || failure.kind == FailureKind::CannotCreateFile)
            return FailureReach::Operation;
        // The same mirror would do the same again at once.
        if (failure.kind == FailureKind::InvalidUrl || failure.kind == FailureKind::DigestMismatch ||
            failure.kind == FailureKind::SizeMismatch || failure.kind == FailureKind::TooSlow ||
            IsDefiniteRefusal(failure) || CannotContinue(failure))
            return FailureReach::Target;
        return renewed ? FailureReach::Renewed : FailureReach::Attempt;
    }

    void LogRetry(const Outcome&, int attempt) const {
        if (renewed) {
            Log(L"Retrying same CDN after download progress (attempt " + AttemptOfLimit(attempt) +
                L" not used up): " + Mirror());
            return;
        }
        const wchar_t* kind = verifying ? L"validation" : L"download";
        Log(std::wstring(L"Retrying same CDN after ") + kind + L" failure (attempt " + AttemptOfLimit(attempt) +
            L"): " + Mirror());
    }

    void Left(size_t, const Outcome& last) {
        if (last.kind == FailureKind::TooSlow && std::count(order.begin(), order.end(), current) == 1)
            order.push_back(current);
        if (!onlyMirrorFailures || std::count(failed.begin(), failed.end(), current) > 0) return;
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

    // The mirrors that failed the file by a fault of their own, and those that refused
    // it as they refused the file before while another mirror served both, are tried
    // last from the next file on: a dead mirror would cost every later file all its
    // attempts, an unsynced one a request per file.
    void Reorder(bool served) {
        std::vector<size_t> moved = failed;
        if (served) {
            for (size_t mirror : NoteRefusals(mirrors, refused, current)) {
                Log(kMovedAfterRefusals + mirrors.urls[mirror]);
                moved.push_back(mirror);
            }
        }
        MoveToEnd(mirrors, moved);
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
    TakeStock(job, file.temporaryPath);
    Outcome outcome;
    if (!WholeFileHeld(run, file, outcome)) {
        MirrorAttempts attempts{run, file, mirrors};
        AttemptsEnd end = RunAttempts(attempts, run.cancel);
        attempts.Reorder(end.last.ok());
        const size_t tried = mirrors.order.size();
        outcome = end.exhausted ? AllMirrorsFailed(*job.entry, tried, attempts.lastError) : std::move(end.last);
        // The check before the next mirror, for the last one: a cancel that cut its
        // verification short ends the transfer as a cancel, not as a mirror failure.
        if (end.exhausted && IsCancelled(run.cancel)) outcome = Cancelled();
    }
    // A cancel abandons the file: none of its bytes stay behind.
    if (outcome.kind == FailureKind::Cancelled) Enter(job, JobEvent::Cancelled, file.temporaryPath);
    return outcome;
}

}  // namespace tolvek
