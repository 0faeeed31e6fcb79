// HTTP transfer: the session check and error texts shared by every request, the
// request set-up shared by the download and the CDN probe, and download to file.
// Mirror failover is in http_failover.h.
#pragma once

#include "failure.h"
#include "handles.h"
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

// An open request with its connection; the request is released first.
struct HttpRequest {
    InternetHandle connection;
    InternetHandle request;
};

// Cracks the URL, connects, opens the request (secure for https), sets the four
// time-outs, sends the extra headers plus "Cache-Control: no-cache", receives the
// response and reads its status. Succeeds only for a status from 200 to 299; then
// `out` holds the open request. `status` (when given) receives any status read.
Outcome SendHttpRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                        const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& out,
                        DWORD* status = nullptr);

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
};

// Told of a transfer's bytes: "Downloading" at its start and as data arrives (at
// most every 250 ms), "Verifying" at its end.
using TransferReport = std::function<void(const wchar_t* status, int64_t bytesDone)>;

// GETs the URL into the local file; never leaves a partial file behind. A body
// stops as soon as it passes the expected size (when declared) or the ceiling,
// so a server cannot fill the disk. The body passes through the run's buffer; the
// cancel signal is read after every chunk.
Outcome DownloadToFile(HINTERNET session, const Transfer& transfer, RunBuffer& buffer,
                       const CancelSignal& cancel, const TransferReport& report);

}  // namespace tolvek
