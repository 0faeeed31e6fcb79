// Whole installs through the six exports, against real mirror servers: the
// result, the progress record, the bytes on disk and the complete log.
#include "product.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <winhttp.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing_support::Dll;
using testing_support::Exists;
using testing_support::InstallDirs;
using testing_support::Narrow;
using testing_support::Product;
using testing_support::ProductFile;
using testing_support::ReadBytes;
using testing_support::Servers;
using testing_support::WriteBytes;
using Lines = std::vector<std::string>;

// Latencies vary from run to run; the lines are compared with "#" in their place.
Lines WithoutLatencies(Lines lines) {
    static const std::regex latency("latency=[0-9]+ms");
    for (auto& line : lines) line = std::regex_replace(line, latency, "latency=#ms");
    return lines;
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
        ASSERT_TRUE(Dll().loaded) << Narrow(Dll().loadError);
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::ResetServer(Servers().httpsUrl);
    }
    void TearDown() override {
        Dll().Shutdown();
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::ResetServer(Servers().httpsUrl);
    }

    std::pair<int32_t, std::wstring> Install(const std::wstring& urls) {
        EXPECT_EQ(dirs.Start(urls), 1);
        EXPECT_TRUE(Dll().WaitDone());
        const auto result = Dll().Result();
        Dll().Shutdown();
        return result;
    }
    TolvekProgressRecord Record() const {
        TolvekProgressRecord record = {};
        EXPECT_EQ(Dll().GetProgress(&record), 1);
        return record;
    }
    Lines Log() const { return WithoutLatencies(testing_support::LogMessages(dirs.log())); }
    std::wstring Target(const std::wstring& key) const { return dirs.target() + L"\\" + key; }
    void ExpectNoLeftovers() const {
        EXPECT_FALSE(Exists(dirs.work() + L"\\tolvek_launcher_manifest.json"));
    }
    Lines Opening(const std::wstring& manifestUrl) const {
        return {"Online installation started", "Manifest URLs: " + Narrow(manifestUrl),
                "Target directory: " + Narrow(dirs.target()), "Downloading manifest with fallback...",
                "Trying to download manifest [URL 1/1, attempt 1/3]: " + Narrow(manifestUrl),
                "Proxy for 127.0.0.1: direct (machine default)",
                "Manifest downloaded successfully from: " + Narrow(manifestUrl)};
    }

    InstallDirs dirs{L"install"};
};

const std::wstring kCafe = L"caf\u00e9 menu.txt";

