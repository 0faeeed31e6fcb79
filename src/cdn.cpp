#include "cdn.h"

#include "attempts.h"
#include "entry_rules.h"
#include "http.h"
#include "lanes.h"
#include "log.h"
#include "options.h"
#include "urls.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace tolvek {

namespace {

constexpr DWORD kProbeTimeoutMs = 5000;
const wchar_t kRangeHeader[] = L"Range: bytes=0-0\r\n";
const wchar_t kNoMirrors[] = L"Manifest does not contain cdn or cdn_list";
const wchar_t kUnreachable[] = L"unreachable";

int64_t WholeMillisecondsSince(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000;
}

// The attempts of one request kind on one mirror; only the successful attempt is timed.
struct ProbeAttempts {
    const RunContext& run;
    const std::wstring& url;
    const std::wstring verb;
    const std::wstring extraHeaders;
    int64_t latencyMs = INT64_MAX;

    size_t Targets() const { return 1; }
    Outcome Attempt(size_t, int attempt) {
        const auto start = std::chrono::steady_clock::now();
        Log(run.log, L"CDN probe " + verb + L" [attempt " + AttemptOfLimit(attempt) + L"]: " + url);
        Outcome outcome = SendProbeRequest(run, url, verb.c_str(), extraHeaders, kProbeTimeoutMs);
        if (outcome.ok()) latencyMs = WholeMillisecondsSince(start);
        return outcome;
    }
    FailureReach Reach(const Outcome&) const { return FailureReach::Attempt; }
    void LogRetry(const Outcome& failure, int attempt) const {
        Log(run.log, L"Retrying CDN probe " + verb + L" after failure (attempt " + AttemptOfLimit(attempt) +
            L"): " + failure.text);
    }
    void Left(size_t, const Outcome&) const {}
};

// Up to three attempts with one request kind; true when one succeeded.
bool ProbeWithRetries(CdnProbeResult& result, ProbeAttempts attempts) {
    AttemptsEnd end = RunAttempts(attempts, attempts.run.cancel);
    result.ok = end.last.ok();
    result.error = std::move(end.last);
    if (result.ok) result.latencyMs = attempts.latencyMs;
    return result.ok;
}

// "<base URL> latency=<n>ms", the tail of the success and selection lines.
std::wstring UrlWithLatency(const CdnProbeResult& result) {
    return result.baseUrl + L" latency=" + std::to_wstring(result.latencyMs) + L"ms";
}

std::wstring FailureSummary(const std::vector<CdnProbeResult>& results) {
    std::wstring summary;
    for (const CdnProbeResult& result : results) {
        if (!summary.empty()) summary += L"; ";
        const std::wstring& error = result.error.text;
        summary += result.baseUrl + L" (" + (error.empty() ? kUnreachable : error) + L")";
    }
    return summary;
}

// The reachable mirrors by ascending latency; equal latencies keep manifest order.
std::vector<CdnProbeResult> SortedReachable(const std::vector<CdnProbeResult>& results) {
    std::vector<CdnProbeResult> reachable;
    for (const CdnProbeResult& result : results)
        if (result.ok) reachable.push_back(result);
    std::stable_sort(reachable.begin(), reachable.end(),
                     [](const CdnProbeResult& a, const CdnProbeResult& b) {
                         return a.latencyMs < b.latencyMs;
                     });
    return reachable;
}

// The sorted reachable mirrors, then the unreachable ones in manifest order as
// the last failover candidates.
std::vector<std::wstring> ReachableFirst(const std::vector<CdnProbeResult>& sorted,
                                         const std::vector<CdnProbeResult>& results) {
    std::vector<std::wstring> ordered;
    ordered.reserve(results.size());
    for (const CdnProbeResult& result : sorted) ordered.push_back(result.baseUrl);
    for (const CdnProbeResult& result : results)
        if (!result.ok) ordered.push_back(result.baseUrl);
    return ordered;
}

}  // namespace

Outcome SendProbeRequest(const RunContext& run, const std::wstring& url, const wchar_t* verb,
                         const std::wstring& extraHeaders, DWORD timeoutMs, DWORD* status) {
    // Only the status counts: the request is closed here with its body unread.
    HttpRequest unread;
    return SendHttpRequest(run, url, verb, extraHeaders, timeoutMs, unread, status);
}

CdnProbeResult ProbeCdn(const RunContext& run, const std::wstring& baseUrl, std::wstring_view probePath,
                        UrlEncoding urlEncoding) {
    CdnProbeResult result;
    result.baseUrl = baseUrl;
    const std::wstring url = BuildFileUrl(baseUrl, probePath, urlEncoding);
    if (ProbeWithRetries(result, {run, url, L"HEAD", L""})) return result;
    if (EndsTheRun(result.error.kind)) return result;
    // A HEAD may be refused by mirrors that only serve GET; a one-byte range costs as little.
    ProbeWithRetries(result, {run, url, L"GET", kRangeHeader});
    return result;
}

