// engine_bench: times the engine's own functions, and the platform calls they rest
// on, inside one process, so that a whole install's time can be split into its parts.
// bench/run_bench.py drives it; every figure is printed as one line
//
//   RESULT <name> <value> <unit>
//
// Commands (paths are Windows paths, URLs point at the benchmark's local server):
//   noop                                  start and exit (the cost of a process)
//   platform <file> <small-file> <scratch-dir>
//                                         CNG SHA-256 in memory, ReadFile, the digest
//                                         of a file, MoveFileExW, per-file calls
//   download <url> <small-url> <path> <size> <runs>
//                                         DownloadToFile alone, WinHTTP reads alone
//   parse <manifest> <runs>               UTF-8 reading and the JSON parser
//   stages <manifest> <mirror> <target> <log> <files>
//                                         the file stage's steps, timed one by one,
//                                         for the first <files> entries (0: all)
//   deep <target> <levels> <piece>        the path rules and the folders of a key of
//                                         <levels> times <piece>, a cancel after 1 s
//   poll <dll> <manifest-url> <target> <log> <work-dir>
//                                         GetOnlineInstallProgress while a transfer runs
//   stop <dll> <manifest-url> <target> <log> <work-dir> <status> <item|-> <cancel|shutdown> <delay-ms>
//                                         once the run reports <status> (for <item>) and
//                                         <delay-ms> more have passed: the cancel call and
//                                         the time until the run is done, or the shutdown call
//   proxy <pac-url> <runs>                the time a run's proxy choice adds: automatic
//                                         detection alone (as a prefix without settings
//                                         has it), and a PAC script (fetched anew each
//                                         run), for the first URL, another host, the same
//                                         host again
#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "handles.h"
#include "http.h"
#include "entry_rules.h"
#include "log.h"
#include "plan.h"
#include "urls.h"
#include "install_paths.h"
#include "json.h"
#include "manifest.h"
#include "progress.h"
#include "proxy.h"
#include "verify.h"
#include "support.h"
#include "tolvek_online_installer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kBlock = 1048576;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Result(const char* name, double value, const char* unit) {
    std::printf("RESULT %s %.6g %s\n", name, value, unit);
    std::fflush(stdout);
}

void Fail(const char* what) {
    std::fprintf(stderr, "engine_bench: %s\n", what);
    std::exit(1);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double MegabytesPerSecond(int64_t bytes, double seconds) { return bytes / 1e6 / seconds; }

int64_t FileSize(const std::wstring& path) { return tolvek::QueryFileSize(path); }

void WriteFileBytes(const std::wstring& path, const std::vector<char>& bytes) {
    tolvek::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        Fail("cannot write a scratch file");
}

// Every request direct, as under the option "direct", its choices not logged.
struct DirectNetwork {
    DirectNetwork() {
        if (!sessions.For(L"")) Fail("WinHttpOpen failed");
    }
    const tolvek::CancelSignal never;
    tolvek::ProxySessions sessions{L"engine_bench"};
    tolvek::ProxyRouter router{{tolvek::ProxyMode::Direct, L""}, {}, never, [](const std::wstring&) {}};
    const tolvek::RunNetwork network{router, sessions, {}};
};

// ---- platform: the calls the engine rests on, each alone -------------------------

// CNG SHA-256 over an in-memory buffer: the platform's hashing speed, no disk involved.
void MeasureCngInMemory() {
    std::vector<unsigned char> buffer(kBlock, 0x5A);
    const int blocks = 128;
    std::vector<double> rates;
    for (int run = 0; run < 3; ++run) {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        BCRYPT_HASH_HANDLE hash = nullptr;
        unsigned char digest[32];
        const auto start = Clock::now();
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        for (int i = 0; i < blocks; ++i) BCryptHashData(hash, buffer.data(), kBlock, 0);
        BCryptFinishHash(hash, digest, sizeof digest, 0);
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
        rates.push_back(MegabytesPerSecond(int64_t(blocks) * kBlock, SecondsSince(start)));
    }
    Result("cng_sha256_memory", Median(rates), "MB/s");

    // The fixed cost that every digest pays: provider, hash object, finish, release.
    const int calls = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        BCRYPT_HASH_HANDLE hash = nullptr;
        unsigned char digest[32];
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
        BCryptFinishHash(hash, digest, sizeof digest, 0);
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    Result("cng_sha256_setup", SecondsSince(start) / calls * 1e6, "us");
}

// Sequential ReadFile in 1 MiB blocks of a file the page cache holds.
void MeasureReadFile(const std::wstring& path) {
    std::vector<char> buffer(kBlock);
    std::vector<double> rates;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        tolvek::FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) Fail("cannot open the file to read");
        int64_t total = 0;
        DWORD read = 0;
        while (ReadFile(file.get(), buffer.data(), kBlock, &read, nullptr) && read > 0) total += read;
        rates.push_back(MegabytesPerSecond(total, SecondsSince(start)));
    }
    Result("readfile", Median(rates), "MB/s");
}

