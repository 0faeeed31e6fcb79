// HTTP transfer: the session check and error texts shared by every request, the
// request set-up shared by the download and the CDN probe, and download to file.
// Mirror failover is in http_failover.h.
#pragma once

#include "failure.h"
#include "handles.h"
#include "http_request.h"
#include "run_buffer.h"
#include "support.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tolvek {

// An open session, or a NoSession failure: "WinHttpOpen failed: " + the last error's text.
Outcome CheckHttpSession(HINTERNET session);
// The platform's text for a Win32 or WinHTTP code (0 = the thread's last error); may be empty.
std::wstring Win32ErrorText(DWORD code);
// Like Win32ErrorText but "timeout" for 12002 and never empty.
std::wstring HttpErrorText(DWORD code);

// The run's one WinHTTP session, in asynchronous mode, with TLS 1.2 and 1.3 (tls_versions.h).
InternetHandle OpenHttpSession(const wchar_t* userAgent, DWORD accessType);

// An open request with its connection; the request is released first.
struct HttpRequest {
    InternetHandle connection;
    AsyncRequest request;
};

// Cracks the URL, connects, opens the request (secure for https), sends the extra
// headers plus "Cache-Control: no-cache", receives the response and reads its
// status, all of it within the time-out by the engine's own clock and ended at
// once by the cancel. Succeeds only for a status from 200 to 299; then `out` holds
// the open request. `status` (when given) receives any status read.
Outcome SendHttpRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                        const std::wstring& extraHeaders, DWORD timeoutMs, const CancelSignal& cancel,
                        HttpRequest& out, DWORD* status = nullptr);

// The most a body of unknown size may bring, and the failure text once it passes it.
struct SizeCeiling {
    int64_t bytes;
    std::wstring failure;
};

// One GET into one local file.
struct Transfer {
    const std::wstring& url;
    const std::wstring& localPath;
    std::optional<int64_t> expectedSize = std::nullopt;  // the declared size, when there is one (0: an empty body)
    const SizeCeiling* ceiling = nullptr;  // for a body of no declared size
    // The local file already holds the first `resumeFrom` bytes of the body: the
    // rest is asked for with "Range: bytes=<resumeFrom>-" and appended only when
    // the answer is a 206 for exactly that rest of the expected size. Another
    // success status is written from byte 0; another range, or a 416, fails as a
    // RangeMismatch and deletes the file. 0: an ordinary GET.
    int64_t resumeFrom = 0;
    // A failed transfer leaves the bytes it wrote while they stay below the
    // expected size, for a later transfer to continue; otherwise it deletes them.
    bool keepPrefix = false;
    // When given, receives the offset the body was written from: `resumeFrom`
    // for an appended range, 0 for a body written whole.
    int64_t* writtenFrom = nullptr;
};

// A Content-Range value "bytes <first>-<last>/<complete>", read strictly: decimal
// digits only, each value within the signed 64-bit range, first <= last < complete.
struct ContentRange {
    int64_t first = 0, last = 0, complete = 0;
};
bool ParseContentRange(const std::wstring& text, ContentRange& range);

// Told of a transfer's bytes: "Downloading" at its start and as data arrives (at
// most every 250 ms), "Verifying" at its end.
using TransferReport = std::function<void(const wchar_t* status, int64_t bytesDone)>;

// GETs the URL into the local file; leaves no partial file behind unless asked to
// keep a prefix (see Transfer). A body stops as soon as it passes the expected size
// (when declared) or the ceiling, so a server cannot fill the disk, and ends as a
// time-out when a KiB takes more than 30 s. The body passes through the run's
// buffer; a cancel ends the transfer at once, whatever the platform is waiting for.
Outcome DownloadToFile(HINTERNET session, const Transfer& transfer, RunBuffer& buffer,
                       const CancelSignal& cancel, const TransferReport& report);

}  // namespace tolvek
