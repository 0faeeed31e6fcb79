// Whole installs while the network misbehaves: each fault on its own, then many
// faults mixed at random with a fixed seed. After every run the invariants of
// sandbox.h hold and the result is the one the engine gives for that fault.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::ProductFile;
using testing_support::RecordedRequests;
using testing_support::Servers;
using testing_support::SetRules;
using testing_support::Widen;

// Letters only, so that a rule can carry a changed copy as its body.
std::string Bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>('a' + random() % 26);
    return bytes;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& prefix, const std::string& suffix = "") {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.rfind(prefix, 0) == 0 && line.size() >= prefix.size() + suffix.size() &&
               line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0;
    }));
}

enum class Where { Http, Https, Refused };

// One fault against a product of two files: a.bin (the probe file) and b.bin,
// whose old content is already in the target.
struct FaultRow {
    const char* name;
    Where mirror;
    // Rules for the mirror's server; {a}, {b}, {m1}, {m2}, {manifest} and {http}
    // stand for the request paths and the plain HTTP server's URL.
    const char* rules;
    // The manifest URL list; {manifest} is the product's manifest URL.
    const char* manifestUrls;
    int code;
    std::vector<Text> result;
    bool aInstalled, bInstalled;
    int bAttempts;  // "Downloading [CDN" lines for b.bin; -1: not checked
    // Each group: some log line starts with one of these.
    std::vector<std::vector<std::string>> logLines;
};

const std::string kA(1000, 'a');
const std::string kB = Bytes(70000, 7);
const std::string kOldB = "the old b.bin";

