// Manifest retrieval: the manifest from a "|"-separated URL list with retries, read
// once into the model the run uses (manifest_model.h); UTF-8 file reading.
#pragma once

#include "failure.h"
#include "manifest_model.h"
#include "run_context.h"

#include <optional>
#include <string>
#include <string_view>

namespace tolvek {

struct TrustedKeys;

// The manifest's bytes as the parser's text: UTF-8 decoded window by window (the
// byte-order mark dropped, invalid sequences as U+FFFD), never whole.
JsonText Utf8Text(std::string_view bytes);

// The manifest's files in the working directory: its copy, under the name the
// integration guide gives, and while they download the manifest and its signature
// file, whose names carry a part of the run's own: runs sharing a working directory
// never write one file.
struct ManifestFiles {
    std::wstring copy;
    std::wstring temporary;
    std::wstring signature;
};
ManifestFiles RunManifestFiles(const std::wstring& workingDirectory);

// The whole file decoded from UTF-8 (byte-order mark dropped), or empty on any failure.
std::wstring ReadUtf8FileAsWide(const std::wstring& path);

// Downloads, parses and reads the manifest, and moves its file to `files.copy`.
// With trusted keys (the verified start) a manifest counts only when its signature
// file verifies it, it has not expired and it is not older than the installed version.
Outcome DownloadManifest(const RunContext& run, const std::wstring& manifestUrls, const ManifestFiles& files,
                         Manifest& manifest, const TrustedKeys* trustedKeys = nullptr,
                         std::optional<int64_t> installedVersion = std::nullopt);

}  // namespace tolvek
