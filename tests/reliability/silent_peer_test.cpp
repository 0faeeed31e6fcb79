// Installs that meet a peer which accepts connections and never sends a byte, or
// headers and bodies that stall or trickle: each request ends at its own time-out
// (30 s for the manifest and transfers, 5 s for a probe) by the engine's clock, the
// run goes on or fails with the texts of a failed request, and a cancel or a
// shutdown in any of these waits is answered at once.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <thread>

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
// that ends its attempt, by the log's whole-second stamps. A resumed attempt says
// where it continues before its request is sent, and the proxy chosen is told as it
// is sent; neither line ends it.
std::vector<long long> AttemptSpans(const std::vector<LogLine>& log, const std::string& prefix,
                                    const std::string& url) {
    std::vector<long long> spans;
    for (size_t i = 0; i < log.size(); ++i) {
        if (!StartsWith(log[i].message, prefix) || log[i].message.find(url) == std::string::npos) continue;
        size_t end = i + 1;
        while (end < log.size() && (StartsWith(log[end].message, "Resuming download at ") ||
                                    StartsWith(log[end].message, "Proxy for "))) ++end;
        if (end < log.size()) spans.push_back(log[end].seconds - log[i].seconds);
    }
    return spans;
}

void ExpectEachLasted(const std::vector<long long>& spans, long long timeoutMs) {
    for (long long span : spans) ExpectEndedAtTimeOut(span * 1000, timeoutMs);
}

