// Installs that meet a peer which accepts connections and never sends a byte:
// each request to it ends at its own time-out (30 s for the manifest, 5 s for a
// probe), the run goes on or fails with the texts of a failed request, and a
// shutdown during such a request returns within one time-out.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

namespace reliability {
namespace {

using testing_support::Dll;
using testing_support::LogLine;
using testing_support::Narrow;
using testing_support::Product;
using testing_support::Servers;

using testing_support::ExpectEndedAtTimeOut;
using testing_support::kTimeOutMarginMs;

constexpr long long kTransferTimeoutMs = 30000;
constexpr long long kProbeTimeoutMs = 5000;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// Seconds from each line that starts with `prefix` and names `url` to the line
// after it, by the log's whole-second stamps.
std::vector<long long> AttemptSpans(const std::vector<LogLine>& log, const std::string& prefix,
                                    const std::string& url) {
    std::vector<long long> spans;
    for (size_t i = 0; i + 1 < log.size(); ++i) {
        if (StartsWith(log[i].message, prefix) && log[i].message.find(url) != std::string::npos)
            spans.push_back(log[i + 1].seconds - log[i].seconds);
    }
    return spans;
}

void ExpectEachLasted(const std::vector<long long>& spans, long long timeoutMs) {
    for (long long span : spans) ExpectEndedAtTimeOut(span * 1000, timeoutMs);
}

bool WaitForStatus(const wchar_t* status) {
    TolvekProgressRecord record = {};
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 20000; Sleep(10)) {
        if (Dll().GetProgress(&record) == 1 && std::wcscmp(record.status, status) == 0) return true;
    }
    ADD_FAILURE() << "the run never reached \"" << Narrow(status) << "\"";
    return false;
}

TEST_F(ReliabilityTest, ManifestFromASilentPeerFailsAfterThreeTimedOutAttempts) {
    const std::wstring url = Servers().silentUrl + L"/silent/manifest.json";
    Sandbox box(L"silent-manifest");
    box.Seal();
    const ULONGLONG start = GetTickCount64();
    const Result result = box.Install(url);
    const long long took = static_cast<long long>(GetTickCount64() - start);

    EXPECT_EQ(result.first, 1);
    EXPECT_TRUE(HasPrefixAndTail(result.second, NoManifest(1, L"HTTP request failed: "))) << Narrow(result.second);
    CheckRun(box, result, {});
    const std::vector<long long> spans =
        AttemptSpans(testing_support::StampedLog(box.log), "Trying to download manifest", Narrow(url));
    EXPECT_EQ(spans.size(), 3u);
    ExpectEachLasted(spans, kTransferTimeoutMs);
    // Three time-outs and two 500 ms pauses.
    EXPECT_LE(took, 3 * kTransferTimeoutMs + 1000 + kTimeOutMarginMs);
}

TEST_F(ReliabilityTest, SilentMirrorsCostTheirProbeTimeOutsAndAreNotUsed) {
    const std::string a = "first file", b(70000, 'b');
    Product product(L"silent-cdn");
    const std::wstring silent = product.MirrorUrl(Servers().silentUrl, L"m1");
    const std::wstring silentTls = product.MirrorUrl(Servers().silentTlsUrl, L"m1");
    const std::wstring good = product.MirrorUrl(Servers().httpUrl, L"m1");
    product.Publish({{L"a.txt", a}, {L"b.bin", b}}, {L"m1"}, {silent, silentTls, good});
    Sandbox box(L"silent-cdn");
    box.Seal();

    const Result result = box.Install(product.ManifestUrl());
    EXPECT_EQ(result, Result(0, L"OK"));
    CheckRun(box, result, {{L"a.txt", nullptr, &a}, {L"b.bin", nullptr, &b}});

    const std::vector<LogLine> log = testing_support::StampedLog(box.log);
    for (const std::wstring& mirror : {silent, silentTls}) {
        SCOPED_TRACE(Narrow(mirror));
        // Three HEAD and three ranged GET attempts, each ended by its time-out.
        const std::vector<long long> spans = AttemptSpans(log, "CDN probe ", Narrow(mirror));
        EXPECT_EQ(spans.size(), 6u);
        ExpectEachLasted(spans, kProbeTimeoutMs);
        const std::wstring failed = L"CDN FAILED: " + mirror + L" error=HTTP request failed: ";
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const LogLine& line) {
            return HasPrefixAndTail(testing_support::Widen(line.message), failed);
        }));
        EXPECT_TRUE(AttemptSpans(log, "Downloading [CDN ", Narrow(mirror)).empty()) << "a file came from it";
    }
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const LogLine& line) {
        return StartsWith(line.message, "Selected CDN: " + Narrow(good) + " latency=");
    }));
}

TEST_F(ReliabilityTest, ShutdownDuringASilentRequestReturnsWithinOneTimeOut) {
    Product product(L"silent-stop");
    product.Publish({{L"a.txt", "a"}}, {L"m1"}, {product.MirrorUrl(Servers().silentUrl, L"m1")});
    struct Phase {
        const char* name;
        std::wstring manifestUrl;
        const wchar_t* status;
        long long timeoutMs;
    };
    const Phase phases[] = {
        {"the manifest request", Servers().silentUrl + L"/silent-stop/manifest.json", L"Downloading manifest",
         kTransferTimeoutMs},
        {"a probe", product.ManifestUrl(), L"Testing CDN", kProbeTimeoutMs},
    };
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        Sandbox box(L"silent-stop");
        box.Seal();
        ASSERT_EQ(box.Start(phase.manifestUrl), 1);
        ASSERT_TRUE(WaitForStatus(phase.status));
        Sleep(1000);  // well inside the request

        const ULONGLONG start = GetTickCount64();
        Dll().Shutdown();
        const long long took = static_cast<long long>(GetTickCount64() - start);
        EXPECT_LE(took, phase.timeoutMs + kTimeOutMarginMs);
        EXPECT_EQ(Dll().IsDone(), 1);
        const Result result = Dll().Result();
        EXPECT_EQ(result, Result(1, L"Cancelled by user"));
        CheckRun(box, result, {});
    }
}

}  // namespace
}  // namespace reliability
