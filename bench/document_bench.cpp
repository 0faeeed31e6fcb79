// The manifest document's costs: peak memory per byte of manifest for ordinary and
// pathological shapes, the time to convert numbers of a million digits, and how soon a
// parse stops after a cancel. Each command runs in a fresh process, so its peak is its own.
//
//   document_bench write <shape> <bytes> <path>   writes a manifest of that shape and size
//   document_bench memory <path> [<target>]       reads, parses and lists it as a run does;
//                                                 with a target, plans the install into it too
//   document_bench cancel <path>                  cancels parses of it at several points
//   document_bench numbers                        converts numbers of a million digits
//
// Figures go to standard output as "RESULT name value unit" lines.
#include "install_paths.h"
#include "json.h"
#include "manifest.h"
#include "plan.h"
#include "support.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Result(const std::string& name, double value, const char* unit) {
    std::printf("RESULT %s %.6g %s\n", name.c_str(), value, unit);
    std::fflush(stdout);
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "document_bench: %s\n", what);
    std::exit(1);
}

// ---- writing manifests ------------------------------------------------------------

// A distinct short name for every number, of printable ASCII without '"' and '\\'.
std::string ShortName(uint64_t number) {
    static const std::string alphabet = [] {
        std::string letters;
        for (char c = '!'; c <= '~'; ++c)
            if (c != '"' && c != '\\') letters += c;
        return letters;
    }();
    std::string name;
    do {
        name += alphabet[number % alphabet.size()];
        number /= alphabet.size();
    } while (number > 0);
    return name;
}

// Writes `head`, then items made by `item` separated by commas until the text reaches
// `bytes` less the tail, then `tail`.
template <class MakeItem>
void WriteRepeated(FILE* file, uint64_t bytes, const std::string& head, const std::string& tail,
                   MakeItem item) {
    std::string buffer = head;
    uint64_t written = 0;
    for (uint64_t i = 0;; ++i) {
        const std::string next = (i ? "," : "") + item(i);
        if (written + buffer.size() + next.size() + tail.size() > bytes) break;
        buffer += next;
        if (buffer.size() > (1u << 20)) {
            written += std::fwrite(buffer.data(), 1, buffer.size(), file);
            buffer.clear();
        }
    }
    buffer += tail;
    std::fwrite(buffer.data(), 1, buffer.size(), file);
}

std::string Nested(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "{\"\":";
    text += "0";
    text.append(depth, '}');
    return text;
}

int Write(const std::string& shape, uint64_t bytes, const wchar_t* path) {
    FILE* file = _wfopen(path, L"wb");
    if (!file) Fail("cannot write the manifest");
    const std::string filesHead = "{\"cdn_list\":[\"http://127.0.0.1/\"],\"files\":{";
    if (shape == "ordinary") {
        const std::string hash(64, 'a');
        WriteRepeated(file, bytes, "{\"version\":3,\"version_string\":\"3.0\",\"cdn_list\":"
                                   "[\"http://127.0.0.1/\"],\"files\":{", "}}", [&](uint64_t i) {
            char key[64];
            std::snprintf(key, sizeof key, "data/pack%03u/file%07llu.bin", unsigned(i % 500),
                          static_cast<unsigned long long>(i));
            return "\"" + std::string(key) + "\":{\"size\":" + std::to_string(1000 + i * 37 % 65536) +
                   ",\"hash\":\"" + hash + "\"}";
        });
    } else if (shape == "zeros") {
        WriteRepeated(file, bytes, "[", "]", [](uint64_t) { return std::string("0"); });
    } else if (shape == "empty_arrays") {
        WriteRepeated(file, bytes, "[", "]", [](uint64_t) { return std::string("[]"); });
    } else if (shape == "empty_objects") {
        WriteRepeated(file, bytes, "[", "]", [](uint64_t) { return std::string("{}"); });
    } else if (shape == "distinct_keys") {
        WriteRepeated(file, bytes, "{", "}", [](uint64_t i) { return "\"" + ShortName(i) + "\":0"; });
    } else if (shape == "files_empty") {
        WriteRepeated(file, bytes, filesHead, "}}", [](uint64_t i) { return "\"" + ShortName(i) + "\":{}"; });
    } else if (shape == "files_zero") {
        WriteRepeated(file, bytes, filesHead, "}}", [](uint64_t i) { return "\"" + ShortName(i) + "\":0"; });
    } else if (shape == "nested") {
        const std::string deepest = Nested(511);  // inside the array: the nesting limit
        WriteRepeated(file, bytes, "[", "]", [&](uint64_t) { return deepest; });
    } else if (shape == "one_string") {
        const std::string head = filesHead + "\"a\":{}},\"s\":\"";
        std::string chunk(1u << 20, 'x');
        std::fwrite(head.data(), 1, head.size(), file);
        uint64_t left = bytes - head.size() - 2;
        while (left > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
            std::fwrite(chunk.data(), 1, n, file);
            left -= n;
        }
        std::fwrite("\"}", 1, 2, file);
    } else {
        Fail("unknown shape");
    }
    std::fclose(file);
    return 0;
}

// ---- memory -----------------------------------------------------------------------

PROCESS_MEMORY_COUNTERS_EX Counters() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    return counters;
}