// The engine's digest of a whole file: ReadFile and CNG in turn.
void MeasureComputeFileSha256(const std::wstring& path) {
    const int64_t size = FileSize(path);
    std::vector<double> rates;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        tolvek::RunBuffer buffer;
        tolvek::Sha256Digest digest;
        if (!tolvek::ComputeFileSha256(path, buffer, nullptr, digest).ok()) Fail("ComputeFileSha256 failed");
        rates.push_back(MegabytesPerSecond(size, SecondsSince(start)));
    }
    Result("compute_file_sha256", Median(rates), "MB/s");
}

// Per-file calls of the file stage on small files: moves, checks, creation, log lines.
void MeasurePerFileCalls(const std::wstring& scratch) {
    const int files = 200;
    const std::vector<char> bytes(16384, 'x');
    std::vector<std::wstring> paths;
    for (int i = 0; i < files; ++i) paths.push_back(scratch + L"\\f" + std::to_wstring(i) + L".bin");

    auto perFile = [&](auto&& step) {
        const auto start = Clock::now();
        for (const std::wstring& path : paths) step(path);
        return SecondsSince(start) / files * 1e6;
    };
    Result("create_write_close_16k", perFile([&](const std::wstring& p) { WriteFileBytes(p, bytes); }), "us");
    Result("movefileex_write_through", perFile([](const std::wstring& p) {
               MoveFileExW(p.c_str(), (p + L".moved").c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
           }), "us");
    Result("movefileex_plain", perFile([](const std::wstring& p) {
               MoveFileExW((p + L".moved").c_str(), p.c_str(), MOVEFILE_REPLACE_EXISTING);
           }), "us");
    Result("get_file_attributes", perFile([](const std::wstring& p) { GetFileAttributesW(p.c_str()); }), "us");

    tolvek::FileEntry entry;
    entry.size = static_cast<int64_t>(bytes.size());
    tolvek::RunBuffer buffer;  // one per run, as the file stage has
    const tolvek::CancelSignal never;
    tolvek::ProgressTracker tracker;
    DirectNetwork direct;
    const tolvek::RunContext run{direct.network, buffer, never, tracker};
    tolvek::Sha256Digest digest;
    tolvek::ComputeFileSha256(paths[0], buffer, nullptr, digest);
    entry.hash = digest;
    Result("verify_file_16k", perFile([&](const std::wstring& p) { tolvek::VerifyFile(run, p, entry, L"f"); }), "us");
    const std::wstring log = scratch + L"\\bench.log";
    Result("append_log_line", perFile([&](const std::wstring& p) {
               tolvek::AppendLogLine(log, L"[1/5000] Processing key: " + p);
           }), "us");
    Result("delete_file", perFile([](const std::wstring& p) { DeleteFileW(p.c_str()); }), "us");
    DeleteFileW(log.c_str());
}

// Reading a small file with a 1 MiB request, into a buffer fresh from the heap (as
// every digest does) and into one that is reused: the difference is what the
// platform does with the untouched pages of a fresh buffer.
void MeasureSmallFileReads(const std::wstring& smallFile) {
    const int calls = 200;
    auto readAll = [&](void* buffer) {
        tolvek::FileHandle file(CreateFileW(smallFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD read = 0;
        while (ReadFile(file.get(), buffer, kBlock, &read, nullptr) && read > 0) {
        }
    };
    std::vector<char> reused(kBlock);
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) readAll(reused.data());
    Result("small_file_read_reused_buffer", SecondsSince(start) / calls * 1e6, "us");
    start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        const tolvek::HeapBlock fresh(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kBlock));
        readAll(fresh.get());
    }
    Result("small_file_read_fresh_buffer", SecondsSince(start) / calls * 1e6, "us");
    start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        const tolvek::HeapBlock fresh(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kBlock));
        static_cast<volatile char*>(fresh.get())[0] = 1;
    }
    Result("fresh_buffer_alone", SecondsSince(start) / calls * 1e6, "us");
}

