#include "file_transfer.h"

#include "attempts.h"
#include "log.h"
#include "urls.h"
#include "verify.h"

#include <windows.h>
#include <winhttp.h>

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

// An attempt that timed out: no answer, or a body that stalled or trickled below
// the floor. The mirror is slow for every file, even when a resumed request on it
// would complete this one.
bool IsTimeOut(const Outcome& failure) {
    return failure.platformCode == ERROR_WINHTTP_TIMEOUT &&
           (failure.kind == FailureKind::NoHttpStatus || failure.kind == FailureKind::BodyRead);
}

bool Contains(const std::vector<size_t>& mirrors, size_t mirror) {
    return std::find(mirrors.begin(), mirrors.end(), mirror) != mirrors.end();
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
    // mirror left as too slow or timed out, with the prefix it brought, should the
    // others fail. Past the place being tried they follow the run's order as it
    // stands when a mirror is left: other files may have set mirrors aside meanwhile.
    std::vector<size_t> order = CurrentOrder(mirrors);
    std::vector<size_t> again = {};
    const FileEntry& entry = *file.job.entry;
    const bool resumable = IsResumable(entry);
    const SlowBodyRule slow = [this](double bytesPerSecond) { return AnotherMayBeFaster(bytesPerSecond); };
    std::vector<size_t> failed = {};   // mirrors moved to the end for a fault of their own
    std::vector<size_t> refused = {};  // mirrors that answered the file with a definite refusal
    size_t place = SIZE_MAX;     // the place in `order` being tried
    size_t current = 0;          // its mirror
    std::wstring url = {};       // its file URL, built once per mirror
    bool verifying = false;      // the last failure came from the check of a whole copy
    bool onlyMirrorFailures = true;
    bool chosenAside = false;    // the mirror was set aside already when this file came to it
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
            chosenAside = HealthOf(mirrors, current).setAside;
        }
        // A mirror tried once more shows its first place.
        const size_t shown = static_cast<size_t>(std::find(order.begin(), order.end(), current) - order.begin());
        const std::wstring line = L"Downloading [CDN " + std::to_wstring(shown + 1) + L"/" +
                                  std::to_wstring(mirrors.urls.size()) + L", attempt " + AttemptOfLimit(attempt) +
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
        if (IsTimeOut(fetched.outcome) && mirrors.urls.size() > 1) SetAside();
        KeepPrefixOrRestart(fetched);
        renewed = MadeProgress(before);
        return std::move(fetched.outcome);
    }

    // The mirror goes to the end of the run's order at once, for every file, as this
    // file says once.
    void SetAside() {
        if (Contains(failed, current)) return;
        Log(run.log, kMovedToEnd + Mirror());
        failed.push_back(current);
        MoveToEnd(mirrors, {current});
    }

    // A mirror that timed out, or that another file set aside while this one was on
    // it, is left at once for the next; the last target keeps its attempts.
    bool LeavesNow(const Outcome& failure) const {
        if (place + 1 >= order.size()) return false;
        if (IsTimeOut(failure)) return true;
        return IsMirrorFailure(failure) && !chosenAside && HealthOf(mirrors, current).setAside;
    }

    // One transfer into the temporary file, continuing what it holds, and the check
    // of the copy; the outcome is the check's when the transfer succeeded.
    TransferResult Fetch(const std::wstring& line) {
        Log(run.log, line);
        const int64_t held = file.job.held;
        if (held > 0) Log(run.log, L"Resuming download at " + std::to_wstring(held) + L" bytes: " + url);
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
            if (order[later] != current && MayBeFaster(HealthOf(mirrors, order[later]), bytesPerSecond)) return true;
        return false;
    }

    // Every failure line; the final text names the most telling of them.
    void LogFailure(const Outcome& failure) {
        if (IsAnswer(failure) || !IsAnswer(lastError)) lastError = failure;
        Log(run.log, L"Download failed from CDN: " + Mirror() + L" ; file=" + std::wstring(entry.key) + L" ; error=" +
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
            IsDefiniteRefusal(failure) || CannotContinue(failure) || LeavesNow(failure))
            return FailureReach::Target;
        return renewed ? FailureReach::Renewed : FailureReach::Attempt;
    }

    void LogRetry(const Outcome&, int attempt) const {
        if (renewed) {
            Log(run.log, L"Retrying same CDN after download progress (attempt " + AttemptOfLimit(attempt) +
                L" not used up): " + Mirror());
            return;
        }
        const wchar_t* kind = verifying ? L"validation" : L"download";
        Log(run.log, std::wstring(L"Retrying same CDN after ") + kind + L" failure (attempt " + AttemptOfLimit(attempt) +
            L"): " + Mirror());
    }

    void Left(size_t, const Outcome& last) {
        const bool slow = last.kind == FailureKind::TooSlow || IsTimeOut(last);
        if (slow && std::count(order.begin(), order.end(), current) == 1) again.push_back(current);
        if (onlyMirrorFailures) SetAside();
        PlanRest();
    }

    // The targets after the place left: the mirrors this file has not tried, in the
    // run's order as it stands, then those to be tried once more.
    void PlanRest() {
        order.resize(place + 1);
        for (size_t mirror : CurrentOrder(mirrors))
            if (!Contains(order, mirror)) order.push_back(mirror);
        for (size_t mirror : again)
            if (std::count(order.begin(), order.end(), mirror) < 2) order.push_back(mirror);
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

    // The mirrors that refused the file as they refused the file before, while
    // another mirror served both, are tried last from the next file on: an unsynced
    // one would cost a request per file. (Those that failed it by a fault of their
    // own were set aside as they were left: a dead mirror would cost every other
    // file all its attempts.)
    void Reorder(bool served) {
        if (!served) return;
        std::vector<size_t> moved;
        for (size_t mirror : NoteRefusals(mirrors, refused, current)) {
            Log(run.log, kMovedAfterRefusals + mirrors.urls[mirror]);
            moved.push_back(mirror);
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
        const size_t tried = mirrors.urls.size();
        outcome = end.exhausted ? AllMirrorsFailed(*job.entry, tried, attempts.lastError) : std::move(end.last);
        // The check before the next mirror, for the last one: a cancel that cut its
        // verification short ends the transfer as a cancel, not as a mirror failure.
        if (end.exhausted && IsCancelled(run.cancel)) outcome = Cancelled();
    }
    // What a cancel leaves of the file is the run's to decide: a cancel by the host
    // abandons it, a stop because another file failed keeps it for the next run.
    return outcome;
}

}  // namespace tolvek
