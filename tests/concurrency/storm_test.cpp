// Several host threads call all six exports in random order at once: starts race
// starts and shutdowns, cancels and polls land anywhere in a run. Nothing may
// crash or hang, every observation must fit the session's states, and every start
// must have run exactly one install to its end.
#include "host_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::Dll;
using testing_support::InstallDirs;
using testing_support::Narrow;
using testing_support::Servers;

const wchar_t kEmptyListText[] = L"NETWORK_UNREACHABLE: Manifest URL list is empty";

// One call of start or shutdown, stamped from one counter before and after it.
struct Call {
    uint64_t begin = 0, end = 0;
    int result = 0;           // Start: its return value
    size_t dirs = SIZE_MAX;   // Start: the directories it was given
};

class Storm {
public:
    Storm(std::wstring quickUrl, std::wstring slowUrl)
        : quickUrl_(std::move(quickUrl)), slowUrl_(std::move(slowUrl)) {}

    void Host(uint32_t seed, int operations) {
        std::mt19937 random(seed);
        for (int i = 0; i < operations; ++i) {
            const unsigned op = random() % 100;
            if (op < 20) Start(random);
            else if (op < 28) Shutdown();
            else if (op < 34) Dll().Cancel();
            else if (op < 44) AwaitRun();
            else  // a host polling for a while
                for (unsigned n = random() % 40; n > 0; --n) Observe();
        }
    }

    // A host that starts, polls until the run has ended and shuts down, over and
    // over, while the others do the same: their starts and shutdowns race.
    void PatientHost(uint32_t seed, int rounds) {
        std::mt19937 random(seed);
        for (int i = 0; i < rounds; ++i) {
            Start(random, random() % 3 ? quickUrl_ : L"");
            AwaitRun();
            Shutdown();
        }
    }

    // After the hosts: the calls in order of their stamps must fit the state table,
    // and every started run must have left a complete log.
    void CheckHistory() {
        std::vector<Call> started, refused;
        for (const Call& call : starts_) (call.result == 1 ? started : refused).push_back(call);
        // A start succeeds only from Idle: between two successful starts, one
        // strictly after the other, some shutdown ran.
        for (const Call& a : started)
            for (const Call& b : started) {
                if (a.end >= b.begin) continue;
                const bool shutDown = std::any_of(shutdowns_.begin(), shutdowns_.end(), [&](const Call& s) {
                    return s.end > a.begin && s.begin < b.end;
                });
                if (!shutDown)
                    ADD_FAILURE() << "starts at " << a.begin << " and " << b.begin << " both succeeded without a shutdown";
            }
        // A start is refused only while a worker is joinable: some successful start
        // came before it that no shutdown, wholly between the two, undid.
        for (const Call& r : refused) {
            const bool joinable = std::any_of(started.begin(), started.end(), [&](const Call& a) {
                if (a.begin >= r.end) return false;
                return std::none_of(shutdowns_.begin(), shutdowns_.end(), [&](const Call& s) {
                    return s.begin > a.end && s.end < r.begin;
                });
            });
            if (!joinable) ADD_FAILURE() << "the start at " << r.begin << " was refused in the Idle state";
        }
        std::cout << "[ storm    ] " << started.size() << " starts, " << refused.size() << " refused, "
                  << shutdowns_.size() << " shutdowns, " << observations_ << " observations checked\n";
        EXPECT_GT(started.size(), 20u);
        EXPECT_GT(refused.size(), 20u);
        EXPECT_GT(observations_.load(), 500);

        // Each successful start ran one install to its end; a refused one none.
        int completed = 0, cancelled = 0, failed = 0;
        for (const Call& call : starts_) {
            const std::vector<std::string> log = testing_support::LogMessages(dirs_[call.dirs]->log());
            if (call.result != 1) {
                EXPECT_TRUE(log.empty()) << "a refused start logged " << log.size() << " lines";
                continue;
            }
            ASSERT_FALSE(log.empty()) << "the start at " << call.begin << " left no log";
            EXPECT_EQ(std::count(log.begin(), log.end(), "Online installation started"), 1);
            EXPECT_EQ(log.front(), "Online installation started");
            EXPECT_TRUE(log.back().rfind("ERROR: ", 0) == 0 ||
                        log.back() == "Online installation completed successfully")
                << log.back();
            completed += log.back() == "Online installation completed successfully";
            cancelled += log.back() == "ERROR: Cancelled by user";
            failed += log.back() == "ERROR: " + Narrow(kEmptyListText);
        }
        std::cout << "[ storm    ] runs: " << completed << " completed, " << cancelled << " cancelled, "
                  << failed << " failed at once\n";
        EXPECT_GT(completed, 5);
        EXPECT_GT(cancelled, 5);
        EXPECT_GT(failed, 5);
    }

private:
    void Start(std::mt19937& random) {
        const unsigned kind = random() % 10;
        if (kind == 0) {  // a null argument: refused without touching anything
            EXPECT_EQ(Dll().Start(nullptr, L"t", L"l", L"w"), 0);
            return;
        }
        Start(random, kind < 4 ? L"" : kind < 8 ? quickUrl_ : slowUrl_);
    }

