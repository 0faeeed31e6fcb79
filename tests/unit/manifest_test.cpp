// Manifest retrieval over the real mirror server: attempts, retries, the texts
// that end the attempts on one URL, and the exact log lines.
#include "manifest.h"

#include "handles.h"
#include "support.h"
#include "stage_context.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace tolvek;
using testing_support::Exists;
using testing_support::LogMessages;
using testing_support::Narrow;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::Servers;
using testing_support::WriteBytes;
using Lines = std::vector<std::string>;

std::string Show(const std::wstring& text) { return ::testing::PrintToString(text); }

const char kManifest[] = R"({"files": {"a.bin": {"size": 1}}, "version": 2})";

class ManifestTest : public ::testing::Test, protected StageContext {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
        testing_support::ResetServer(Servers().httpUrl);
        CreateDirectoryW((Servers().root + L"\\mf").c_str(), nullptr);
        WriteBytes(Servers().root + L"\\mf\\good.json", kManifest);
        LogFilePath = dir / L"install.log";
    }
    void TearDown() override {
        testing_support::ResetServer(Servers().httpUrl);
        LogFilePath.clear();
    }

    std::wstring Url(const std::wstring& name) const { return Servers().httpUrl + L"/mf/" + name; }
    std::string UrlText(const std::wstring& name) const { return Narrow(Url(name)); }
    void Serve(const std::wstring& name, const std::string& bytes) {
        WriteBytes(Servers().root + L"\\mf\\" + name, bytes);
    }
    bool Fetch(const std::wstring& urls, const CancelSignal* cancel = nullptr) {
        return Fetch(urls, manifestPath, cancel);
    }
    bool Fetch(const std::wstring& urls, const std::wstring& path, const CancelSignal* signal = nullptr) {
        const ManifestFiles files{path, path + L".download", path + L".sig.download"};
        const Outcome outcome = DownloadManifest(signal ? RunWith(*signal) : run, urls, files, manifest);
        error = ResultText(outcome);
        return outcome.ok();
    }
    Lines Log() const { return LogMessages(dir / L"install.log"); }

    static std::string Trying(int url, int urls, int attempt, const std::string& text) {
        return "Trying to download manifest [URL " + std::to_string(url) + "/" + std::to_string(urls) +
               ", attempt " + std::to_string(attempt) + "/3]: " + text;
    }
    static std::string Failed(const std::string& url, const std::string& error) {
        return "Manifest download failed: " + url + " ; error=" + error;
    }

    ScratchDir dir{L"manifest"};
    const std::wstring manifestPath = dir / L"tolvek_launcher_manifest.json";
    Manifest manifest;
    std::wstring error;
};

// A manifest that the disk cannot hold ends the retrieval with the write
// error: no retry, no other URL, no "NETWORK_UNREACHABLE: ".
TEST_F(ManifestTest, FullDiskEndsTheRetrievalAtOnce) {
    const std::wstring disk = testing_support::SmallDisk();
    ASSERT_FALSE(disk.empty()) << "TOLVEK_SMALL_DISK names no small disk";
    Serve(L"big.json", "{\"files\": {}, \"pad\": \"" + std::string(3 * 1048576, 'p') + "\"}");
    const std::wstring onDisk = disk + L"\\tolvek_launcher_manifest.json";
    const bool ok = Fetch(Url(L"big.json") + L"|" + Url(L"good.json"), onDisk);
    DeleteFileW((Servers().root + L"\\mf\\big.json").c_str());

    EXPECT_FALSE(ok);
    const std::wstring prefix = L"Write error for file: " + onDisk + L".download (";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << Narrow(error);
    EXPECT_TRUE(testing_support::IsDiskFullText(error.substr(prefix.size(), error.size() - prefix.size() - 1)))
        << Narrow(error);
    EXPECT_EQ(Log(), (Lines{Trying(1, 2, 1, UrlText(L"big.json")), Failed(UrlText(L"big.json"), Narrow(error))}));
    EXPECT_FALSE(Exists(onDisk + L".download"));
    EXPECT_EQ(testing_support::SentBytes(Servers().httpUrl).size(), 1u);
}