// Waits until the run publishes `status` (for `item`, when given).
bool WaitForStatus(const wchar_t* status, const wchar_t* item = nullptr) {
    TolvekProgressRecord record = {};
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 20000; Sleep(10)) {
        if (Dll().GetProgress(&record) == 1 && std::wcscmp(record.status, status) == 0 &&
            (!item || std::wcscmp(record.currentItem, item) == 0))
            return true;
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

// The engine answers within 500 ms; 2 s leaves room for a loaded machine, and the
// benchmark measures the real figures. Without its own clock each of these phases
// held a cancel or a shutdown for a platform time-out (or, for headers that
// trickle in, for ever).
constexpr ULONGLONG kPromptMs = 2000;

// A stage of a run that waits on the network, and what tells that the run is in it.
struct WaitingPhase {
    const char* name;
    std::wstring manifestUrl;
    std::string rules;  // for the HTTP mirror server
    const wchar_t* status;
    const wchar_t* item;  // the record's item, when it tells the phase apart
};

std::vector<WaitingPhase> WaitingPhases(const Product& product, const Product& silentMirror) {
    const std::string bin = "/prompt/m1/b.bin";
    return {
        {"a manifest server that accepts and never answers", Servers().silentUrl + L"/prompt/manifest.json", "[]",
         L"Downloading manifest", nullptr},
        {"a connect that is never accepted", Servers().unacceptedUrl + L"/prompt/manifest.json", "[]",
         L"Downloading manifest", nullptr},
        {"response headers arriving a byte a second", product.ManifestUrl(),
         R"([{"path": "/prompt/manifest.json", "header_drip": true}])", L"Downloading manifest", nullptr},
        {"the probe of a silent mirror", silentMirror.ManifestUrl(), "[]", L"Testing CDN", nullptr},
        {"a body stalled half way", product.ManifestUrl(),
         R"([{"path": ")" + bin + R"(", "method": "GET", "stall_after_bytes": 100000, "stall_seconds": 60}])",
         L"Downloading", L"b.bin"},
        {"a body trickling a byte a second", product.ManifestUrl(),
         R"([{"path": ")" + bin + R"(", "method": "GET", "drip": true, "drip_bytes": 1, "drip_interval_ms": 1000}])",
         L"Downloading", L"b.bin"},
    };
}

TEST_F(ReliabilityTest, CancelAndShutdownAnswerPromptlyInEveryPhase) {
    const std::string a = "a", b(200000, 'b');
    Product product(L"prompt");
    product.Publish({{L"a.txt", a}, {L"b.bin", b}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    Product silentMirror(L"prompt-probe");
    silentMirror.Publish({{L"a.txt", a}}, {L"m1"}, {silentMirror.MirrorUrl(Servers().silentUrl, L"m1")});
    for (const WaitingPhase& phase : WaitingPhases(product, silentMirror)) {
        for (const bool shutdownAlone : {false, true}) {
            SCOPED_TRACE(std::string(phase.name) + (shutdownAlone ? ", shut down" : ", cancelled"));
            testing_support::ResetServer(Servers().httpUrl);
            testing_support::SetRules(Servers().httpUrl, phase.rules);
            Sandbox box(L"prompt");
            box.Seal();
            ASSERT_EQ(box.Start(phase.manifestUrl), 1);
            ASSERT_TRUE(WaitForStatus(phase.status, phase.item));
            Sleep(1000);  // well inside the wait

            const ULONGLONG start = GetTickCount64();
            if (shutdownAlone) {
                Dll().Shutdown();
                EXPECT_LE(GetTickCount64() - start, kPromptMs) << "the shutdown call";
            } else {
                Dll().Cancel();
                EXPECT_LE(GetTickCount64() - start, kPromptMs) << "the cancel call";
                while (Dll().IsDone() == 0 && GetTickCount64() - start < 60000) Sleep(5);
                EXPECT_LE(GetTickCount64() - start, kPromptMs) << "from the cancel to the end of the run";
            }
            EXPECT_EQ(Dll().IsDone(), 1);
            const Result result = Dll().Result();
            Dll().Shutdown();
            EXPECT_EQ(result, Result(1, L"Cancelled by user"));
            CheckRun(box, result, {{L"a.txt", nullptr, &a}});
        }
    }
    testing_support::ResetServer(Servers().httpUrl);
}

// A shutdown holds the session while it waits for the worker; a cancel from
// another thread meanwhile must not wait for it.
TEST_F(ReliabilityTest, CancelWhileAShutdownRunsReturnsAtOnce) {
    const std::string b(200000, 'b');
    Product product(L"prompt-both");
    product.Publish({{L"b.bin", b}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    testing_support::SetRules(Servers().httpUrl, R"([{"path": "/prompt-both/m1/b.bin", "method": "GET", )"
                                                 R"("stall_after_bytes": 100000, "stall_seconds": 60}])");
    Sandbox box(L"prompt-both");
    box.Seal();
    ASSERT_EQ(box.Start(product.ManifestUrl()), 1);
    ASSERT_TRUE(WaitForStatus(L"Downloading", L"b.bin"));
    std::thread shutdown([] { Dll().Shutdown(); });
    Sleep(50);
    const ULONGLONG start = GetTickCount64();
    Dll().Cancel();
    const ULONGLONG cancelTook = GetTickCount64() - start;
    shutdown.join();
    EXPECT_LE(cancelTook, 1000u);
    EXPECT_LE(GetTickCount64() - start, kPromptMs) << "the shutdown";
    EXPECT_EQ(Dll().Result(), Result(1, L"Cancelled by user"));
    testing_support::ResetServer(Servers().httpUrl);
}

// The whole of the headers within 30 s by the engine's own clock: a manifest server
// whose headers trickle in costs one attempt, and the next one succeeds.
TEST_F(ReliabilityTest, HeadersThatDripAreGivenUpAtTheirTimeOutSlow) {
    const std::string a = "a";
    Product product(L"drip-headers");
    product.Publish({{L"a.txt", a}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    testing_support::SetRules(Servers().httpUrl,
                              R"([{"path": "/drip-headers/manifest.json", "header_drip": true, "times": 1}])");
    Sandbox box(L"drip-headers");
    box.Seal();
    const Result result = box.Install(product.ManifestUrl());
    EXPECT_EQ(result, Result(0, L"OK"));
    CheckRun(box, result, {{L"a.txt", nullptr, &a}});
    const std::vector<long long> spans =
        AttemptSpans(testing_support::StampedLog(box.log), "Trying to download manifest", "/drip-headers/");
    ASSERT_EQ(spans.size(), 2u);
    ExpectEndedAtTimeOut(spans[0] * 1000, kTransferTimeoutMs);
    testing_support::ResetServer(Servers().httpUrl);
}

// Each KiB of a body within 30 s of the one before: with no other mirror, one that
// sends a byte now and then costs that attempt 30 s, and the next attempt delivers.
TEST_F(ReliabilityTest, ABodyThatTricklesIsGivenUpAtItsTimeOutSlow) {
    const std::string b(70000, 'b');
    Product product(L"trickle");
    product.Publish({{L"b.bin", b}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    testing_support::SetRules(Servers().httpUrl, R"([{"path": "/trickle/m1/b.bin", "method": "GET", "drip": true,
                                                      "drip_bytes": 1, "drip_interval_ms": 2000, "times": 1}])");
    Sandbox box(L"trickle");
    box.Seal();
    const Result result = box.Install(product.ManifestUrl());
    EXPECT_EQ(result, Result(0, L"OK"));
    CheckRun(box, result, {{L"b.bin", nullptr, &b}});
    const std::vector<LogLine> log = testing_support::StampedLog(box.log);
    const std::vector<long long> trickled = AttemptSpans(log, "Downloading [CDN ", "/trickle/m1/b.bin");
    ASSERT_EQ(trickled.size(), 2u);
    ExpectEachLasted({trickled[0]}, kTransferTimeoutMs);
    testing_support::ResetServer(Servers().httpUrl);
}

}  // namespace
}  // namespace reliability
