// Progress texts and the tracker's arithmetic, as the host sees them in the record.
#include "progress.h"
#include "status.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <string>

namespace {

using namespace tolvek;

struct BytesRow {
    int64_t bytes;
    const wchar_t* text;
};

TEST(ProgressFormat, BytesTable) {
    const BytesRow rows[] = {{0, L"0 B"},
                             {1023, L"1023 B"},
                             {1024, L"1.00 KB"},
                             {1536, L"1.50 KB"},
                             {1048575, L"1024.00 KB"},
                             {1048576, L"1.00 MB"},
                             {5LL << 30, L"5.00 GB"},
                             {-5, L"-5 B"},
                             {INT64_MAX, L"8589934592.00 GB"}};
    for (const auto& row : rows) EXPECT_EQ(FormatBytes(row.bytes), row.text) << "bytes " << row.bytes;
}

TEST(ProgressFormat, DurationTable) {
    const struct {
        double seconds;
        const wchar_t* text;
    } rows[] = {{0.9, L"00:00"},           {3599.99, L"59:59"},     {3600, L"01:00:00"},
                {443045, L"123:04:05"},    {-1, L"calculating..."}, {2147483647.0, L"596523:14:07"},
                {2147483648.0, L"calculating..."}, {1e300, L"calculating..."}};
    for (const auto& row : rows) EXPECT_EQ(FormatDuration(row.seconds), row.text) << "seconds " << row.seconds;
    EXPECT_EQ(FormatDuration(std::nan("")), L"calculating...");
    EXPECT_EQ(FormatDuration(HUGE_VAL), L"calculating...");
}

TEST(ProgressFormat, SpeedTable) {
    const struct {
        double speed;
        const wchar_t* text;
    } rows[] = {{0, L"0 B/s"},          {0.5, L"0 B/s"},     {999.7, L"999 B/s"}, {1536.9, L"1.50 KB/s"},
                {1048576, L"1.00 MB/s"}, {-3, L"0 B/s"}};
    for (const auto& row : rows) EXPECT_EQ(FormatSpeed(row.speed), row.text) << "speed " << row.speed;
    // Far beyond 64 bits: held at the limit, still a GB text rather than garbage.
    const std::wstring huge = FormatSpeed(1e30);
    EXPECT_EQ(huge.substr(huge.size() - 5), L" GB/s") << huge.c_str();
}

TEST(ProgressFormat, DecimalPointIgnoresTheLocale) {
    // A locale whose decimal separator is a comma must not change the texts.
    const char* german = std::setlocale(LC_ALL, "German_Germany.1252");
    EXPECT_EQ(FormatBytes(1536), L"1.50 KB");
    EXPECT_EQ(FormatSpeed(1536.9), L"1.50 KB/s");
    std::setlocale(LC_ALL, "C");
    if (!german) GTEST_LOG_(INFO) << "German locale unavailable; checked the C locale only";
}

// Publishes a report through a fresh tracker and reads the record back as the host would.
ProgressRecord Published(const ProgressReport& report) {
    ReportProgress(ProgressTracker(), report);
    ProgressRecord record = {};
    EXPECT_TRUE(CopyProgress(&record));
    return record;
}

// Publishes through a tracker whose finished files hold `completed` of `total` bytes
// while one file of `fileTotal` has `fileDone`, and reads the record back as the host would.
ProgressRecord Report(int64_t completed, int64_t total, int64_t fileDone, int64_t fileTotal,
                      std::chrono::steady_clock::duration elapsed = std::chrono::seconds(0)) {
    ProgressTracker tracker;
    tracker.startTime = std::chrono::steady_clock::now() - elapsed;
    SetFileList(tracker, total, 5);
    CountSkipped(tracker, completed);
    FileCount file;
    CountTransfer(tracker, file, fileDone, fileTotal);
    ReportProgress(tracker, {.status = L"Downloading", .item = L"a/b.bin", .itemIndex = 2,
                             .itemCount = 5, .fileBytesDone = fileDone, .fileBytesTotal = fileTotal});
    ProgressRecord record = {};
    EXPECT_TRUE(CopyProgress(&record));
    return record;
}

// Until the file list is known the bar stands at 0 with no total, whatever the
// manifest's transfer brings; a file counts at most its declared size, and one that
// starts over holds the bar where it was. The counts beside the record say the same.
TEST(ProgressTracker, TheBarNeverLiesNorGoesBack) {
    ProgressTracker tracker;
    const auto reported = [&](int64_t fileDone, int32_t permille, const wchar_t* done, const wchar_t* total) {
        ReportProgress(tracker, {.status = L"Downloading", .item = L"a/b.bin", .itemIndex = 2, .itemCount = 5,
                                 .fileBytesDone = fileDone});
        ProgressRecord r = {};
        ASSERT_TRUE(CopyProgress(&r));
        EXPECT_EQ(r.progressPermille, permille) << fileDone;
        EXPECT_STREQ(r.bytesDoneText, done);
        EXPECT_STREQ(r.bytesTotalText, total);
    };
    FileCount manifest, file;
    CountTransfer(tracker, manifest, 402 * 1024, 0);  // the manifest declares no size of its own
    CountReceived(tracker, 402 * 1024);
    reported(402 * 1024, 0, L"0 B", L"0 B");
    SetFileList(tracker, 1000, 2);
    StartTransfer(tracker);
    CountTransfer(tracker, file, 2000, 500);  // a larger body than declared
    reported(2000, 500, L"500 B", L"1000 B");
    CountTransfer(tracker, file, 100, 500);  // the file started over
    reported(100, 500, L"500 B", L"1000 B");
    EndTransfer(tracker, 2, file, true, 500);
    CountSkipped(tracker, 500);
    reported(0, 1000, L"1000 B", L"1000 B");
    TolvekInstallDetail detail = {};
    detail.size = sizeof detail;
    ASSERT_TRUE(CopyDetail(&detail));
    EXPECT_EQ(detail.bytesDone, 1000u);
    EXPECT_EQ(detail.bytesTotal, 1000u);
    EXPECT_EQ(detail.bytesReceived, 402u * 1024);
    EXPECT_EQ(detail.filesDone, 2);
    EXPECT_EQ(detail.filesSkipped, 1);
    EXPECT_EQ(detail.filesTotal, 2);
    EXPECT_EQ(detail.filesInTransfer, 0);
    // A host that knows only the first members gets those and no more.
    TolvekInstallDetail older = {};
    older.size = TOLVEK_DETAIL_MIN_SIZE;
    older.kind = -1;
    older.platformError = 77;
    ASSERT_TRUE(CopyDetail(&older));
    EXPECT_EQ(older.kind, TOLVEK_KIND_NONE);
    EXPECT_EQ(older.platformError, 77u);
    older.size = TOLVEK_DETAIL_MIN_SIZE - 1;
    EXPECT_FALSE(CopyDetail(&older));
}

TEST(ProgressTracker, PermilleAddsFinishedFilesAndClamps) {
    EXPECT_EQ(Report(200, 1000, 300, 600).progressPermille, 500);
    EXPECT_STREQ(Report(200, 1000, 300, 600).fileBytesDoneText, L"300 B");
    EXPECT_STREQ(Report(200, 1000, 300, 600).fileBytesTotalText, L"600 B");
    const ProgressRecord over = Report(1000, 1000, 500, 0, std::chrono::seconds(1));
    EXPECT_EQ(over.progressPermille, 1000);
    EXPECT_STREQ(over.timeLeftText, L"00:00");          // a file of no declared size counts nothing
    EXPECT_EQ(Report(0, 0, 0, 0).progressPermille, 0);  // no total: no progress
    EXPECT_EQ(Report(INT64_MAX / 2, INT64_MAX, 0, 0).progressPermille, 500);  // no overflow
}

TEST(ProgressTracker, SpeedIsAveragedOverTheRun) {
    // 10 MiB in 10 s (of which 4 MiB were files already finished): 1 MiB/s,
    // and the 10 MiB left take 10 more seconds.
    const int64_t mib = 1048576;
    const ProgressRecord r = Report(4 * mib, 20 * mib, 6 * mib, 8 * mib, std::chrono::seconds(10));
    EXPECT_STREQ(r.speedText, L"1.00 MB/s");
    EXPECT_STREQ(r.timeLeftText, L"00:10");
    EXPECT_STREQ(r.bytesDoneText, L"10.00 MB");
    EXPECT_STREQ(r.bytesTotalText, L"20.00 MB");
    // Less than a millisecond (here a start time in the future) counts as 1 ms:
    // the speed is then done x 1000.
    EXPECT_STREQ(Report(0, 1000000, 5, 1000, -std::chrono::hours(1)).speedText, L"4.88 KB/s");
}

TEST(ProgressRecordStore, TextsAreCutToTheirBuffers) {
    const std::wstring status(70, L's'), item(300, L'i');
    const ProgressRecord r = Published({.status = status, .item = item, .itemIndex = 1, .itemCount = 2});
    EXPECT_EQ(std::wstring(r.status), std::wstring(63, L's'));
    EXPECT_EQ(std::wstring(r.currentItem), std::wstring(259, L'i'));
    EXPECT_EQ(r.itemIndex, 1);
    EXPECT_EQ(r.itemCount, 2);
}

// A status, an item or a result from the network reaches the host without a
// control character or a URL's credentials; the cut comes after the escaping.
TEST(ProgressRecordStore, TextsAndResultAreShownWithoutControlsOrCredentials) {
    ProgressRecord r = Published({.status = L"Error", .item = L"Invalid URL: https://u:pw@h/m.json\r\nx"});
    EXPECT_EQ(std::wstring(r.currentItem), L"Invalid URL: https://***@h/m.json\\u000d\\u000ax");
    const std::wstring escape(20, L'\x1b');
    r = Published({.status = escape});
    std::wstring escapes;
    for (int i = 0; i < 20; ++i) escapes += L"\\u001b";
    EXPECT_EQ(std::wstring(r.status), escapes.substr(0, 63));

    SetResult(1, std::wstring(L"Invalid file path in manifest: keep.txt\0zz", 42));
    int32_t code = -1;
    std::wstring message;
    ASSERT_TRUE(GetResult(code, message));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(message, L"Invalid file path in manifest: keep.txt\\u0000zz");
    SetResult(1, std::wstring(300, L'\n'));
    ASSERT_TRUE(GetResult(code, message));
    std::wstring newlines;
    for (int i = 0; i < 300; ++i) newlines += L"\\u000a";
    EXPECT_EQ(message, newlines.substr(0, 1023));
    ResetStatus();
}

TEST(ProgressRecordStore, EmptyStatusMeansNoProgress) {
    ResetStatus();
    ProgressRecord r;
    std::memset(&r, 0x5A, sizeof r);
    EXPECT_FALSE(CopyProgress(&r));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&r)[0], 0x5A);  // nothing written
}

}  // namespace