TEST_F(InstallTest, FreshInstallThenEverythingAlreadyValid) {
    Product product(L"fresh");
    const std::wstring mirror = product.MirrorUrl(Servers().httpUrl, L"m1");
    const std::vector<ProductFile> files = {{L"bin/app.exe", std::string(300000, 'x') + "end"},
                                            {L"data\\levels\\one.dat", "level one"},
                                            {kCafe, "soup"}};
    product.Publish(files, {L"m1"}, {mirror}, ", \"version\": 3.9");
    WriteBytes(dirs.dir / L"unlisted.txt", "");
    CreateDirectoryW(dirs.target().c_str(), nullptr);
    WriteBytes(Target(L"unlisted.txt"), "mine");

    EXPECT_EQ(Install(product.ManifestUrl()), std::make_pair(int32_t{0}, std::wstring(L"OK")));
    for (const auto& file : files) EXPECT_EQ(ReadBytes(Target(file.key)), file.content) << Narrow(file.key);
    EXPECT_EQ(ReadBytes(Target(L"unlisted.txt")), "mine");
    EXPECT_FALSE(Exists(Target(L"bin/app.exe.download")));
    ExpectNoLeftovers();

    const TolvekProgressRecord record = Record();
    EXPECT_STREQ(record.status, L"Completed");
    EXPECT_EQ(record.itemIndex, 3);
    EXPECT_EQ(record.itemCount, 3);
    EXPECT_EQ(record.progressPermille, 1000);

    // Keys in UTF-16 order: "bin/app.exe", "caf\u00e9 menu.txt", "data\levels\one.dat".
    const std::string m = Narrow(mirror);
    Lines expected = Opening(product.ManifestUrl());
    const Lines rest = {"Manifest version: 3",
                        "Manifest version_string: ",
                        "Files in manifest: 3",
                        "Total size: 292.98 KB",
                        "CDN probe file: " + Narrow(kCafe),
                        "Testing CDN endpoints (1)...",
                        "Probing CDN [1/1]: " + m,
                        "CDN probe HEAD [attempt 1/3]: " + m + "/caf%E9%20menu.txt",
                        "CDN OK: " + m + " latency=#ms",
                        "Selected CDN: " + m + " latency=#ms",
                        "[1/3] Processing key: bin/app.exe",
                        "Downloading [CDN 1/1, attempt 1/3]: " + m + "/bin/app.exe",
                        "Installed: bin/app.exe",
                        "[2/3] Processing key: " + Narrow(kCafe),
                        "Downloading [CDN 1/1, attempt 1/3]: " + m + "/caf%E9%20menu.txt",
                        "Installed: " + Narrow(kCafe),
                        "[3/3] Processing key: data\\levels\\one.dat",
                        "Downloading [CDN 1/1, attempt 1/3]: " + m + "/data/levels/one.dat",
                        "Installed: data\\levels\\one.dat",
                        "Online installation completed successfully"};
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(Log(), expected);

    // The second run finds every file valid and asks the mirror for none of them.
    testing_support::ResetServer(Servers().httpUrl);
    DeleteFileW(dirs.log().c_str());
    EXPECT_EQ(Install(product.ManifestUrl()), std::make_pair(int32_t{0}, std::wstring(L"OK")));
    const Lines second = Log();
    for (const auto& file : files)
        EXPECT_NE(std::find(second.begin(), second.end(), "Already valid, skipped: " + Narrow(file.key)), second.end());
    const std::string requests = testing_support::RecordedRequests(Servers().httpUrl);
    EXPECT_EQ(requests.find("\"GET\", \"path\": \"/fresh/m1/"), std::string::npos) << requests;
    EXPECT_EQ(Record().progressPermille, 1000);
}

TEST_F(InstallTest, RequestsCarryTheAgentAndNoCache) {
    Product product(L"agent");
    product.Publish({{L"a.txt", "a"}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    EXPECT_EQ(Install(product.ManifestUrl()).first, 0);
    const std::string requests = testing_support::RecordedRequests(Servers().httpUrl);
    EXPECT_NE(requests.find("TolvekLauncherOnlineInstaller/1.5.1"), std::string::npos) << requests;
    EXPECT_NE(requests.find("no-cache"), std::string::npos) << requests;
    EXPECT_NE(requests.find("/agent/manifest.json"), std::string::npos) << requests;
}

TEST_F(InstallTest, FastestMirrorFirstAndTheDownOneLast) {
    Product product(L"order");
    const std::wstring slow = product.MirrorUrl(Servers().httpUrl, L"slow");
    const std::wstring down = Servers().refusedUrl + L"/order/down";
    const std::wstring fast = product.MirrorUrl(Servers().httpUrl, L"fast");
    product.Publish({{L"a.bin", "alpha"}}, {L"slow", L"fast"}, {slow, down, fast});
    // The fast mirror refuses the file itself, so the download moves on to the
    // next mirror in latency order: the slow one, never the down one.
    testing_support::SetRules(Servers().httpUrl, R"([{"path": "/order/fast/a.bin", "method": "GET", "status": 404},
                                                     {"path_glob": "/order/slow/*", "latency_ms": 120},
                                                     {"path_glob": "/order/fast/*", "latency_ms": 45}])");
    EXPECT_EQ(Install(product.ManifestUrl()).first, 0);
    EXPECT_EQ(ReadBytes(Target(L"a.bin")), "alpha");
    const Lines log = Log();
    auto has = [&](const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); };
    EXPECT_TRUE(has("Selected CDN: " + Narrow(fast) + " latency=#ms"));
    EXPECT_TRUE(has("Downloading [CDN 1/3, attempt 1/3]: " + Narrow(fast) + "/a.bin"));
    EXPECT_FALSE(has("Downloading [CDN 1/3, attempt 2/3]: " + Narrow(fast) + "/a.bin")) << "a 404 asked again";
    EXPECT_TRUE(has("Downloading [CDN 2/3, attempt 1/3]: " + Narrow(slow) + "/a.bin"));
    const auto failed = std::find_if(log.begin(), log.end(), [&](const std::string& line) {
        return line.rfind("CDN FAILED: " + Narrow(down) + " error=HTTP request failed: ", 0) == 0;
    });
    EXPECT_NE(failed, log.end());
}