int Memory(const wchar_t* path, const wchar_t* target) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) Fail("no manifest");
    const double bytes = static_cast<double>(data.nFileSizeLow) + data.nFileSizeHigh * 4294967296.0;
    const PROCESS_MEMORY_COUNTERS_EX before = Counters();

    // The manifest as its retrieval reads it: the bytes, "files" straight into the
    // model's entries, the rest into the document. A shape that is no manifest (a
    // bare array, say) costs a run the same before it is refused: it is measured too.
    tolvek::JsonDocument document;
    tolvek::Manifest manifest;
    auto start = Clock::now();
    bool refused = false;
    {
        const std::string text = tolvek::ReadFileBytes(path);
        const tolvek::Outcome parsed = tolvek::ParseManifest(tolvek::Utf8Text(text), document, manifest);
        refused = !parsed.ok();
        if (refused) std::fwprintf(stderr, L"document_bench: refused as a run refuses it: %ls\n", parsed.text.c_str());
    }
    const double parseSeconds = SecondsSince(start);
    const std::vector<tolvek::FileEntry>& entries = manifest.entries;
    // Held now: the document and the entries; the bytes are gone, as in a run.
    const PROCESS_MEMORY_COUNTERS_EX held = Counters();
    start = Clock::now();
    document = tolvek::JsonDocument();
    const double releaseSeconds = SecondsSince(start);
    if (target && !refused) {
        // The plan as the run makes it before the first request: one job per entry.
        const std::wstring work = std::wstring(target) + L"\\..\\document_bench_work";
        tolvek::InstallPlan plan;
        const tolvek::CancelSignal never;
        start = Clock::now();
        const tolvek::Outcome planned =
            tolvek::MakePlan({manifest, target, work + L"\\install.log", work + L"\\manifest.json", L""}, never, plan);
        Result("plan_seconds", SecondsSince(start), "s");
        Result("planned_jobs", static_cast<double>(plan.jobs.size()), "jobs");
        if (!planned.ok()) Fail("the plan refuses the manifest");
    }

    const double base = static_cast<double>(before.PrivateUsage);
    Result("manifest_bytes", bytes, "B");
    Result("entries", static_cast<double>(entries.size()), "entries");
    Result("parse_seconds", parseSeconds, "s");
    Result("release_seconds", releaseSeconds, "s");
    const PROCESS_MEMORY_COUNTERS_EX after = Counters();
    // Peaks over the whole process, less what it held before reading the manifest.
    Result("peak_private_per_byte", (static_cast<double>(after.PeakPagefileUsage) - base) / bytes, "B/B");
    Result("peak_working_set_per_byte",
           (static_cast<double>(after.PeakWorkingSetSize) - before.WorkingSetSize) / bytes, "B/B");
    // Wine leaves PrivateUsage unchanged by large blocks; the working set counts them.
    Result("document_and_entries_per_byte",
           (static_cast<double>(held.WorkingSetSize) - before.WorkingSetSize) / bytes, "B/B");
    return 0;
}

// ---- cancellation -----------------------------------------------------------------

int Cancel(const wchar_t* path) {
    const std::wstring text = tolvek::ReadUtf8FileAsWide(path);
    auto start = Clock::now();
    {
        tolvek::JsonDocument whole;
        if (!tolvek::ParseJson(text, whole).ok()) Fail("the manifest does not parse");
    }
    const double wholeSeconds = SecondsSince(start);
    Result("whole_parse_seconds", wholeSeconds, "s");
    double latest = 0;
    for (int step = 1; step <= 9; ++step) {
        tolvek::CancelSignal cancel;
        Clock::time_point returned;
        bool parsed = true;
        std::thread parse([&] {
            tolvek::JsonDocument tree;
            parsed = tolvek::ParseJson(text, tree, &cancel.raised).ok();
            returned = Clock::now();
        });
        std::this_thread::sleep_for(std::chrono::duration<double>(wholeSeconds * step / 10));
        const Clock::time_point cancelled = Clock::now();
        tolvek::RaiseCancel(cancel);
        parse.join();
        if (!parsed) latest = std::max(latest, std::chrono::duration<double>(returned - cancelled).count());
    }
    Result("cancel_latency_max_ms", latest * 1e3, "ms");
    return 0;
}

// ---- numbers ----------------------------------------------------------------------

int Numbers() {
    const std::wstring digits(1000000, L'7');
    const struct {
        const char* name;
        std::wstring text;
    } numbers[] = {{"million_digit_fraction", L"0." + digits},
                   {"million_digit_integer_scaled", digits + L"e-999990"},
                   {"million_digit_exponent", L"1e-" + std::wstring(999999, L'0') + L"1"}};
    for (const auto& number : numbers) {
        tolvek::JsonDocument document;
        const auto start = Clock::now();
        if (!tolvek::ParseJson(number.text, document).ok()) Fail("a long number does not parse");
        Result(number.name, SecondsSince(start) * 1e3, "ms");
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"write" && argc == 5) {
        const std::wstring shape = argv[2];
        return Write(std::string(shape.begin(), shape.end()), _wcstoui64(argv[3], nullptr, 10), argv[4]);
    }
    if (command == L"memory" && (argc == 3 || argc == 4)) return Memory(argv[2], argc == 4 ? argv[3] : nullptr);
    if (command == L"cancel" && argc == 3) return Cancel(argv[2]);
    if (command == L"numbers") return Numbers();
    Fail("usage: document_bench write <shape> <bytes> <path> | memory <path> [<target>] | cancel <path> | numbers");
}
