// Host threads copy the progress record while the worker rewrites it hundreds of
// times a second. Every copy must be one record that the run published whole: its
// fields are checked against each other and against the product being installed.
#include "host_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::Dll;
using testing_support::InstallDirs;
using testing_support::Narrow;
using testing_support::Servers;

// The engine's byte text, written out again here to judge records by.
std::wstring BytesText(int64_t bytes) {
    auto scaled = [](double value, const wchar_t* unit) {
        char text[64];
        const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2).ptr;
        return std::wstring(text, end) + unit;
    };
    if (bytes >= (int64_t{1} << 30)) return scaled(static_cast<double>(bytes) / (1 << 30), L" GB");
    if (bytes >= (1 << 20)) return scaled(static_cast<double>(bytes) / (1 << 20), L" MB");
    if (bytes >= 1024) return scaled(static_cast<double>(bytes) / 1024, L" KB");
    return std::to_wstring(bytes) + L" B";
}

// Many small files whose every field differs from file to file: the key, its
// number, its size (below 1 KiB, so "N B" texts are exact) and the bytes before it.
struct Product {
    std::wstring manifestUrl;
    size_t manifestSize = 0;
    std::vector<std::wstring> keys;
    std::vector<int64_t> sizes;
    std::vector<int64_t> before;  // declared bytes of the files before each one
    int64_t total = 0;
};

Product MakeProduct() {
    Product product;
    std::vector<concurrency::File> files;
    for (int i = 0; i < 120; ++i) {
        wchar_t key[16];
        swprintf(key, 16, L"f%03d.bin", i);
        const int64_t size = 200 + 5 * i;
        files.push_back({key, std::string(static_cast<size_t>(size), static_cast<char>('a' + i % 26))});
        product.keys.push_back(key);
        product.sizes.push_back(size);
        product.before.push_back(product.total);
        product.total += size;
    }
    product.manifestUrl = concurrency::PublishProduct(L"conc-records", files);
    product.manifestSize = testing_support::ReadBytes(Servers().root + L"\\conc-records\\manifest.json").size();
    return product;
}

bool IsDigits(const std::wstring& text, size_t from, size_t to) {
    if (from >= to || to > text.size()) return false;
    for (size_t i = from; i < to; ++i)
        if (text[i] < L'0' || text[i] > L'9') return false;
    return true;
}

// "N B": a count below 1 KiB.
bool ParseByteCount(const std::wstring& text, int64_t& value) {
    if (text.size() < 3 || text.compare(text.size() - 2, 2, L" B") != 0 ||
        !IsDigits(text, 0, text.size() - 2))
        return false;
    value = std::stoll(text.substr(0, text.size() - 2));
    return true;
}

// "calculating..." or mm:ss or h:mm:ss with two digits at least in each place.
bool IsTimeLeftText(const std::wstring& text) {
    if (text == L"calculating...") return true;
    const size_t last = text.rfind(L':');
    if (last == std::wstring::npos || !IsDigits(text, last + 1, text.size()) || text.size() - last != 3)
        return false;
    const size_t first = text.rfind(L':', last - 1);
    if (first == std::wstring::npos) return last >= 2 && IsDigits(text, 0, last);
    return last - first == 3 && IsDigits(text, first + 1, last) && first >= 2 && IsDigits(text, 0, first);
}

// Empty when `r` is a record this run can publish; otherwise what is wrong with it.
// One file after another, the bytes done are those of the files before the one shown
// and its own; with several in transfer they also count the others'.
std::string Judge(const TolvekProgressRecord& r, const Product& p, bool oneAtATime) {
    const std::wstring status = r.status, item = r.currentItem;
    const std::wstring done = r.bytesDoneText, total = r.bytesTotalText;
    const std::wstring fileDone = r.fileBytesDoneText, fileTotal = r.fileBytesTotalText;
    const int count = static_cast<int>(p.keys.size());
    std::string problem;
    auto expect = [&](bool holds, const char* what) {
        if (!holds && problem.empty()) problem = what;
    };

    expect(IsTimeLeftText(r.timeLeftText), "time left text");
    const std::wstring speed = r.speedText;
    expect(speed.size() > 2 && speed.compare(speed.size() - 2, 2, L"/s") == 0, "speed text");

    const bool noFile = fileDone == L"0 B" && fileTotal == L"0 B";
    // Until the file list is known there is no total and the bar stands at 0.
    const bool nothingKnown = r.progressPermille == 0 && done == L"0 B" && total == L"0 B";
    if (status == L"Preparing") {
        expect(item.empty() && r.itemIndex == 0 && r.itemCount == 0 && nothingKnown && noFile, "Preparing fields");
    } else if (status == L"Downloading manifest") {
        expect(item == p.manifestUrl && r.itemIndex == 1 && r.itemCount == 1 && nothingKnown && noFile,
               "Downloading manifest fields");
    } else if ((status == L"Downloading" || status == L"Verifying") && item == p.manifestUrl) {
        expect(r.itemIndex == 1 && r.itemCount == 1 && nothingKnown && fileTotal == L"0 B",
               "manifest transfer fields");
        if (status == L"Verifying")
            expect(fileDone == BytesText(static_cast<int64_t>(p.manifestSize)), "manifest verified size");
    } else if (status == L"Preparing files" || status == L"Testing CDN") {
        expect(item == (status == L"Testing CDN" ? p.keys[0] : L"") && r.itemIndex == 0 &&
                   r.itemCount == count && r.progressPermille == 0 && done == L"0 B" &&
                   total == BytesText(p.total) && noFile,
               "file list fields");
    } else if (status == L"Downloading" || status == L"Verifying" || status == L"Installed") {
        const int n = r.itemIndex;
        expect(n >= 1 && n <= count && r.itemCount == count, "file number");
        if (!problem.empty()) return problem;
        const size_t i = static_cast<size_t>(n - 1);
        expect(item == p.keys[i], "file key against its number");
        int64_t received = 0;
        if (status == L"Installed") {
            expect(noFile, "Installed file texts");
            received = p.sizes[i];
        } else {
            expect(fileTotal == BytesText(p.sizes[i]), "file size against its number");
            expect(ParseByteCount(fileDone, received) && received >= 0 && received <= p.sizes[i],
                   "file bytes received");
            if (status == L"Verifying") expect(received == p.sizes[i], "verified file size");
        }
        const int64_t overall = p.before[i] + received;
        if (oneAtATime) {
            expect(done == BytesText(overall), "overall bytes against the file");
            expect(r.progressPermille == overall * 1000 / p.total, "per-mille against the bytes");
        }
        expect(total == BytesText(p.total), "overall total");
    } else if (status == L"Completed") {
        expect(item.empty() && r.itemIndex == count && r.itemCount == count &&
                   r.progressPermille == 1000 && done == BytesText(p.total) &&
                   total == BytesText(p.total) && noFile,
               "Completed fields");
    } else {
        expect(false, "a status this run does not report");
    }
    return problem;
}

