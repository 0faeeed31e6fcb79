// The job's state machine: from each state, each event, the next state and what
// happens to the temporary file on disk.
#include "job.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

using tolvek::JobEvent;
using tolvek::JobState;
using E = JobEvent;
using S = JobState;

constexpr bool kKept = true, kDeleted = false;

TEST(Job, EveryStepAndItsTemporaryFile) {
    struct Row {
        S from;
        E event;
        S next;
        bool fileStays;
    };
    const Row rows[] = {
        {S::Examined, E::HeldPrefix, S::Resumed, kKept},     {S::Examined, E::HeldNothing, S::Fresh, kKept},
        {S::Examined, E::HeldStale, S::Fresh, kDeleted},     {S::Examined, E::Skipped, S::Done, kKept},
        {S::Examined, E::RunFailed, S::Kept, kKept},         {S::Examined, E::Cancelled, S::Kept, kKept},
        {S::Fresh, E::TransferStarts, S::InTransfer, kKept}, {S::Fresh, E::Skipped, S::Done, kKept},
        {S::Fresh, E::Cancelled, S::Discarded, kKept},       {S::Fresh, E::RunFailed, S::Discarded, kKept},
        {S::Resumed, E::TransferStarts, S::InTransfer, kKept}, {S::Resumed, E::CopyVerified, S::Verified, kKept},
        {S::Resumed, E::Broken, S::Fresh, kDeleted},         {S::Resumed, E::RunFailed, S::Kept, kKept},
        {S::Resumed, E::Cancelled, S::Discarded, kDeleted},  {S::InTransfer, E::CopyVerified, S::Verified, kKept},
        {S::InTransfer, E::PrefixKept, S::Resumed, kKept},   {S::InTransfer, E::Broken, S::Fresh, kDeleted},
        {S::InTransfer, E::RunFailed, S::Kept, kKept},       {S::InTransfer, E::Cancelled, S::Discarded, kDeleted},
        {S::Verified, E::MovedIntoPlace, S::Moved, kKept},   {S::Verified, E::MoveFailed, S::Kept, kKept},
        {S::Verified, E::RunFailed, S::Kept, kKept},         {S::Verified, E::Cancelled, S::Discarded, kDeleted},
        {S::Moved, E::CheckedInPlace, S::Done, kKept},
        // Events that cannot happen in a state change nothing.
        {S::Done, E::Cancelled, S::Done, kKept},             {S::Fresh, E::PrefixKept, S::Fresh, kKept},
        {S::Kept, E::TransferStarts, S::Kept, kKept},        {S::Moved, E::Cancelled, S::Moved, kKept},
    };
    const testing_support::ScratchDir scratch(L"job");
    const std::wstring temporary = scratch / L"f.bin.download";
    const tolvek::FileEntry entry;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.from) << " + " << int(row.event));
        testing_support::WriteBytes(temporary, "held");
        tolvek::FileJob job{&entry, 1};
        job.state = row.from;
        job.held = 4;
        tolvek::Enter(job, row.event, temporary, 2);
        EXPECT_EQ(job.state, row.next);
        EXPECT_EQ(testing_support::Exists(temporary), row.fileStays);
        // A prefix kept, or found, is what the job continues from; a deleted file holds nothing.
        const bool takesPrefix = row.next != row.from && (row.event == E::HeldPrefix || row.event == E::PrefixKept);
        EXPECT_EQ(job.held, !row.fileStays ? 0 : takesPrefix ? 2 : 4);
    }
}

}  // namespace
