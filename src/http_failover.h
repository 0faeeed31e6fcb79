// File download with mirror failover, and the file URLs it requests.
#pragma once

#include "http.h"
#include "install_paths.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

// One manifest file to bring into its temporary path, with what the run lends it.
struct FileDownload {
    HINTERNET session;
    const FileEntry& entry;  // its key is the manifest path
    const std::wstring& temporaryPath;
    RunBuffer& buffer;
    const CancelSignal& cancel;
    const TransferReport& report;  // the file's progress
};

// Brings a verified copy of one manifest file to its temporary path, trying the
// mirrors in order with up to three attempts each. `mirrors` is the run's order:
// a mirror that failed every attempt by a fault of its own (no status, a server
// error, a broken body, other bytes than the manifest's) moves to its end. A file
// that cannot be created or written locally ends the download at once.
Outcome DownloadFileWithFailover(const FileDownload& file, std::vector<std::wstring>& mirrors);

// Base URL without trailing separators, "/", the percent-encoded manifest path, then
// the base URL's query and fragment, when it has them.
std::wstring BuildFileUrl(const std::wstring& baseUrl, const std::wstring& manifestPath);
std::wstring PercentEncodeSegment(const std::wstring& segment);

}  // namespace tolvek
