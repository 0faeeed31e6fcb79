// Manifest retrieval: the manifest from a "|"-separated URL list with retries, read
// once into the model the run uses; UTF-8 file reading.
#pragma once

#include "failure.h"
#include "install_paths.h"
#include "json.h"
#include "progress.h"
#include "run_buffer.h"
#include "support.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

struct TrustedKeys;

// The manifest as the run uses it. Only this module and the JSON module read
// the document's members.
struct Manifest {
    std::vector<FileEntry> entries;     // the members of "files", in ascending key order
    int64_t version = 0;                // "version" truncated toward zero; 0 when not a number
    std::wstring versionString;         // "version_string"; empty when not a string
    std::vector<std::wstring> mirrors;  // the non-empty strings of "cdn_list", else "cdn"
    UrlEncoding urlEncoding = UrlEncoding::Legacy;  // Utf8 when "url_encoding" is "utf-8"
};

// Reads the model from a parsed document; false when it has no "files" object (the
// other members are read all the same).
bool ReadManifest(const JsonValue& root, Manifest& manifest);

// The whole file decoded from UTF-8 (byte-order mark dropped), or empty on any failure.
std::wstring ReadUtf8FileAsWide(const std::wstring& path);

// Downloads, parses and reads the manifest, and moves its file to `manifestPath`.
// With trusted keys (the verified start) a manifest counts only when its signature
// file verifies it and it has not expired.
Outcome DownloadManifest(HINTERNET session, const std::wstring& manifestUrls,
                         const std::wstring& manifestPath, const ProgressTracker& tracker,
                         RunBuffer& buffer, const CancelSignal& cancel, Manifest& manifest,
                         const TrustedKeys* trustedKeys = nullptr);

}  // namespace tolvek
