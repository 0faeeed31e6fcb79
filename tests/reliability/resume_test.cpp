// Whole installs that continue a file instead of starting it again: after a dropped
// connection, on the next mirror, in the next run, after the host was killed; the
// answers that must never be appended; and a target volume too small, said before
// anything is requested. Each row checks the bytes on disk, the Range headers the
// mirror saw and the bytes it sent.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace reliability {
namespace {

using testing_support::Dll;
using testing_support::FileSize;
using testing_support::Narrow;
using testing_support::Product;
using testing_support::ReadBytes;
using testing_support::SeenRequest;
using testing_support::Servers;
using testing_support::SetRules;
using testing_support::Widen;
using testing_support::WriteBytes;

constexpr long long kSize = 4 << 20, kHalf = kSize / 2, kAtSixty = kSize * 6 / 10;
const std::wstring kKey = L"game/data.pak", kStored = L"game\\data.pak", kTemporary = L"game\\data.pak.download";

std::string Bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

const std::string& NewContent() {
    static const std::string bytes = Bytes(kSize, 26);
    return bytes;
}
const std::string& OldContent() {
    static const std::string bytes = Bytes(kSize, 25);
    return bytes;
}
const std::string kSmall = "the small file that the probe asks for";

// One GET of the big file as the mirror server recorded it; sent -1: not checked
// (what a server pushes into a connection the client closed is the sockets').
struct Get {
    int mirror;
    std::string range;
    int status;
    long long sent;
};

std::string Range(long long from) { return "bytes=" + std::to_string(from) + "-"; }

std::vector<Get> GetsOfTheBigFile(const std::wstring& product) {
    std::vector<Get> gets;
    for (const SeenRequest& request : testing_support::SeenRequestsFor(Servers().httpUrl, "/data.pak")) {
        if (request.method != "GET") continue;
        const bool second = request.path.find(Narrow(product) + "/m2/") != std::string::npos;
        gets.push_back({second ? 2 : 1, request.range, request.status, request.sent});
    }
    return gets;
}

std::string DescribeGets(const std::vector<Get>& gets) {
    std::string text;
    for (const Get& get : gets)
        text += " [m" + std::to_string(get.mirror) + " \"" + get.range + "\" " + std::to_string(get.status) + " " +
                std::to_string(get.sent) + "]";
    return text;
}

// What the target holds before the first run.
enum class Before { Nothing, OldPrefix, Longer, Whole, WholeButWrong, PrefixOfTheSmallFile };
// How the first run goes; the second (when the row has one) is an ordinary install.
enum class FirstRun { Installs, Fails, HostKilledMidFile, CancelledMidFile };

struct ResumeRow {
    const char* name;
    Before before;
    FirstRun first;
    std::string rules;  // for the first run; {m1}, {m2} stand for the big file's paths on each mirror
    std::vector<Get> gets;
    std::vector<std::string> logLines;  // each must be a line of the log; {m1}, {m2} for the file URLs
};

// A link that cuts every connection after `cut` bytes.
std::vector<Get> Cuts(long long cut, std::vector<Get> gets = {}) {
    for (long long from = 0; from < kSize; from += cut) gets.push_back({1, from ? Range(from) : "", from ? 206 : 200, cut});
    return gets;
}

std::vector<ResumeRow> ResumeRows() {
    const std::string dropAtHalf = R"({"path": "{m1}", "method": "GET", "drop_at_byte": 2097152, "times": 1})";
    // The host is killed, or the run cancelled, while the body waits after its half.
    const std::string stallAtHalf =
        R"([{"path": "{m1}", "method": "GET", "stall_after_bytes": 2097152, "stall_seconds": 30, "times": 1}])";
    const std::string briefStallAtHalf =
        R"([{"path": "{m1}", "method": "GET", "stall_after_bytes": 2097152, "stall_seconds": 2, "times": 1}])";
    const std::string rest = std::to_string(kSize - 1) + "/" + std::to_string(kSize);
    return {
        {"a drop at half, resumed on the same mirror", Before::Nothing, FirstRun::Installs, "[" + dropAtHalf + "]",
         {{1, "", 200, kHalf}, {1, Range(kHalf), 206, kHalf}},
         {"Resuming download at 2097152 bytes: {m1}"}},
        {"a drop at half, the rest from the next mirror", Before::Nothing, FirstRun::Installs,
         "[" + dropAtHalf + R"(, {"path": "{m1}", "method": "GET", "status": 503}])",
         {{1, "", 200, kHalf}, {1, Range(kHalf), 503, -1}, {1, Range(kHalf), 503, -1}, {1, Range(kHalf), 503, -1},
          {2, Range(kHalf), 206, kHalf}},
         {"Downloading [CDN 2/2, attempt 1/3]: {m2}", "Resuming download at 2097152 bytes: {m2}"}},
        // That mirror holds an older, shorter copy: the prefix stays for the next one.
        {"a drop at half, a 416 to the rest, the rest from the next mirror", Before::Nothing, FirstRun::Installs,
         "[" + dropAtHalf + R"(, {"path": "{m1}", "method": "GET", "status": 416}])",
         {{1, "", 200, kHalf}, {1, Range(kHalf), 416, -1}, {2, Range(kHalf), 206, kHalf}},
         {"Resuming download at 2097152 bytes: {m2}"}},
        {"a link that cuts every connection after 512 KiB", Before::Nothing, FirstRun::Installs,
         R"([{"path_glob": "*/data.pak", "method": "GET", "drop_after_bytes": 524288}])", Cuts(524288),
         {"Retrying same CDN after download progress (attempt 1/3 not used up): {base1}"}},
        {"a 200 to the ranged request is written from byte 0", Before::Nothing, FirstRun::Installs,
         "[" + dropAtHalf + R"(, {"path": "{m1}", "method": "GET", "ignore_range": true}])",
         {{1, "", 200, kHalf}, {1, Range(kHalf), 200, kSize}},
         {"Resuming download at 2097152 bytes: {m1}"}},
        {"a 206 of another range is never appended", Before::Nothing, FirstRun::Installs,
         "[" + dropAtHalf + R"(, {"path": "{m1}", "method": "GET", "range_shift": 4096, "times": 1}])",
         {{1, "", 200, kHalf}, {1, Range(kHalf), 206, -1}, {1, "", 200, kSize}},
         {"Download failed from CDN: {base1} ; file=game/data.pak ; error=Range mismatch: expected bytes 2097152-" +
          rest + ", got bytes 2101248-" + rest}},
        {"a stale temporary file of an older version", Before::OldPrefix, FirstRun::Installs, "",
         {{1, Range(kHalf), 206, kHalf}, {1, "", 200, kSize}},
         {"Resuming download at 2097152 bytes: {m1}",
          "Download failed from CDN: {base1} ; file=game/data.pak ; error=SHA256 mismatch for game/data.pak. Expected "
          "{digest}, got {wrong digest}"}},
        {"a temporary file longer than the file", Before::Longer, FirstRun::Installs, "", {{1, "", 200, kSize}}, {}},
        {"a temporary file exactly complete: no request", Before::Whole, FirstRun::Installs, "", {}, {}},
        {"a temporary file as long as the file but wrong", Before::WholeButWrong, FirstRun::Installs, "",
         {{1, "", 200, kSize}}, {}},
        {"a run that failed at 60 %, then a run that resumes", Before::Nothing, FirstRun::Fails,
         R"([{"path": "{m1}", "method": "GET", "drop_at_byte": 2516582, "times": 1},
             {"path_glob": "*/data.pak", "method": "GET", "status": 503}])",
         {{1, "", 200, kAtSixty},
          {1, Range(kAtSixty), 503, -1},
          {1, Range(kAtSixty), 503, -1},
          {1, Range(kAtSixty), 503, -1},
          {2, Range(kAtSixty), 503, -1},
          {2, Range(kAtSixty), 503, -1},
          {2, Range(kAtSixty), 503, -1},
          {1, Range(kAtSixty), 206, kSize - kAtSixty}},
         {"Resuming download at 2516582 bytes: {m1}"}},
        {"a host killed at half, then a run that resumes", Before::Nothing, FirstRun::HostKilledMidFile, stallAtHalf,
         {{1, "", 200, kHalf}, {1, Range(kHalf), 206, kHalf}},
         {"Resuming download at 2097152 bytes: {m1}"}},
        {"a cancel leaves no temporary file", Before::PrefixOfTheSmallFile, FirstRun::CancelledMidFile, briefStallAtHalf,
         {{1, "", 200, kHalf}}, {}},
    };
}