std::vector<FaultRow> FaultRows() {
    const std::wstring b = L"b.bin";
    const std::wstring reset = L"WinHttpQueryDataAvailable failed: ", readFailed = L"WinHttpReadData failed: ";
    return {
        {"connection refused by the only mirror", Where::Refused, "", "{manifest}", 1,
         {ThenPlatformText(AllMirrorsFailed(L"a.bin", 1, L"HTTP request failed: "))}, false, false, 0, {}},
        {"connection refused for the only manifest URL", Where::Http, "", "{refused}/manifest.json", 1,
         {ThenPlatformText(NoManifest(1, L"HTTP request failed: "))}, false, false, 0, {}},
        {"refused manifest URL, then a good one", Where::Http, "", "{refused}/manifest.json|{manifest}", 0, {Exactly(L"OK")},
         true, true, 1, {{"Manifest downloaded successfully from: "}}},
        {"manifest body cut short every time", Where::Http,
         R"([{"path": "{manifest}", "method": "GET", "short": true, "short_bytes": 40}])", "{manifest}", 1,
         {ThenPlatformText(NoManifest(1, L"Incomplete download: got 40 of "))}, false, false, 0, {}},
        {"manifest answered with 500 once", Where::Http,
         R"([{"path": "{manifest}", "method": "GET", "status": 500, "times": 1}])", "{manifest}", 0, {Exactly(L"OK")},
         true, true, 1, {{"Manifest download failed: "}}},
        {"connection reset in the middle of the body", Where::Http,
         R"([{"path": "{b}", "method": "GET", "drop_after_bytes": 1000}])", "{manifest}", 1,
         // Asynchronous reads may see the reset as the body's end before its length.
         {ThenPlatformText(AllMirrorsFailed(b, 1, reset)), ThenPlatformText(AllMirrorsFailed(b, 1, readFailed)),
          Exactly(AllMirrorsFailed(b, 1, L"Incomplete download: got 1000 of " + std::to_wstring(kB.size()) + L" bytes"))},
         true, false, 3, {}},
        {"connection reset once, the retry succeeds", Where::Http,
         R"([{"path": "{b}", "method": "GET", "drop_after_bytes": 1000, "times": 1}])", "{manifest}", 0,
         {Exactly(L"OK")}, true, true, 2, {{"Retrying same CDN after download failure (attempt 1/3): "}}},
        // Every attempt continues what the last one left, and the server sends half
        // of what is asked each time: 35000, 17500, 8750 (each a tenth of the file or
        // more: no attempt used up), 4375, 2187 and 1094 more.
        {"body shorter than its Content-Length", Where::Http,
         R"([{"path": "{b}", "method": "GET", "short": true}])", "{manifest}", 1,
         {Exactly(AllMirrorsFailed(b, 1, L"Incomplete download: got 68906 of 70000 bytes"))}, true, false, 6,
         {{"Resuming download at 35000 bytes: "}, {"Resuming download at 65625 bytes: "},
          {"Retrying same CDN after download progress (attempt 1/3 not used up): "}}},
        // The transfer stops with the read that passes the size; how much one read
        // brings is the platform's (8 KiB reads under Wine: 73728).
        {"chunked body longer than the manifest size", Where::Http,
         R"([{"path": "{b}", "method": "GET", "chunked_size_mismatch": true, "chunked_bytes": 80000}])", "{manifest}",
         1, {ThenPlatformText(AllMirrorsFailed(b, 1, L"Size mismatch after download: expected 70000, got "))}, true,
         false, 1, {}},
        {"chunked body shorter than the manifest size", Where::Http,
         R"([{"path": "{b}", "method": "GET", "chunked_size_mismatch": true}])", "{manifest}", 1,
         {Exactly(AllMirrorsFailed(b, 1, L"Size mismatch after download: expected 70000, got 35000"))}, true, false,
         1, {}},
        {"wrong status", Where::Http, R"([{"path": "{b}", "method": "GET", "status": 503}])", "{manifest}", 1,
         {Exactly(AllMirrorsFailed(b, 1, L"HTTP status 503"))}, true, false, 3, {}},
        {"wrong content of the right size: no retry on that mirror", Where::Http,
         R"([{"path": "{b}", "method": "GET", "body": "{wrong}"}])", "{manifest}", 1,
         {Exactly(AllMirrorsFailed(b, 1, L"SHA256 mismatch for b.bin. Expected " + Widen(testing_support::Sha256Hex(kB)) +
                                              L", got " + Widen(testing_support::Sha256Hex(std::string(70000, 'w')))))},
         true, false, 1, {}},
        {"slow drip", Where::Http,
         R"([{"path": "{b}", "method": "GET", "drip": true, "drip_bytes": 4096, "drip_interval_ms": 25}])", "{manifest}",
         0, {Exactly(L"OK")}, true, true, 1, {}},
        {"redirect loop", Where::Http,
         R"([{"path": "{b}", "method": "GET", "redirect": true, "location": "{b}"}])", "{manifest}", 1,
         {ThenPlatformText(AllMirrorsFailed(b, 1, L"HTTP request failed: "))}, true, false, 3, {}},
        {"redirect to another copy is followed", Where::Http,
         R"([{"path": "{b}", "method": "GET", "redirect": true, "location": "{m2}/b.bin"}])", "{manifest}", 0,
         {Exactly(L"OK")}, true, true, 1, {}},
        // WinHTTP refuses to follow https to http by default; refused either by
        // failing the request or by handing back the redirect status itself.
        {"redirect from https to http is refused", Where::Https,
         R"([{"path": "{b}", "method": "GET", "redirect": true, "location": "{http}{b}"}])", "{manifest}", 1,
         {ThenPlatformText(AllMirrorsFailed(b, 1, L"HTTP request failed: ")),
          Exactly(AllMirrorsFailed(b, 1, L"HTTP status 302"))},
         true, false, 3, {}},
        {"probe stalls past its 5 s time-out once", Where::Http,
         R"([{"path": "{a}", "method": "HEAD", "stall": true, "stall_seconds": 20, "times": 1}])", "{manifest}", 0,
         {Exactly(L"OK")}, true, true, 1,
         {{"Retrying CDN probe HEAD after failure (attempt 1/3): HTTP request failed: "}}},
        {"body stalls past the 30 s transfer time-out once", Where::Http,
         R"([{"path": "{b}", "method": "GET", "stall_after_bytes": 1000, "stall_seconds": 35, "times": 1}])",
         "{manifest}", 0, {Exactly(L"OK")}, true, true, 2,
         {{"Download failed from CDN: {mirror} ; file=b.bin ; error=WinHttpQueryDataAvailable failed: ",
           "Download failed from CDN: {mirror} ; file=b.bin ; error=WinHttpReadData failed: "}}},
    };
}

