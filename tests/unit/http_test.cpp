// Download to file and the shared error texts, against the real mirror servers.
#include "http.h"
#include "support.h"

#include "stage_context.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace {

using namespace tolvek;
using testing_support::Exists;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::Servers;
using testing_support::WriteBytes;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return bytes;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

constexpr int64_t kBufferBytes = 1048576;
const std::optional<int64_t> kNoSize;  // no size declared

// "Size mismatch after download: expected E, got W" with W past E by at most one buffer.
void ExpectStoppedPast(const std::wstring& error, int64_t expected) {
    const std::wstring prefix = L"Size mismatch after download: expected " + std::to_wstring(expected) + L", got ";
    ASSERT_TRUE(StartsWith(error, prefix)) << testing_support::Narrow(error);
    const long long written = std::stoll(error.substr(prefix.size()));
    EXPECT_GT(written, expected);
    EXPECT_LE(written, expected + kBufferBytes);
}

class DownloadTest : public ::testing::Test, protected StageContext {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
        ResetAll();
        CreateDirectoryW((Servers().root + L"\\dl").c_str(), nullptr);
        WriteBytes(Servers().root + L"\\dl\\file.bin", content);
        WriteBytes(Servers().root + L"\\dl\\empty.bin", "");
    }
    void TearDown() override { ResetAll(); }
    static void ResetAll() {
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::ResetServer(Servers().httpsUrl);
    }

    // One transfer as a stage makes it; the failure's text goes to `error` when given.
    bool Fetch(const Transfer& transfer, std::wstring* error, const CancelSignal* signal = nullptr) {
        const TransferReport report = [this](const wchar_t* status, int64_t done) {
            ReportProgress(tracker, {.status = status, .item = L"dl/file.bin", .itemIndex = 3,
                                     .itemCount = 9, .fileBytesDone = done,
                                     .fileBytesTotal = reportedTotal});
        };
        reportedTotal = transfer.expectedSize.value_or(0);
        const TransferResult result =
            DownloadToFile(RunWith(signal ? *signal : cancel), transfer, report);
        held = result.held;
        if (error) *error = result.outcome.text;
        return result.outcome.ok();
    }
    // The transfer deletes nothing: the file holds what it says it left, and a
    // transfer that never opened the file left none.
    void ExpectLeftAsReported() {
        if (held < 0)
            EXPECT_FALSE(Exists(local));
        else
            EXPECT_EQ(testing_support::FileSize(local), held);
    }
    bool Download(const std::wstring& url, std::optional<int64_t> expected, std::wstring* error,
                  const CancelSignal* cancel = nullptr) {
        return Fetch({url, local, expected}, error, cancel);
    }
    ProgressRecord LastRecord() {
        ProgressRecord record = {};
        EXPECT_TRUE(CopyProgress(&record));
        return record;
    }

    const std::string content = Pattern(3 * 1048576 + 17);
    const std::wstring fileUrl = Servers().httpUrl + L"/dl/file.bin";
    ScratchDir dir{L"download"};
    const std::wstring local = dir / L"out.bin";
    int64_t reportedTotal = 0;
    int64_t held = -1;
};

