// The exported interface driven exactly as a setup program drives it: the DLL
// loaded with LoadLibraryW, every call through GetProcAddress.
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::Dll;
using testing_support::InstallDirs;
using testing_support::ScratchDir;

const wchar_t kEmptyListText[] = L"NETWORK_UNREACHABLE: Manifest URL list is empty";

// A manifest URL that refuses connections: the run keeps retrying (with pauses)
// for over a second, long enough to act while it is still going.
std::wstring RefusedManifestUrl() { return testing_support::Servers().refusedUrl + L"/manifest.json"; }

TEST(SessionInterface, FreshLibraryHasNothingToReport) {
    // A private copy of the DLL is a module of its own with untouched state.
    ScratchDir dir(L"fresh");
    const std::wstring copy = dir / L"fresh_copy.dll";
    ASSERT_TRUE(CopyFileW(tolvek_host::EngineBesideThisProgram().c_str(), copy.c_str(), FALSE));
    {
        tolvek_host::InstallerApi fresh;
        std::wstring error;
        ASSERT_TRUE(fresh.Load(copy, error)) << testing_support::Narrow(error);
        ASSERT_NE(fresh.GetProgress, Dll().GetProgress) << "the copy shares the loaded module";
        TolvekProgressRecord record;
        int32_t code = 7;
        wchar_t message[8] = L"keep";
        EXPECT_EQ(fresh.GetProgress(&record), 0);
        EXPECT_EQ(fresh.GetResult(&code, message, 8), 0);
        EXPECT_EQ(code, 7);
        EXPECT_STREQ(message, L"keep");
        EXPECT_EQ(fresh.IsDone(), 0);
    }  // freed before the directory goes
}

TEST(SessionInterface, EmptyUrlListFailsWithTheNetworkText) {
    for (const wchar_t* urls : {L"", L"|", L"|||"}) {
        InstallDirs run(L"empty");
        ASSERT_EQ(run.Start(urls), 1);
        ASSERT_TRUE(Dll().WaitDone());
        const auto result = Dll().Result();
        EXPECT_EQ(result.first, 1);
        EXPECT_EQ(result.second, kEmptyListText);

        TolvekProgressRecord record;
        ASSERT_EQ(Dll().GetProgress(&record), 1);
        EXPECT_STREQ(record.status, L"Error");
        EXPECT_STREQ(record.currentItem, kEmptyListText);
        EXPECT_EQ(record.itemIndex, 0);
        EXPECT_EQ(record.itemCount, 0);

        const std::vector<std::string> expected = {
            "Online installation started",
            "Manifest URLs: " + testing_support::Narrow(urls),
            "Target directory: " + testing_support::Narrow(run.target()),
            "Downloading manifest with fallback...",
            "ERROR: NETWORK_UNREACHABLE: Manifest URL list is empty"};
        EXPECT_EQ(testing_support::LogMessages(run.log()), expected);
        EXPECT_TRUE(testing_support::Exists(run.target()));
        EXPECT_TRUE(testing_support::Exists(run.work()));
        Dll().Shutdown();
    }
}

TEST(SessionInterface, NullArgumentsAreRefusedAndLeaveARunningSessionAlone) {
    InstallDirs run(L"nulls");
    const std::wstring s = L"x";
    EXPECT_EQ(Dll().Start(nullptr, s.c_str(), s.c_str(), s.c_str()), 0);
    EXPECT_EQ(Dll().Start(s.c_str(), nullptr, s.c_str(), s.c_str()), 0);
    EXPECT_EQ(Dll().Start(s.c_str(), s.c_str(), nullptr, s.c_str()), 0);
    EXPECT_EQ(Dll().Start(s.c_str(), s.c_str(), s.c_str(), nullptr), 0);
    auto verifiedWithNull = [&](int argument) {
        const wchar_t* a[5] = {s.c_str(), s.c_str(), s.c_str(), s.c_str(), s.c_str()};
        a[argument] = nullptr;
        return Dll().StartVerified(a[0], a[1], a[2], a[3], a[4]);
    };
    for (int argument = 0; argument < 5; ++argument) EXPECT_EQ(verifiedWithNull(argument), 0) << argument;

    ASSERT_EQ(run.Start(RefusedManifestUrl()), 1);
    EXPECT_EQ(Dll().Start(nullptr, s.c_str(), s.c_str(), s.c_str()), 0);
    for (int argument = 0; argument < 5; ++argument) EXPECT_EQ(verifiedWithNull(argument), 0) << argument;
    EXPECT_EQ(Dll().StartVerified(s.c_str(), s.c_str(), s.c_str(), s.c_str(), s.c_str()), 0)
        << "a second start while one runs";
    EXPECT_EQ(Dll().IsDone(), 0);
    TolvekProgressRecord record;
    ASSERT_EQ(Dll().GetProgress(&record), 1);
    EXPECT_STRNE(record.status, L"Error");
    Dll().Shutdown();
}