// The attempts and lines of one file after another.
TEST_F(ReliabilityTest, EachNetworkFaultEndsWithItsOwnResult) {
    const testing_support::ScopedOption oneAtATime(L"parallel", L"1");
    const auto rows = FaultRows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const FaultRow& row = rows[i];
        SCOPED_TRACE(row.name);
        const std::wstring name = L"fault" + std::to_wstring(i);
        const std::wstring server = row.mirror == Where::Https ? Servers().httpsUrl : Servers().httpUrl;
        Product product(name);
        const std::wstring mirror =
            row.mirror == Where::Refused ? Servers().refusedUrl + L"/" + name + L"/m1" : product.MirrorUrl(server, L"m1");
        product.Publish({{L"a.bin", kA}, {L"b.bin", kB}}, {L"m1", L"m2"}, {mirror});
        const std::string path = "/" + Narrow(name);
        const std::vector<std::pair<std::string, std::string>> values = {
            {"a", path + "/m1/a.bin"},   {"b", path + "/m1/b.bin"},      {"m1", path + "/m1"},
            {"m2", path + "/m2"},        {"http", Narrow(Servers().httpUrl)},
            {"wrong", std::string(70000, 'w')}, {"mirror", Narrow(mirror)},
            {"refused", Narrow(Servers().refusedUrl)}};
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::ResetServer(Servers().httpsUrl);
        if (*row.rules) SetRules(server, Fill(Fill(row.rules, {{"manifest", path + "/manifest.json"}}), values));

        Sandbox box(L"fault");
        box.Put(L"b.bin", kOldB);
        box.Seal();
        const std::string urls = Fill(row.manifestUrls, {{"manifest", Narrow(product.ManifestUrl(server))},
                                                          {"refused", Narrow(Servers().refusedUrl)}});
        const Result result = box.Install(Widen(urls));

        EXPECT_EQ(result.first, row.code);
        EXPECT_TRUE(Matches(result.second, row.result))
            << "result \"" << Narrow(result.second) << "\", expected " << Describe(row.result);
        CheckRun(box, result, {{L"a.bin", nullptr, &kA}, {L"b.bin", &kOldB, &kB}});
        EXPECT_EQ(testing_support::ReadBytes(box.target + L"\\a.bin"), row.aInstalled ? kA : "");
        EXPECT_EQ(testing_support::ReadBytes(box.target + L"\\b.bin"), row.bInstalled ? kB : kOldB);

        const std::vector<std::string> log = box.Log();
        if (row.bAttempts >= 0) {
            EXPECT_EQ(CountLines(log, "Downloading [CDN 1/1, attempt ", "/b.bin"), static_cast<size_t>(row.bAttempts));
        }
        for (const auto& group : row.logLines) {
            const bool found = std::any_of(group.begin(), group.end(), [&](const std::string& prefix) {
                return CountLines(log, Fill(prefix, values)) > 0;
            });
            EXPECT_TRUE(found) << "no log line starting with " << Fill(group.front(), values);
        }
        if (row.mirror == Where::Https) {
            // The plain server never saw the file request the redirect pointed at.
            EXPECT_EQ(RecordedRequests(Servers().httpUrl).find("b.bin"), std::string::npos);
        }
    }
}

// ---------------------------------------------------------------------------
// Faults mixed at random, with a fixed seed (TOLVEK_RELIABILITY_SEED overrides).

