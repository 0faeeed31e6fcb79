// File download with mirror failover against the real mirror server, and the
// file URLs it builds.
#include "file_transfer.h"
#include "urls.h"
#include "progress.h"
#include "status.h"
#include "support.h"
#include "rule_vectors.h"
#include "stage_context.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace testing_support;

const std::wstring kManifestPath = L"data/a.bin";

std::string Content() {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

// Two mirrors served from one directory of the mirror server each; rules on a
// mirror's path glob make it fail.
class FailoverTest : public ::testing::Test, protected StageContext {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "TOLVEK_TEST_SERVERS names no servers file";
        ResetServer(Servers().httpUrl);
        tolvek::LogFilePath = scratch / L"install.log";
        entry.key = kManifestPath;
        entry.size = static_cast<int64_t>(content.size());
        entry.hash = tolvek::DigestFromText(Widen(Sha256Hex(content)));
        for (const wchar_t* mirror : {L"m1", L"m2"}) {
            const std::wstring directory = MirrorDirectory(mirror) + L"\\data";
            ASSERT_TRUE(tolvek::EnsureDirectoryExists(directory));
            WriteBytes(directory + L"\\a.bin", content);
        }
    }
    void TearDown() override {
        tolvek::LogFilePath.clear();
        ResetServer(Servers().httpUrl);
        for (const wchar_t* mirror : {L"m1", L"m2"}) {
            DeleteFileW((MirrorDirectory(mirror) + L"\\data\\a.bin").c_str());
            RemoveDirectoryW((MirrorDirectory(mirror) + L"\\data").c_str());
            RemoveDirectoryW(MirrorDirectory(mirror).c_str());
        }
        RemoveDirectoryW(MirrorDirectory(L"").c_str());
    }

    std::wstring MirrorDirectory(const std::wstring& mirror) const {
        return Servers().root + L"\\failover\\" + mirror;
    }
    static std::wstring Base(const std::wstring& mirror) { return Servers().httpUrl + L"/failover/" + mirror; }
    static std::string Glob(const std::string& mirror) { return "/failover/" + mirror + "/*"; }

    // `order` is the run's mirror order, as the call leaves it.
    bool Download(const std::vector<std::wstring>& mirrors, const tolvek::FileEntry* file = nullptr) {
        tolvek::MirrorOrder run_order = tolvek::MakeMirrorOrder(mirrors);
        tolvek::FileJob job{file ? file : &entry, 1};
        const tolvek::Outcome outcome = tolvek::TransferFile(run, {job, temporary, report}, run_order);
        order = tolvek::OrderedUrls(run_order);
        error = tolvek::ResultText(outcome);
        return outcome.ok();
    }

    std::vector<std::string> Log() const { return LogMessages(tolvek::LogFilePath); }

    ScratchDir scratch{L"failover"};
    std::string content = Content();
    tolvek::FileEntry entry;
    std::wstring temporary = scratch / L"a.bin.download";
    const tolvek::TransferReport report = [this](const wchar_t* status, int64_t done) {
        tolvek::ReportProgress(tracker, {.status = status, .item = kManifestPath, .itemIndex = 1,
                                         .itemCount = 1, .fileBytesDone = done});
    };
    std::wstring error;
    std::vector<std::wstring> order;
};

std::string Downloading(int mirror, int attempt, const std::wstring& url) {
    return "Downloading [CDN " + std::to_string(mirror) + "/2, attempt " + std::to_string(attempt) +
           "/3]: " + Narrow(url);
}

std::string FailedFrom(const std::wstring& base, const std::string& failure) {
    return "Download failed from CDN: " + Narrow(base) + " ; file=data/a.bin ; error=" + failure;
}

std::string RetryAfterDownloadFailure(int attempt, const std::wstring& base) {
    return "Retrying same CDN after download failure (attempt " + std::to_string(attempt) +
           "/3): " + Narrow(base);
}

struct MirrorFault {
    const char* name;
    std::string rule;    // for the first mirror's paths; empty for none
    std::wstring first;  // the first mirror's base URL; empty for the served one
    std::string failure;
    int attempts;  // on the first mirror before the second is asked
    bool moved;          // a fault of the mirror: it goes to the end of the order
    long long kept = 0;  // the prefix each failure leaves, which every later transfer continues
};