TEST(SessionInterface, FirstRecordIsPreparing) {
    // The worker may publish its own record at once; catch the first one on
    // some start and check every text of it.
    int seen = 0;
    for (int i = 0; i < 10 && seen == 0; ++i) {
        InstallDirs run(L"first");
        ASSERT_EQ(run.Start(RefusedManifestUrl()), 1);
        TolvekProgressRecord record;
        ASSERT_EQ(Dll().GetProgress(&record), 1);
        int32_t code = 0;
        wchar_t message[16];
        EXPECT_EQ(Dll().GetResult(&code, message, 16), 0);  // no result while running
        if (std::wstring(record.bytesTotalText) == L"0 B") {
            ++seen;
            EXPECT_STREQ(record.status, L"Preparing");
            EXPECT_STREQ(record.currentItem, L"");
            EXPECT_EQ(record.itemIndex, 0);
            EXPECT_EQ(record.itemCount, 0);
            EXPECT_EQ(record.progressPermille, 0);
            EXPECT_STREQ(record.bytesDoneText, L"0 B");
            EXPECT_STREQ(record.speedText, L"0 B/s");
            EXPECT_STREQ(record.timeLeftText, L"calculating...");
            EXPECT_STREQ(record.fileBytesDoneText, L"0 B");
            EXPECT_STREQ(record.fileBytesTotalText, L"0 B");
        }
        Dll().Shutdown();
    }
    EXPECT_EQ(seen, 1);
}

// Once a session has started, a host polling from another thread always gets a
// record, also while starts and shutdowns follow each other: a start publishes its
// reset and its first record in one step.
TEST(SessionInterface, ProgressIsNeverEmptyWhileStartsFollowEachOther) {
    InstallDirs run(L"restarts");
    ASSERT_EQ(run.Start(L""), 1);
    std::atomic<bool> stop{false};
    std::atomic<long> polls{0}, empty{0};
    std::thread poller([&] {
        TolvekProgressRecord record;
        while (!stop.load()) {
            if (!Dll().GetProgress(&record)) ++empty;
            ++polls;
        }
    });
    for (int i = 0; i < 100; ++i) {
        Dll().Shutdown();
        if (run.Start(L"") != 1) {
            ADD_FAILURE() << "start " << i << " refused";
            break;
        }
    }
    stop = true;
    poller.join();
    Dll().Shutdown();
    EXPECT_EQ(empty.load(), 0) << "of " << polls.load() << " polls";
    EXPECT_GT(polls.load(), 100);
}

TEST(SessionInterface, SecondStartNeedsShutdownEvenAfterTheRunEnded) {
    InstallDirs run(L"second");
    ASSERT_EQ(run.Start(L""), 1);
    ASSERT_TRUE(Dll().WaitDone());
    EXPECT_EQ(run.Start(L""), 0);
    EXPECT_EQ(Dll().Result().second, kEmptyListText);  // untouched by the refused start
    Dll().Shutdown();
    EXPECT_EQ(run.Start(L""), 1);
    ASSERT_TRUE(Dll().WaitDone());
    Dll().Shutdown();
}

TEST(SessionInterface, ShutdownDuringARunCancelsAndWaits) {
    InstallDirs run(L"shutdown");
    ASSERT_EQ(run.Start(RefusedManifestUrl()), 1);
    Sleep(100);
    EXPECT_EQ(Dll().IsDone(), 0);
    Dll().Shutdown();
    EXPECT_EQ(Dll().IsDone(), 1);  // the worker has ended when shutdown returns
    EXPECT_EQ(Dll().Result(), std::make_pair(int32_t{1}, std::wstring(L"Cancelled by user")));
    const std::vector<std::string> log = testing_support::LogMessages(run.log());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "ERROR: Cancelled by user");

    // The last record and result stay readable after shutdown; more shutdowns
    // and cancels change nothing.
    Dll().Shutdown();
    Dll().Cancel();
    TolvekProgressRecord record;
    ASSERT_EQ(Dll().GetProgress(&record), 1);
    EXPECT_STREQ(record.status, L"Error");
    EXPECT_STREQ(record.currentItem, L"Cancelled by user");
    EXPECT_EQ(Dll().Result().second, L"Cancelled by user");
}

TEST(SessionInterface, CancelEndsTheRunWithoutShutdown) {
    InstallDirs run(L"cancel");
    ASSERT_EQ(run.Start(RefusedManifestUrl()), 1);
    Dll().Cancel();
    Dll().Cancel();
    ASSERT_TRUE(Dll().WaitDone(10000));
    EXPECT_EQ(Dll().Result().second, L"Cancelled by user");
    EXPECT_FALSE(testing_support::Exists(run.work() + L"\\tolvek_launcher_manifest.json"));
    Dll().Shutdown();
}

TEST(SessionInterface, ResultIsTruncatedToTheHostBuffer) {
    InstallDirs run(L"truncate");
    ASSERT_EQ(run.Start(L""), 1);
    ASSERT_TRUE(Dll().WaitDone());
    int32_t code = -5;
    wchar_t two[2] = {L'x', L'x'};
    EXPECT_EQ(Dll().GetResult(&code, two, 2), 1);
    EXPECT_EQ(code, 1);
    EXPECT_STREQ(two, L"N");
    wchar_t one[1] = {L'x'};
    EXPECT_EQ(Dll().GetResult(&code, one, 1), 1);
    EXPECT_EQ(one[0], L'\0');
    EXPECT_EQ(Dll().GetResult(&code, one, 0), 0);
    EXPECT_EQ(Dll().GetResult(&code, one, -1), 0);
    EXPECT_EQ(Dll().GetResult(nullptr, one, 1), 0);
    EXPECT_EQ(Dll().GetResult(&code, nullptr, 1), 0);
    EXPECT_EQ(Dll().GetProgress(nullptr), 0);
    Dll().Shutdown();
}

}  // namespace
