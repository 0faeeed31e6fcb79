// Faults on the local disk that the platform can show: a destination that cannot
// be replaced, a target or working directory that cannot exist, a log that cannot
// be written.
#include "sandbox.h"

#include <gtest/gtest.h>

namespace reliability {
namespace {

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
    HANDLE held = CreateFileW((box.target + L"\\a.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const Result result = box.Install(url);
    CloseHandle(held);

    EXPECT_EQ(result.first, 1);
    EXPECT_TRUE(HasPrefixAndTail(result.second, L"Cannot move downloaded file: ")) << Narrow(result.second);
    // The old file stays; the verified download waits next to it (the Parts leave it).
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
