// Whole installs from two mirrors where the faster one breaks after the probe. A
// mirror that fails every attempt on a file by itself (no status, a server error, a
// body that stalls or ends short, a stale copy) is tried last for the files that
// follow; one that only lacks a file keeps its place. Checked by the attempt lines
// and the requests each mirror saw.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::ProductFile;
using testing_support::RecordedRequests;
using testing_support::Servers;
using testing_support::SetRules;
using testing_support::Widen;

const char kMoved[] = "CDN moved to the end of the order after failing every attempt: ";
const char kRefusing[] = "CDN moved to the end of the order after refusing two files in a row: ";

std::vector<ProductFile> Files() {
    std::vector<ProductFile> files;
    for (char c = 'a'; c <= 'f'; ++c)
        files.push_back({Widen(std::string(1, c) + ".bin"), std::string(2000 + (c - 'a') * 100, c)});
    return files;
}

// Rules that serve every file from the first mirror with other bytes, `longer` more.
std::string StaleCopies(int longer = 0) {
    std::string rules;
    for (const ProductFile& file : Files())
        rules += std::string(rules.empty() ? "" : ", ") + R"({"path": "{m1}/)" + Narrow(file.key) +
                 R"(", "method": "GET", "body": ")" + std::string(file.content.size() + longer, 'z') + "\"}";
    return rules;
}

// The GETs below `prefix` in the server's request log (a JSON list of objects).
size_t GetsBelow(const std::string& requests, const std::string& prefix) {
    size_t count = 0;
    for (size_t start = requests.find('{'); start != std::string::npos; start = requests.find('{', start + 1)) {
        const std::string entry = requests.substr(start, requests.find('}', start) - start);
        if (entry.find("\"method\": \"GET\"") != std::string::npos &&
            entry.find("\"path\": \"" + prefix) != std::string::npos)
            ++count;
    }
    return count;
}

size_t CountOf(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
    return count;
}