TEST_F(ManifestTest, EmptyListFailsAtOnce) {
    for (const wchar_t* urls : {L"", L"|", L"||||"}) {
        EXPECT_FALSE(Fetch(urls));
        EXPECT_EQ(error, L"NETWORK_UNREACHABLE: Manifest URL list is empty");
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(ManifestTest, FallsBackToTheNextUrlAfterThreeFailures) {
    const std::wstring missing = Url(L"missing.json");
    const std::string m = Narrow(missing);
    WriteBytes(manifestPath, "left by an earlier run");
    ASSERT_TRUE(Fetch(L"|" + missing + L"||" + Url(L"good.json") + L"|")) << Narrow(error);
    EXPECT_EQ(Log(), (Lines{Trying(1, 2, 1, m), Failed(m, "HTTP status 404"),
                            "Retrying same manifest URL after failure (attempt 1/3)", Trying(1, 2, 2, m),
                            Failed(m, "HTTP status 404"),
                            "Retrying same manifest URL after failure (attempt 2/3)", Trying(1, 2, 3, m),
                            Failed(m, "HTTP status 404"), Trying(2, 2, 1, UrlText(L"good.json")),
                            "Manifest downloaded successfully from: " + UrlText(L"good.json")}));
    EXPECT_EQ(ReadBytes(manifestPath), kManifest);
    EXPECT_FALSE(Exists(manifestPath + L".download"));
    ASSERT_EQ(manifest.entries.size(), 1u);
    EXPECT_EQ(manifest.entries[0].key, L"a.bin");
    EXPECT_EQ(manifest.version, 2);
}

TEST_F(ManifestTest, EveryUrlFailingNamesTheLastError) {
    testing_support::SetRules(Servers().httpUrl, R"([{"path_glob": "/mf/down*", "status": 503}])");
    const std::wstring first = Url(L"missing.json"), second = Url(L"down.json");
    WriteBytes(manifestPath, "stale");
    EXPECT_FALSE(Fetch(first + L"|" + second));
    EXPECT_EQ(error, L"NETWORK_UNREACHABLE: Cannot download manifest from any URL (2 tried, 3 attempts each). "
                     L"Last error: HTTP status 503");
    const Lines log = Log();
    EXPECT_EQ(log.size(), 16u);  // per URL: 3 attempt, 3 failure and 2 retry lines
    EXPECT_EQ(log.back(), Failed(Narrow(second), "HTTP status 503"));
    EXPECT_FALSE(Exists(manifestPath));  // a stale copy is gone once the first attempt starts
    EXPECT_FALSE(Exists(manifestPath + L".download"));
}

TEST_F(ManifestTest, InvalidUrlAndMissingFilesObjectAreTriedOnce) {
    Serve(L"nofiles.json", R"({"version": 1})");
    Serve(L"array.json", R"({"files": []})");
    EXPECT_FALSE(Fetch(L"no-scheme/manifest.json|" + Url(L"nofiles.json") + L"|" + Url(L"array.json")));
    EXPECT_EQ(Log(), (Lines{Trying(1, 3, 1, "no-scheme/manifest.json"),
                            Failed("no-scheme/manifest.json", "Invalid URL: no-scheme/manifest.json"),
                            Trying(2, 3, 1, UrlText(L"nofiles.json")),
                            Failed(UrlText(L"nofiles.json"), "Manifest does not contain files object"),
                            Trying(3, 3, 1, UrlText(L"array.json")),
                            Failed(UrlText(L"array.json"), "Manifest does not contain files object")}));
    EXPECT_EQ(error, L"NETWORK_UNREACHABLE: Cannot download manifest from any URL (3 tried, 3 attempts each). "
                     L"Last error: Manifest does not contain files object");
}

TEST_F(ManifestTest, ParseFailuresAreRetriedWithTheParserMessage) {
    Serve(L"cut.json", R"({"files": {"a.bin": {"hash": "AB)");
    Serve(L"empty.json", "");
    EXPECT_FALSE(Fetch(Url(L"cut.json") + L"|" + Url(L"empty.json")));
    const std::string cut = UrlText(L"cut.json"), empty = UrlText(L"empty.json");
    EXPECT_EQ(Log(), (Lines{Trying(1, 2, 1, cut), Failed(cut, "Unterminated string"),
                            "Retrying same manifest URL after parse failure (attempt 1/3)", Trying(1, 2, 2, cut),
                            Failed(cut, "Unterminated string"),
                            "Retrying same manifest URL after parse failure (attempt 2/3)", Trying(1, 2, 3, cut),
                            Failed(cut, "Unterminated string"), Trying(2, 2, 1, empty),
                            Failed(empty, "Invalid JSON value"),
                            "Retrying same manifest URL after parse failure (attempt 1/3)",
                            Trying(2, 2, 2, empty), Failed(empty, "Invalid JSON value"),
                            "Retrying same manifest URL after parse failure (attempt 2/3)",
                            Trying(2, 2, 3, empty), Failed(empty, "Invalid JSON value")}));
}

TEST_F(ManifestTest, ByteOrderMarkAndInvalidUtf8) {
    Serve(L"bom.json", "\xEF\xBB\xBF{\"files\": {\"a\": {}}, \"version_string\": \"v\xFF\"}");
    ASSERT_TRUE(Fetch(Url(L"bom.json"))) << Narrow(error);
    EXPECT_EQ(manifest.versionString, L"v\uFFFD");
}

TEST_F(ManifestTest, BlanksAroundUrlsAreKept) {
    // " http://..." is passed on as it stands; WinHTTP then judges the URL.
    EXPECT_FALSE(Fetch(L" " + Url(L"good.json")));
    EXPECT_EQ(Log().front(), Trying(1, 1, 1, " " + UrlText(L"good.json")));
}

TEST_F(ManifestTest, CancellationDuringAPauseStopsTheNextAttempt) {
    CancelSignal cancel;
    std::thread canceller([&] {
        Sleep(150);  // the first attempt fails at once; its pause runs
        RaiseCancel(cancel);
    });
    EXPECT_FALSE(Fetch(Url(L"missing.json") + L"|" + Url(L"good.json"), &cancel));
    canceller.join();
    EXPECT_EQ(error, L"Cancelled by user");
    EXPECT_EQ(Log().size(), 3u);  // attempt, failure, retry line; nothing after the pause
}

// The bytes of a file on disk, or -1 when there is none.
long long BytesOnDisk(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A manifest that takes seconds to parse here: a cancel once its body is on disk lands
// in the reading or the parse, and ends the retrieval as a cancelled download does,
// without a retry.
TEST_F(ManifestTest, CancellationDuringTheParseEndsTheRetrieval) {
    using Clock = std::chrono::steady_clock;
    std::string big = R"({"files": {"a.bin": {}}, "padding": [)";
    for (int i = 0; i < 12000000; ++i) big += "0,";
    big += "0]}";
    Serve(L"big.json", big);
    const std::wstring temporary = manifestPath + L".download";
    CancelSignal cancel;
    std::atomic<bool> returned{false};
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        while (!returned && BytesOnDisk(temporary) != static_cast<long long>(big.size())) Sleep(1);
        Sleep(100);
        cancelledAt = Clock::now();
        RaiseCancel(cancel);
    });
    const bool fetched = Fetch(Url(L"big.json"), &cancel);
    const Clock::time_point returnedAt = Clock::now();
    returned = true;
    canceller.join();
    EXPECT_FALSE(fetched);
    EXPECT_EQ(error, L"Cancelled by user");
    EXPECT_EQ(Log(), (Lines{Trying(1, 1, 1, UrlText(L"big.json")),
                            Failed(UrlText(L"big.json"), "Cancelled by user")}));
    EXPECT_FALSE(Exists(temporary));
    EXPECT_FALSE(Exists(manifestPath));
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - cancelledAt).count(), 2000);
    DeleteFileW((Servers().root + L"\\mf\\big.json").c_str());
}