TEST_F(DownloadTest, WholeBodyArrivesWithTheNoCacheHeader) {
    std::wstring error;
    ASSERT_TRUE(Download(fileUrl + L"?v=1&x=2", static_cast<int64_t>(content.size()), &error))
        << testing_support::Narrow(error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(ReadBytes(local), content);

    const ProgressRecord record = LastRecord();
    EXPECT_STREQ(record.status, L"Verifying");
    EXPECT_STREQ(record.currentItem, L"dl/file.bin");
    EXPECT_EQ(record.itemIndex, 3);
    EXPECT_EQ(record.itemCount, 9);
    EXPECT_STREQ(record.fileBytesDoneText, L"3.00 MB");

    const std::string requests = testing_support::RecordedRequests(Servers().httpUrl);
    EXPECT_NE(requests.find("\"GET\""), std::string::npos) << requests;
    EXPECT_NE(requests.find("/dl/file.bin?v=1&x=2"), std::string::npos) << requests;
    EXPECT_NE(requests.find("no-cache"), std::string::npos) << requests;
}

TEST_F(DownloadTest, SizeRulesDecideCompleteness) {
    // Chunked, no Content-Length: any length succeeds without an expected size.
    testing_support::SetRules(Servers().httpUrl, R"([{"path": "/dl/file.bin", "chunked": true}])");
    std::wstring error;
    EXPECT_TRUE(Download(fileUrl, kNoSize, &error)) << testing_support::Narrow(error);
    EXPECT_EQ(ReadBytes(local), content);

    // Chunked with one byte fewer than expected.
    const int64_t size = static_cast<int64_t>(content.size());
    EXPECT_FALSE(Download(fileUrl, size + 1, &error));
    EXPECT_EQ(error, L"Size mismatch after download: expected " + std::to_wstring(size + 1) + L", got " +
                         std::to_wstring(size));
    ExpectLeftAsReported();

    // A body cut short after its headers.
    testing_support::SetRules(Servers().httpUrl,
                              R"([{"path": "/dl/file.bin", "short": true, "short_bytes": 600, "body": ")" +
                                  std::string(1000, 'z') + R"("}])");
    EXPECT_FALSE(Download(fileUrl, kNoSize, &error));
    EXPECT_EQ(error, L"Incomplete download: got 600 of 1000 bytes");
    ExpectLeftAsReported();

    // Content-Length matches the body but not the caller's size: the size text,
    // as soon as the bytes written pass the size.
    testing_support::SetRules(Servers().httpUrl, "[]");
    EXPECT_FALSE(Download(fileUrl, 5000, &error));
    ExpectStoppedPast(error, 5000);

    // Content-Length 0 and an empty body declared: an empty file stays.
    EXPECT_TRUE(Download(Servers().httpUrl + L"/dl/empty.bin", 0, &error));
    EXPECT_TRUE(Exists(local));
    EXPECT_EQ(ReadBytes(local), "");
}

// Bodies without an end that can be trusted: a transfer stops one buffer past
// the declared size, or past the ceiling when no size is declared, and the
// server is left sending into a closed connection.
TEST_F(DownloadTest, HostileBodiesStopAtTheDeclaredSizeOrTheCeiling) {
    struct Row {
        const char* name;
        std::string rule;
    };
    const Row rows[] = {
        {"chunked without end", R"("endless": true, "chunked": true)"},
        {"no length, without end", R"("endless": true)"},
        {"a huge Content-Length", R"("endless": true, "announce": 1099511627776)"},
    };
    const SizeCeiling ceiling{2 * kBufferBytes, L"Too much"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testing_support::SetRules(Servers().httpUrl, R"([{"path": "/dl/file.bin", "body": "12345", )" + row.rule + "}]");
        std::wstring error;
        const ULONGLONG start = GetTickCount64();
        // A declared 0 is an empty body: the first bytes end it.
        for (const int64_t declared : {5, 0}) {
            EXPECT_FALSE(Download(fileUrl, declared, &error));
            ExpectStoppedPast(error, declared);
            ExpectLeftAsReported();
        }

        // Without a declared size the ceiling ends it.
        EXPECT_FALSE(Fetch({fileUrl, local, kNoSize, &ceiling}, &error));
        EXPECT_EQ(error, L"Too much");
        ExpectLeftAsReported();
        EXPECT_LT(GetTickCount64() - start, 20000u) << "a transfer did not stop";
        // What the server pushed before it saw the closed connection: socket
        // buffers, not an endless body.
        for (long long sent : testing_support::SentBytes(Servers().httpUrl)) EXPECT_LT(sent, 64 * kBufferBytes);
        testing_support::ResetServer(Servers().httpUrl);
    }

    // A body within the ceiling is not touched by it.
    testing_support::SetRules(Servers().httpUrl, "[]");
    std::wstring error;
    const SizeCeiling roomy{static_cast<int64_t>(content.size()), L"Too much"};
    EXPECT_TRUE(Fetch({fileUrl, local, kNoSize, &roomy}, &error))
        << testing_support::Narrow(error);
    EXPECT_EQ(ReadBytes(local), content);
}

