// The target directory's lock: every spelling of one directory is one lock, held
// against other threads (as against other processes) until its owner goes.
#include "install_lock.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace tolvek;
using testing_support::Narrow;
using testing_support::ScratchDir;

// The lock is owned per thread: a second owner is asked for on a thread of its own.
bool BusyOnAnotherThread(const std::wstring& directory) {
    bool busy = false;
    std::thread([&] { busy = TargetDirectoryLock(directory).busy(); }).join();
    return busy;
}

TEST(TargetDirectoryLock, EverySpellingOfOneDirectoryIsOneLock) {
    ScratchDir dir(L"lock");
    const std::wstring target = dir / L"Target Folder";
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((target + L"\\sub").c_str(), nullptr));
    wchar_t shortName[MAX_PATH] = L"";
    ASSERT_GT(GetShortPathNameW(target.c_str(), shortName, MAX_PATH), 0u);
    const testing_support::CurrentDirectory inside(dir.path);

    const struct {
        std::wstring spelling;
        bool busy;
    } rows[] = {
        {target, true},
        {dir.path + L"\\TARGET FOLDER", true},
        {target + L".", true},
        {target + L" . ", true},
        {target + L"\\", true},
        {target + L"\\sub\\..", true},
        {L"Target Folder", true},  // relative to the current directory
        {shortName, true},
        {target + L"\\sub", false},
        {dir.path, false},
        {target + L"2", false},
    };
    {
        const TargetDirectoryLock held(target);
        ASSERT_FALSE(held.busy());
        for (const auto& row : rows)
            EXPECT_EQ(BusyOnAnotherThread(row.spelling), row.busy) << Narrow(row.spelling);
    }
    EXPECT_FALSE(BusyOnAnotherThread(dir.path + L"\\TARGET FOLDER")) << "the lock outlived its owner";
}

}  // namespace