std::string Resuming(long long at, const std::wstring& url) {
    return "Resuming download at " + std::to_string(at) + " bytes: " + Narrow(url);
}

TEST_F(FailoverTest, FailingFirstMirrorThenSecondDelivers) {
    const std::string wrong(content.size(), 'x');
    const std::string wrongDigest = Sha256Hex(wrong);
    const MirrorFault faults[] = {
        // Definite answers: the same mirror would give them again at once.
        {"not found", R"("status": 404)", L"", "HTTP status 404", 1, false},
        {"gone", R"("status": 410)", L"", "HTTP status 410", 1, false},
        // A mirror that answers every range with the whole body from byte 0: each
        // answer is written from byte 0, and the next mirror continues the prefix.
        {"body cut short", R"("short": true, "short_bytes": 60, "ignore_range": true)", L"",
         "Incomplete download: got 60 of 1000 bytes", 3, true, 60},
        {"chunked body shorter than the manifest size",
         R"("chunked_size_mismatch": true, "chunked_bytes": 999, "ignore_range": true)", L"",
         "Size mismatch after download: expected 1000, got 999", 1, true},
        {"wrong content", R"("body": ")" + wrong + "\"", L"",
         "SHA256 mismatch for data/a.bin. Expected " + Sha256Hex(content) + ", got " + wrongDigest, 1, true},
        {"base URL without scheme", "", Base(L"m1").substr(7),
         "Invalid URL: " + Narrow(Servers().httpUrl.substr(7)) + "/failover/m1/data/a.bin", 1, false},
        // A failure is known by its kind: a text that merely names the cancellation is no cancel.
        {"a mirror that reads like a cancellation", "", L"Cancelled by user",
         "Invalid URL: Cancelled by user/data/a.bin", 1, false},
    };
    for (const MirrorFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        ResetServer(Servers().httpUrl);
        DeleteFileW(tolvek::LogFilePath.c_str());
        DeleteFileW(temporary.c_str());
        if (!fault.rule.empty())
            SetRules(Servers().httpUrl, R"([{"path_glob": ")" + Glob("m1") + "\", " + fault.rule + "}]");
        const std::wstring first = fault.first.empty() ? Base(L"m1") : fault.first;
        const std::wstring second = Base(L"m2");

        ASSERT_TRUE(Download({first, second})) << Narrow(error);
        EXPECT_EQ(ReadBytes(temporary), content);

        std::vector<std::string> expected;
        for (int attempt = 1; attempt <= fault.attempts; ++attempt) {
            expected.push_back(Downloading(1, attempt, first + L"/data/a.bin"));
            if (attempt > 1 && fault.kept) expected.push_back(Resuming(fault.kept, first + L"/data/a.bin"));
            expected.push_back(FailedFrom(first, fault.failure));
            if (attempt < 3 && fault.attempts == 3)
                expected.push_back(RetryAfterDownloadFailure(attempt, first));
        }
        if (fault.moved) expected.push_back("CDN moved to the end of the order after failing every attempt: " + Narrow(first));
        expected.push_back(Downloading(2, 1, second + L"/data/a.bin"));
        if (fault.kept) expected.push_back(Resuming(fault.kept, second + L"/data/a.bin"));
        EXPECT_EQ(Log(), expected);
        // A transfer after a kept prefix asks for the rest only, on either mirror.
        const std::string rest = fault.kept ? "bytes=" + std::to_string(fault.kept) + "-" : "";
        std::vector<std::string> ranges, expectedRanges;
        for (const SeenRequest& request : SeenRequests(Servers().httpUrl)) ranges.push_back(request.range);
        for (int attempt = 1; fault.first.empty() && attempt <= fault.attempts; ++attempt)
            expectedRanges.push_back(attempt == 1 ? "" : rest);
        expectedRanges.push_back(rest);
        EXPECT_EQ(ranges, expectedRanges);
    }
}