TEST_F(InstallTest, HttpsInstallWithHeadRefused) {
    Product product(L"secure");
    const std::wstring mirror = product.MirrorUrl(Servers().httpsUrl, L"m1");
    product.Publish({{L"s.bin", "secret"}}, {L"m1"}, {mirror});
    testing_support::SetRules(Servers().httpsUrl, R"([{"path_glob": "/secure/m1/*", "refuse_head": true}])");
    EXPECT_EQ(Install(product.ManifestUrl(Servers().httpsUrl)), std::make_pair(int32_t{0}, std::wstring(L"OK")));
    EXPECT_EQ(ReadBytes(Target(L"s.bin")), "secret");
    const Lines log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "CDN probe GET [attempt 1/3]: " + Narrow(mirror) + "/s.bin"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Retrying CDN probe HEAD after failure (attempt 2/3): HTTP status 405"),
              log.end());
}

TEST_F(InstallTest, ProtectedFilesAreNeverTouched) {
    Product product(L"protect");
    const std::vector<std::wstring> protectedKeys = {L"Uninstall.exe", L"sub/UNINS001.DAT", L"unins.exe",
                                                     L"unins000.exe", L"unins000.msg"};
    std::vector<ProductFile> files = {{L"unins.ex", "1"}, {L"unins000.txt", "2"}, {L"uninst.dll", "3"}};
    for (const auto& key : protectedKeys) files.push_back({key, "new uninstaller"});
    product.Publish(files, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    CreateDirectoryW(dirs.target().c_str(), nullptr);
    WriteBytes(Target(L"unins000.exe"), "the real uninstaller");

    EXPECT_EQ(Install(product.ManifestUrl()).first, 0);
    EXPECT_EQ(ReadBytes(Target(L"unins000.exe")), "the real uninstaller");
    EXPECT_EQ(ReadBytes(Target(L"uninst.dll")), "3");
    EXPECT_EQ(ReadBytes(Target(L"unins.ex")), "1");
    const Lines log = Log();
    for (const auto& key : protectedKeys) {
        EXPECT_NE(std::find(log.begin(), log.end(), "Skipped protected installer artifact: " + Narrow(key)), log.end())
            << Narrow(key);
        EXPECT_FALSE(Exists(Target(key + L".download")));
    }
    const std::string requests = testing_support::RecordedRequests(Servers().httpUrl);
    EXPECT_EQ(requests.find("/protect/m1/unins000.exe"), std::string::npos);
    // Keys sort as Uninstall.exe, sub/..., unins.ex, unins.exe, ...: numbers count the skipped ones.
    EXPECT_NE(std::find(log.begin(), log.end(), "[3/8] Processing key: unins.ex"), log.end());
    // The skipped files' sizes count in the total and as done, so the run completes at
    // 1000 per mille: 5 x 15 bytes of uninstallers and 3 bytes of other files.
    EXPECT_NE(std::find(log.begin(), log.end(), "Total size: 78 B"), log.end());
    const TolvekProgressRecord record = Record();
    EXPECT_STREQ(record.status, L"Completed");
    EXPECT_EQ(record.progressPermille, 1000);
    EXPECT_STREQ(record.bytesDoneText, L"78 B");
    EXPECT_STREQ(record.bytesTotalText, L"78 B");
}

TEST_F(InstallTest, UnsafeKeysStopTheRunBeforeAnythingIsWrittenForThem) {
    const struct {
        const wchar_t* name;
        const wchar_t* badKey;
        const wchar_t* error;
    } rows[] = {{L"unsafe", L"z/../../x.dll", L"Invalid file path in manifest: z/../../x.dll"},
                {L"escape", L"..", L"File path escapes target directory: .."}};
    for (const auto& row : rows) {
        Product product(row.name);
        product.Publish({{L"a.txt", "fine"}, {row.badKey, "evil"}}, {L"m1"},
                        {product.MirrorUrl(Servers().httpUrl, L"m1")});
        EXPECT_EQ(Install(product.ManifestUrl()), std::make_pair(int32_t{1}, std::wstring(row.error)));
        EXPECT_EQ(Log().back(), "ERROR: " + Narrow(row.error));
        EXPECT_STREQ(Record().currentItem, row.error);
        EXPECT_FALSE(Exists(dirs.dir / L"x.dll"));
        ExpectNoLeftovers();
        DeleteFileW(dirs.log().c_str());
    }
    EXPECT_EQ(ReadBytes(Target(L"a.txt")), "fine");  // installed before "z/../../x.dll" stays
}

// Six files in transfer at once, each body dripping: a cancel ends them all, and
// every temporary file goes; the old copy of an update stays.
TEST_F(InstallTest, CancelDuringSixTransfers) {
    Product product(L"cancel");
    std::vector<ProductFile> files;
    for (int i = 1; i <= 6; ++i) files.push_back({L"f" + std::to_wstring(i) + L".bin", std::string(200000, char('0' + i))});
    product.Publish(files, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    testing_support::SetRules(Servers().httpUrl, R"([{"path_glob": "/cancel/m1/f*", "method": "GET", "drip": true,
                                                      "drip_bytes": 2000, "drip_interval_ms": 50}])");
    CreateDirectoryW(dirs.target().c_str(), nullptr);
    WriteBytes(Target(L"f3.bin"), "previous version");

    ASSERT_EQ(dirs.Start(product.ManifestUrl()), 1);
    TolvekInstallDetail detail = {};
    detail.size = sizeof detail;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetTickCount64() < deadline && !Dll().IsDone() && Dll().GetDetail(&detail) && detail.filesInTransfer < 6)
        Sleep(5);
    ASSERT_EQ(detail.filesInTransfer, 6);
    const ULONGLONG cancelledAt = GetTickCount64();
    Dll().Cancel();
    ASSERT_TRUE(Dll().WaitDone(10000));
    EXPECT_LE(GetTickCount64() - cancelledAt, 2000u) << "a transfer went on after the cancel";
    EXPECT_EQ(Dll().Result(), std::make_pair(int32_t{1}, std::wstring(L"Cancelled by user")));
    Dll().Shutdown();

    // The mirror saw the six at once: one request in progress per file, no more.
    const std::string stats = testing_support::ServerStats(Servers().httpUrl, "/cancel/m1/f");
    EXPECT_NE(stats.find("\"max_in_progress\": 6,"), std::string::npos) << stats;
    EXPECT_EQ(ReadBytes(Target(L"f3.bin")), "previous version");
    for (const ProductFile& file : files) EXPECT_FALSE(Exists(Target(file.key + L".download"))) << Narrow(file.key);
    ExpectNoLeftovers();
    EXPECT_EQ(Log().back(), "ERROR: Cancelled by user");
}

TEST_F(InstallTest, CancelDuringTheCheckOfAFileAlreadyPresent) {
    // 3 GiB of zeros, stored sparse, listed with their size and digest: the check
    // reads and hashes all of it, for more than ten seconds here.
    const int64_t hugeSize = int64_t{3} << 30;
    const std::string hugeDigest = "305B66A59D15B252092FBDA9D09711230C429F351897CBD430E7B55A35FD3B97";
    Product product(L"hugecheck");
    const std::wstring mirror = product.MirrorUrl(Servers().httpUrl, L"m1");
    product.Store(L"m1/small.txt", "small");
    std::string manifest = Product::ManifestJson({{L"small.txt", "small"}}, {mirror});
    manifest.insert(manifest.find('{', 1) + 1, "\"huge.bin\": {\"size\": " + std::to_string(hugeSize) +
                                                   ", \"hash\": \"" + hugeDigest + "\"}, ");
    product.Store(L"manifest.json", manifest);
    CreateDirectoryW(dirs.target().c_str(), nullptr);
    testing_support::CreateSparseFile(Target(L"huge.bin"), hugeSize);
    const int64_t writtenAt = testing_support::LastWriteTime(Target(L"huge.bin"));

    ASSERT_EQ(dirs.Start(product.ManifestUrl()), 1);
    auto checking = [&] {
        const Lines log = Log();
        return std::find(log.begin(), log.end(), "[1/2] Processing key: huge.bin") != log.end();
    };
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetTickCount64() < deadline && !Dll().IsDone() && !checking()) Sleep(10);
    Sleep(300);  // well into the digest
    const ULONGLONG cancelledAt = GetTickCount64();
    Dll().Cancel();
    ASSERT_TRUE(Dll().WaitDone(30000));
    const ULONGLONG took = GetTickCount64() - cancelledAt;
    EXPECT_EQ(Dll().Result(), std::make_pair(int32_t{1}, std::wstring(L"Cancelled by user")));
    Dll().Shutdown();

    EXPECT_LE(took, 2000u) << "the check went on after the cancel";
    const Lines log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.back(), "ERROR: Cancelled by user");
    EXPECT_NE(std::find(log.begin(), log.end(), "[1/2] Processing key: huge.bin"), log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), "Already valid, skipped: huge.bin"), log.end());
    EXPECT_EQ(testing_support::LastWriteTime(Target(L"huge.bin")), writtenAt);
    EXPECT_EQ(testing_support::FileSize(Target(L"huge.bin")), hugeSize);
    EXPECT_FALSE(Exists(Target(L"huge.bin.download")));
    const std::string requests = testing_support::RecordedRequests(Servers().httpUrl);
    EXPECT_EQ(requests.find("\"GET\", \"path\": \"/hugecheck/m1/huge.bin"), std::string::npos) << requests;
    ExpectNoLeftovers();
}

TEST_F(InstallTest, LockedDestinationMakesTheMoveFail) {
    Product product(L"locked");
    product.Publish({{L"busy.dll", "new"}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    CreateDirectoryW(dirs.target().c_str(), nullptr);
    WriteBytes(Target(L"busy.dll"), "old");
    HANDLE lock = CreateFileW(Target(L"busy.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const auto result = Install(product.ManifestUrl());
    CloseHandle(lock);
    EXPECT_EQ(result.first, 1);
    EXPECT_EQ(result.second.rfind(L"Cannot move downloaded file: ", 0), 0u) << Narrow(result.second);
    EXPECT_GT(result.second.size(), std::wstring(L"Cannot move downloaded file: ").size());
    EXPECT_EQ(ReadBytes(Target(L"busy.dll")), "old");
    EXPECT_EQ(ReadBytes(Target(L"busy.dll.download")), "new");  // left next to the destination
}

TEST_F(InstallTest, ManifestProblemsEndTheRun) {
    const struct {
        const wchar_t* name;
        const char* manifest;
        const wchar_t* error;
    } rows[] = {{L"nocdn", R"({"files": {"a": {"size": 1}}})", L"Manifest does not contain cdn or cdn_list"},
                {L"nofiles", R"({"files": {}, "cdn": "http://127.0.0.1:1/"})", L"Manifest files list is empty"}};
    for (const auto& row : rows) {
        Product product(row.name);
        product.Store(L"manifest.json", row.manifest);
        EXPECT_EQ(Install(product.ManifestUrl()), std::make_pair(int32_t{1}, std::wstring(row.error)));
        ExpectNoLeftovers();
    }
}

// Just under the ceiling, a document whose tree is ten times its text: a 32-bit
// process cannot hold it, and that fails its URL only, at once; the next URL serves.
TEST_F(InstallTest, AManifestTooLargeForMemoryFailsItsUrlOnly) {
    if (sizeof(void*) == 8) GTEST_SKIP() << "a 64-bit process holds any manifest below the ceiling";
    Product product(L"hugemanifest");
    product.Publish({{L"a.txt", "a"}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    product.Store(L"huge.json", [huge = std::string("{\"pad\": [0")]() mutable {
        while (huge.size() < (127 << 20) - 16) huge += ",0";
        return huge + "], \"files\": {}}";
    }());
    const std::string url = Narrow(Servers().httpUrl) + "/hugemanifest/huge.json";

    EXPECT_EQ(Install(testing_support::Widen(url) + L"|" + product.ManifestUrl()), std::make_pair(0, std::wstring(L"OK")));
    EXPECT_EQ(ReadBytes(Target(L"a.txt")), "a");
    const Lines log = Log();
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(Lines(log.begin() + 4, log.begin() + 8),
              (Lines{"Trying to download manifest [URL 1/2, attempt 1/3]: " + url,
                     "Proxy for 127.0.0.1: direct (machine default)",
                     "Manifest download failed: " + url + " ; error=Manifest too large for memory: " + url,
                     "Trying to download manifest [URL 2/2, attempt 1/3]: " + Narrow(product.ManifestUrl())}));
}

}  // namespace

// Each way a run ends as the host reads it beside the result text: the kind's
// number, and the platform's code or the HTTP status where the failure has one.
TEST_F(InstallTest, EveryEndHasItsKindBesideTheSameText) {
    const ProductFile file = {L"a.bin", "content"};
    const std::wstring http = Servers().httpUrl;
    struct Row {
        const wchar_t* name;
        std::function<std::wstring(Product&)> publish;  // the manifest URLs
        int32_t kind;
        std::wstring text;  // the result's text, or its start when it ends in "*"
        uint32_t platformError = 0, httpStatus = 0;
        const char* trust = nullptr;  // a key name: the verified start with the server's key
        bool cancel = false;          // cancelled as soon as it starts
        bool targetIsAFile = false;
    };
    // The file on mirror "m" of the product; the manifest names `mirror` ("m" when empty).
    const auto published = [&](Product& p, const std::wstring& key, const std::wstring& mirror = L"",
                               const std::string& extra = "") {
        p.Publish({{key, file.content}}, {L"m"}, {mirror.empty() ? p.MirrorUrl(http, L"m") : mirror}, extra);
        return p.ManifestUrl();
    };
    const auto stored = [](Product& p, const wchar_t* relative, const std::string& bytes) {
        p.Store(relative, bytes);
        return p.ManifestUrl();
    };
    const std::wstring unreachable = L"NETWORK_UNREACHABLE: Cannot download manifest from any URL (1 tried, 3 attempts each)*";
    const std::wstring allFailed = L"NETWORK_UNREACHABLE: All CDN mirrors failed for a.bin (1 tried, 3 attempts each)*";
    const Row rows[] = {
        {L"kind-ok", [&](Product& p) { return published(p, file.key); }, TOLVEK_KIND_NONE, L"OK"},
        {L"kind-nourls", [](Product&) { return std::wstring(L"|"); }, TOLVEK_KIND_INVALID_ARGUMENT,
         L"NETWORK_UNREACHABLE: Manifest URL list is empty"},
        {L"kind-cancel", [&](Product&) { return Servers().silentUrl + L"/m.json"; }, TOLVEK_KIND_CANCELLED,
         L"Cancelled by user", 0, 0, nullptr, true},
        {L"kind-denied", [&](Product& p) { return published(p, file.key); }, TOLVEK_KIND_ACCESS_DENIED,
         L"Cannot create directory: *", ERROR_ALREADY_EXISTS, 0, nullptr, false, true},
        {L"kind-down", [&](Product&) { return Servers().refusedUrl + L"/m.json"; }, TOLVEK_KIND_MANIFEST_UNREACHABLE,
         unreachable, ERROR_WINHTTP_CANNOT_CONNECT},
        {L"kind-tls", [&](Product& p) { published(p, file.key); return p.ManifestUrl(Servers().untrustedUrl); },
         TOLVEK_KIND_TLS, unreachable},
        {L"kind-nocdn", [&](Product& p) { return stored(p, L"manifest.json", R"({"files": {"a": {}}})"); },
         TOLVEK_KIND_MANIFEST_INVALID, L"Manifest does not contain cdn or cdn_list"},
        {L"kind-key", [&](Product& p) { return published(p, L"../a.bin"); }, TOLVEK_KIND_ENTRY_REFUSED,
         L"Invalid file path in manifest: ../a.bin"},
        {L"kind-nomirror", [&](Product& p) { return published(p, file.key, Servers().refusedUrl); },
         TOLVEK_KIND_MIRRORS_UNREACHABLE, allFailed, ERROR_WINHTTP_CANNOT_CONNECT},
        {L"kind-404", [&](Product& p) { return published(p, file.key, p.MirrorUrl(http, L"empty")); },
         TOLVEK_KIND_FILE_UNAVAILABLE, allFailed, 0, 404},
        {L"kind-corrupt", [&](Product& p) { published(p, file.key); return stored(p, L"m/a.bin", "CONTENT"); },
         TOLVEK_KIND_FILE_CORRUPT, allFailed},
        {L"kind-room", [&](Product& p) {
             return stored(p, L"manifest.json", R"({"cdn": "http://127.0.0.1:1/", "files": {"a": {"size": 1125899906842624}}})"); },
         TOLVEK_KIND_NOT_ENOUGH_SPACE, L"Not enough disk space in the target directory: *"},
        {L"kind-untrusted", [&](Product& p) { published(p, file.key); return stored(p, L"manifest.json.sig", "AAAA\n"); },
         TOLVEK_KIND_MANIFEST_UNTRUSTED, L"Manifest signature not valid", 0, 0, "kinds"},
        {L"kind-expired", [&](Product& p) {
             published(p, file.key, L"", ", \"expires\": \"2020-01-01T00:00:00Z\"");
             const auto signature = testing_support::SignServedFile(http, "/kind-expired/manifest.json", "kinds");
             return stored(p, L"manifest.json.sig", signature.signature + "\n"); },
         TOLVEK_KIND_MANIFEST_EXPIRED, L"Manifest expired: 2020-01-01T00:00:00Z", 0, 0, "kinds"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        Product product(row.name);
        const testing_support::InstallDirs fresh(row.name);
        const std::wstring urls = row.publish(product);
        if (row.targetIsAFile) WriteBytes(fresh.target(), "");
        const std::string served = "/" + Narrow(row.name) + "/m/a.bin";
        const std::wstring key =
            row.trust ? testing_support::Widen(testing_support::SignServedFile(http, served, row.trust).publicKey) : L"";
        EXPECT_EQ(row.trust ? fresh.StartVerified(urls, key) : fresh.Start(urls), 1);
        if (row.cancel) Dll().Cancel();
        EXPECT_TRUE(Dll().WaitDone());
        const auto [code, text] = Dll().Result();
        TolvekInstallDetail detail = {};
        detail.size = sizeof detail;
        EXPECT_EQ(Dll().GetDetail(&detail), 1);
        Dll().Shutdown();
        const std::wstring expected = row.text.back() == L'*' ? row.text.substr(0, row.text.size() - 1) : row.text;
        EXPECT_EQ(row.text.back() == L'*' ? text.substr(0, expected.size()) : text, expected);
        EXPECT_EQ(code, row.kind == TOLVEK_KIND_NONE ? 0 : 1);
        EXPECT_EQ(detail.kind, row.kind);
        if (row.platformError) {
            EXPECT_EQ(detail.platformError, row.platformError);
        }
        if (row.kind == TOLVEK_KIND_TLS) {
            EXPECT_NE(detail.platformError, 0u);
        }
        EXPECT_EQ(detail.httpStatus, row.httpStatus);
    }
}

// The host sets an option by its name and a value it takes, before a start.
TEST_F(InstallTest, OptionsAreCheckedAndRefusedWhileARunIsActive) {
    const struct {
        const wchar_t* name;
        const wchar_t* value;
        int32_t taken;
    } rows[] = {
        {L"parallel", L"1", 1},     {L"parallel", L"16", 1},     {L"parallel", L"0", 0},
        {L"parallel", L"17", 0},    {L"parallel", L" 6", 0},     {L"parallel", L"6x", 0},
        {L"proxy", L"system", 1},   {L"proxy", L"direct", 1},    {L"proxy", L"http://p.example:3128", 1},
        {L"proxy", L"socks://p:1", 0}, {L"proxy", L"http://p", 0}, {L"proxy_user", L"anne", 1},
        {L"proxy_password", L"s3cret", 1}, {L"links", L"follow", 1}, {L"links", L"maybe", 0},
        {L"Parallel", L"2", 0},     {L"colour", L"blue", 0},
        // An empty value restores the default.
        {L"parallel", L"", 1},      {L"proxy", L"", 1},          {L"links", L"", 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Dll().SetOption(row.name, row.value), row.taken) << Narrow(row.name) << "=" << Narrow(row.value);
    EXPECT_EQ(Dll().SetOption(nullptr, L"1"), 0);
    EXPECT_EQ(Dll().SetOption(L"parallel", nullptr), 0);

    ASSERT_EQ(dirs.Start(Servers().silentUrl + L"/m.json"), 1);
    EXPECT_EQ(Dll().SetOption(L"parallel", L"2"), 0) << "a run is active";
    Dll().Shutdown();
    EXPECT_EQ(Dll().SetOption(L"parallel", L""), 1);
}