int Platform(const std::wstring& file, const std::wstring& smallFile, const std::wstring& scratch) {
    tolvek::EnsureDirectoryExists(scratch);
    MeasureCngInMemory();
    MeasureReadFile(file);
    MeasureComputeFileSha256(file);
    MeasureSmallFileReads(smallFile);
    MeasurePerFileCalls(scratch);
    return 0;
}

// ---- download: DownloadToFile alone, and the WinHTTP reads it is made of ---------

struct ReadFigures {
    double rate;      // MB/s
    double chunk;     // bytes per read
};

// The same request, read into one reused buffer and thrown away, with the loop of
// DownloadToFile (available bytes, up to 1 MiB, per read, each awaited as the
// engine awaits it): what WinHTTP delivers.
ReadFigures WinHttpReads(const tolvek::RunContext& run, const std::wstring& url, tolvek::RunBuffer& buffer) {
    const tolvek::CancelSignal& never = run.cancel;
    tolvek::HttpRequest http;
    if (!tolvek::SendHttpRequest(run, url, L"GET", L"", 30000, http).ok()) Fail("request failed");
    const auto later = tolvek::SteadyClock::now() + std::chrono::hours(1);
    int64_t total = 0, reads = 0;
    const auto start = Clock::now();
    for (;;) {
        const tolvek::AsyncResult available = tolvek::QueryAvailable(http.request, never, later);
        if (available.completion != tolvek::Completion::Done || available.bytes == 0) break;
        const tolvek::AsyncResult read =
            tolvek::ReadInto(http.request, buffer, std::min<DWORD>(available.bytes, kBlock), never, later);
        if (read.completion != tolvek::Completion::Done || read.bytes == 0) break;
        total += read.bytes;
        ++reads;
    }
    return {MegabytesPerSecond(total, SecondsSince(start)), reads ? double(total) / reads : 0.0};
}

int Download(const std::wstring& url, const std::wstring& smallUrl, const std::wstring& path,
             int64_t size, int runs) {
    DirectNetwork direct;
    tolvek::ProgressTracker tracker;
    tolvek::SetFileList(tracker, size, 1);
    // What the file stage reports for a transfer.
    const tolvek::TransferReport report = [&](const wchar_t* status, int64_t done) {
        tolvek::ReportProgress(tracker, {.status = status, .item = L"bench", .itemIndex = 1, .itemCount = 1,
                                         .fileBytesDone = done, .fileBytesTotal = size});
    };
    tolvek::RunBuffer transferBuffer;
    const tolvek::CancelSignal never;
    tolvek::RunBuffer buffer;
    const tolvek::RunContext context{direct.network, transferBuffer, never, tracker};
    std::vector<double> rates, raw, chunks;
    for (int run = 0; run < runs; ++run) {
        const auto start = Clock::now();
        if (!tolvek::DownloadToFile(context, {url, path, size}, report).outcome.ok()) Fail("DownloadToFile failed");
        rates.push_back(MegabytesPerSecond(size, SecondsSince(start)));
        const ReadFigures reads = WinHttpReads(context, url, buffer);
        raw.push_back(reads.rate);
        chunks.push_back(reads.chunk);
    }
    Result("download_to_file", Median(rates), "MB/s");
    Result("winhttp_read_only", Median(raw), "MB/s");
    Result("winhttp_bytes_per_read", Median(chunks), "B");

    // A small file: the fixed cost of one request, and of one DownloadToFile.
    const int calls = 200;
    auto start = Clock::now();
    for (int i = 0; i < calls; ++i) WinHttpReads(context, smallUrl, buffer);
    Result("winhttp_small_request", SecondsSince(start) / calls * 1e6, "us");
    start = Clock::now();
    for (int i = 0; i < calls; ++i)
        if (!tolvek::DownloadToFile(context, {smallUrl, path}, report).outcome.ok()) Fail("DownloadToFile failed");
    Result("download_to_file_small", SecondsSince(start) / calls * 1e6, "us");
    DeleteFileW(path.c_str());
    return 0;
}

// ---- parse: the manifest parser ---------------------------------------------------

