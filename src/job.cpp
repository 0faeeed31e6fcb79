#include "job.h"

#include "support.h"

namespace tolvek {

namespace {

using S = JobState;
using E = JobEvent;

struct Transition {
    JobState from;
    JobEvent event;
    JobStep step;
};

constexpr TemporaryFile kKeep = TemporaryFile::Keep, kDelete = TemporaryFile::Delete;

// A job not yet looked at, or one with no temporary file, leaves the disk as it is
// when the run ends; bytes held are deleted by a cancel and kept by a failure.
constexpr Transition kTransitions[] = {
    {S::Examined, E::HeldPrefix, {S::Resumed, kKeep}},
    {S::Examined, E::HeldNothing, {S::Fresh, kKeep}},
    {S::Examined, E::HeldStale, {S::Fresh, kDelete}},
    {S::Examined, E::Skipped, {S::Done, kKeep}},
    {S::Examined, E::RunFailed, {S::Kept, kKeep}},
    {S::Examined, E::Cancelled, {S::Kept, kKeep}},
    {S::Fresh, E::Skipped, {S::Done, kKeep}},
    {S::Fresh, E::TransferStarts, {S::InTransfer, kKeep}},
    {S::Fresh, E::RunFailed, {S::Discarded, kKeep}},
    {S::Fresh, E::Cancelled, {S::Discarded, kKeep}},
    {S::Resumed, E::Skipped, {S::Done, kKeep}},
    {S::Resumed, E::TransferStarts, {S::InTransfer, kKeep}},
    {S::Resumed, E::CopyVerified, {S::Verified, kKeep}},
    {S::Resumed, E::Broken, {S::Fresh, kDelete}},
    {S::Resumed, E::RunFailed, {S::Kept, kKeep}},
    {S::Resumed, E::Cancelled, {S::Discarded, kDelete}},
    {S::InTransfer, E::CopyVerified, {S::Verified, kKeep}},
    {S::InTransfer, E::PrefixKept, {S::Resumed, kKeep}},
    {S::InTransfer, E::Broken, {S::Fresh, kDelete}},
    {S::InTransfer, E::RunFailed, {S::Kept, kKeep}},
    {S::InTransfer, E::Cancelled, {S::Discarded, kDelete}},
    {S::Verified, E::MovedIntoPlace, {S::Moved, kKeep}},
    {S::Verified, E::MoveFailed, {S::Kept, kKeep}},
    {S::Verified, E::RunFailed, {S::Kept, kKeep}},
    {S::Verified, E::Cancelled, {S::Discarded, kDelete}},
    {S::Moved, E::CheckedInPlace, {S::Done, kKeep}},
};

}  // namespace

std::optional<JobStep> NextJobStep(JobState state, JobEvent event) {
    for (const Transition& transition : kTransitions)
        if (transition.from == state && transition.event == event) return transition.step;
    return std::nullopt;
}

JobEvent StockOf(const FileEntry& entry, const std::wstring& temporaryPath, int64_t& held) {
    held = 0;
    int64_t size = 0;
    if (!QueryExistingFile(temporaryPath, size)) return JobEvent::HeldNothing;
    // Bytes reached through a link, or shared with another name, are not the job's.
    if (!IsResumable(entry) || size > *entry.size || size == 0 || !IsPlainFile(temporaryPath))
        return JobEvent::HeldStale;
    held = size;
    return JobEvent::HeldPrefix;
}

void TakeStock(FileJob& job, const std::wstring& temporaryPath) {
    if (job.state != JobState::Examined) return;
    int64_t held = 0;
    const JobEvent stock = StockOf(*job.entry, temporaryPath, held);
    Enter(job, stock, temporaryPath, held);
}

void Enter(FileJob& job, JobEvent event, const std::wstring& temporaryPath, int64_t held) {
    const std::optional<JobStep> step = NextJobStep(job.state, event);
    if (!step) return;
    if (step->file == TemporaryFile::Delete) {
        DeleteFileIfExists(temporaryPath);
        job.held = 0;
    } else if (event == JobEvent::HeldPrefix || event == JobEvent::PrefixKept) {
        job.held = held;
    }
    job.state = step->next;
}

}  // namespace tolvek
