// CDN selection: reading the mirror list, choosing the probe file, probing every
// mirror and ordering them by latency.
#pragma once

#include "install_paths.h"
#include "json.h"
#include "progress.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

struct CdnProbeResult {
    std::wstring baseUrl;
    bool ok = false;
    int64_t latencyMs = INT64_MAX;
    std::wstring error;
};

CdnProbeResult ProbeCdn(HINTERNET session, const std::wstring& baseUrl,
                        const std::wstring& probePath, const std::atomic<bool>* cancelFlag);
// One request that reads nothing but the status.
bool SendProbeRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                      const std::wstring& extraHeaders, DWORD timeoutMs, DWORD* status,
                      std::wstring* errorText);
// The mirrors' base URLs, fastest first; empty with `errorText` set on failure.
std::vector<std::wstring> SelectCdns(HINTERNET session, const JsonValue& manifest,
                                     const std::vector<FileEntry>& entries,
                                     const ProgressTracker& tracker,
                                     const std::atomic<bool>* cancelFlag, std::wstring& errorText);

}  // namespace tolvek