int Parse(const std::wstring& manifest, int runs) {
    const int64_t bytes = FileSize(manifest);
    std::vector<double> reads, parses, frees;
    size_t files = 0;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        const std::wstring text = tolvek::ReadUtf8FileAsWide(manifest);
        reads.push_back(SecondsSince(start));
        if (text.empty()) Fail("cannot read the manifest");

        auto document = std::make_unique<tolvek::JsonDocument>();
        start = Clock::now();
        if (!tolvek::ParseJson(text, *document).ok()) Fail("the manifest does not parse");
        parses.push_back(SecondsSince(start));
        const tolvek::JsonValue* list = tolvek::FindMember(document->root, L"files");
        files = list ? tolvek::MembersOf(*list).size() : 0;
        start = Clock::now();
        document.reset();
        frees.push_back(SecondsSince(start));
    }
    Result("manifest_bytes", static_cast<double>(bytes), "B");
    Result("manifest_entries", static_cast<double>(files), "files");
    Result("read_utf8_file", Median(reads) * 1e3, "ms");
    Result("parse_json", Median(parses) * 1e3, "ms");
    Result("parse_json_rate", MegabytesPerSecond(bytes, Median(parses)), "MB/s");
    // The first parse of the process, as in an install, which parses its manifest once.
    Result("parse_json_first_rate", MegabytesPerSecond(bytes, parses.front()), "MB/s");
    Result("free_document", Median(frees) * 1e3, "ms");
    return 0;
}

// ---- stages: the file stage's steps, each timed ------------------------------------

// The steps of the file stage for every entry, in the stage's order, with the
// engine's own functions; each step's time goes to its own account.
int Stages(const std::wstring& manifest, const std::wstring& mirror, const std::wstring& target,
           const std::wstring& logPath, int limit) {
    enum Account { Parse, Paths, Log, Check, Transfer, VerifyTemp, Move, VerifyFinal, Progress, Count };
    const char* names[Count] = {"parse", "path_rules_and_dirs", "log_lines", "check_existing", "transfer",
                                "verify_download", "move", "verify_installed", "progress"};
    double spent[Count] = {};
    auto timed = [&](Account account, auto&& step) {
        const auto start = Clock::now();
        step();
        spent[account] += SecondsSince(start);
    };
    const auto wholeStart = Clock::now();

    tolvek::Manifest model;
    timed(Parse, [&] {
        tolvek::JsonDocument document;
        const std::string bytes = tolvek::ReadFileBytes(manifest);
        if (!tolvek::ParseManifest(tolvek::Utf8Text(bytes), document, model).ok()) Fail("the manifest does not parse");
    });

    tolvek::LogFilePath = logPath;
    DirectNetwork direct;
    tolvek::RunBuffer buffer;
    tolvek::ProgressTracker tracker;
    const tolvek::CancelSignal never;
    const tolvek::RunContext run{direct.network, buffer, never, tracker};
    const int32_t count = static_cast<int32_t>(model.entries.size());
    int32_t number = 0;
    int downloads = 0;
    std::wstring resolvedTarget = tolvek::FullPath(target);
    if (!resolvedTarget.empty() && resolvedTarget.back() != L'\\') resolvedTarget += L'\\';
    tolvek::ClaimedPaths claimed;
    for (const tolvek::FileEntry& entry : model.entries) {
        if (limit > 0 && number == limit) break;
        ++number;
        std::wstring destination;
        timed(Paths, [&] {
            if (tolvek::IsProtectedInstallerArtifact(entry.key) || !tolvek::IsSafeRelativePath(entry.key) ||
                tolvek::EscapesTargetDirectory(resolvedTarget, entry.key))
                Fail("the manifest has a key the file stage would not install");
            destination = tolvek::JoinPath(target, entry.key);
            const tolvek::ResolvedPath resolved = tolvek::ResolvePath(destination);
            if ((resolved.exists && tolvek::IsProtectedInstallerArtifact(resolved.path)) ||
                !tolvek::MayWriteDestination(claimed, entry.key, resolved))
                Fail("the manifest has a key the file stage would not install");
            tolvek::Claim(claimed, resolved.path);
            tolvek::EnsureDirectoryExists(tolvek::ParentDirectory(destination));
        });
        const std::wstring key(entry.key);
        timed(Log, [&] {
            tolvek::Log(L"[" + std::to_wstring(number) + L"/" + std::to_wstring(count) + L"] Processing key: " + key);
        });
        bool valid = false;
        timed(Check, [&] { valid = tolvek::VerifyFile(run, destination, entry, entry.key).ok(); });
        if (valid) {
            timed(Log, [&] { tolvek::Log(L"Already valid, skipped: " + key); });
            tolvek::CountSkipped(tracker, tolvek::DeclaredSizeOrZero(entry));
            timed(Progress, [&] {
                tolvek::ReportProgress(tracker, {.status = L"Skipped", .item = entry.key,
                                                 .itemIndex = number, .itemCount = count});
            });
            continue;
        }
        const std::wstring temporary = destination + L".download";
        const std::wstring url = tolvek::BuildFileUrl(mirror, entry.key);
        timed(Log, [&] { tolvek::Log(L"Downloading [CDN 1/1, attempt 1/3]: " + url); });
        const tolvek::TransferReport report = [&](const wchar_t* status, int64_t done) {
            tolvek::ReportProgress(tracker, {.status = status, .item = entry.key, .itemIndex = number,
                                             .itemCount = count, .fileBytesDone = done,
                                             .fileBytesTotal = tolvek::DeclaredSizeOrZero(entry)});
        };
        bool ok = false;
        timed(Transfer, [&] {
            tolvek::DeleteFileIfExists(temporary);
            ok = tolvek::DownloadToFile(run, {url, temporary, entry.size}, report).outcome.ok();
        });
        if (!ok) Fail("a download failed");
        ++downloads;
        timed(VerifyTemp, [&] { ok = tolvek::VerifyFile(run, temporary, entry, entry.key).ok(); });
        timed(Move, [&] { ok = ok && MoveFileExW(temporary.c_str(), destination.c_str(), 9); });
        timed(VerifyFinal, [&] { ok = ok && tolvek::VerifyFile(run, destination, entry, entry.key).ok(); });
        if (!ok) Fail("a downloaded file did not verify");
        tolvek::CountSkipped(tracker, tolvek::DeclaredSizeOrZero(entry));
        timed(Progress, [&] {
            tolvek::ReportProgress(tracker, {.status = L"Installed", .item = entry.key,
                                             .itemIndex = number, .itemCount = count});
        });
        timed(Log, [&] { tolvek::Log(L"Installed: " + key); });
    }
    const double whole = SecondsSince(wholeStart);
    double accounted = 0;
    for (int i = 0; i < Count; ++i) {
        Result((std::string("stage_") + names[i]).c_str(), spent[i], "s");
        accounted += spent[i];
    }
    Result("stage_other", whole - accounted, "s");
    Result("stage_total", whole, "s");
    Result("stage_files", number, "files");
    Result("stage_downloads", downloads, "files");
    return 0;
}