TEST_F(DownloadTest, StatusOutsideTheSuccessRangeCreatesNoFile) {
    WriteBytes(local, "old content");
    for (int status : {304, 404, 500}) {
        testing_support::SetRules(Servers().httpUrl,
                                  R"([{"path": "/dl/file.bin", "status": )" + std::to_string(status) + "}]");
        std::wstring error;
        EXPECT_FALSE(Download(fileUrl, kNoSize, &error));
        EXPECT_EQ(error, L"HTTP status " + std::to_wstring(status));
        EXPECT_EQ(ReadBytes(local), "old content");  // never opened
    }
    // A ranged answer counts as success; a redirect is followed.
    testing_support::SetRules(Servers().httpUrl,
                              R"([{"path": "/dl/moved.bin", "redirect": true, "location": "/dl/file.bin"}])");
    std::wstring error;
    EXPECT_TRUE(Download(Servers().httpUrl + L"/dl/moved.bin", kNoSize, &error)) << testing_support::Narrow(error);
    EXPECT_EQ(ReadBytes(local), content);

    // Once the file was created, a failure removes it, old content included.
    WriteBytes(local, "old content");
    testing_support::SetRules(Servers().httpUrl, R"([{"path": "/dl/file.bin", "short": true}])");
    EXPECT_FALSE(Download(fileUrl, kNoSize, &error));
    ExpectLeftAsReported();
}

TEST_F(DownloadTest, RequestFailuresNameTheirStep) {
    std::wstring error;
    EXPECT_FALSE(Download(L"example/path", kNoSize, &error));
    EXPECT_EQ(error, L"Invalid URL: example/path");

    EXPECT_FALSE(Download(Servers().refusedUrl + L"/x.bin", kNoSize, &error));
    EXPECT_TRUE(StartsWith(error, L"HTTP request failed: ")) << testing_support::Narrow(error);
    EXPECT_GT(error.size(), std::wstring(L"HTTP request failed: ").size());

    const std::wstring missing = dir / L"missing\\out.bin";
    EXPECT_FALSE(Fetch({fileUrl, missing}, &error));
    const std::wstring prefix = L"Cannot create file: " + missing + L" (";
    EXPECT_TRUE(StartsWith(error, prefix) && error.size() > prefix.size() + 1 && error.back() == L')')
        << testing_support::Narrow(error);

    // Without an error text out the results are the same.
    EXPECT_FALSE(Download(L"example/path", kNoSize, nullptr));
    EXPECT_TRUE(Download(fileUrl, kNoSize, nullptr));
    EXPECT_EQ(ReadBytes(local), content);
}

TEST_F(DownloadTest, HttpsNeedsATrustedCertificate) {
    std::wstring error;
    EXPECT_TRUE(Download(Servers().httpsUrl + L"/dl/file.bin", kNoSize, &error)) << testing_support::Narrow(error);
    EXPECT_EQ(ReadBytes(local), content);
    DeleteFileW(local.c_str());

    EXPECT_FALSE(Download(Servers().untrustedUrl + L"/dl/file.bin", kNoSize, &error));
    EXPECT_TRUE(StartsWith(error, L"HTTP request failed: ")) << testing_support::Narrow(error);
    ExpectLeftAsReported();
}

TEST_F(DownloadTest, CancellationBeforeAndDuringTheTransfer) {
    // Raised beforehand: the request is given up at once, whatever it had reached.
    CancelSignal raised;
    RaiseCancel(raised);
    std::wstring error;
    EXPECT_FALSE(Download(fileUrl, kNoSize, &error, &raised));
    EXPECT_EQ(error, L"Cancelled by user");
    ExpectLeftAsReported();

    // A slow body: cancel after some chunks have arrived.
    testing_support::SetRules(Servers().httpUrl,
                              R"([{"path": "/dl/file.bin", "drip": true, "drip_bytes": 4096, "drip_interval_ms": 20}])");
    CancelSignal cancel;
    std::thread canceller([&] {
        Sleep(300);
        RaiseCancel(cancel);
    });
    EXPECT_FALSE(Download(fileUrl, kNoSize, &error, &cancel));
    canceller.join();
    EXPECT_EQ(error, L"Cancelled by user");
    ExpectLeftAsReported();
}

TEST_F(DownloadTest, ConnectionResetMidBodyLeavesNoFile) {
    testing_support::SetRules(Servers().httpUrl, R"([{"path": "/dl/file.bin", "drop_after_bytes": 100000}])");
    std::wstring error;
    EXPECT_FALSE(Download(fileUrl, kNoSize, &error));
    EXPECT_TRUE(StartsWith(error, L"WinHttpReadData failed: ") ||
                StartsWith(error, L"WinHttpQueryDataAvailable failed: ") ||
                StartsWith(error, L"Incomplete download: got "))
        << testing_support::Narrow(error);
    ExpectLeftAsReported();
}

