// Faults on the local disk that the platform can show: a destination that cannot
// be replaced, a target or working directory that cannot exist, a log that cannot
// be written.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace reliability {
namespace {

using testing_support::Dll;
using testing_support::Exists;
using testing_support::Narrow;
using testing_support::Product;
using testing_support::ReadBytes;
using testing_support::Servers;
using testing_support::WriteBytes;

const std::string kNewA = "new a", kOldA = "old a", kNewZ = "new z";

// a.bin is processed first, z.txt second.
std::wstring Publish(const std::wstring& name) {
    Product product(name);
    product.Publish({{L"a.bin", kNewA}, {L"z.txt", kNewZ}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    return product.ManifestUrl();
}

// Whether this platform refuses to replace a read-only file with MoveFileExW.
bool PlatformRefusesReadOnlyReplace(const Sandbox& box) {
    const std::wstring from = box.outer / L"probe.new", to = box.outer / L"probe.old";
    WriteBytes(from, "new");
    WriteBytes(to, "old");
    SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_READONLY);
    const bool refused = !MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(from.c_str());
    DeleteFileW(to.c_str());
    return refused;
}

TEST_F(ReliabilityTest, DestinationHeldOpenWithoutSharing) {
    const std::wstring url = Publish(L"diskheld");
    Sandbox box(L"diskheld");
    box.Put(L"a.bin", kOldA);
    box.Seal();
    // One file after another: the failing a.bin ends the run before z.txt is begun.
    const testing_support::ScopedOption oneAtATime(L"parallel", L"1");
    HANDLE held = CreateFileW((box.target + L"\\a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const Result result = box.Install(url);
    CloseHandle(held);

    EXPECT_EQ(result.first, 1);
    EXPECT_TRUE(HasPrefixAndTail(result.second, L"Cannot move downloaded file: ")) << Narrow(result.second);
    // The old file stays; the verified download waits next to it (a failed move leaves it).
    CheckRun(box, result, {{L"a.bin", &kOldA, &kNewA}, {L"z.txt", nullptr, &kNewZ}}, {true, {L"a.bin.download"}});
    EXPECT_EQ(ReadBytes(box.target + L"\\a.bin"), kOldA);
    EXPECT_EQ(ReadBytes(box.target + L"\\a.bin.download"), kNewA);
    EXPECT_FALSE(Exists(box.target + L"\\z.txt"));
}

TEST_F(ReliabilityTest, ReadOnlyDestination) {
    const std::wstring url = Publish(L"diskro");
    Sandbox box(L"diskro");
    const bool refuses = PlatformRefusesReadOnlyReplace(box);
    box.Put(L"a.bin", kOldA);
    SetFileAttributesW((box.target + L"\\a.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    box.Seal();
    const Result result = box.Install(url);
    SetFileAttributesW((box.target + L"\\a.bin").c_str(), FILE_ATTRIBUTE_NORMAL);

    if (refuses) {
        // Windows: the move is refused, the old file stays, the download waits beside it.
        EXPECT_TRUE(HasPrefixAndTail(result.second, L"Cannot move downloaded file: ")) << Narrow(result.second);
        CheckRun(box, result, {{L"a.bin", &kOldA, &kNewA}, {L"z.txt", nullptr, &kNewZ}}, {true, {L"a.bin.download"}});
        EXPECT_EQ(ReadBytes(box.target + L"\\a.bin"), kOldA);
    } else {
        // Wine replaces a read-only file (seen here): the run completes normally.
        std::printf("this platform replaces a read-only destination; the install completes\n");
        EXPECT_EQ(result, Result(0, L"OK"));
        CheckRun(box, result, {{L"a.bin", &kOldA, &kNewA}, {L"z.txt", nullptr, &kNewZ}});
    }
}

// A target or working directory that cannot exist is a local failure, said as one,
// before the manifest is requested: no request at all, nothing written.
TEST_F(ReliabilityTest, TargetOrWorkingDirectoryThatCannotExist) {
    const std::wstring url = Publish(L"diskdirs");
    enum Case { TargetIsAFile, TargetBelowAFile, TargetEmpty, WorkBelowAFile, WorkEmpty };
    for (const Case c : {TargetIsAFile, TargetBelowAFile, TargetEmpty, WorkBelowAFile, WorkEmpty}) {
        Sandbox box(L"diskdirs");
        std::wstring target = box.target, work = box.work;
        std::vector<Text> expected;
        const auto cannotCreate = [](const std::wstring& path) {
            return ThenPlatformText(L"Cannot create directory: " + path + L" (");
        };
        switch (c) {
            case TargetIsAFile:
                ASSERT_TRUE(RemoveDirectoryW(box.target.c_str()));
                WriteBytes(box.target, "a file where the target should be");
                expected = {cannotCreate(target)};
                break;
            case TargetBelowAFile:
                WriteBytes(box.outer / L"fence\\blocker", "a file, not a folder");
                target = box.outer / L"fence\\blocker\\target";
                expected = {cannotCreate(target)};
                break;
            case TargetEmpty: target.clear(), expected = {Exactly(L"Target directory is empty")}; break;
            case WorkBelowAFile:
                WriteBytes(box.work + L"\\blocker", "a file, not a folder");
                work = box.work + L"\\blocker\\work";
                expected = {cannotCreate(work)};
                break;
            case WorkEmpty: work.clear(), expected = {Exactly(L"Working directory is empty")}; break;
        }
        SCOPED_TRACE("target \"" + Narrow(target) + "\", working directory \"" + Narrow(work) + "\"");
        box.Seal();
        testing_support::ResetServer(Servers().httpUrl);
        ASSERT_EQ(testing_support::Dll().Start(url.c_str(), target.c_str(), box.log.c_str(), work.c_str()), 1);
        ASSERT_TRUE(testing_support::Dll().WaitDone());
        const Result result = testing_support::Dll().Result();
        testing_support::Dll().Shutdown();

        EXPECT_TRUE(Matches(result.second, expected)) << Narrow(result.second) << ", expected " << Describe(expected);
        EXPECT_EQ(result.second.back() == L')', expected[0].platformTail);
        EXPECT_TRUE(testing_support::SentBytes(Servers().httpUrl).empty()) << "the manifest was requested";
        CheckRun(box, result, {});
        if (c == TargetIsAFile) {
            EXPECT_EQ(ReadBytes(box.target), "a file where the target should be");
        }
    }
}

// A host whose file dialog changes the current directory during the run: the
// relative target, log and working directory stay where the run began.
TEST_F(ReliabilityTest, RelativePathsStayWhereTheRunBegan) {
    const std::wstring url = Publish(L"diskrelative");
    const std::pair<std::wstring, const char*> rows[] = {  // the record's status and item; the rules
        {L"Testing CDN", R"([{"method": "HEAD", "latency_ms": 1500}])"},
        {L"Downloading a.bin", R"([{"path_glob": "*/a.bin", "bytes_per_second": 2}])"}};
    for (const auto& [shown, rules] : rows) {
        testing_support::SetRules(Servers().httpUrl, rules);
        Sandbox box(L"diskrelative");
        box.Seal();
        const testing_support::CurrentDirectory first(box.outer.path);
        ASSERT_EQ(Dll().Start(url.c_str(), L"fence\\target", L"logs\\install.log", L"work"), 1);
        for (TolvekProgressRecord r = {}; !Dll().IsDone() && !(Dll().GetProgress(&r) &&
             (r.status + (L" " + std::wstring(r.currentItem))).rfind(shown, 0) == 0);)
            Sleep(5);
        const testing_support::CurrentDirectory second(box.outer / L"fence");
        EXPECT_TRUE(Dll().WaitDone());
        const Result result = Dll().Result();
        Dll().Shutdown();
        EXPECT_EQ(result, Result(0, L"OK")) << Narrow(shown);
        CheckRun(box, result, {{L"a.bin", nullptr, &kNewA}, {L"z.txt", nullptr, &kNewZ}});
    }
}

// Two setups at once, the second by a copy of the engine, sharing one log or one
// working directory (a host giving every product %TEMP%), both downloading the
// manifest at once: both install, and the log holds every line of both.
TEST_F(ReliabilityTest, TwoRunsSharingALogOrAWorkingDirectoryBothInstall) {
    std::vector<testing_support::ProductFile> files;
    for (int i = 0; i < 150; ++i) files.push_back({L"f" + std::to_wstring(i), std::to_string(i)});
    Product product(L"disktwo");
    product.Publish(files, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
    for (const bool sharedLog : {true, false}) {
        testing_support::SetRules(Servers().httpUrl, R"([{"path": "/disktwo/manifest.json", "bytes_per_second": 9000}])");
        Sandbox box(L"disktwo");
        const testing_support::ScratchDir other(L"disktwo");
        CopyFileW(tolvek_host::EngineBesideThisProgram().c_str(), (other / L"second.dll").c_str(), FALSE);
        const testing_support::InstallerDll second(other / L"second.dll");
        const std::wstring log = sharedLog ? box.log : other / L"install.log", work = sharedLog ? other.path : box.work;
        ASSERT_EQ(second.Start(product.ManifestUrl().c_str(), other.path.c_str(), log.c_str(), work.c_str()), 1);
        EXPECT_EQ(box.Install(product.ManifestUrl()), Result(0, L"OK")) << "shared log: " << sharedLog;
        EXPECT_TRUE(second.WaitDone());
        EXPECT_EQ(second.Result(), Result(0, L"OK")) << "shared log: " << sharedLog;
        const std::vector<std::string> lines = box.Log();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("Installed: ", 0) == 0; }),
                  sharedLog ? 300 : 150);
    }
}

// The log cannot be written; the install still succeeds and nothing else changes.
TEST_F(ReliabilityTest, LogPathThatCannotBeWritten) {
    const std::wstring url = Publish(L"disklog");
    enum Case { LogIsADirectory, LogBelowAFile, LogHeldWithoutWriteSharing };
    for (const Case c : {LogIsADirectory, LogBelowAFile, LogHeldWithoutWriteSharing}) {
        SCOPED_TRACE(c == LogIsADirectory ? "log path is a directory"
                     : c == LogBelowAFile ? "log path below a file"
                                          : "log held open without write sharing");
        Sandbox box(L"disklog");
        HANDLE held = INVALID_HANDLE_VALUE;
        switch (c) {
            case LogIsADirectory: ASSERT_TRUE(CreateDirectoryW(box.log.c_str(), nullptr)); break;
            case LogBelowAFile:
                WriteBytes(box.outer / L"logs\\blocker", "a file, not a folder");
                box.log = box.outer / L"logs\\blocker\\install.log";
                break;
            case LogHeldWithoutWriteSharing:
                WriteBytes(box.log, "an earlier line\r\n");
                held = CreateFileW(box.log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
                ASSERT_NE(held, INVALID_HANDLE_VALUE);
                break;
        }
        box.Seal();
        const Result result = box.Install(url);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);

        EXPECT_EQ(result, Result(0, L"OK"));
        CheckRun(box, result, {{L"a.bin", nullptr, &kNewA}, {L"z.txt", nullptr, &kNewZ}}, {false, {}});
        switch (c) {
            case LogIsADirectory: {
                const DWORD attributes = GetFileAttributesW(box.log.c_str());
                EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
                EXPECT_TRUE(ReadTree(box.log).empty());
                break;
            }
            case LogBelowAFile: EXPECT_FALSE(Exists(box.log)); break;
            case LogHeldWithoutWriteSharing: EXPECT_EQ(ReadBytes(box.log), "an earlier line\r\n"); break;
        }
    }
}

}  // namespace
}  // namespace reliability