// ---- poll: the host's view while a transfer runs -----------------------------------

// Through void*: the cast from the generic function pointer is intended.
template <typename Function>
Function Export(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

int Poll(const std::wstring& dll, const std::wstring& manifestUrl, const std::wstring& target,
         const std::wstring& logPath, const std::wstring& workDir) {
    const HMODULE library = LoadLibraryW(dll.c_str());
    if (!library) Fail("cannot load the DLL");
    const auto start = Export<StartOnlineInstallFn>(library, "StartOnlineInstall");
    const auto progress = Export<GetOnlineInstallProgressFn>(library, "GetOnlineInstallProgress");
    const auto done = Export<IsOnlineInstallDoneFn>(library, "IsOnlineInstallDone");
    const auto shutdown = Export<ShutdownOnlineInstallFn>(library, "ShutdownOnlineInstall");
    if (!start || !progress || !done || !shutdown) Fail("missing exports");
    if (!start(manifestUrl.c_str(), target.c_str(), logPath.c_str(), workDir.c_str())) Fail("no start");

    TolvekProgressRecord record{};
    // Wait for the transfer of the first large file.
    while (!done()) {
        progress(&record);
        if (std::wstring(record.status) == L"Downloading" && record.itemCount > 0) break;
        Sleep(1);
    }
    if (done()) Fail("the run ended before a transfer");

    // Tight polling for two seconds, in batches, while the worker keeps publishing.
    const int batch = 10000;
    int64_t polls = 0;
    std::vector<double> batchNs;
    const auto begin = Clock::now();
    while (SecondsSince(begin) < 2.0 && !done()) {
        const auto batchStart = Clock::now();
        for (int i = 0; i < batch; ++i) progress(&record);
        batchNs.push_back(SecondsSince(batchStart) * 1e9 / batch);
        polls += batch;
    }
    const double seconds = SecondsSince(begin);
    const bool stillTransferring = std::wstring(record.status) == L"Downloading" ||
                                   std::wstring(record.status) == L"Verifying";
    shutdown();
    FreeLibrary(library);
    if (!stillTransferring) Fail("the transfer ended while polling");
    Result("poll_ns", seconds * 1e9 / polls, "ns");
    Result("poll_ns_worst_batch", *std::max_element(batchNs.begin(), batchNs.end()), "ns");
    Result("polls", static_cast<double>(polls), "calls");
    return 0;
}


// ---- deep: the path rules on a key of many folders ---------------------------------

// Every check the run makes of one key, in the run's order, on a key of `levels`
// copies of `piece` below `target`, each timed on its own; then the key's folders,
// with a cancel raised after a second, and how soon the walk answers it.
int Deep(const std::wstring& target, int levels, const std::wstring& piece) {
    std::wstring key;
    for (int i = 0; i < levels; ++i) key += piece;
    key += L"f.bin";
    tolvek::FileEntry entry;
    entry.key = key;
    std::wstring resolvedTarget = tolvek::FullPath(target);
    if (!resolvedTarget.empty() && resolvedTarget.back() != L'\\') resolvedTarget += L'\\';
    const std::wstring destination = tolvek::JoinPath(target, key);
    tolvek::ClaimedPaths claimed;
    auto timed = [&](const char* name, auto&& step) {
        const auto start = Clock::now();
        step();
        Result(name, SecondsSince(start) * 1e3, "ms");
    };
    bool refused = false;
    timed("deep_check_entry", [&] { refused = !tolvek::CheckEntry(entry, resolvedTarget).ok(); });
    Result("deep_refused_up_front", refused, "flag");
    timed("deep_protected", [&] { tolvek::IsProtectedInstallerArtifact(key); });
    timed("deep_safe_relative", [&] { tolvek::IsSafeRelativePath(key); });
    timed("deep_escapes", [&] { tolvek::EscapesTargetDirectory(resolvedTarget, key); });
    tolvek::ResolvedPath resolved;
    timed("deep_resolve", [&] { resolved = tolvek::ResolvePath(destination); });
    timed("deep_may_write", [&] { tolvek::MayWriteDestination(claimed, key, resolved); });
    timed("deep_file_url", [&] { tolvek::BuildFileUrl(L"http://127.0.0.1/base?token=x", key); });

    tolvek::CancelSignal cancel;
    std::atomic<bool> walked{false};
    Clock::time_point cancelledAt{};
    std::thread host([&] {
        const auto start = Clock::now();
        while (!walked && SecondsSince(start) < 1.0) Sleep(1);
        cancelledAt = Clock::now();
        cancel.raised = true;
    });
    const auto start = Clock::now();
    DWORD error = 0;
    tolvek::EnsureDirectoryExists(tolvek::ParentDirectory(destination), cancel, error);
    const auto returnedAt = Clock::now();
    walked = true;
    host.join();
    Result("deep_directories", std::chrono::duration<double>(returnedAt - start).count() * 1e3, "ms");
    Result("deep_directories_cancelled", error == ERROR_CANCELLED, "flag");
    if (error == ERROR_CANCELLED)
        Result("deep_cancel_latency", std::chrono::duration<double>(returnedAt - cancelledAt).count() * 1e3, "ms");
    return 0;
}

}  // namespace