TEST_F(FailoverTest, OnlyAMirrorFailingEveryAttemptItselfMovesToTheEnd) {
    struct Row {
        const char* name;
        std::string rule;  // for the first mirror's paths
        bool refused;      // the first mirror's port has no listener
        bool moved;
    };
    const Row rows[] = {
        {"server error every time", R"("status": 503)", false, true},
        {"connection refused", "", true, true},
        {"no answer at all", R"("drop": true)", false, true},
        {"server error, then not found", R"("status": 500, "times": 1}, {"path_glob": ")" + Glob("m1") +
                                             R"(", "status": 404)", false, false},
        {"not found every time", R"("status": 404)", false, false},
        // Bodies that break off or end short (by less than a tenth of the file each
        // time), other bytes or another size: the mirror's, not the file's.
        {"body cut short", R"("short": true, "short_bytes": 60)", false, true},
        {"connection reset mid-body", R"("drop_after_bytes": 60)", false, true},
        {"wrong content", R"("body": ")" + std::string(content.size(), 'x') + "\"", false, true},
        {"a size against the manifest", R"("chunked_size_mismatch": true, "chunked_bytes": 999)", false, true},
        {"gone every time", R"("status": 410)", false, false},
        {"cut short, then not found", R"("short": true, "times": 1}, {"path_glob": ")" + Glob("m1") +
                                           R"(", "status": 404)", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ResetServer(Servers().httpUrl);
        DeleteFileW(tolvek::LogFilePath.c_str());
        DeleteFileW(temporary.c_str());
        if (!row.rule.empty())
            SetRules(Servers().httpUrl, R"([{"path_glob": ")" + Glob("m1") + "\", " + row.rule + "}]");
        const std::wstring first = row.refused ? Servers().refusedUrl + L"/failover/m1" : Base(L"m1");
        const std::wstring second = Base(L"m2");

        ASSERT_TRUE(Download({first, second})) << Narrow(error);
        const std::vector<std::wstring> expected =
            row.moved ? std::vector<std::wstring>{second, first} : std::vector<std::wstring>{first, second};
        EXPECT_EQ(order, expected);
        const std::vector<std::string> log = Log();
        const std::string moved = "CDN moved to the end of the order after failing every attempt: " + Narrow(first);
        EXPECT_EQ(std::count(log.begin(), log.end(), moved), row.moved ? 1 : 0);
        if (row.moved) {
            // Said once, after the mirror's last failure and before the next mirror is asked.
            const auto at = std::find(log.begin(), log.end(), moved);
            ASSERT_NE(at, log.begin());
            EXPECT_EQ(std::prev(at)->rfind("Download failed from CDN: " + Narrow(first), 0), 0u);
            EXPECT_EQ(*std::next(at), Downloading(2, 1, second + L"/data/a.bin"));
        }
    }
}

