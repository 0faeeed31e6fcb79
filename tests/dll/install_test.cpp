// Whole installs through the six exports, against real mirror servers: the
// result, the progress record, the bytes on disk and the complete log.
#include "product.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Log text in the ANSI code page, as the log file holds it.
std::string Ansi(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

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
                        "CDN probe file: " + Ansi(kCafe),
                        "Testing CDN endpoints (1)...",
                        "Probing CDN [1/1]: " + m,
                        "CDN probe HEAD [attempt 1/3]: " + m + "/caf%E9%20menu.txt",
                        "CDN OK: " + m + " latency=#ms",
                        "Selected CDN: " + m + " latency=#ms",
                        "[1/3] Processing key: bin/app.exe",
                        "Downloading [CDN 1/1, attempt 1/3]: " + m + "/bin/app.exe",
                        "Installed: bin/app.exe",
                        "[2/3] Processing key: " + Ansi(kCafe),
                        "Downloading [CDN 1/1, attempt 1/3]: " + m + "/caf%E9%20menu.txt",
                        "Installed: " + Ansi(kCafe),
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
        EXPECT_NE(std::find(second.begin(), second.end(), "Already valid, skipped: " + Ansi(file.key)), second.end());
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
    EXPECT_TRUE(has("Downloading [CDN 1/3, attempt 3/3]: " + Narrow(fast) + "/a.bin"));
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

TEST_F(InstallTest, CancelWhileTheThirdOfFiveFilesDownloads) {
    Product product(L"cancel");
    std::vector<ProductFile> files;
    for (int i = 1; i <= 5; ++i) files.push_back({L"f" + std::to_wstring(i) + L".bin", std::string(200000, char('0' + i))});
    product.Publish(files, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    testing_support::SetRules(Servers().httpUrl,
                              R"([{"path": "/cancel/m1/f3.bin", "method": "GET", "drip": true, "drip_bytes": 2000,
                                   "drip_interval_ms": 50}])");
    CreateDirectoryW(dirs.target().c_str(), nullptr);
    WriteBytes(Target(L"f3.bin"), "previous version");

    ASSERT_EQ(dirs.Start(product.ManifestUrl()), 1);
    TolvekProgressRecord record = {};
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetTickCount64() < deadline && !Dll().IsDone()) {
        Dll().GetProgress(&record);
        if (std::wstring(record.status) == L"Downloading" && record.itemIndex == 3) break;
        Sleep(5);
    }
    ASSERT_STREQ(record.currentItem, L"f3.bin");
    Dll().Cancel();
    ASSERT_TRUE(Dll().WaitDone(10000));
    EXPECT_EQ(Dll().Result(), std::make_pair(int32_t{1}, std::wstring(L"Cancelled by user")));
    Dll().Shutdown();

    EXPECT_EQ(ReadBytes(Target(L"f1.bin")), files[0].content);
    EXPECT_EQ(ReadBytes(Target(L"f2.bin")), files[1].content);
    EXPECT_EQ(ReadBytes(Target(L"f3.bin")), "previous version");
    EXPECT_FALSE(Exists(Target(L"f3.bin.download")));
    EXPECT_FALSE(Exists(Target(L"f4.bin")));
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
    EXPECT_EQ(Lines(log.end() - 2, log.end()), Lines({"[1/2] Processing key: huge.bin", "ERROR: Cancelled by user"}));
    EXPECT_EQ(testing_support::LastWriteTime(Target(L"huge.bin")), writtenAt);
    EXPECT_EQ(testing_support::FileSize(Target(L"huge.bin")), hugeSize);
    EXPECT_FALSE(Exists(Target(L"huge.bin.download")));
    EXPECT_FALSE(Exists(Target(L"small.txt")));
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

}  // namespace
