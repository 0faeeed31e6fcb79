// A storm of installs cancelled at random moments, or shut down without a cancel:
// every one ends with "Cancelled by user" within the engine's time bounds,
// and leaves the target, the working directory and the log as the invariants say.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

namespace reliability {
namespace {

using testing_support::Dll;
using testing_support::Narrow;
using testing_support::Product;
using testing_support::Servers;

unsigned Seed(unsigned fallback) {
    const char* text = std::getenv("TOLVEK_RELIABILITY_SEED");
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

// A cancelled transfer ends within one chunk and a cancelled pause within its
// 500 ms; 2 s leaves room for a loaded machine. Without the cancel the run would
// go on for more than 5 s: f3.bin alone drips for that long.
constexpr ULONGLONG kBoundMs = 2000;

// Where the run may be when the cancel comes; every variant drips f3.bin.
const char* const kVariants[] = {
    // a transfer in flight
    R"([{"path": "/storm/m1/f3.bin", "method": "GET", "drip": true, "drip_bytes": 512, "drip_interval_ms": 20}])",
    // a 500 ms pause between two attempts on a mirror
    R"([{"path": "/storm/m1/f2.bin", "method": "GET", "status": 500, "times": 1},
        {"path": "/storm/m1/f3.bin", "method": "GET", "drip": true, "drip_bytes": 512, "drip_interval_ms": 20}])",
    // the manifest transfer itself
    R"([{"path": "/storm/manifest.json", "drip": true, "drip_bytes": 64, "drip_interval_ms": 15},
        {"path": "/storm/m1/f3.bin", "method": "GET", "drip": true, "drip_bytes": 512, "drip_interval_ms": 20}])",
    // a pause between two probe attempts
    R"([{"path": "/storm/m1/f1.bin", "method": "HEAD", "status": 503, "times": 1},
        {"path": "/storm/m1/f3.bin", "method": "GET", "drip": true, "drip_bytes": 512, "drip_interval_ms": 20}])",
    // a pause between two manifest attempts
    R"([{"path": "/storm/manifest.json", "status": 500, "times": 1},
        {"path": "/storm/m1/f3.bin", "method": "GET", "drip": true, "drip_bytes": 512, "drip_interval_ms": 20}])",
};

std::string Letters(size_t size, char first) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(first + i % 7);
    return bytes;
}

TEST_F(ReliabilityTest, CancellationStormEndsEveryRunCleanlyAndInTime) {
    const std::string f1 = Letters(2000, 'a'), f2 = Letters(3000, 'h'), f3 = Letters(128 * 1024, 'p');
    const std::string old1 = "old f1", old2 = "old f2", old3 = "old f3";
    Product product(L"storm");
    product.Publish({{L"f1.bin", f1}, {L"f2.bin", f2}, {L"f3.bin", f3}}, {L"m1"},
                    {product.MirrorUrl(Servers().httpUrl, L"m1")});

    const unsigned seed = Seed(20240612);
    std::mt19937 random(seed);
    const int runs = 200;
    std::map<std::string, int> landedIn;  // status seen just before the cancel
    ULONGLONG slowest = 0;
    int shutdowns = 0;
    for (int run = 0; run < runs; ++run) {
        // Half the runs cancel transfers; each kind of pause gets a tenth (a cancel
        // there waits out the pause, so they cost the most time).
        static const int kWeights[] = {0, 0, 0, 0, 0, 2, 2, 1, 3, 4};
        const int variant = kWeights[random() % std::size(kWeights)];
        const DWORD delayMs = random() % 301;
        const bool shutdownOnly = random() % 4 == 0;
        const bool fromOtherThread = random() % 2 == 0;
        const unsigned olds = random();
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run) + ": variant " +
                     std::to_string(variant) + ", " + (shutdownOnly ? "shutdown" : "cancel") + " after " +
                     std::to_string(delayMs) + " ms");
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::SetRules(Servers().httpUrl, kVariants[variant]);

        Sandbox box(L"storm");
        // Old files, some of them already the new content.
        if (olds & 1) box.Put(L"f1.bin", olds & 2 ? f1 : old1);
        if (olds & 4) box.Put(L"f2.bin", olds & 8 ? f2 : old2);
        if (olds & 16) box.Put(L"f3.bin", old3);
        box.Seal();

        ASSERT_EQ(box.Start(product.ManifestUrl()), 1);
        Sleep(delayMs);
        TolvekProgressRecord record = {};
        Dll().GetProgress(&record);
        ++landedIn[Narrow(record.status) + (record.currentItem[0] ? " " + Narrow(record.currentItem) : "")];

        const ULONGLONG start = GetTickCount64();
        if (shutdownOnly) {
            ++shutdowns;
            Dll().Shutdown();
            EXPECT_EQ(Dll().IsDone(), 1);
        } else {
            if (fromOtherThread)
                std::thread([] { Dll().Cancel(); }).join();
            else
                Dll().Cancel();
            while (!Dll().IsDone() && GetTickCount64() - start < 60000) Sleep(1);
        }
        const ULONGLONG took = GetTickCount64() - start;
        slowest = std::max(slowest, took);
        EXPECT_LE(took, kBoundMs) << (shutdownOnly ? "shutdown" : "cancel") << " took " << took << " ms";

        const Result result = Dll().Result();
        Dll().Shutdown();
        EXPECT_EQ(result, Result(1, L"Cancelled by user"));
        ASSERT_EQ(Dll().GetProgress(&record), 1);
        EXPECT_STREQ(record.status, L"Error");
        EXPECT_STREQ(record.currentItem, L"Cancelled by user");
        CheckRun(box, result,
                 {{L"f1.bin", olds & 1 ? (olds & 2 ? &f1 : &old1) : nullptr, &f1},
                  {L"f2.bin", olds & 4 ? (olds & 8 ? &f2 : &old2) : nullptr, &f2},
                  {L"f3.bin", olds & 16 ? &old3 : nullptr, nullptr}});  // never finishes in time
        if (HasFailure()) break;  // one broken run tells the story; the rest would repeat it
    }

    std::string summary = "slowest end after a cancel or shutdown: " + std::to_string(slowest) + " ms; " +
                          std::to_string(shutdowns) + " shutdowns without cancel; cancels landed in:";
    for (const auto& entry : landedIn) summary += "\n  " + std::to_string(entry.second) + " x " + entry.first;
    std::printf("%s\n", summary.c_str());
    // The storm must reach the transfers, not only the set-up.
    EXPECT_GT(landedIn["Downloading f3.bin"], 0) << summary;
}

}  // namespace
}  // namespace reliability