// A size is a count of bytes and a hash 64 hexadecimal digits; a member written
// otherwise is recorded as unusable (the run refuses the entry), never as absent.
TEST(FileEntry, ReadsSizeAndHashOfTheRightKinds) {
    const std::wstring digest = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aD";
    const std::wstring upper = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    const struct {
        std::wstring json;
        int64_t size;
        bool hasSize;
        bool sizeUnusable;
        std::wstring hash;
        bool hasHash;
        bool hashUnusable;
    } rows[] = {
        {LR"({"size": 12, "hash": ")" + digest + L"\"}", 12, true, false, upper, true, false},  // only a-z change
        {LR"({"size": 0})", 0, true, false, L"", false, false},
        {LR"({"size": -0})", 0, true, false, L"", false, false},
        {LR"({"size": 5.0})", 5, true, false, L"", false, false},
        {LR"({"size": 12.7})", -1, false, true, L"", false, false},
        {LR"({"size": -3})", -1, false, true, L"", false, false},
        {LR"({"size": -3.9})", -1, false, true, L"", false, false},
        {LR"({"size": "12"})", -1, false, true, L"", false, false},
        {LR"({"size": null})", -1, false, true, L"", false, false},
        {LR"({"size": true})", -1, false, true, L"", false, false},
        {LR"({"size": [5]})", -1, false, true, L"", false, false},
        {LR"({"hash": ""})", -1, false, false, L"", false, true},
        {LR"({"hash": null})", -1, false, false, L"", false, true},
        {LR"({"hash": 5})", -1, false, false, L"", false, true},
        {LR"({"hash": "ab12ef"})", -1, false, false, L"", false, true},
        {L"{\"hash\": \"" + digest.substr(1) + L"\"}", -1, false, false, L"", false, true},  // 63 digits
        {L"{\"hash\": \"" + digest + L"0\"}", -1, false, false, L"", false, true},  // 65 digits
        {L"{\"hash\": \" " + digest.substr(1) + L"\"}", -1, false, false, L"", false, true},  // a blank
        {L"{\"hash\": \"" + std::wstring(64, L'g') + L"\"}", -1, false, false, L"", false, true},
        {L"{\"hash\": \"" + std::wstring(63, L'0') + L"\\uff10\"}", -1, false, false, L"", false, true},  // a wide 0
        {LR"({"Size": 5, "HASH": "ab"})", -1, false, false, L"", false, false},  // names are case-sensitive
        {LR"("size")", -1, false, false, L"", false, false},
        {LR"([12, "ab"])", -1, false, false, L"", false, false},
        // Outside the signed 64-bit range the size stays at the nearest limit.
        {LR"({"size": 9223372036854775807})", INT64_MAX, true, false, L"", false, false},
        {LR"({"size": 1e19})", INT64_MAX, true, false, L"", false, false},
        {LR"({"size": -1e300})", -1, false, true, L"", false, false},
        {LR"({"size": -9223372036854775808})", -1, false, true, L"", false, false},
    };
    for (const auto& row : rows) {
        JsonDocument document;
        ASSERT_TRUE(ParseJson(LR"({"files": {"k": )" + row.json + L"}}", document).ok()) << Show(row.json);
        Manifest manifest;
        ASSERT_TRUE(ReadManifest(document.root, manifest));
        ASSERT_EQ(manifest.entries.size(), 1u);
        const FileEntry& entry = manifest.entries[0];
        EXPECT_EQ(entry.key, L"k");
        EXPECT_EQ(entry.size.value_or(-1), row.size) << Show(row.json);
        EXPECT_EQ(entry.size.has_value(), row.hasSize) << Show(row.json);
        EXPECT_EQ(entry.fault == EntryFault::Size, row.sizeUnusable) << Show(row.json);
        EXPECT_EQ(entry.hash ? DigestText(*entry.hash) : L"", row.hash) << Show(row.json);
        EXPECT_EQ(entry.hash.has_value(), row.hasHash) << Show(row.json);
        EXPECT_EQ(entry.fault == EntryFault::Hash, row.hashUnusable) << Show(row.json);
    }
}