// ---- stop: how soon a cancel or a shutdown is answered in a phase of a run ---------

int Stop(const std::vector<std::wstring>& args) {
    const HMODULE library = LoadLibraryW(args[1].c_str());
    if (!library) Fail("cannot load the DLL");
    const auto start = Export<StartOnlineInstallFn>(library, "StartOnlineInstall");
    const auto progress = Export<GetOnlineInstallProgressFn>(library, "GetOnlineInstallProgress");
    const auto done = Export<IsOnlineInstallDoneFn>(library, "IsOnlineInstallDone");
    const auto cancel = Export<CancelOnlineInstallFn>(library, "CancelOnlineInstall");
    const auto shutdown = Export<ShutdownOnlineInstallFn>(library, "ShutdownOnlineInstall");
    if (!start || !progress || !done || !cancel || !shutdown) Fail("missing exports");
    const std::wstring& status = args[6];
    const std::wstring& item = args[7];
    const bool shutdownAlone = args[8] == L"shutdown";
    if (!start(args[2].c_str(), args[3].c_str(), args[4].c_str(), args[5].c_str())) Fail("no start");

    TolvekProgressRecord record{};
    for (;;) {
        if (done()) Fail("the run ended before the phase");
        if (progress(&record) && status == record.status && (item == L"-" || item == record.currentItem)) break;
        Sleep(1);
    }
    Sleep(static_cast<DWORD>(_wtoi(args[9].c_str())));
    if (done()) Fail("the run ended before the stop");
    // An engine that never answers is reported as such after two minutes.
    std::thread([] {
        Sleep(120000);
        Result("stop_never_answered_ms", 120000, "ms");
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 0);
    }).detach();
    const auto begin = Clock::now();
    if (shutdownAlone) {
        shutdown();
        Result("shutdown_ms", SecondsSince(begin) * 1e3, "ms");
    } else {
        cancel();
        Result("cancel_call_ms", SecondsSince(begin) * 1e3, "ms");
        while (!done()) Sleep(0);
        Result("cancel_to_done_ms", SecondsSince(begin) * 1e3, "ms");
        shutdown();
    }
    FreeLibrary(library);
    return 0;
}

