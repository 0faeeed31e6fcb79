#include "cdn.h"

#include "http.h"
#include "support.h"

#include <algorithm>
#include <chrono>

namespace tolvek {

namespace {

constexpr DWORD kProbeTimeoutMs = 5000;
const wchar_t kRangeHeader[] = L"Range: bytes=0-0\r\n";
const wchar_t kNoMirrors[] = L"Manifest does not contain cdn or cdn_list";
const wchar_t kUnreachable[] = L"unreachable";

// The probe in progress: the result being filled and what every attempt needs.
struct Probe {
    CdnProbeResult result;
    std::wstring url;
    HINTERNET session;
    const std::atomic<bool>* cancelFlag;
};

int64_t WholeMillisecondsSince(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000;
}

// Up to three attempts with one request kind; only the successful attempt is timed.
bool ProbeWithRetries(Probe& probe, const std::wstring& verb, const std::wstring& extraHeaders) {
    CdnProbeResult& result = probe.result;
    for (int attempt = 1; attempt <= kAttemptsPerTarget; ++attempt) {
        if (IsCancelled(probe.cancelFlag)) {
            result.error = kCancelledByUser;
            result.ok = false;
            return false;
        }
        const auto start = std::chrono::steady_clock::now();
        std::wstring error;
        DWORD status = 0;
        Log(L"CDN probe " + verb + L" [attempt " + AttemptOfLimit(attempt) + L"]: " + probe.url);
        if (SendProbeRequest(probe.session, probe.url, verb.c_str(), extraHeaders, kProbeTimeoutMs,
                             &status, &error)) {
            result.ok = true;
            result.latencyMs = WholeMillisecondsSince(start);
            result.error.clear();
            return true;
        }
        result.error = error;
        result.ok = false;
        if (attempt == kAttemptsPerTarget || Contains(result.error, kCancelledByUser)) return false;
        Log(L"Retrying CDN probe " + verb + L" after failure (attempt " + AttemptOfLimit(attempt) +
            L"): " + result.error);
        PauseBeforeRetry(probe.cancelFlag);
    }
    return false;
}

// Every non-empty string of "cdn_list"; else "cdn" when it is a non-empty string.
std::vector<std::wstring> ReadMirrorList(const JsonValue& manifest) {
    std::vector<std::wstring> mirrors;
    const JsonValue* list = FindMember(manifest, L"cdn_list");
    if (list && list->kind == JsonKind::Array) {
        for (const JsonValue& item : ElementsOf(*list))
            if (item.kind == JsonKind::String && item.count > 0) mirrors.emplace_back(StringOf(item));
    }
    if (mirrors.empty()) {
        std::wstring single = GetString(manifest, L"cdn", L"");
        if (!single.empty()) mirrors.push_back(std::move(single));
    }
    return mirrors;
}

// The key of the smallest entry declaring a size of at least `minimum`, the
// first among equals; empty when there is none.
std::wstring SmallestDeclared(const std::vector<FileEntry>& entries, int64_t minimum) {
    std::wstring path;
    int64_t smallest = INT64_MAX;
    for (const FileEntry& entry : entries) {
        if (entry.hasSize && entry.size >= minimum && entry.size < smallest) {
            smallest = entry.size;
            path = entry.key;
        }
    }
    return path;
}

// The smallest file that has a byte to send: an empty one answers a one-byte
// range with 416 on every common server, and the mirror would count as down.
// Without such a file, the smallest declared one; then the first entry.
std::wstring ChooseProbePath(const std::vector<FileEntry>& entries) {
    std::wstring path = SmallestDeclared(entries, 1);
    if (path.empty()) path = SmallestDeclared(entries, INT64_MIN);
    if (path.empty() && !entries.empty()) path = entries.front().key;
    return path;
}

// "<base URL> latency=<n>ms", the tail of the success and selection lines.
std::wstring UrlWithLatency(const CdnProbeResult& result) {
    return result.baseUrl + L" latency=" + std::to_wstring(result.latencyMs) + L"ms";
}

std::wstring FailureSummary(const std::vector<CdnProbeResult>& results) {
    std::wstring summary;
    for (const CdnProbeResult& result : results) {
        if (!summary.empty()) summary += L"; ";
        summary += result.baseUrl + L" (" + (result.error.empty() ? kUnreachable : result.error) + L")";
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

bool SendProbeRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                      const std::wstring& extraHeaders, DWORD timeoutMs, DWORD* status,
                      std::wstring* errorText) {
    // Only the status counts: the request is closed here with its body unread.
    HttpRequest unread;
    return SendHttpRequest(session, url, verb, extraHeaders, timeoutMs, unread, status, errorText);
}

CdnProbeResult ProbeCdn(HINTERNET session, const std::wstring& baseUrl,
                        const std::wstring& probePath, const std::atomic<bool>* cancelFlag) {
    Probe probe{CdnProbeResult(), BuildFileUrl(baseUrl, probePath), session, cancelFlag};
    probe.result.baseUrl = baseUrl;
    if (ProbeWithRetries(probe, L"HEAD", L"")) return probe.result;
    if (Contains(probe.result.error, kCancelledByUser)) return probe.result;
    // A HEAD may be refused by mirrors that only serve GET; a one-byte range costs as little.
    ProbeWithRetries(probe, L"GET", kRangeHeader);
    return probe.result;
}

std::vector<std::wstring> SelectCdns(HINTERNET session, const JsonValue& manifest,
                                     const std::vector<FileEntry>& entries,
                                     const ProgressTracker& tracker,
                                     const std::atomic<bool>* cancelFlag, std::wstring& errorText) {
    const std::vector<std::wstring> mirrors = ReadMirrorList(manifest);
    if (mirrors.empty()) {
        errorText = kNoMirrors;
        return {};
    }

    const std::wstring probePath = ChooseProbePath(entries);
    ReportProgress(tracker, L"Testing CDN", probePath, 0, static_cast<int32_t>(entries.size()), 0, 0);
    Log(L"CDN probe file: " + probePath);
    const std::wstring count = std::to_wstring(mirrors.size());
    Log(L"Testing CDN endpoints (" + count + L")...");

    std::vector<CdnProbeResult> results;
    results.reserve(mirrors.size());
    for (size_t i = 0; i < mirrors.size(); ++i) {
        if (IsCancelled(cancelFlag)) {
            errorText = kCancelledByUser;
            return {};
        }
        Log(L"Probing CDN [" + std::to_wstring(i + 1) + L"/" + count + L"]: " + mirrors[i]);
        results.push_back(ProbeCdn(session, mirrors[i], probePath, cancelFlag));
        const CdnProbeResult& result = results.back();
        if (result.ok) {
            Log(L"CDN OK: " + UrlWithLatency(result));
            continue;
        }
        Log(L"CDN FAILED: " + result.baseUrl + L" error=" + result.error);
        if (Contains(result.error, kCancelledByUser)) {
            errorText = result.error;
            return {};
        }
    }

    const std::vector<CdnProbeResult> sorted = SortedReachable(results);
    if (sorted.empty()) {
        Log(L"All CDN probes failed; falling back to manifest CDN order for downloads: " +
            FailureSummary(results));
        errorText.clear();
        return mirrors;
    }
    Log(L"Selected CDN: " + UrlWithLatency(sorted.front()));
    return ReachableFirst(sorted, results);
}

}  // namespace tolvek
