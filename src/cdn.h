// CDN selection: choosing the probe file, probing every mirror and ordering the
// mirrors by latency.
#pragma once

#include "failure.h"
#include "install_paths.h"
#include "progress.h"
#include "support.h"

#include <windows.h>
#include <winhttp.h>

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

CdnProbeResult ProbeCdn(HINTERNET session, const std::wstring& baseUrl,
                        const std::wstring& probePath, const CancelSignal& cancel,
                        UrlEncoding urlEncoding = UrlEncoding::Legacy);
// One request that reads nothing but the status.
Outcome SendProbeRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                         const std::wstring& extraHeaders, DWORD timeoutMs, const CancelSignal& cancel,
                         DWORD* status = nullptr);
// Probes the manifest's mirrors and writes their order into `order`: the reachable
// ones fastest first, then the others; all of them in manifest order when none
// answered. Fails when there is no mirror, or when cancelled.
// The probe file's URLs are built with `urlEncoding`, as the files' are.
Outcome SelectCdns(HINTERNET session, const std::vector<std::wstring>& mirrors,
                   const std::vector<FileEntry>& entries, const ProgressTracker& tracker,
                   const CancelSignal& cancel, std::vector<std::wstring>& order,
                   UrlEncoding urlEncoding = UrlEncoding::Legacy);

}  // namespace tolvek