std::vector<std::string> Starting(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

struct OrderRow {
    const char* name;
    std::string rule;  // for GETs below the first mirror; {m1} is its path, {c} c.bin's
    // Per file a..f, the mirrors asked in order: '1' the first mirror, '2' the
    // second, each letter one attempt.
    std::vector<std::string> attempts;
    int movedAfter;  // the file after which the first mirror is tried last; -1: never
    const char* moved = kMoved;
};

// Runs one row, one file after another: m1 answers the probe at once, m2 a little
// later, so m1 comes first.
void RunOrderRow(const OrderRow& row, int index) {
    SCOPED_TRACE(row.name);
    const testing_support::ScopedOption oneAtATime(L"parallel", L"1");
    const std::wstring name = L"order" + std::to_wstring(index);
    Product product(name);
    const std::wstring m1 = product.MirrorUrl(Servers().httpUrl, L"m1");
    const std::wstring m2 = product.MirrorUrl(Servers().httpUrl, L"m2");
    const std::vector<ProductFile> files = Files();
    product.Publish(files, {L"m1", L"m2"}, {m1, m2});
    const std::string path = "/" + Narrow(name);
    testing_support::ResetServer(Servers().httpUrl);
    SetRules(Servers().httpUrl,
             "[{\"path_glob\": \"" + path + "/m2/*\", \"method\": \"HEAD\", \"latency_ms\": 300}, " +
                 Fill(row.rule, {{"m1", path + "/m1"}, {"c", path + "/m1/c.bin"}}) + "]");

    Sandbox box(L"order");
    box.Seal();
    const Result result = box.Install(product.ManifestUrl());
    std::vector<Expected> expected;
    for (const ProductFile& file : files) expected.push_back({file.key, nullptr, &file.content});
    CheckRun(box, result, expected);
    EXPECT_EQ(result, Result(0, L"OK"));

    // Attempt lines: the position is the mirror's place in the order as the file starts.
    std::vector<std::string> wanted;
    bool m1First = true;
    for (size_t f = 0; f < files.size(); ++f) {
        int attemptOnMirror = 0;
        char previous = 0;
        for (char mirror : row.attempts[f]) {
            attemptOnMirror = mirror == previous ? attemptOnMirror + 1 : 1;
            previous = mirror;
            const bool first = mirror == '1';
            const int position = first == m1First ? 1 : 2;
            wanted.push_back("Downloading [CDN " + std::to_string(position) + "/2, attempt " +
                             std::to_string(attemptOnMirror) + "/3]: " + Narrow(first ? m1 : m2) + "/" +
                             Narrow(files[f].key));
        }
        if (static_cast<int>(f) == row.movedAfter) m1First = false;
    }
    const std::vector<std::string> log = box.Log();
    EXPECT_EQ(Starting(log, "Downloading [CDN "), wanted);
    EXPECT_EQ(Starting(log, "CDN moved to the end"),
              row.movedAfter >= 0 ? std::vector<std::string>{row.moved + Narrow(m1)} : std::vector<std::string>{});

    // Every attempt line on a mirror is one GET it received.
    const std::string requests = RecordedRequests(Servers().httpUrl);
    size_t firstGets = 0, secondGets = 0;
    for (const std::string& mirrors : row.attempts) {
        firstGets += CountOf(mirrors, "1");
        secondGets += CountOf(mirrors, "2");
    }
    EXPECT_EQ(GetsBelow(requests, path + "/m1/"), firstGets);
    EXPECT_EQ(GetsBelow(requests, path + "/m2/"), secondGets);
}

TEST_F(ReliabilityTest, AMirrorThatFailsEveryAttemptIsTriedLastForTheFilesThatFollow) {
    const std::vector<OrderRow> rows = {
        {"server error for every file after the probe",
         R"({"path_glob": "{m1}/*", "method": "GET", "status": 503})",
         {"1112", "2", "2", "2", "2", "2"}, 0},
        {"connections dropped after the first file",
         R"({"path_glob": "{m1}/*", "method": "GET", "drop": true, "skip": 1})",
         {"1", "1112", "2", "2", "2", "2"}, 1},
        // A definite answer is not asked again; a CDN not yet synced, or whose signed
        // URLs expired, refuses every file: the second refusal moves it.
        {"one file missing: the mirror keeps its place",
         R"({"path": "{c}", "method": "GET", "status": 404})",
         {"1", "1", "12", "1", "1", "1"}, -1},
        {"not found for every file", R"({"path_glob": "{m1}/*", "method": "GET", "status": 404})",
         {"12", "12", "2", "2", "2", "2"}, 1, kRefusing},
        {"forbidden for every file", R"({"path_glob": "{m1}/*", "method": "GET", "status": 403})",
         {"12", "12", "2", "2", "2", "2"}, 1, kRefusing},
        // Too little to count as progress, which would not use up an attempt.
        {"every body closed after 100 bytes",
         R"({"path_glob": "{m1}/*", "method": "GET", "short": true, "short_bytes": 100})",
         {"1112", "2", "2", "2", "2", "2"}, 0},
        {"every connection reset after 100 body bytes",
         R"({"path_glob": "{m1}/*", "method": "GET", "drop_after_bytes": 100})",
         {"1112", "2", "2", "2", "2", "2"}, 0},
        // An old build: other bytes, of the same sizes or others. One attempt shows it.
        {"a stale copy of every file", StaleCopies(), {"12", "2", "2", "2", "2", "2"}, 0},
        {"a stale copy of every file, of other sizes", StaleCopies(-100), {"12", "2", "2", "2", "2", "2"}, 0},
    };
    for (size_t i = 0; i < rows.size(); ++i) RunOrderRow(rows[i], static_cast<int>(i));
}

// A mirror that accepts connections and never answers, or whose bodies stall half
// way, costs one file one time-out (30 s), not every file; one whose bodies crawl,
// while the other may be faster, costs one file 10 s. With six files in transfer at
// once, each asks the stalling mirror once: the first time-out sets it aside for all.
TEST_F(ReliabilityTest, ASilentOrStallingMirrorCostsOneFileItsTimeOutsNotEveryFile) {
    const OrderRow rows[] = {
        {"silent after the probe", R"({"path_glob": "{m1}/*", "method": "GET", "stall": true, "stall_seconds": 40})",
         {"12", "2", "2", "2", "2", "2"}, 0},
        {"bodies stalled half way, never resumed",
         R"({"path_glob": "{m1}/*", "method": "GET", "stall_after_bytes": 1000, "stall_seconds": 40, "ignore_range": true})",
         {"12", "2", "2", "2", "2", "2"}, 0},
        {"bodies crawling at 150 bytes per second",
         R"({"path_glob": "{m1}/*", "method": "GET", "bytes_per_second": 150})", {"12", "2", "2", "2", "2", "2"}, 0},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const ULONGLONG start = GetTickCount64();
        RunOrderRow(rows[i], static_cast<int>(9 + i));
        EXPECT_LT(GetTickCount64() - start, 150000u) << rows[i].name;
    }

    Product product(L"order12");
    const std::wstring m1 = product.MirrorUrl(Servers().httpUrl, L"m1");
    product.Publish(Files(), {L"m1", L"m2"}, {m1, product.MirrorUrl(Servers().httpUrl, L"m2")});
    testing_support::ResetServer(Servers().httpUrl);
    SetRules(Servers().httpUrl, R"([{"path_glob": "/order12/m2/*", "method": "HEAD", "latency_ms": 300},
        {"path_glob": "/order12/m1/*", "method": "GET", "stall_after_bytes": 1000, "stall_seconds": 40}])");
    Sandbox box(L"order");
    box.Seal();
    EXPECT_EQ(box.Install(product.ManifestUrl()), Result(0, L"OK"));
    const std::vector<std::string> log = box.Log();
    for (const ProductFile& file : Files()) {
        const std::string url = Narrow(m1) + "/" + Narrow(file.key);
        const auto asked = std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.rfind("Downloading [CDN ", 0) == 0 && line.find(url) != std::string::npos;
        });
        EXPECT_LE(asked, 1) << url;
    }
    EXPECT_GE(Starting(log, kMoved + Narrow(m1)).size(), 1u);
}

}  // namespace
}  // namespace reliability