std::string Show(const TolvekProgressRecord& r) {
    return Narrow(std::wstring(L"status=") + r.status + L" item=" + r.currentItem + L" " +
                  std::to_wstring(r.itemIndex) + L"/" + std::to_wstring(r.itemCount) + L" permille=" +
                  std::to_wstring(r.progressPermille) + L" done=" + r.bytesDoneText + L" total=" +
                  r.bytesTotalText + L" speed=" + r.speedText + L" left=" + r.timeLeftText +
                  L" file=" + r.fileBytesDoneText + L"/" + r.fileBytesTotalText);
}

TEST(ProgressRecord, EveryCopyIsOneRecordThatTheRunPublished) {
    ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
    testing_support::ResetServer(Servers().httpUrl);
    const Product product = MakeProduct();
    // Each file check must fail on the record of a neighbour.
    ASSERT_FALSE(product.keys[0] == product.keys[1] || BytesText(product.sizes[0]) == BytesText(product.sizes[1]));

    for (int run = 0; run < 3; ++run) {
        // The last run has several files in transfer at once.
        const bool oneAtATime = run < 2;
        const testing_support::ScopedOption parallel(L"parallel", oneAtATime ? L"1" : L"6");
        InstallDirs dirs(L"records");
        std::atomic<bool> stop{false};
        std::mutex mutex;
        std::vector<std::string> problems;
        std::set<std::pair<std::wstring, int>> seen;  // status and item number
        long long copies = 0;

        auto poll = [&] {
            std::set<std::pair<std::wstring, int>> mine;
            long long count = 0;
            TolvekProgressRecord record;
            TolvekInstallDetail detail = {}, before = {};
            detail.size = sizeof detail;
            while (!stop.load()) {
                // The counts only grow, and the bytes done never pass the total.
                ASSERT_EQ(Dll().GetDetail(&detail), 1);
                if (detail.bytesDone < before.bytesDone || detail.filesDone < before.filesDone ||
                    detail.bytesReceived < before.bytesReceived || detail.bytesDone > detail.bytesTotal ||
                    detail.filesDone > detail.filesTotal) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (problems.size() < 10) problems.push_back("detail counts went back or past their total");
                }
                before = detail;
                if (!Dll().GetProgress(&record)) continue;
                ++count;
                mine.insert({record.status, record.itemIndex});
                const std::string problem = Judge(record, product, oneAtATime);
                if (!problem.empty()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (problems.size() < 10) problems.push_back(problem + ": " + Show(record));
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            seen.insert(mine.begin(), mine.end());
            copies += count;
        };

        ASSERT_EQ(dirs.Start(product.manifestUrl), 1);
        std::vector<std::thread> pollers;
        for (int i = 0; i < 2; ++i) pollers.emplace_back(poll);
        const bool done = Dll().WaitDone();
        stop.store(true);
        for (auto& poller : pollers) poller.join();
        Dll().Shutdown();
        ASSERT_TRUE(done);

        EXPECT_EQ(Dll().Result(), std::make_pair(int32_t{0}, std::wstring(L"OK")));
        TolvekProgressRecord last = {};
        ASSERT_EQ(Dll().GetProgress(&last), 1);
        EXPECT_EQ(Judge(last, product, oneAtATime), "") << Show(last);
        EXPECT_STREQ(last.status, L"Completed");
        for (const std::string& problem : problems) ADD_FAILURE() << "run " << run << ": " << problem;
        std::cout << "[ copies   ] run " << run << ": " << copies << " copies, " << seen.size()
                  << " different steps seen\n";
        // The pollers must have watched the records change, file after file.
        EXPECT_GT(seen.size(), 60u) << "run " << run;
    }
}

}  // namespace