    void Start(std::mt19937&, const std::wstring& urls) {
        size_t index;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index = dirs_.size();
            dirs_.push_back(std::make_unique<InstallDirs>(L"storm"));
        }
        Call call;
        call.dirs = index;
        ++startsActive_;
        ++startsBegun_;
        call.begin = clock_++;
        call.result = dirs_[index]->Start(urls);
        call.end = clock_++;
        --startsActive_;
        if (call.result == 1) ++startsSucceeded_;
        EXPECT_TRUE(call.result == 0 || call.result == 1);
        std::lock_guard<std::mutex> lock(mutex_);
        starts_.push_back(call);
    }

    void Shutdown() {
        const uint64_t begunBefore = startsBegun_.load();
        const int activeBefore = startsActive_.load();
        const int succeededBefore = startsSucceeded_.load();
        Call call;
        call.begin = clock_++;
        Dll().Shutdown();
        call.end = clock_++;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdowns_.push_back(call);
        }
        // Nothing started since: the worker was joined and its result stays.
        const int32_t done = Dll().IsDone();
        const auto result = Dll().Result();
        if (activeBefore == 0 && startsBegun_.load() == begunBefore && succeededBefore > 0) {
            EXPECT_EQ(done, 1) << "after a shutdown";
            EXPECT_NE(result.first, -2) << "no result after a shutdown";
        }
    }

    // What a host does after its start: poll until the run has ended. Other hosts
    // may cancel it, shut it down or start the next one meanwhile.
    void AwaitRun() {
        for (int i = 0; i < 5000 && !Dll().IsDone(); ++i) {
            Observe();
            Sleep(1);
        }
        Observe();
    }

    // Done flag, result and record read together while no start can intervene.
    void Observe() {
        const uint64_t begunBefore = startsBegun_.load();
        const int activeBefore = startsActive_.load();
        const int32_t done = Dll().IsDone();
        int32_t code = -7;
        wchar_t message[1024] = {};
        const int32_t hasResult = Dll().GetResult(&code, message, 1024);
        TolvekProgressRecord record = {};
        const int32_t hasRecord = Dll().GetProgress(&record);
        const int32_t doneAfter = Dll().IsDone();
        if (activeBefore != 0 || startsBegun_.load() != begunBefore || startsSucceeded_.load() == 0) return;
        ++observations_;

        const std::wstring text = message;
        if (done) {
            EXPECT_EQ(hasResult, 1) << "done without a result";
            EXPECT_EQ(doneAfter, 1) << "done went back without a start";
        }
        if (!hasResult) return;
        EXPECT_TRUE(code == 0 || code == 1) << code;
        EXPECT_EQ(code == 0, text == L"OK") << Narrow(text);
        EXPECT_TRUE(text == L"OK" || text == L"Cancelled by user" || text == kEmptyListText) << Narrow(text);
        // The run's last record comes before its result.
        ASSERT_EQ(hasRecord, 1) << "a result without a record";
        if (code == 0) {
            EXPECT_STREQ(record.status, L"Completed");
        } else {
            EXPECT_STREQ(record.status, L"Error");
            EXPECT_EQ(std::wstring(record.currentItem), text.substr(0, 259));
        }
    }

    const std::wstring quickUrl_, slowUrl_;
    std::atomic<uint64_t> clock_{1};
    std::atomic<uint64_t> startsBegun_{0};
    std::atomic<int> startsActive_{0};
    std::atomic<int> startsSucceeded_{0};
    std::atomic<int> observations_{0};
    std::mutex mutex_;
    std::vector<std::unique_ptr<InstallDirs>> dirs_;
    std::vector<Call> starts_, shutdowns_;
};

TEST(HostThreads, FourHostsOnAllSixExportsKeepTheSessionConsistent) {
    ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
    testing_support::ResetServer(Servers().httpUrl);
    const std::wstring quickUrl = concurrency::PublishProduct(
        L"conc-storm", {{L"a.txt", "alpha"}, {L"sub/b.bin", std::string(5000, 'b')}});
    const std::wstring slowUrl = concurrency::PublishProduct(L"conc-storm-slow", {{L"c.txt", "c"}});
    // The slow manifest trickles in, so cancels and shutdowns meet a transfer.
    testing_support::SetRules(Servers().httpUrl,
                              "[{\"path\": \"/conc-storm-slow/manifest.json\", \"drip\": true,"
                              " \"drip_bytes\": 8, \"drip_interval_ms\": 20}]");
    Dll().Shutdown();

    Storm storm(quickUrl, slowUrl);
    std::vector<std::thread> hosts;
    for (uint32_t i = 0; i < 4; ++i) hosts.emplace_back([&storm, i] { storm.Host(20241001 + i, 1000); });
    for (auto& host : hosts) host.join();
    hosts.clear();
    for (uint32_t i = 0; i < 4; ++i) hosts.emplace_back([&storm, i] { storm.PatientHost(20241101 + i, 40); });
    for (auto& host : hosts) host.join();
    Dll().Shutdown();
    storm.CheckHistory();
    testing_support::ResetServer(Servers().httpUrl);
}

}  // namespace
