// Mirror probing and selection against the real mirror server: the mirrors are
// directories of one server, made to misbehave by rules on their paths.
#include "cdn.h"
#include "http.h"
#include "manifest.h"
#include "support.h"
#include "stage_context.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <thread>

namespace {

using namespace testing_support;

const wchar_t* const kMirrors[] = {L"m1", L"m2", L"m3"};

std::wstring Base(const std::wstring& mirror) { return Servers().httpUrl + L"/cdn/" + mirror; }
std::string Glob(const std::string& mirror) { return "/cdn/" + mirror + "/*"; }
std::string Rule(const std::string& mirror, const std::string& action) {
    return R"({"path_glob": ")" + Glob(mirror) + "\", " + action + "}";
}

std::string Attempt(const char* verb, int attempt, const std::wstring& url) {
    return std::string("CDN probe ") + verb + " [attempt " + std::to_string(attempt) + "/3]: " +
           Narrow(url);
}
std::string Retry(const char* verb, int attempt, const std::string& error) {
    return std::string("Retrying CDN probe ") + verb + " after failure (attempt " +
           std::to_string(attempt) + "/3): " + error;
}
// The lines of `attempts` attempts with `verb`, every attempt but the last failing with `error`.
void AddAttempts(std::vector<std::string>& lines, const char* verb, int attempts,
                 const std::wstring& url, const std::string& error) {
    for (int attempt = 1; attempt <= attempts && attempt <= 3; ++attempt) {
        lines.push_back(Attempt(verb, attempt, url));
        if (attempt < 3 && attempt < attempts) lines.push_back(Retry(verb, attempt, error));
    }
}

// Measured latencies and the platform's wording of network errors vary from run to run.
std::string Normalised(const std::string& line) {
    static const std::regex latency("latency=[0-9]+ms");
    static const std::regex requestFailed("error=HTTP request failed: .*");
    return std::regex_replace(std::regex_replace(line, latency, "latency=Nms"), requestFailed,
                              "error=HTTP request failed: ...");
}

// "VERB path [Range] [no-cache]" for each request the server saw, in order.
std::vector<std::string> RequestsSeen() {
    const std::string json = RecordedRequests(Servers().httpUrl);
    const std::string marker = "\"method\": \"";
    std::vector<std::string> seen;
    for (size_t at = json.find(marker); at != std::string::npos;) {
        const size_t next = json.find(marker, at + 1);
        const std::string block = json.substr(at, next == std::string::npos ? next : next - at);
        const size_t pathAt = block.find("\"path\": \"") + 9;
        std::string summary =
            block.substr(marker.size(), block.find('"', marker.size()) - marker.size());
        summary += " " + block.substr(pathAt, block.find('"', pathAt) - pathAt);
        if (block.find("\"Range\": \"bytes=0-0\"") != std::string::npos) summary += " Range";
        if (block.find("\"Cache-Control\": \"no-cache\"") != std::string::npos) summary += " no-cache";
        seen.push_back(summary);
        at = next;
    }
    return seen;
}

// JSON text of the manifest pieces the selection reads; URLs here need no escapes.
std::wstring Text(const std::wstring& text) { return L"\"" + text + L"\""; }
std::wstring Number(int number) { return std::to_wstring(number); }
std::wstring List(const std::vector<std::wstring>& items) {
    std::wstring text = L"[";
    for (const std::wstring& item : items) text += (text.size() > 1 ? L"," : L"") + item;
    return text + L"]";
}
std::wstring Object(const std::vector<std::pair<std::wstring, std::wstring>>& members) {
    std::wstring text = L"{";
    for (const auto& member : members)
        text += (text.size() > 1 ? L"," : L"") + Text(member.first) + L":" + member.second;
    return text + L"}";
}
std::wstring MirrorList(const std::vector<std::wstring>& mirrors) {
    std::vector<std::wstring> items;
    for (const std::wstring& mirror : mirrors) items.push_back(Text(mirror));
    return Object({{L"cdn_list", List(items)}});
}