// Starts the reference host on the run's four strings, its output thrown away.
HANDLE StartReferenceHost(const Sandbox& box, const std::wstring& urls) {
    std::wstring command = L"\"" + testing_support::ProgramDirectory() + L"\\tolvek-install.exe\" \"" + urls +
                           L"\" \"" + box.target + L"\" \"" + box.log + L"\" \"" + box.work + L"\"";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    const bool started =
        CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(nul);
    EXPECT_TRUE(started) << "cannot start tolvek-install.exe: error " << GetLastError();
    if (!started) return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

bool WaitForSize(const std::wstring& path, long long size) {
    for (ULONGLONG deadline = GetTickCount64() + 60000; GetTickCount64() < deadline; Sleep(20))
        if (FileSize(path) >= size) return true;
    ADD_FAILURE() << Narrow(path) << " never reached " << size << " bytes";
    return false;
}

// The first run of a row; its result, or none for a killed host.
Result RunFirst(const ResumeRow& row, const Sandbox& box, const std::wstring& urls) {
    const std::wstring temporary = box.target + L"\\" + kTemporary;
    switch (row.first) {
        case FirstRun::Installs:
        case FirstRun::Fails: return box.Install(urls);
        case FirstRun::HostKilledMidFile: {
            HANDLE host = StartReferenceHost(box, urls);
            if (!host) return {-1, L""};
            WaitForSize(temporary, kHalf);
            TerminateProcess(host, 9);  // a power loss, as the setup program sees it
            WaitForSingleObject(host, INFINITE);
            CloseHandle(host);
            return {-1, L""};
        }
        case FirstRun::CancelledMidFile: {
            EXPECT_EQ(box.Start(urls), 1);
            WaitForSize(temporary, kHalf);
            Dll().Cancel();
            EXPECT_TRUE(Dll().WaitDone());
            const Result result = Dll().Result();
            Dll().Shutdown();
            return result;
        }
    }
    return {-1, L""};
}

void PutBefore(Before before, const Sandbox& box) {
    const std::string& fresh = NewContent();
    switch (before) {
        case Before::Nothing: break;
        case Before::OldPrefix: box.Put(kTemporary, OldContent().substr(0, kHalf)); break;
        case Before::Longer: box.Put(kTemporary, fresh + "and more"); break;
        case Before::Whole: box.Put(kTemporary, fresh); break;
        case Before::WholeButWrong: box.Put(kTemporary, OldContent()); break;
        case Before::PrefixOfTheSmallFile: box.Put(L"z.txt.download", kSmall.substr(0, 10)); break;
    }
}

TEST_F(ReliabilityTest, DownloadsContinueWhatTheyHaveAndNeverAppendAnotherRange) {
    const auto rows = ResumeRows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const ResumeRow& row = rows[i];
        SCOPED_TRACE(row.name);
        const std::wstring name = L"resume" + std::to_wstring(i);
        Product product(name);
        const std::vector<std::wstring> mirrors = {product.MirrorUrl(Servers().httpUrl, L"m1"),
                                                   product.MirrorUrl(Servers().httpUrl, L"m2")};
        product.Publish({{kKey, NewContent()}, {L"z.txt", kSmall}}, {L"m1", L"m2"}, mirrors);
        const std::string path = "/" + Narrow(name);
        const std::vector<std::pair<std::string, std::string>> values = {
            {"m1", Narrow(mirrors[0]) + "/game/data.pak"}, {"m2", Narrow(mirrors[1]) + "/game/data.pak"},
            {"base1", Narrow(mirrors[0])},
            {"digest", testing_support::Sha256Hex(NewContent())},
            {"wrong digest", testing_support::Sha256Hex(OldContent().substr(0, kHalf) + NewContent().substr(kHalf))}};
        // The second mirror answers the probe later, so that the first is always tried first.
        const std::string slowProbe = R"({"path_glob": ")" + path + R"(/m2/*", "method": "HEAD", "latency_ms": 300})";
        const auto rules = [&](const std::string& json) {
            const std::string more = json.size() > 2 ? ", " + json.substr(1) : "]";
            return Fill("[" + slowProbe + more, {{"m1", path + "/m1/game/data.pak"}, {"m2", path + "/m2/game/data.pak"}});
        };
        testing_support::ResetServer(Servers().httpUrl);
        SetRules(Servers().httpUrl, rules(row.rules.empty() ? "[]" : row.rules));

        Sandbox box(L"resume");
        PutBefore(row.before, box);
        box.Seal();
        const std::vector<Expected> files = {{kStored, nullptr, &NewContent()}, {L"z.txt", nullptr, &kSmall}};
        const Result first = RunFirst(row, box, product.ManifestUrl());
        const std::wstring temporary = box.target + L"\\" + kTemporary;

        Result last = first;
        if (row.first == FirstRun::CancelledMidFile) {
            EXPECT_EQ(first, Result(1, L"Cancelled by user"));
            CheckRun(box, first, files);
            EXPECT_FALSE(testing_support::Exists(temporary));
            EXPECT_FALSE(testing_support::Exists(box.target + L"\\z.txt.download")) << "a run's other temporary file";
        } else {
            if (row.first == FirstRun::Fails) {
                EXPECT_EQ(first, Result(1, AllMirrorsFailed(kKey, 2, L"HTTP status 503")));
                CheckRun(box, first, files);
                EXPECT_EQ(ReadBytes(temporary), NewContent().substr(0, kAtSixty)) << "the prefix is kept";
            }
            if (row.first != FirstRun::Installs) {
                SetRules(Servers().httpUrl, rules("[]"));
                last = box.Install(product.ManifestUrl());
            }
            EXPECT_EQ(last, Result(0, L"OK"));
            CheckRun(box, last, files);
            EXPECT_EQ(ReadBytes(box.target + L"\\" + kStored), NewContent());
            EXPECT_FALSE(testing_support::Exists(temporary));
        }

        const std::vector<Get> gets = GetsOfTheBigFile(name);
        EXPECT_EQ(gets.size(), row.gets.size()) << "the mirror saw" << DescribeGets(gets);
        long long sent = 0;
        for (size_t g = 0; g < gets.size() && gets.size() == row.gets.size(); ++g) {
            SCOPED_TRACE("GET " + std::to_string(g + 1) + " of" + DescribeGets(gets));
            EXPECT_EQ(gets[g].mirror, row.gets[g].mirror);
            EXPECT_EQ(gets[g].range, row.gets[g].range);
            EXPECT_EQ(gets[g].status, row.gets[g].status);
            if (row.gets[g].sent >= 0) {
                EXPECT_EQ(gets[g].sent, row.gets[g].sent);
            }
            if (gets[g].status == 200 || gets[g].status == 206) sent += gets[g].sent;
        }
        std::printf("%-55s the mirror sent %lld bytes of the file (%.2fx)\n", row.name, sent,
                    static_cast<double>(sent) / kSize);
        const std::vector<std::string> log = box.Log();
        for (const std::string& line : row.logLines)
            EXPECT_NE(std::find(log.begin(), log.end(), Fill(line, values)), log.end())
                << "no log line " << Fill(line, values);
    }
}

// ---------------------------------------------------------------------------
// The room on the target's volume (an 8 MiB tmpfs of the test fixture).

// "%.2f MB", as the engine writes sizes of a few megabytes.
std::wstring Megabytes(long long bytes) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.2f MB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

long long FreeBytes(const std::wstring& directory) {
    ULARGE_INTEGER available;
    EXPECT_TRUE(GetDiskFreeSpaceExW((directory + L"\\").c_str(), &available, nullptr, nullptr));
    return static_cast<long long>(available.QuadPart);
}

struct RoomRow {
    const char* name;
    // a.bin is there before, in an older version a page longer than half the free space, or as long as the new one
    enum { None, Longer, SameSize } oldCopy;
    // The sizes of a.bin and b.bin from the free space (after the old copy is there).
    long long (*sizeA)(long long free);
    long long (*sizeB)(long long free);
    bool fits;
};

constexpr long long kPage = 4096;
long long HalfInPages(long long free) { return free / 2 / kPage * kPage; }

TEST_F(ReliabilityTest, RoomOnTheTargetVolumeIsCountedBeforeAnythingIsRequested) {
    const std::wstring disk = testing_support::SmallDisk();
    ASSERT_FALSE(disk.empty()) << "TOLVEK_SMALL_DISK names no small disk";
    const RoomRow rows[] = {
        {"a page more than there is: nothing requested", RoomRow::None, HalfInPages,
         [](long long free) { return free - HalfInPages(free) + kPage; }, false},
        {"a page less than there is: installed", RoomRow::None, HalfInPages,
         [](long long free) { return free - HalfInPages(free) - kPage; }, true},
        // More than the free space in all, but the old copy's room comes back at its move.
        {"an old copy gives its room back after the move", RoomRow::Longer, HalfInPages,
         [](long long free) { return free - kPage; }, true},
        {"an update of the same size that does not fit beside its old copy: said before its transfer",
         RoomRow::SameSize, [](long long free) { return HalfInPages(free) + kPage; }, [](long long) { return kPage; },
         false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const RoomRow& row = rows[i];
        SCOPED_TRACE(row.name);
        const testing_support::ScratchDir target(L"room", disk);
        Sandbox box(L"room");
        box.target = target.path;
        const long long freeAtFirst = FreeBytes(target.path);
        const bool sameSize = row.oldCopy == RoomRow::SameSize;
        // One file after another, the update is refused before b.bin is asked for; with
        // several at once b.bin may be in place first, and the room it took is not there.
        const testing_support::ScopedOption order(L"parallel", sameSize ? L"1" : L"6");
        const std::string old = Bytes(static_cast<size_t>(row.sizeA(freeAtFirst) + (sameSize ? 0 : kPage)), 7);
        if (row.oldCopy != RoomRow::None) box.Put(L"a.bin", old);
        const long long free = FreeBytes(target.path);
        const std::string a = Bytes(sameSize ? old.size() : static_cast<size_t>(row.sizeA(free)), 8);
        const std::string b = Bytes(static_cast<size_t>(row.sizeB(free)), 9);
        std::printf("%s: %lld bytes free, a.bin %zu bytes (old copy: %zu), b.bin %zu bytes\n", row.name, free, a.size(),
                    row.oldCopy != RoomRow::None ? old.size() : 0, b.size());
        box.Seal();

        const std::wstring name = L"room" + std::to_wstring(i);
        Product product(name);
        product.Publish({{L"a.bin", a}, {L"b.bin", b}}, {L"m1"}, {product.MirrorUrl(Servers().httpUrl, L"m1")});
        testing_support::ResetServer(Servers().httpUrl);
        const Result result = box.Install(product.ManifestUrl());

        const std::vector<Expected> files = {{L"a.bin", row.oldCopy != RoomRow::None ? &old : nullptr, &a},
                                             {L"b.bin", nullptr, &b}};
        CheckRun(box, result, files);
        const auto requests = testing_support::SeenRequestsFor(Servers().httpUrl, ".bin");
        if (row.fits) {
            EXPECT_EQ(result, Result(0, L"OK"));
            EXPECT_TRUE(ReadBytes(target.path + L"\\b.bin") == b) << "b.bin is not in place";
        } else {
            const long long needed = static_cast<long long>(a.size() + (sameSize ? 0 : b.size()));
            EXPECT_EQ(result, Result(1, L"Not enough disk space in the target directory: " + Megabytes(needed) +
                                            L" needed, " + Megabytes(free) + L" available"));
            // The probe asks before the update's own check.
            EXPECT_EQ(requests.size(), sameSize ? 1u : 0u) << "requests for the files, the probe's among them";
            EXPECT_EQ(ReadTree(target.path), (sameSize ? Tree{{L"a.bin", old}} : Tree{}));
        }
    }
}

}  // namespace
}  // namespace reliability