// A transfer that continues a file's first bytes: only the rest of the declared
// size, announced as such, is appended; any other answer never is.
TEST_F(DownloadTest, ResumedTransferAppendsOnlyTheRestItAskedFor) {
    const int64_t size = static_cast<int64_t>(content.size());
    const int64_t held = 1048576 + 5;
    const std::string prefix = content.substr(0, static_cast<size_t>(held));
    const std::string rest = "bytes=" + std::to_string(held) + "-";
    const std::wstring expected = L"bytes " + std::to_wstring(held) + L"-" + std::to_wstring(size - 1) + L"/" +
                                  std::to_wstring(size);
    struct Row {
        const char* name;
        std::string rule;         // for the file's path; empty: none
        bool ok;
        FailureKind kind;
        std::wstring error;       // the failure's text; empty: not checked
        int64_t from;             // where the body was written from
        std::string left;         // the file afterwards
    };
    const Row rows[] = {
        {"a 206 of exactly the rest", "", true, FailureKind::None, L"", held, content},
        {"a 200: written from byte 0", R"("ignore_range": true)", true, FailureKind::None, L"", 0, content},
        // Another range is never written: the file stays as it was, for its owner to judge.
        {"a 206 starting later", R"("range_shift": 10)", false, FailureKind::RangeMismatch,
         L"Range mismatch: expected " + expected + L", got bytes " + std::to_wstring(held + 10) + L"-" +
             std::to_wstring(size - 1) + L"/" + std::to_wstring(size),
         0, prefix},
        {"a 206 starting earlier", R"("range_shift": -1)", false, FailureKind::RangeMismatch, L"", 0, prefix},
        {"a 416", R"("status": 416)", false, FailureKind::RangeMismatch, L"HTTP status 416", 0, prefix},
        {"a 206 of another complete length", R"("body": ")" + std::string(2000000, 'q') + "\"", false,
         FailureKind::RangeMismatch, L"", 0, prefix},
        // Neither the bytes held nor those that came are lost: the next transfer continues.
        {"a drop after some of the rest", R"("drop_at_byte": 2097152)", false, FailureKind::BodyRead, L"", held,
         content.substr(0, 2097152)},
        {"a 404 leaves the bytes held", R"("status": 404)", false, FailureKind::HttpStatus, L"HTTP status 404", 0,
         prefix},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testing_support::ResetServer(Servers().httpUrl);
        if (!row.rule.empty())
            testing_support::SetRules(Servers().httpUrl, R"([{"path": "/dl/file.bin", )" + row.rule + "}]");
        WriteBytes(local, prefix);
        const TransferResult result = DownloadToFile(run, {fileUrl, local, size, nullptr, held}, [](const wchar_t*, int64_t) {});
        const Outcome& outcome = result.outcome;
        const int64_t from = result.writtenFrom;
        EXPECT_EQ(outcome.ok(), row.ok) << testing_support::Narrow(outcome.text);
        if (!row.ok && row.kind != FailureKind::BodyRead) {
            EXPECT_EQ(outcome.kind, row.kind);
        }
        if (!row.error.empty()) {
            EXPECT_EQ(outcome.text, row.error);
        }
        if (row.ok || row.kind == FailureKind::BodyRead) {
            EXPECT_EQ(from, row.from);
        }
        EXPECT_EQ(ReadBytes(local), row.left);
        const auto seen = testing_support::SeenRequests(Servers().httpUrl);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].range, rest);
    }
}

