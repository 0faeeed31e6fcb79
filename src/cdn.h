// CDN selection: choosing the probe file, probing every mirror and ordering the
// mirrors by latency.
#pragma once

#include "failure.h"
#include "manifest_model.h"
#include "run_context.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

struct CdnProbeResult {
    std::wstring baseUrl;
    bool ok = false;
    int64_t latencyMs = INT64_MAX;
    Outcome error;  // the last failed attempt's failure; success once an attempt succeeded
};

CdnProbeResult ProbeCdn(const RunContext& run, const std::wstring& baseUrl, std::wstring_view probePath,
                        UrlEncoding urlEncoding = UrlEncoding::Legacy);
// One request that reads nothing but the status.
Outcome SendProbeRequest(const RunContext& run, const std::wstring& url, const wchar_t* verb,
                         const std::wstring& extraHeaders, DWORD timeoutMs, DWORD* status = nullptr);
// The probe file, chosen entry by entry as the entries are planned, among the files
// the run may download (never a protected installer file): the smallest file that
// has a byte to send (an empty one answers a one-byte range with 416 on every
// common server, and the mirror would count as down); without such a file, the
// smallest declared one; then the first entry.
struct ProbeFileChoice {
    std::wstring_view first, smallestWithBytes, smallestDeclared;
    int64_t withBytesSize = INT64_MAX, declaredSize = INT64_MAX;
    bool any = false;
};
void Consider(ProbeFileChoice& choice, const FileEntry& entry);
std::wstring ProbePath(const ProbeFileChoice& choice);
std::wstring ChooseProbePath(const std::vector<FileEntry>& entries);

// Probes the manifest's mirrors for the probe file and writes their order into
// `order`: the reachable ones fastest first, then the others; all of them in
// manifest order when none answered. Fails when there is no mirror, or when cancelled.
// The probe file's URLs are built with `urlEncoding`, as the files' are; up to
// `parallel` mirrors are probed at once, their lines in manifest order.
Outcome SelectCdns(const RunContext& run, const std::vector<std::wstring>& mirrors, const std::wstring& probePath,
                   int32_t entryCount, std::vector<std::wstring>& order,
                   UrlEncoding urlEncoding = UrlEncoding::Legacy, int32_t parallel = 1);

}  // namespace tolvek