unsigned Seed(unsigned fallback) {
    const char* text = std::getenv("TOLVEK_RELIABILITY_SEED");
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

// A fault on one file at one mirror, and what it does to the attempts there.
struct Fault {
    const char* name;
    const char* rule;      // body of the rule after path and method; empty: no fault
    bool leavesMirror;     // the first faulty answer ends the attempts on the mirror
    bool countsPerHop;     // every redirect hop uses up one of the rule's times
    std::vector<std::wstring> errors;  // how the failure line's error begins
};

const std::vector<Fault>& Faults() {
    static const std::vector<Fault> faults = {
        {"none", "", false, false, {}},
        {"status 500", R"("status": 500)", false, false, {L"HTTP status 500"}},
        {"short body", R"("short": true)", false, false, {L"Incomplete download: got "}},
        {"reset mid-body", R"("drop_after_bytes": 100)", false, false,
         {L"WinHttpQueryDataAvailable failed: ", L"WinHttpReadData failed: "}},
        {"chunked, wrong size", R"("chunked_size_mismatch": true)", true, false,
         {L"Size mismatch after download: expected "}},
        {"wrong content", R"("body": "{wrong}")", true, false, {L"SHA256 mismatch for "}},
        {"redirect loop", R"("redirect": true, "location": "{self}")", false, true, {L"HTTP request failed: "}},
        {"slow drip", R"("drip": true, "drip_bytes": 2048, "drip_interval_ms": 10)", false, false, {}},
    };
    return faults;
}

struct MixedFile {
    std::wstring key;
    std::string content, old;
    bool hasOld = false;
};

struct Assignment {
    const Fault* fault;
    int times;  // faulty answers before the right one; 0 for "always"
};

bool Delivers(const Assignment& a, bool mirrorRefused) {
    if (mirrorRefused) return false;
    if (a.fault->errors.empty()) return true;
    if (a.fault->leavesMirror) return false;
    if (a.fault->countsPerHop) return a.times > 0;  // a few hops stay within the redirect limit
    return a.times > 0 && a.times <= 2;              // the third attempt is the last
}

TEST_F(ReliabilityTest, MixedNetworkFaultsWithAFixedSeed) {
    const testing_support::ScopedOption oneAtATime(L"parallel", L"1");
    const unsigned seed = Seed(20240611);
    std::mt19937 random(seed);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const int runs = 8;
    for (int run = 0; run < runs; ++run) {
        const std::wstring name = L"mixed" + std::to_wstring(run);
        std::string story = "seed " + std::to_string(seed) + ", run " + std::to_string(run) + ":";
        Product product(name);
        const std::string path = "/" + Narrow(name);

        std::vector<MixedFile> files;
        const wchar_t* keys[] = {L"bin/app.dll", L"data/level 1.pak", L"readme.txt"};
        for (const wchar_t* key : keys) {
            MixedFile file{key, Bytes(1500 + pick(40000), random()), "old " + Narrow(key)};
            file.hasOld = pick(3) == 0;
            files.push_back(file);
        }
        // Two mirrors; the second sometimes refuses every connection.
        const bool secondRefused = pick(6) == 0;
        const std::vector<std::wstring> mirrors = {
            product.MirrorUrl(Servers().httpUrl, L"m1"),
            secondRefused ? Servers().refusedUrl + Widen(path) + L"/m2" : product.MirrorUrl(Servers().httpUrl, L"m2")};
        std::vector<ProductFile> published;
        for (const auto& f : files) published.push_back({f.key, f.content});
        product.Publish(published, {L"m1", L"m2"}, mirrors);
        if (secondRefused) story += " m2 refused;";

        std::string rules = "[";
        std::vector<std::vector<Assignment>> plan(files.size());
        for (size_t f = 0; f < files.size(); ++f) {
            for (int m = 0; m < 2; ++m) {
                const Fault& fault = Faults()[pick(static_cast<int>(Faults().size()))];
                const int times = pick(3);  // 0 always, else that many times
                plan[f].push_back({&fault, times});
                story += " " + Narrow(files[f].key) + "@m" + std::to_string(m + 1) + "=" + fault.name +
                         (fault.errors.empty() ? "" : times ? " x" + std::to_string(times) : " always") + ";";
                if (!*fault.rule) continue;
                const std::string self = path + "/m" + std::to_string(m + 1) + "/" +
                                         Narrow(files[f].key == L"data/level 1.pak" ? L"data/level%201.pak" : files[f].key);
                std::string wrong = files[f].content;
                for (char& c : wrong) c = c == 'w' ? 'x' : 'w';
                rules += std::string(rules.size() > 1 ? ", " : "") + "{\"path\": \"" + self + "\", \"method\": \"GET\", " +
                         Fill(fault.rule, {{"self", self}, {"wrong", wrong}}) +
                         (times ? ", \"times\": " + std::to_string(times) : std::string()) + "}";
            }
        }
        // The manifest list sometimes starts with a URL that cannot serve it.
        std::wstring urls = product.ManifestUrl();
        switch (pick(4)) {
            case 1: urls = Servers().refusedUrl + L"/manifest.json|" + urls; story += " manifest 1 refused;"; break;
            case 2:
                urls = Servers().httpUrl + Widen(path) + L"/broken.json|" + urls;
                rules += std::string(rules.size() > 1 ? ", " : "") + "{\"path\": \"" + path +
                         "/broken.json\", \"status\": 500}";
                story += " manifest 1 answers 500;";
                break;
            default: break;
        }
        rules += "]";
        testing_support::ResetServer(Servers().httpUrl);
        SetRules(Servers().httpUrl, rules);
        SCOPED_TRACE(story);

        Sandbox box(L"mixed");
        std::vector<Expected> expected;
        for (const auto& f : files) {
            if (f.hasOld) box.Put(f.key, f.old);
            std::wstring stored = f.key;
            std::replace(stored.begin(), stored.end(), L'/', L'\\');
            expected.push_back({stored, f.hasOld ? &f.old : nullptr, &f.content});
        }
        box.Seal();
        const Result result = box.Install(urls);
        CheckRun(box, result, expected);

        // Keys in UTF-16 order; the first file no mirror can deliver ends the run.
        size_t failing = files.size();
        for (size_t f = 0; f < files.size() && failing == files.size(); ++f)
            if (!Delivers(plan[f][0], false) && !Delivers(plan[f][1], secondRefused)) failing = f;
        if (failing == files.size()) {
            EXPECT_EQ(result, Result(0, L"OK"));
            continue;
        }
        const std::wstring prefix = AllMirrorsFailed(files[failing].key, 2, L"");
        ASSERT_TRUE(HasPrefixAndTail(result.second, prefix)) << Narrow(result.second);
        // The last error is the last failure line's, of a mirror that answered when one
        // did, and that mirror's fault wrote it.
        const std::string lastError = Narrow(result.second.substr(prefix.size()));
        const std::vector<std::string> log = box.Log();
        std::string lastLine, lastMirror;
        static const std::regex answer(" ; error=(HTTP status |Size mismatch|SHA256 mismatch|Range mismatch)");
        for (const auto& line : log)
            if (line.rfind("Download failed from CDN: ", 0) == 0 &&
                (lastLine.empty() || std::regex_search(line, answer) || !std::regex_search(lastLine, answer)))
                lastLine = line;
        EXPECT_EQ(lastLine.substr(lastLine.find(" ; error=") + 9), lastError);
        const bool fromSecond = lastLine.find(Narrow(mirrors[1])) != std::string::npos;
        std::vector<std::wstring> accepted = plan[failing][fromSecond ? 1 : 0].fault->errors;
        if (fromSecond && secondRefused) accepted = {L"HTTP request failed: "};
        const bool fromThatFault = std::any_of(accepted.begin(), accepted.end(), [&](const std::wstring& start) {
            return Widen(lastError).rfind(start, 0) == 0;
        });
        EXPECT_TRUE(fromThatFault) << lastError << " is not the text of that mirror's fault";
        for (size_t f = 0; f < files.size(); ++f) {
            const std::string now = testing_support::ReadBytes(box.target + L"\\" + files[f].key);
            EXPECT_EQ(now, f < failing ? files[f].content : files[f].hasOld ? files[f].old : "")
                << Narrow(files[f].key);
        }
    }
}

}  // namespace
}  // namespace reliability