// Offsets past 4 GiB stay exact in the header asked, the answer judged and the file.
TEST_F(DownloadTest, ResumedTransferPastFourGiB) {
    const int64_t size = (int64_t{1} << 32) + 1000, held = (int64_t{1} << 32) + 5;
    const std::wstring served = Servers().root + L"\\dl\\huge.bin";
    testing_support::CreateSparseFile(served, size);
    testing_support::CreateSparseFile(local, held);
    const std::wstring url = Servers().httpUrl + L"/dl/huge.bin";
    int64_t firstReport = -1;
    const TransferResult result = DownloadToFile(run, {url, local, size, nullptr, held}, [&](const wchar_t*, int64_t done) {
        if (firstReport < 0) firstReport = done;
    });
    const Outcome& outcome = result.outcome;
    const int64_t from = result.writtenFrom;
    DeleteFileW(served.c_str());
    EXPECT_TRUE(outcome.ok()) << testing_support::Narrow(outcome.text);
    EXPECT_EQ(from, held);
    EXPECT_EQ(firstReport, held) << "the bytes held count as done from the start";
    EXPECT_EQ(testing_support::FileSize(local), size);
    const auto seen = testing_support::SeenRequests(Servers().httpUrl);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].range, "bytes=4294967301-");
    EXPECT_EQ(seen[0].status, 206);
    EXPECT_EQ(seen[0].sent, 995);
    DeleteFileW(local.c_str());
}

// The Content-Range comes from the network: anything but the exact form fails.
TEST(ContentRangeHeader, ReadStrictly) {
    struct Row {
        const wchar_t* text;
        bool ok;
        int64_t first, last, complete;
    };
    const Row rows[] = {
        {L"bytes 0-0/1", true, 0, 0, 1},
        {L"bytes 600-999/1000", true, 600, 999, 1000},
        {L"bytes 4294967301-8589934591/8589934592", true, 4294967301, 8589934591, 8589934592},
        {L"bytes 0-9223372036854775806/9223372036854775807", true, 0, 9223372036854775806, INT64_MAX},
        {L"bytes 0-9223372036854775807/9223372036854775808", false, 0, 0, 0},  // past the 64-bit range
        {L"bytes 0-1/99999999999999999999999", false, 0, 0, 0},
        {L"bytes 600-999/*", false, 0, 0, 0},
        {L"bytes */1000", false, 0, 0, 0},
        {L"bytes 600-/1000", false, 0, 0, 0},
        {L"bytes -600-999/1000", false, 0, 0, 0},
        {L"bytes +600-999/1000", false, 0, 0, 0},
        {L"bytes 600 -999/1000", false, 0, 0, 0},
        {L"bytes  600-999/1000", false, 0, 0, 0},
        {L"bytes 600-999/1000 ", false, 0, 0, 0},
        {L"bytes 600-999/1000, bytes 0-1/1000", false, 0, 0, 0},
        {L"bytes=600-999/1000", false, 0, 0, 0},
        {L"items 600-999/1000", false, 0, 0, 0},
        {L"bytes 999-600/1000", false, 0, 0, 0},   // backwards
        {L"bytes 600-1000/1000", false, 0, 0, 0},  // past the end
        {L"bytes 0x10-0x20/0x30", false, 0, 0, 0},
        {L"bytes \x0661-\x0662/\x0663", false, 0, 0, 0},  // Arabic-Indic digits
        {L"", false, 0, 0, 0},
    };
    for (const Row& row : rows) {
        ContentRange range;
        EXPECT_EQ(ParseContentRange(row.text, range), row.ok) << testing_support::Narrow(row.text);
        if (!row.ok) continue;
        EXPECT_EQ(range.first, row.first);
        EXPECT_EQ(range.last, row.last);
        EXPECT_EQ(range.complete, row.complete);
    }
}

// A peer that stops answering costs one time-out (30 s for a download), not
// more: the phase that waits ends at its time-out, with the platform's words.
class StalledDownloadTest : public DownloadTest {
protected:
    // Fails the download and returns how long it took, in ms.
    long long TimedFailure(const std::wstring& url, std::wstring* error) {
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(Download(url, kNoSize, error));
        const long long took = static_cast<long long>(GetTickCount64() - start);
        ExpectLeftAsReported();
        return took;
    }
    static constexpr long long kTimeoutMs = 30000;
};

// "HTTP request failed: " and a time-out as the platform words it: WinHTTP's
// own or the socket's (a TLS handshake may be worded as its failure instead).
void ExpectRequestTimedOut(const std::wstring& error, bool timeoutText = true) {
    const std::wstring prefix = L"HTTP request failed: ";
    ASSERT_TRUE(StartsWith(error, prefix)) << testing_support::Narrow(error);
    const std::wstring tail = error.substr(prefix.size());
    if (timeoutText) {
        EXPECT_TRUE(tail == L"timeout" || tail == HttpErrorText(WSAETIMEDOUT)) << testing_support::Narrow(error);
    }
}

