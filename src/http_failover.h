// File download with mirror failover, and the file URLs it requests.
#pragma once

#include "http.h"
#include "install_paths.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

// The temporary file of an entry not looked at yet.
constexpr int64_t kHeldUnknown = -1;

// One manifest file to bring into its temporary path, with what the run lends it.
struct FileDownload {
    HINTERNET session;
    const FileEntry& entry;  // its key is the manifest path
    const std::wstring& temporaryPath;
    RunBuffer& buffer;
    const CancelSignal& cancel;
    const TransferReport& report;  // the file's progress
    // The bytes of the temporary file a download may continue, as UsableTemporary
    // found them; kHeldUnknown: the failover looks itself.
    int64_t held = kHeldUnknown;
    UrlEncoding urlEncoding = UrlEncoding::Legacy;  // the manifest's, for the file's URLs
};

// A download can continue an earlier one only when the entry declares both its
// size (to ask for the rest) and its SHA-256 (to judge the whole).
bool IsResumable(const FileEntry& entry);

// What the entry's temporary file holds that a download may continue, from one
// query of it: up to the declared size (a whole file is checked before anything is
// requested). A file that no download may continue (longer than the size, or of
// an entry that cannot resume) is deleted, and 0 returned.
int64_t UsableTemporary(const FileEntry& entry, const std::wstring& temporaryPath);

// Brings a verified copy of one manifest file to its temporary path, trying the
// mirrors in order with up to three attempts each. `mirrors` is the run's order:
// a mirror that failed every attempt by a fault of its own (no status, a server
// error, a broken body, other bytes than the manifest's) moves to its end. A file
// that cannot be created or written locally ends the download at once.
// A resumable entry's temporary file is continued rather than restarted, from one
// attempt to the next, one mirror to the next and one run to the next; a failure
// keeps what it holds below the declared size, a cancel deletes it.
Outcome DownloadFileWithFailover(const FileDownload& file, std::vector<std::wstring>& mirrors);

// Base URL without trailing separators, "/", the percent-encoded manifest path, then
// the base URL's query and fragment, when it has them.
std::wstring BuildFileUrl(const std::wstring& baseUrl, const std::wstring& manifestPath,
                         UrlEncoding encoding = UrlEncoding::Legacy);
std::wstring PercentEncodeSegment(const std::wstring& segment, UrlEncoding encoding = UrlEncoding::Legacy);

}  // namespace tolvek