TEST_F(FailoverTest, MirrorsMovedInTheOrderTheyFailedWhenAllFail) {
    SetRules(Servers().httpUrl, R"([{"path_glob": "/failover/*", "status": 502}])");
    EXPECT_FALSE(Download({Base(L"m1"), Base(L"m2")}));
    EXPECT_EQ(order, (std::vector<std::wstring>{Base(L"m1"), Base(L"m2")}));
    EXPECT_FALSE(Download({Base(L"m2"), Base(L"m1")}));
    EXPECT_EQ(order, (std::vector<std::wstring>{Base(L"m2"), Base(L"m1")}));
    EXPECT_EQ(Narrow(error), "NETWORK_UNREACHABLE: All CDN mirrors failed for data/a.bin (2 tried, "
                             "3 attempts each). Last error: HTTP status 502");
}

// A mirror that answered says what is wrong with the publication; a later refusal
// would only say that the last mirror is down.
TEST_F(FailoverTest, LastErrorIsTheAnsweringMirrorsOverALaterRefusal) {
    SetRules(Servers().httpUrl, R"([{"path_glob": ")" + Glob("m1") + R"(", "status": 404}])");
    EXPECT_FALSE(Download({Base(L"m1"), Servers().refusedUrl + L"/failover/m2"}));
    EXPECT_EQ(Narrow(error), "NETWORK_UNREACHABLE: All CDN mirrors failed for data/a.bin (2 tried, "
                             "3 attempts each). Last error: HTTP status 404");
}

TEST_F(FailoverTest, AllMirrorsFailingGiveLastErrorAndLeaveNoFile) {
    // Without a manifest size only the digest refuses the copies, which
    // DownloadToFile itself had kept.
    entry.size.reset();
    SetRules(Servers().httpUrl, R"([{"path_glob": "/failover/*", "body": "too short"}])");
    const std::wstring second = Base(L"m2") + L"//";
    ASSERT_FALSE(Download({Base(L"m1"), second}));

    const std::string mismatch = "SHA256 mismatch for data/a.bin. Expected " + Narrow(tolvek::DigestText(*entry.hash)) +
                                 ", got " + Sha256Hex("too short");
    EXPECT_EQ(Narrow(error), "NETWORK_UNREACHABLE: All CDN mirrors failed for data/a.bin (2 tried, "
                             "3 attempts each). Last error: " + mismatch);
    EXPECT_FALSE(Exists(temporary));
    // Other bytes than the manifest's are each mirror's own fault.
    const std::string moved = "CDN moved to the end of the order after failing every attempt: ";
    const std::vector<std::string> expected = {
        Downloading(1, 1, Base(L"m1") + L"/data/a.bin"), FailedFrom(Base(L"m1"), mismatch),
        moved + Narrow(Base(L"m1")),
        Downloading(2, 1, Base(L"m2") + L"/data/a.bin"), FailedFrom(second, mismatch),
        moved + Narrow(second)};
    EXPECT_EQ(Log(), expected);
}

TEST_F(FailoverTest, EmptyMirrorListFailsWithoutLogOrRequest) {
    EXPECT_FALSE(Download({}));
    EXPECT_EQ(Narrow(error), "NETWORK_UNREACHABLE: All CDN mirrors failed for data/a.bin (0 tried, "
                             "3 attempts each). Last error: ");
    EXPECT_FALSE(Exists(tolvek::LogFilePath));
}

TEST_F(FailoverTest, CancelledBeforeStartTriesNoMirror) {
    tolvek::RaiseCancel(cancel);
    EXPECT_FALSE(Download({Base(L"m1"), Base(L"m2")}));
    EXPECT_EQ(error, L"Cancelled by user");
    EXPECT_FALSE(Exists(tolvek::LogFilePath));
}

TEST_F(FailoverTest, CancelledDuringTransferEndsAtOnce) {
    // 100 bytes every 100 ms: the transfer runs until it is cancelled.
    SetRules(Servers().httpUrl, R"([{"path_glob": ")" + Glob("m1") +
                                    R"(", "drip": true, "drip_bytes": 100, "drip_interval_ms": 100}])");
    std::atomic<bool> finished{false};
    std::thread host([&] {
        while (!finished && !Exists(temporary)) Sleep(10);
        tolvek::RaiseCancel(cancel);
    });
    const bool result = Download({Base(L"m1"), Base(L"m2")});
    finished = true;
    host.join();

    EXPECT_FALSE(result);
    EXPECT_EQ(error, L"Cancelled by user");
    EXPECT_TRUE(Exists(temporary)) << "a transfer keeps what it holds: the run that cancels deletes it";
    const std::vector<std::string> expected = {Downloading(1, 1, Base(L"m1") + L"/data/a.bin"),
                                               FailedFrom(Base(L"m1"), "Cancelled by user")};
    EXPECT_EQ(Log(), expected);
}

TEST_F(FailoverTest, CancelDuringTheLastMirrorsVerificationIsACancel) {
    // 64 MiB of zeros: their digest outlasts the moment the transfer reports "Verifying".
    const std::string zeros(64 << 20, '\0');
    WriteBytes(MirrorDirectory(L"m1") + L"\\data\\a.bin", zeros);
    entry.size = static_cast<int64_t>(zeros.size());
    entry.hash = tolvek::DigestFromText(L"3B6A07D0D404FAB4E23B6D34BC6696A6A312DD92821332385E5AF7C01C421351");
    tolvek::ResetStatus();
    // The transfer reads the flag for the last time before it reports "Verifying";
    // a cancel from then on lands in the digest of the downloaded copy.
    std::atomic<bool> finished{false};
    std::thread host([&] {
        TolvekProgressRecord record = {};
        while (!finished) {
            if (tolvek::CopyProgress(&record) && std::wstring(record.status) == L"Verifying") {
                tolvek::RaiseCancel(cancel);
                return;
            }
            Sleep(1);
        }
    });
    const bool result = Download({Base(L"m1")});
    finished = true;
    host.join();

    EXPECT_FALSE(result);
    EXPECT_EQ(Narrow(error), "Cancelled by user");
    EXPECT_TRUE(Exists(temporary)) << "a transfer keeps what it holds: the run that cancels deletes it";
    const std::vector<std::string> expected = {
        "Downloading [CDN 1/1, attempt 1/3]: " + Narrow(Base(L"m1")) + "/data/a.bin",
        FailedFrom(Base(L"m1"), "Cancelled by user")};
    EXPECT_EQ(Log(), expected);
}

TEST_F(FailoverTest, ATemporaryFileThatCannotBeCreatedEndsTheDownloadAtOnce) {
    // A folder named like the cancellation, which does not exist: a local failure,
    // known by its kind whatever its text says, that no attempt and no mirror can mend.
    temporary = scratch / L"Cancelled by user\\a.bin.download";
    const std::vector<std::wstring> mirrors = {Base(L"m1"), Base(L"m2")};
    EXPECT_FALSE(Download(mirrors));
    const std::string prefix = "Cannot create file: " + Narrow(temporary) + " (";
    ASSERT_EQ(Narrow(error).rfind(prefix, 0), 0u) << Narrow(error);
    EXPECT_GT(error.size(), prefix.size() + 1);
    EXPECT_EQ(error.back(), L')');
    EXPECT_EQ(Log(), (std::vector<std::string>{Downloading(1, 1, Base(L"m1") + L"/data/a.bin"),
                                               FailedFrom(Base(L"m1"), Narrow(error))}));
    EXPECT_EQ(order, mirrors) << "no mirror's fault";
    EXPECT_EQ(SentBytes(Servers().httpUrl).size(), 1u) << "one request, no retry, no other mirror";
}

// Up to U+00FF one escape of the unit (mirrors rely on %E9); above it the escaped
// bytes of the character's UTF-8 form. The table is shared with the publishing tools,
// which name their files after these URLs.
TEST(FileUrl, BuildsFromBaseAndManifestPath) {
    for (const rule_vectors::Row& row : rule_vectors::Rows())
        EXPECT_EQ(tolvek::BuildFileUrl(row["base"], row["key"]), row["url"]) << row.name;
}

// A full disk is no mirror's fault: the first refused write ends the whole
// download, with the platform's reason and without the network's prefix.
TEST_F(FailoverTest, FullDiskEndsTheDownloadAtOnce) {
    const std::wstring disk = SmallDisk();
    ASSERT_FALSE(disk.empty()) << "TOLVEK_SMALL_DISK names no small disk";
    const std::string big(3 * 1048576, 'b');
    WriteBytes(MirrorDirectory(L"m1") + L"\\data\\big.bin", big);
    tolvek::FileEntry bigEntry;
    bigEntry.key = L"data/big.bin";
    bigEntry.size = static_cast<int64_t>(big.size());
    temporary = disk + L"\\big.bin.download";
    const std::wstring& onDisk = temporary;
    const bool ok = Download({Base(L"m1"), Base(L"m2")}, &bigEntry);
    DeleteFileW((MirrorDirectory(L"m1") + L"\\data\\big.bin").c_str());

    EXPECT_FALSE(ok);
    const std::wstring prefix = L"Write error for file: " + onDisk + L" (";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << Narrow(error);
    ASSERT_EQ(error.back(), L')');
    EXPECT_TRUE(IsDiskFullText(error.substr(prefix.size(), error.size() - prefix.size() - 1))) << Narrow(error);
    EXPECT_FALSE(Exists(onDisk));
    const std::wstring url = Base(L"m1") + L"/data/big.bin";
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         Downloading(1, 1, url),
                         "Download failed from CDN: " + Narrow(Base(L"m1")) + " ; file=data/big.bin ; error=" + Narrow(error)}));
    EXPECT_EQ(SentBytes(Servers().httpUrl).size(), 1u) << "one request, no retry, no other mirror";
    EXPECT_EQ(order, (std::vector<std::wstring>{Base(L"m1"), Base(L"m2")})) << "a full disk is no mirror's fault";
}

// A separator never reaches a segment through a key; given one, it is escaped too.
TEST(FileUrl, EncodesASeparatorInsideASegment) {
    EXPECT_EQ(tolvek::PercentEncodeSegment(L"a/b"), L"a%2Fb");
}

}  // namespace