// `key` is a literal: an entry's key is a view of text kept elsewhere.
tolvek::FileEntry Entry(const wchar_t* key, int64_t size = -1, bool hasSize = false) {
    tolvek::FileEntry entry;
    entry.key = key;
    if (hasSize) entry.size = size;
    return entry;
}

class CdnTest : public ::testing::Test, protected StageContext {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "TOLVEK_TEST_SERVERS names no servers file";
        ResetServer(Servers().httpUrl);
        tolvek::LogFilePath = scratch / L"cdn.log";
        for (const wchar_t* mirror : kMirrors) {
            ASSERT_TRUE(tolvek::EnsureDirectoryExists(MirrorDirectory(mirror)));
            WriteBytes(MirrorDirectory(mirror) + L"\\probe.bin", "probe content");
        }
    }
    void TearDown() override {
        tolvek::LogFilePath.clear();
        ResetServer(Servers().httpUrl);
        for (const wchar_t* mirror : kMirrors) {
            DeleteFileW((MirrorDirectory(mirror) + L"\\probe.bin").c_str());
            RemoveDirectoryW(MirrorDirectory(mirror).c_str());
        }
        RemoveDirectoryW(MirrorDirectory(L"").c_str());
    }
    static std::wstring MirrorDirectory(const std::wstring& mirror) {
        return Servers().root + L"\\cdn\\" + mirror;
    }

    void StartAfresh(const std::string& rules = "[]") {
        ResetServer(Servers().httpUrl);
        SetRules(Servers().httpUrl, rules);
        DeleteFileW(tolvek::LogFilePath.c_str());
    }
    std::vector<std::string> Log() const {
        std::vector<std::string> lines = LogMessages(tolvek::LogFilePath);
        for (std::string& line : lines) line = Normalised(line);
        return lines;
    }
    tolvek::CdnProbeResult Probe(const std::wstring& base) {
        return tolvek::ProbeCdn(run, base, L"probe.bin");
    }
    std::vector<std::wstring> Select(const std::wstring& manifest,
                                     const std::vector<tolvek::FileEntry>& files = {
                                         Entry(L"probe.bin")}) {
        tolvek::JsonDocument document;
        EXPECT_TRUE(tolvek::ParseJson(manifest, document).ok()) << Narrow(manifest);
        tolvek::Manifest model;
        tolvek::ReadManifest(document.root, model);
        std::vector<std::wstring> order;
        selection = tolvek::SelectCdns(run, model.mirrors, tolvek::ChooseProbePath(files),
                                       static_cast<int32_t>(files.size()), order);
        return order;
    }

    ScratchDir scratch{L"cdn"};
    tolvek::Outcome selection;
};

