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
// a mirror that failed every attempt with no status or a server error moves to its end.
Outcome DownloadFileWithFailover(const FileDownload& file, std::vector<std::wstring>& mirrors);

// Base URL without trailing separators, "/", the percent-encoded manifest path.
std::wstring BuildFileUrl(const std::wstring& baseUrl, const std::wstring& manifestPath);
std::wstring PercentEncodeSegment(const std::wstring& segment);

}  // namespace tolvek
