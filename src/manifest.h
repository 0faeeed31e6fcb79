// Manifest retrieval: the manifest from a "|"-separated URL list with retries,
// text splitting and UTF-8 file reading.
#pragma once

#include "json.h"
#include "progress.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <string>
#include <vector>

namespace tolvek {

struct TrustedKeys;

// The pieces between separators, empty pieces dropped, nothing trimmed.
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator);
// The whole file decoded from UTF-8 (byte-order mark dropped), or empty on any failure.
std::wstring ReadUtf8FileAsWide(const std::wstring& path);

// Downloads, parses and moves the manifest to `manifestPath`; false with `errorText` set.
// With trusted keys (the verified start) a manifest counts only when its signature
// file verifies it and it has not expired.
bool DownloadManifest(HINTERNET session, const std::wstring& manifestUrls,
                      const std::wstring& manifestPath, const ProgressTracker& tracker,
                      const std::atomic<bool>* cancelFlag, JsonDocument& document,
                      std::wstring& errorText, const TrustedKeys* trustedKeys = nullptr);

}  // namespace tolvek