TEST(SplitString, DropsEmptyPiecesAndKeepsBlanks) {
    EXPECT_EQ(SplitString(L"|a||b|", L'|'), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(SplitString(L" a | b ", L'|'), (std::vector<std::wstring>{L" a ", L" b "}));
    EXPECT_TRUE(SplitString(L"", L'|').empty());
    EXPECT_TRUE(SplitString(L"///", L'/').empty());
    EXPECT_EQ(SplitString(L"one", L'|'), std::vector<std::wstring>{L"one"});
}

TEST(ReadUtf8File, DecodesAndFailsQuietly) {
    ScratchDir dir(L"utf8");
    WriteBytes(dir / L"bom.txt", "\xEF\xBB\xBF" "caf\xC3\xA9");
    EXPECT_EQ(ReadUtf8FileAsWide(dir / L"bom.txt"), L"caf\u00e9");
    WriteBytes(dir / L"bom-only.txt", "\xEF\xBB\xBF");
    EXPECT_EQ(ReadUtf8FileAsWide(dir / L"bom-only.txt"), L"");
    WriteBytes(dir / L"bad.txt", "a\xC3(b");
    EXPECT_EQ(ReadUtf8FileAsWide(dir / L"bad.txt"), L"a\uFFFD(b");
    EXPECT_EQ(ReadUtf8FileAsWide(dir / L"missing.txt"), L"");
    EXPECT_EQ(ReadUtf8FileAsWide(dir.path), L"");
}

}  // namespace
