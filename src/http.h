// HTTP transfer: the session, the request set-up shared by the download and the
// CDN probe, and the transfer of one body into one local file. The failover of a
// file over the mirrors is in file_transfer.h.
#pragma once

#include "error_text.h"
#include "failure.h"
#include "handles.h"
#include "http_headers.h"
#include "http_request.h"
#include "run_context.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tolvek {

// An open session, or a NoSession failure: "WinHttpOpen failed: " + the last error's text.
Outcome CheckHttpSession(HINTERNET session);

// A session of the run, in asynchronous mode, with TLS 1.2 and 1.3 (tls_versions.h):
// direct for an empty `proxy`, else through that "host:port" for every request.
InternetHandle OpenHttpSession(const std::wstring& userAgent, const std::wstring& proxy);

// An open request with its connection; the request is released first.
struct HttpRequest {
    InternetHandle connection;
    AsyncRequest request;
};

// Cracks the URL, connects through the proxy chosen for it, opens the request
// (secure for https), sends the extra headers plus "Cache-Control: no-cache",
// receives the response and reads its status, all of it within the time-out by the
// engine's own clock and ended at once by the cancel. A proxy that cannot be reached
// is set aside and the next choice tried; a proxy's 407 is answered, and one that
// accepts no answer fails as ProxyAuthentication. Succeeds only for a status from
// 200 to 299; then `out` holds the open request. `status` (when given) receives any
// status read.
Outcome SendHttpRequest(const RunContext& run, const std::wstring& url, const wchar_t* verb,
                        const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& out,
                        DWORD* status = nullptr);

// The most a body of unknown size may bring, and the failure text once it passes it.
struct SizeCeiling {
    int64_t bytes;
    std::wstring failure;
};

// Whether a body that brought less than 64 KiB in its last 10 s, at this rate
// (bytes per second), may end there as too slow: the failover's to say.
using SlowBodyRule = std::function<bool(double bytesPerSecond)>;

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
    // RangeMismatch with the file untouched. 0: an ordinary GET.
    int64_t resumeFrom = 0;
    const SlowBodyRule* slow = nullptr;  // none: a slow body goes on to the 1 KiB per 30 s floor
};

// How a transfer left its local file. The transfer never deletes it: what stays of
// a failed one is its owner's to keep or discard.
struct TransferResult {
    Outcome outcome;
    int64_t writtenFrom = 0;  // where the body went: `resumeFrom` for an appended range, else 0
    int64_t held = -1;        // the bytes the file holds now; -1 when it was never opened
    // The body's rate in bytes per second from the request on (of its last 10 s when
    // it ended as too slow); -1 when no body came.
    double bytesPerSecond = -1;
};

// Told of a transfer's bytes: "Downloading" at its start and as data arrives (at
// most every 250 ms), "Verifying" at its end.
using TransferReport = std::function<void(const wchar_t* status, int64_t bytesDone)>;

// GETs the URL into the local file, opened (created, or cut to the bytes continued)
// only once a success status has come. A body stops as soon as it passes the
// expected size (when declared) or the ceiling, so a server cannot fill the disk,
// and ends as a time-out when a KiB takes more than 30 s, or as too slow when 64 KiB
// take more than 10 s and the transfer's rule lets it. The body passes through
// the run's buffer; a cancel ends the transfer at once, whatever the platform is
// waiting for.
TransferResult DownloadToFile(const RunContext& run, const Transfer& transfer, const TransferReport& report);

}  // namespace tolvek