TEST_F(CdnTest, ProbeTriesHeadThenOneByteGet) {
    const std::wstring schemeless = Base(L"m1").substr(7);
    const std::string invalid = "Invalid URL: " + Narrow(schemeless) + "/probe.bin";
    struct Case {
        const char* name;
        std::string rule;  // for the mirror's paths
        std::wstring base;
        int heads, gets;             // attempts of each kind
        std::string retried, error;  // the retry lines' text; the result's (empty: success)
        std::wstring query;          // the base URL's query, which follows the probe's path
    } cases[] = {
        {"HEAD answered", "", Base(L"m1"), 1, 0, "", "", L""},
        {"base ending in a slash", "", Base(L"m1") + L"/", 1, 0, "", "", L""},
        {"HEAD failing once", R"("method": "HEAD", "status": 500, "times": 1)", Base(L"m1"), 2, 0,
         "HTTP status 500", "", L""},
        {"HEAD refused, range honoured", R"("refuse_head": true)", Base(L"m1"), 3, 1,
         "HTTP status 405", "", L""},
        {"HEAD refused, range ignored", R"("refuse_head": true, "ignore_range": true)", Base(L"m1"),
         3, 1, "HTTP status 405", "", L""},
        {"missing everywhere", R"("status": 404)", Base(L"m1"), 3, 3, "HTTP status 404",
         "HTTP status 404", L""},
        {"no scheme", "", schemeless, 3, 3, invalid, invalid, L""},
        {"a signed base URL", "", Base(L"m1") + L"/?token=a%2Fb&x=1", 1, 0, "", "", L"?token=a%2Fb&x=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartAfresh(c.rule.empty() ? "[]" : "[" + Rule("m1", c.rule) + "]");
        const tolvek::CdnProbeResult result = Probe(c.base);
        EXPECT_EQ(result.baseUrl, c.base);
        EXPECT_EQ(result.ok, c.error.empty());
        EXPECT_EQ(Narrow(result.error.text), c.error);
        if (c.error.empty()) {
            EXPECT_GE(result.latencyMs, 0);
            EXPECT_LT(result.latencyMs, INT64_MAX);
        } else {
            EXPECT_EQ(result.latencyMs, INT64_MAX);
        }

        const bool sent = c.base != schemeless;
        const std::wstring url = (sent ? Base(L"m1") : schemeless) + L"/probe.bin" + c.query;
        std::vector<std::string> lines, requests;
        AddAttempts(lines, "HEAD", c.heads, url, c.retried);
        AddAttempts(lines, "GET", c.gets, url, c.retried);
        EXPECT_EQ(Log(), lines);
        if (sent) {
            const std::string query = Narrow(c.query);
            requests.assign(c.heads, "HEAD /cdn/m1/probe.bin" + query + " no-cache");
            requests.insert(requests.end(), c.gets, "GET /cdn/m1/probe.bin" + query + " Range no-cache");
        }
        EXPECT_EQ(RequestsSeen(), requests);
    }
}

TEST_F(CdnTest, StalledHeadTimesOutAndIsRetriedSlow) {
    const std::string stallOnce = R"("method": "HEAD", "stall": true, "stall_seconds": 20, "times": 1)";
    SetRules(Servers().httpUrl, "[" + Rule("m1", stallOnce) + "]");
    const tolvek::CdnProbeResult result = Probe(Base(L"m1"));
    EXPECT_TRUE(result.ok) << Narrow(result.error.text);
    // The platform may report its socket's time-out instead of WinHTTP's.
    const std::vector<std::string> log = LogMessages(tolvek::LogFilePath);
    ASSERT_EQ(log.size(), 3u);
    const std::string failed = "HTTP request failed: ";
    EXPECT_TRUE(log[1] == Retry("HEAD", 1, failed + "timeout") ||
                log[1] == Retry("HEAD", 1, failed + Narrow(tolvek::HttpErrorText(WSAETIMEDOUT))))
        << log[1];
}

TEST_F(CdnTest, MirrorListComesFromCdnListOrElseCdn) {
    const std::wstring m1 = Base(L"m1"), m2 = Base(L"m2");
    const std::string missing = "Manifest does not contain cdn or cdn_list";
    const std::string kept = "";  // a selection that succeeds has no failure text
    struct Case {
        const char* name;
        std::wstring manifest;
        std::vector<std::wstring> mirrors;
        std::string error;
    } cases[] = {
        {"only non-empty strings of the list",
         Object({{L"cdn_list", List({Text(L""), Number(7), Text(m1)})}}), {m1}, kept},
        {"list ahead of cdn", Object({{L"cdn_list", List({Text(m1)})}, {L"cdn", Text(m2)}}), {m1},
         kept},
        {"empty list, cdn", Object({{L"cdn_list", List({})}, {L"cdn", Text(m2)}}), {m2}, kept},
        {"list not an array, cdn", Object({{L"cdn_list", Text(m1)}, {L"cdn", Text(m2)}}), {m2}, kept},
        {"duplicates kept", MirrorList({m1, m1}), {m1, m1}, kept},
        {"cdn a number", Object({{L"cdn", Number(1)}}), {}, missing},
        {"nothing usable", Object({{L"cdn_list", List({Text(L"")})}, {L"cdn", Text(L"")}}), {},
         missing},
        {"root not an object", List({Text(m1)}), {}, missing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartAfresh();
        EXPECT_EQ(Select(c.manifest), c.mirrors);
        EXPECT_EQ(Narrow(selection.text), c.error);
        std::vector<std::string> probed;
        for (const std::string& line : Log())
            if (line.rfind("Probing CDN [", 0) == 0) probed.push_back(line);
        std::vector<std::string> expected;
        for (size_t i = 0; i < c.mirrors.size(); ++i)
            expected.push_back("Probing CDN [" + std::to_string(i + 1) + "/" +
                               std::to_string(c.mirrors.size()) + "]: " + Narrow(c.mirrors[i]));
        EXPECT_EQ(probed, expected);
        if (c.mirrors.empty()) {
            EXPECT_TRUE(Log().empty());
        }
    }
}

TEST_F(CdnTest, ProbeFileIsTheSmallestFileWithABodyElseTheSmallestDeclared) {
    using tolvek::FileEntry;
    struct Case {
        std::vector<FileEntry> files;
        std::wstring probe;
    } cases[] = {
        {{Entry(L"a", 10, true), Entry(L"b"), Entry(L"c", 5, true), Entry(L"d", 5, true)}, L"c"},
        {{Entry(L"a"), Entry(L"b")}, L"a"},
        {{Entry(L"a", 7, true), Entry(L"b", -1, true), Entry(L"c", 0, true)}, L"a"},
        {{Entry(L"a", 0, true), Entry(L"b", 3, true), Entry(L"c", 3, true), Entry(L"d", 9, true)}, L"b"},
        // Nothing with a body: the smallest declared, then the first entry.
        {{Entry(L"a"), Entry(L"b", 0, true), Entry(L"c", -1, true)}, L"c"},
        {{Entry(L"a"), Entry(L"b", 0, true)}, L"b"},
        {{Entry(L"a"), Entry(L"b", INT64_MAX, true)}, L"a"},
        {{Entry(L"a"), Entry(L"", 3, true), Entry(L"b", 7, true)}, L"a"},
        // Never a protected file: the run downloads none, and mirrors seldom carry them.
        {{Entry(L"app.exe", 900, true), Entry(L"unins000.msg", 20, true)}, L"app.exe"},
        {{}, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.probe) + " of " + std::to_string(c.files.size()));
        StartAfresh("[" + Rule("m1", R"("status": 200)") + "]");
        EXPECT_EQ(Select(MirrorList({Base(L"m1")}), c.files), std::vector<std::wstring>{Base(L"m1")});
        const std::vector<std::string> log = Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0], "CDN probe file: " + Narrow(c.probe));
        EXPECT_EQ(RequestsSeen(),
                  std::vector<std::string>{"HEAD /cdn/m1/" + Narrow(c.probe) + " no-cache"});

        tolvek::ProgressRecord record{};
        ASSERT_TRUE(tolvek::CopyProgress(&record));
        EXPECT_EQ(std::wstring(record.status), L"Testing CDN");
        EXPECT_EQ(std::wstring(record.currentItem), c.probe);
        EXPECT_EQ(record.itemIndex, 0);
        EXPECT_EQ(record.itemCount, static_cast<int32_t>(c.files.size()));
    }
}

