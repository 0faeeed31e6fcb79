// Whole installs against servers whose bodies have no trustworthy end: chunked
// or close-delimited without end, a huge Content-Length, an endless manifest.
// The disk never holds more than the manifest's bound allows, and each run ends
// with the engine's text for it.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::SentBytes;
using testing_support::Servers;
using testing_support::SetRules;

constexpr long long kBuffer = 1048576;
constexpr long long kManifestCeiling = 134217728;
// What a server can push into socket buffers before it sees the connection closed.
constexpr long long kSocketSlack = 64 * kBuffer;

// The largest size a file reached while a run went on, polled from outside.
class PeakSize {
public:
    explicit PeakSize(std::wstring path) : path_(std::move(path)), watcher_([this] { Watch(); }) {}
    ~PeakSize() { Stop(); }
    long long Stop() {
        stop_ = true;
        if (watcher_.joinable()) watcher_.join();
        return peak_;
    }

private:
    void Watch() {
        while (!stop_) {
            WIN32_FIND_DATAW data;  // `path_` may be a pattern: a name may carry a part of the run's own
            const HANDLE find = FindFirstFileW(path_.c_str(), &data);
            if (find != INVALID_HANDLE_VALUE && FindClose(find))
                peak_ = std::max(peak_, static_cast<long long>((ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow));
            Sleep(5);
        }
    }
    std::wstring path_;
    std::atomic<bool> stop_{false};
    long long peak_ = 0;
    std::thread watcher_;
};

TEST_F(ReliabilityTest, BodiesWithoutATrustworthyEndStopAtTheDeclaredSize) {
    struct Row {
        const char* name;
        const char* rule;
    };
    const Row rows[] = {
        {"chunked without end", R"("endless": true, "chunked": true)"},
        {"no length, without end", R"("endless": true)"},
        {"a huge Content-Length", R"("endless": true, "announce": 1099511627776)"},
    };
    // A declared size of 0 is an empty file: its body ends at the first bytes.
    const std::vector<testing_support::ProductFile> files = {{L"five.bin", "12345"}, {L"empty.flag", ""}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        for (const testing_support::ProductFile& file : files) {
            const Row& row = rows[i];
            SCOPED_TRACE(row.name + (" for " + Narrow(file.key)));
            testing_support::ResetServer(Servers().httpUrl);
            const std::wstring name = L"endless" + std::to_wstring(i);
            Product product(name);
            product.Publish({file}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
            SetRules(Servers().httpUrl, R"([{"path": "/)" + Narrow(name) + "/m1/" + Narrow(file.key) +
                                            R"(", "method": "GET", "body": "12345", )" + row.rule + "}]");

            Sandbox box(L"endless");
            box.Seal();
            const ULONGLONG start = GetTickCount64();
            const Result result = box.Install(product.ManifestUrl());
            EXPECT_LT(GetTickCount64() - start, 60000u) << "a transfer did not stop";

            const long long size = static_cast<long long>(file.content.size());
            const std::wstring prefix = AllMirrorsFailed(file.key, 1, L"Size mismatch after download: expected " +
                                                                          std::to_wstring(size) + L", got ");
            ASSERT_TRUE(HasPrefixAndTail(result.second, prefix)) << Narrow(result.second);
            const long long written = std::stoll(result.second.substr(prefix.size()));
            EXPECT_GT(written, size);
            EXPECT_LE(written, size + kBuffer) << "more than one buffer past the declared size";
            CheckRun(box, result, {{file.key, nullptr, &file.content}});

            const std::vector<long long> sent = SentBytes(Servers().httpUrl);
            // The manifest, a HEAD probe and one attempt: a body past its size is the mirror's copy.
            EXPECT_EQ(sent.size(), 3u);
            for (long long bytes : sent) EXPECT_LT(bytes, kSocketSlack);
        }
    }
}

TEST_F(ReliabilityTest, EndlessManifestStopsAtTheCeilingOnEveryAttempt) {
    Product product(L"endlessmanifest");
    SetRules(Servers().httpUrl, R"([{"path": "/endlessmanifest/manifest.json", "body": "{\"files\": {", "endless": true}])");
    Sandbox box(L"endlessmanifest");
    box.Seal();
    PeakSize peak(box.work + L"\\tolvek_launcher_manifest.json.*.download");
    const Result result = box.Install(product.ManifestUrl());
    const long long largest = peak.Stop();

    const std::wstring tooLarge = L"Manifest too large (more than 134217728 bytes)";
    EXPECT_EQ(result, Result(1, NoManifest(1, tooLarge)));
    CheckRun(box, result, {});
    EXPECT_LE(largest, kManifestCeiling + kBuffer) << "the temporary file grew past the ceiling";
    EXPECT_GT(largest, kManifestCeiling / 2) << "the temporary file was never seen";

    const std::vector<std::string> log = box.Log();
    const std::string url = Narrow(product.ManifestUrl());
    EXPECT_EQ(std::count(log.begin(), log.end(), "Manifest download failed: " + url + " ; error=" + Narrow(tooLarge)), 3);
    const std::vector<long long> sent = SentBytes(Servers().httpUrl);
    ASSERT_EQ(sent.size(), 3u);
    for (long long bytes : sent) {
        EXPECT_GT(bytes, kManifestCeiling);
        EXPECT_LT(bytes, kManifestCeiling + kSocketSlack);
    }
}

}  // namespace
}  // namespace reliability