// Milliseconds that the router takes to choose for the URL.
double ChoiceMs(tolvek::ProxyRouter& router, const std::wstring& url) {
    const auto start = Clock::now();
    tolvek::ProxyChoice choice;
    if (!router.Choose(url, choice).ok()) Fail("no proxy choice");
    return SecondsSince(start) * 1e3;
}

int Proxy(const std::wstring& pacUrl, int runs) {
    const tolvek::CancelSignal never;
    const auto quiet = [](const std::wstring&) {};
    std::vector<double> detectFirst, detectLater, pacFirst, pacOther, pacSame;
    for (int run = 0; run < runs; ++run) {
        tolvek::ProxySettings detect;
        detect.autoDetect = true;
        tolvek::ProxyRouter detecting({}, detect, never, quiet);
        detectFirst.push_back(ChoiceMs(detecting, L"http://cdn.example.test/a"));
        detectLater.push_back(ChoiceMs(detecting, L"http://mirror2.example.test/a"));
        // A URL of its own each run: the platform keeps a script it fetched for a minute.
        tolvek::ProxySettings script;
        script.pacUrl = pacUrl + L"?run=" + std::to_wstring(run);
        tolvek::ProxyRouter scripted({}, script, never, quiet);
        pacFirst.push_back(ChoiceMs(scripted, L"http://cdn.example.test/a"));
        pacOther.push_back(ChoiceMs(scripted, L"http://mirror2.example.test/a"));
        pacSame.push_back(ChoiceMs(scripted, L"http://cdn.example.test/b"));
    }
    Result("proxy_detect_first_url", Median(detectFirst), "ms");
    Result("proxy_detect_later_host", Median(detectLater), "ms");
    Result("proxy_pac_first_url_cold", pacFirst.front(), "ms");
    Result("proxy_pac_first_url", Median(pacFirst), "ms");
    Result("proxy_pac_another_host", Median(pacOther), "ms");
    Result("proxy_pac_same_host", Median(pacSame), "ms");
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    auto need = [&](size_t n) {
        if (args.size() != n) Fail("wrong number of arguments; see the comment at the top of the source");
    };
    if (args.empty()) Fail("no command");
    const std::wstring& command = args[0];
    if (command == L"noop") return 0;
    if (command == L"platform") return need(4), Platform(args[1], args[2], args[3]);
    if (command == L"download")
        return need(6), Download(args[1], args[2], args[3], _wtoi64(args[4].c_str()), _wtoi(args[5].c_str()));
    if (command == L"parse") return need(3), Parse(args[1], _wtoi(args[2].c_str()));
    if (command == L"stages") return need(6), Stages(args[1], args[2], args[3], args[4], _wtoi(args[5].c_str()));
    if (command == L"deep") return need(4), Deep(args[1], _wtoi(args[2].c_str()), args[3]);
    if (command == L"poll") return need(6), Poll(args[1], args[2], args[3], args[4], args[5]);
    if (command == L"stop") return need(10), Stop(args);
    if (command == L"proxy") return need(3), Proxy(args[1], _wtoi(args[2].c_str()));
    Fail("unknown command");
    return 2;
}