// An empty file would answer the ranged GET with 416 wherever HEAD is refused,
// and every mirror would count as down.
TEST_F(CdnTest, MirrorRefusingHeadIsReachedThroughAFileWithABody) {
    WriteBytes(MirrorDirectory(L"m1") + L"\\empty.bin", "");
    StartAfresh("[" + Rule("m1", R"("refuse_head": true)") + "]");
    const std::vector<std::wstring> order =
        Select(MirrorList({Base(L"m1")}), {Entry(L"empty.bin", 0, true), Entry(L"probe.bin", 13, true)});
    DeleteFileW((MirrorDirectory(L"m1") + L"\\empty.bin").c_str());
    EXPECT_EQ(order, std::vector<std::wstring>{Base(L"m1")});
    const std::vector<std::string> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "CDN probe file: probe.bin");
    EXPECT_EQ(log.back(), "Selected CDN: " + Narrow(Base(L"m1")) + " latency=Nms");
    EXPECT_EQ(RequestsSeen().back(), "GET /cdn/m1/probe.bin Range no-cache");
}

TEST_F(CdnTest, FastestFirstAndUnreachableLast) {
    const std::wstring slow = Base(L"m1"), down = Servers().refusedUrl, fast = Base(L"m3");
    SetRules(Servers().httpUrl, "[" + Rule("m1", R"("latency_ms": 400)") + "]");
    EXPECT_EQ(Select(MirrorList({slow, down, fast})), (std::vector<std::wstring>{fast, slow, down}));
    EXPECT_TRUE(selection.ok());

    std::vector<std::string> outcomes;  // without the probe's own attempt and retry lines
    for (const std::string& line : Log())
        if (line.find(" [attempt ") == std::string::npos && line.rfind("Retrying ", 0) != 0)
            outcomes.push_back(line);
    EXPECT_EQ(outcomes, (std::vector<std::string>{
                            "CDN probe file: probe.bin",
                            "Testing CDN endpoints (3)...",
                            "Probing CDN [1/3]: " + Narrow(slow),
                            "CDN OK: " + Narrow(slow) + " latency=Nms",
                            "Probing CDN [2/3]: " + Narrow(down),
                            "CDN FAILED: " + Narrow(down) + " error=HTTP request failed: ...",
                            "Probing CDN [3/3]: " + Narrow(fast),
                            "CDN OK: " + Narrow(fast) + " latency=Nms",
                            "Selected CDN: " + Narrow(fast) + " latency=Nms",
                        }));
}

