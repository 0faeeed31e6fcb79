// Hundreds of start, run and shutdown cycles through the DLL leave the process
// with the threads and handles it had before; and the measure used for that sees
// a leak when there is one.
#include "host_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using concurrency::Describe;
using concurrency::Growth;
using concurrency::Measure;
using concurrency::Resources;
using testing_support::Dll;
using testing_support::InstallDirs;
using testing_support::Servers;

// Noise the platform may add between two measures: a pool thread of its own that
// has not gone yet, a cached connection. A leak of one per cycle is hundreds.
constexpr int kThreadAllowance = 2;
constexpr int kHandleAllowance = 8;

const wchar_t kEmptyListText[] = L"NETWORK_UNREACHABLE: Manifest URL list is empty";

TEST(LeakMeasure, SeesThreadsAndHandlesLeftBehind) {
    const Resources before = Measure();
    // What a leaking cycle would leave: handles never closed, threads never ended.
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> events;
    for (int i = 0; i < 50; ++i) events.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([release] { WaitForSingleObject(release, INFINITE); });
    const Resources leaking = Measure();

    SetEvent(release);
    for (auto& thread : threads) thread.join();
    for (HANDLE event : events) CloseHandle(event);
    CloseHandle(release);

    const std::string growth = Growth(before, leaking, kThreadAllowance, kHandleAllowance);
    EXPECT_NE(growth.find("threads"), std::string::npos) << Describe(before) << " / " << Describe(leaking);
    EXPECT_NE(growth.find("open handles"), std::string::npos) << growth;
    EXPECT_NE(growth.find("next handle"), std::string::npos) << growth;

    // Even a few handles at a time, once every ten cycles, add up past the allowance.
    std::vector<HANDLE> few;
    for (int cycle = 0; cycle < 50; ++cycle)
        if (cycle % 10 == 0)
            for (int i = 0; i < 2; ++i) few.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const Resources slow = Measure();
    for (HANDLE event : few) CloseHandle(event);
    EXPECT_NE(Growth(before, slow, kThreadAllowance, kHandleAllowance).find("open handles"),
              std::string::npos)
        << Describe(before) << " / " << Describe(slow);
}

class Cycles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
        testing_support::ResetServer(Servers().httpUrl);
        quickUrl = concurrency::PublishProduct(L"conc-cycles", {{L"bin/tool.dll", std::string(3000, 't')}});
        slowUrl = concurrency::PublishProduct(L"conc-cycles-slow", {{L"a.txt", "a"}});
        // The slow manifest trickles in, so a shutdown meets a transfer under way.
        testing_support::SetRules(Servers().httpUrl,
                                  "[{\"path\": \"/conc-cycles-slow/manifest.json\", \"drip\": true,"
                                  " \"drip_bytes\": 8, \"drip_interval_ms\": 20}]");
    }
    void TearDown() override {
        Dll().Shutdown();
        testing_support::ResetServer(Servers().httpUrl);
    }

    // One cycle of the given kind; false (with a failure) when it did not end as it must.
    bool Cycle(int kind) {
        switch (kind) {
        case 0:  // the run fails at once
            if (dirs.Start(L"") != 1 || !Dll().WaitDone()) return false;
            return Ended(1, kEmptyListText);
        case 1:  // a whole install with a download
            DeleteFileW((dirs.target() + L"\\bin\\tool.dll").c_str());
            if (dirs.Start(quickUrl) != 1 || !Dll().WaitDone()) return false;
            return Ended(0, L"OK");
        case 2:  // everything already in place
            if (dirs.Start(quickUrl) != 1 || !Dll().WaitDone()) return false;
            return Ended(0, L"OK");
        default: {  // shut down while the manifest arrives
            if (dirs.Start(slowUrl) != 1) return false;
            TolvekProgressRecord record = {};
            while (!Dll().IsDone() &&
                   !(Dll().GetProgress(&record) && std::wstring(record.status) == L"Downloading"))
                Sleep(1);
            return Ended(1, L"Cancelled by user");
        }
        }
    }
    // Shuts the session down and checks the run's result.
    bool Ended(int32_t code, const std::wstring& message) {
        Dll().Shutdown();
        const auto result = Dll().Result();
        EXPECT_EQ(result, std::make_pair(code, message));
        return result == std::make_pair(code, message);
    }

    InstallDirs dirs{L"cycles"};
    std::wstring quickUrl, slowUrl;
};

TEST_F(Cycles, FiveHundredStartRunShutdownCyclesLeaveNoThreadsOrHandles) {
    // The platform sets up what it keeps for the process (WinHTTP, sockets, the
    // thread pool) during the first cycles of each kind.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(Cycle(i % 4)) << "warm-up cycle " << i;
    const Resources before = Measure();
    int completed = 0;
    for (int i = 0; i < 500; ++i) {
        if (!Cycle(i % 4)) {
            ADD_FAILURE() << "cycle " << i << " of kind " << i % 4;
            break;
        }
        ++completed;
    }
    const Resources after = Measure();
    std::cout << "[ measure  ] before: " << Describe(before) << "\n[ measure  ] after " << completed
              << " cycles: " << Describe(after) << "\n";
    EXPECT_EQ(completed, 500);
    EXPECT_EQ(Growth(before, after, kThreadAllowance, kHandleAllowance), "");
}

}  // namespace
