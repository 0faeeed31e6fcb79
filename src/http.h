// HTTP transfer: the session check and error texts shared by every request, the
// request set-up shared by the download and the CDN probe, download to file,
// and file download with mirror failover.
#pragma once

#include "handles.h"
#include "install_paths.h"
#include "progress.h"
#include "run_buffer.h"
#include "support.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvek {

// Texts that travel between stages; found by case-sensitive substring search.
inline const std::wstring kInvalidUrl = L"Invalid URL";
inline const std::wstring kSha256Mismatch = L"SHA256 mismatch";
// The beginnings of a request that got no status, and of one with a failing status.
inline const std::wstring kHttpRequestFailed = L"HTTP request failed: ";
inline const std::wstring kHttpStatus = L"HTTP status ";
// The start of a failed write's text: a full or failing disk, no network fault.
inline const std::wstring kWriteError = L"Write error for file: ";

constexpr int kAttemptsPerTarget = 3;
constexpr DWORD kRetryPauseMs = 500;

bool Contains(const std::wstring& text, const std::wstring& piece);
// A failed transfer after which no other attempt, URL or mirror can help: a
// cancellation, or a write that the local disk refused.
bool EndsWholeDownload(const std::wstring& failure);
// The 500 ms pause between attempts on one target, skipped once cancelled.
void PauseBeforeRetry(const std::atomic<bool>* cancelFlag);
// "a/3": an attempt number followed by the attempt limit.
std::wstring AttemptOfLimit(int attempt);

// True when the session handle is open; otherwise "WinHttpOpen failed: " + the last error's text.
bool CheckHttpSession(HINTERNET session, std::wstring* errorText);
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
// response and reads its status. True only for a status from 200 to 299; then
// `out` holds the open request. `status` (when given) receives any status read.
bool SendHttpRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                     const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& out,
                     DWORD* status, std::wstring* errorText);

// The most a body of unknown size may bring, and the failure text once it passes it.
struct SizeCeiling {
    int64_t bytes;
    std::wstring failure;
};

// GETs `url` into `localPath` with progress; never leaves a partial file behind.
// A body stops as soon as it passes the expected size (when at least 1) or the
// ceiling (when given), so a server cannot fill the disk. The body passes through
// the run's buffer; its cancel flag is read after every chunk.
bool DownloadToFile(HINTERNET session, const std::wstring& url, const std::wstring& localPath,
                    const ProgressTracker& tracker, const std::wstring& itemLabel,
                    int32_t fileNumber, int32_t fileCount, int64_t expectedSize,
                    RunBuffer& buffer, std::wstring* errorText,
                    const SizeCeiling* ceiling = nullptr);
// The same with a buffer of its own, for a transfer outside the file stage.
bool DownloadToFile(HINTERNET session, const std::wstring& url, const std::wstring& localPath,
                    const ProgressTracker& tracker, const std::wstring& itemLabel,
                    int32_t fileNumber, int32_t fileCount, int64_t expectedSize,
                    const std::atomic<bool>* cancelFlag, std::wstring* errorText,
                    const SizeCeiling* ceiling = nullptr);

// Brings a verified copy of one manifest file to `temporaryPath`, trying the
// mirrors in order with up to three attempts each. `mirrors` is the run's order:
// a mirror that failed every attempt with no status or a server error moves to its end.
// Transfers and digests go through the run's buffer, whose cancel flag ends the download.
bool DownloadFileWithFailover(HINTERNET session, std::vector<std::wstring>& mirrors,
                              const std::wstring& manifestPath, const std::wstring& temporaryPath,
                              const FileEntry& entry, int32_t fileNumber, int32_t fileCount,
                              const ProgressTracker& tracker, RunBuffer& buffer,
                              std::wstring& errorText);

// Base URL without trailing separators, "/", the percent-encoded manifest path.
std::wstring BuildFileUrl(const std::wstring& baseUrl, const std::wstring& manifestPath);
std::wstring PercentEncodeSegment(const std::wstring& segment);

}  // namespace tolvek