TEST_F(StalledDownloadTest, PeerThatNeverAnswersEndsAtTheTimeOutSlow) {
    std::wstring error;
    testing_support::ExpectEndedAtTimeOut(TimedFailure(Servers().silentUrl + L"/dl/file.bin", &error), kTimeoutMs);
    ExpectRequestTimedOut(error);
}

// Every phase that waits for the peer ends at the caller's time-out: the
// connection, the TLS handshake and the response headers.
TEST_F(StalledDownloadTest, EachWaitingPhaseEndsAtTheRequestTimeOut) {
    const DWORD timeoutMs = 5000;
    struct Phase {
        const char* name;
        std::wstring url;
        bool timeoutText;
    };
    const Phase phases[] = {{"connect", Servers().unacceptedUrl + L"/a", true},
                            {"response headers", Servers().silentUrl + L"/a", true},
                            {"TLS handshake", Servers().silentTlsUrl + L"/a", false}};
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        HttpRequest request;
        const ULONGLONG start = GetTickCount64();
        const Outcome sent = SendHttpRequest(run, phase.url, L"HEAD", L"", timeoutMs, request);
        const std::wstring& error = sent.text;
        EXPECT_EQ(sent.kind, FailureKind::NoHttpStatus);
        testing_support::ExpectEndedAtTimeOut(GetTickCount64() - start, timeoutMs);
        ExpectRequestTimedOut(error, phase.timeoutText);
        EXPECT_FALSE(request.request);
    }
}

TEST_F(StalledDownloadTest, BodyThatStallsEndsAtTheTimeOutAndLeavesNoFileSlow) {
    testing_support::SetRules(Servers().httpUrl,
                              R"([{"path": "/dl/file.bin", "stall_after_bytes": 100000, "stall_seconds": 70}])");
    // While the body stalls, what has arrived is on disk (the engine holds the
    // file open without sharing, so only its size can be seen).
    ULONGLONG partial = 0;
    std::thread observer([&] {
        Sleep(5000);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(local.c_str(), GetFileExInfoStandard, &data))
            partial = (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    });
    std::wstring error;
    const long long took = TimedFailure(fileUrl, &error);
    observer.join();
    EXPECT_EQ(partial, 100000u);
    EXPECT_TRUE(StartsWith(error, L"WinHttpReadData failed: ") ||
                StartsWith(error, L"WinHttpQueryDataAvailable failed: "))
        << testing_support::Narrow(error);
    testing_support::ExpectEndedAtTimeOut(took, kTimeoutMs);
}

TEST(HttpErrorTexts, FixedTextsAndFallbacks) {
    EXPECT_EQ(HttpErrorText(12002), L"timeout");
    EXPECT_EQ(Win32ErrorText(12002), L"The operation timed out");

    const std::wstring fileNotFound = Win32ErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(fileNotFound.empty());
    EXPECT_NE(fileNotFound.back(), L'\n');
    EXPECT_NE(fileNotFound.back(), L' ');
    EXPECT_EQ(HttpErrorText(ERROR_FILE_NOT_FOUND), fileNotFound);

    // A code no message table knows (the customer bit is set).
    EXPECT_EQ(Win32ErrorText(0x20001234), L"Win32 error 536875572");
    EXPECT_EQ(HttpErrorText(0x20001234), L"Win32 error 536875572");

    SetLastError(0);
    EXPECT_EQ(Win32ErrorText(0), L"");
    SetLastError(0);
    EXPECT_EQ(HttpErrorText(0), L"Win32 error 0");
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Win32ErrorText(0), fileNotFound);

    SetLastError(0);
    const Outcome none = CheckHttpSession(nullptr);
    EXPECT_EQ(none.kind, FailureKind::NoSession);
    EXPECT_EQ(none.text, L"WinHttpOpen failed: ");
    HINTERNET open = WinHttpOpen(L"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    const Outcome opened = CheckHttpSession(open);
    EXPECT_TRUE(opened.ok());
    EXPECT_EQ(opened.text, L"");
    WinHttpCloseHandle(open);
}

}  // namespace