void Consider(ProbeFileChoice& choice, const FileEntry& entry) {
    // The setup program's own files are never downloaded, and mirrors seldom carry them.
    if (IsProtectedInstallerArtifact(entry.key)) return;
    if (!choice.any) choice.first = entry.key;
    choice.any = true;
    if (!entry.size) return;
    // The first among equals; an entry of the largest size is never taken.
    if (*entry.size >= 1 && *entry.size < choice.withBytesSize) {
        choice.withBytesSize = *entry.size;
        choice.smallestWithBytes = entry.key;
    }
    if (*entry.size < choice.declaredSize) {
        choice.declaredSize = *entry.size;
        choice.smallestDeclared = entry.key;
    }
}

std::wstring ProbePath(const ProbeFileChoice& choice) {
    if (!choice.smallestWithBytes.empty()) return std::wstring(choice.smallestWithBytes);
    if (!choice.smallestDeclared.empty()) return std::wstring(choice.smallestDeclared);
    return std::wstring(choice.first);
}

std::wstring ChooseProbePath(const std::vector<FileEntry>& entries) {
    ProbeFileChoice choice;
    for (const FileEntry& entry : entries) Consider(choice, entry);
    return ProbePath(choice);
}

namespace {

// The mirrors probed side by side, each one's lines a block in manifest order.
struct Probes {
    const RunContext& run;
    const std::vector<std::wstring>& mirrors;
    const std::wstring& probePath;
    UrlEncoding urlEncoding;
    std::vector<CdnProbeResult> results = std::vector<CdnProbeResult>(mirrors.size());
    CancelSignal stop = {};  // raised by a cancel of the host
    OrderedLog log = {};
    std::atomic<size_t> next{0};
};

void Probe(Probes& probes, size_t i) {
    // A probe reads no body: the run's buffer is never touched.
    const RunContext run{probes.run.network, probes.run.buffer, probes.stop, probes.run.progress, {&probes.log, i}};
    const std::wstring count = std::to_wstring(probes.mirrors.size());
    Log(run.log, L"Probing CDN [" + std::to_wstring(i + 1) + L"/" + count + L"]: " + probes.mirrors[i]);
    CdnProbeResult& result = probes.results[i];
    result = ProbeCdn(run, probes.mirrors[i], probes.probePath, probes.urlEncoding);
    if (result.ok)
        Log(run.log, L"CDN OK: " + UrlWithLatency(result));
    else
        Log(run.log, L"CDN FAILED: " + result.baseUrl + L" error=" + result.error.text);
}

void ProbeLane(Probes& probes) {
    for (size_t i = probes.next++; i < probes.mirrors.size() && !IsCancelled(probes.stop); i = probes.next++) {
        try {
            Probe(probes, i);
        } catch (...) {
            // Out of memory in this probe: the mirror counts as one that did not answer.
            probes.results[i].ok = false;
        }
        End(probes.log, i);
        if (EndsTheRun(probes.results[i].error.kind)) RaiseCancel(probes.stop);
    }
}

}  // namespace

Outcome SelectCdns(const RunContext& run, const std::vector<std::wstring>& mirrors, const std::wstring& probePath,
                   int32_t entryCount, std::vector<std::wstring>& order, UrlEncoding urlEncoding, int32_t parallel) {
    if (mirrors.empty()) return Fail(FailureKind::NoMirrors, kNoMirrors);

    ReportProgress(run.progress, {.status = L"Testing CDN", .item = probePath, .itemCount = entryCount});
    Log(run.log, L"CDN probe file: " + probePath);
    Log(run.log, L"Testing CDN endpoints (" + std::to_wstring(mirrors.size()) + L")...");

    Probes probes{run, mirrors, probePath, urlEncoding};
    for (size_t i = 0; i < mirrors.size(); ++i) probes.results[i].baseUrl = mirrors[i];
    const size_t lanes = std::min(static_cast<size_t>(std::clamp(parallel, 1, kMostParallel)), mirrors.size());
    RunAtOnce(
        lanes, [&](size_t) { ProbeLane(probes); }, run.cancel, [&] { RaiseCancel(probes.stop); });
    Close(probes.log, mirrors.size());
    if (IsCancelled(run.cancel)) return Cancelled();
    // A proxy that accepts no credentials ends the run; the other probes stopped.
    for (const CdnProbeResult& result : probes.results)
        if (result.error.kind != FailureKind::Cancelled && EndsTheRun(result.error.kind)) return result.error;

    const std::vector<CdnProbeResult>& results = probes.results;
    const std::vector<CdnProbeResult> sorted = SortedReachable(results);
    if (sorted.empty()) {
        Log(run.log, L"All CDN probes failed; falling back to manifest CDN order for downloads: " +
            FailureSummary(results));
        order = mirrors;
        return Success();
    }
    Log(run.log, L"Selected CDN: " + UrlWithLatency(sorted.front()));
    order = ReachableFirst(sorted, results);
    return Success();
}

}  // namespace tolvek