TEST_F(CdnTest, AllFailedFallsBackToManifestOrder) {
    const std::wstring missing = Base(L"m1"), schemeless = Base(L"m2").substr(7);
    SetRules(Servers().httpUrl, "[" + Rule("m1", R"("status": 404)") + "]");
    EXPECT_EQ(Select(MirrorList({schemeless, missing})),
              (std::vector<std::wstring>{schemeless, missing}));
    EXPECT_TRUE(selection.ok());

    const std::string invalid = "Invalid URL: " + Narrow(schemeless) + "/probe.bin";
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 2], "CDN FAILED: " + Narrow(missing) + " error=HTTP status 404");
    EXPECT_EQ(log.back(), "All CDN probes failed; falling back to manifest CDN order for downloads: " +
                              Narrow(schemeless) + " (" + invalid + "); " + Narrow(missing) +
                              " (HTTP status 404)");
}

// Cancelled while the last mirror's probe pauses: nothing is ordered or returned.
TEST_F(CdnTest, CancelDuringPauseEndsTheSelection) {
    SetRules(Servers().httpUrl, "[" + Rule("m2", R"("status": 404)") + "]");
    const std::string retry = Retry("HEAD", 1, "HTTP status 404");
    std::atomic<bool> finished{false};
    std::thread host([&] {  // cancels once the second mirror's first retry is announced
        while (!finished && ReadBytes(tolvek::LogFilePath).find(retry) == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        tolvek::RaiseCancel(cancel);
    });
    const std::vector<std::wstring> selected = Select(MirrorList({Base(L"m1"), Base(L"m2")}));
    finished = true;
    host.join();

    EXPECT_TRUE(selected.empty());
    EXPECT_EQ(selection.kind, tolvek::FailureKind::Cancelled);
    EXPECT_EQ(selection.text, L"Cancelled by user");
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "CDN probe file: probe.bin",
                         "Testing CDN endpoints (2)...",
                         "Probing CDN [1/2]: " + Narrow(Base(L"m1")),
                         Attempt("HEAD", 1, Base(L"m1") + L"/probe.bin"),
                         "CDN OK: " + Narrow(Base(L"m1")) + " latency=Nms",
                         "Probing CDN [2/2]: " + Narrow(Base(L"m2")),
                         Attempt("HEAD", 1, Base(L"m2") + L"/probe.bin"),
                         retry,
                         "CDN FAILED: " + Narrow(Base(L"m2")) + " error=Cancelled by user",
                     }));
    EXPECT_EQ(RequestsSeen(), (std::vector<std::string>{"HEAD /cdn/m1/probe.bin no-cache",
                                                        "HEAD /cdn/m2/probe.bin no-cache"}));
}

}  // namespace
