#include "http.h"

#include "log.h"
#include "proxy.h"
#include "support.h"
#include "tls_versions.h"

#include <chrono>
#include <cstdio>

namespace tolvek {

namespace {

constexpr DWORD kTransferTimeoutMs = 30000;
constexpr DWORD kRangeNotSatisfiable = 416;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);
constexpr auto kBodyWindow = std::chrono::milliseconds(kTransferTimeoutMs);
constexpr int64_t kBodyWindowBytes = 1024;
constexpr auto kCrawlWindow = std::chrono::seconds(10);
constexpr int64_t kCrawlWindowBytes = 65536;
const wchar_t kTooSlow[] = L"Too slow: less than 64 KiB in the last 10 s";
const wchar_t kNoCacheHeader[] = L"Cache-Control: no-cache\r\n";

struct CrackedUrl {
    std::wstring host;
    std::wstring object;  // path followed by the query
    INTERNET_PORT port = 0;
    bool secure = false;
};

bool CrackUrl(const std::wstring& url, CrackedUrl& out) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    out.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    out.object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.dwExtraInfoLength != 0) out.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    out.port = parts.nPort;
    out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

// The failure of a WinHTTP call whose code was read before any handle closed.
Outcome CallFailed(FailureKind kind, const wchar_t* call, DWORD code) {
    return Fail(kind, std::wstring(call) + L" failed: " + HttpErrorText(code), code);
}

int64_t AnnouncedLength(HINTERNET request) {
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return -1;
    return ContentLengthValue(text);
}

Outcome SizeMismatch(int64_t expectedSize, int64_t written) {
    return Fail(FailureKind::SizeMismatch, L"Size mismatch after download: expected " +
                                               std::to_wstring(expectedSize) + L", got " +
                                               std::to_wstring(written));
}

// What + path + " (" + the platform's reason + ")": a local file's failure.
Outcome LocalFailure(FailureKind kind, const wchar_t* what, const std::wstring& path, DWORD code) {
    return Fail(kind, what + path + L" (" + Win32ErrorText(code) + L")", code);
}

Outcome WriteError(const std::wstring& path, DWORD code) {
    return LocalFailure(FailureKind::DiskWrite, L"Write error for file: ", path, code);
}

// A failed, cancelled or timed-out operation of a request as the engine reports
// it; a deadline of the engine's own clock passes as the platform's time-out does.
Outcome OperationFailed(const AsyncResult& result, FailureKind kind, const std::wstring& prefix) {
    if (result.completion == Completion::Cancelled) return Cancelled();
    const DWORD code = result.completion == Completion::TimedOut ? ERROR_WINHTTP_TIMEOUT : result.error;
    return Fail(kind, prefix + HttpErrorText(code), code);
}

// Where the body announced by the Content-Length ends in the file when it is
// written from `start`; -1 when no length is announced.
int64_t AnnouncedEnd(HINTERNET request, int64_t start) {
    const int64_t length = AnnouncedLength(request);
    if (length < 0) return -1;
    return length > INT64_MAX - start ? INT64_MAX : start + length;
}

std::wstring RangeHeader(int64_t from) { return L"Range: bytes=" + std::to_wstring(from) + L"-\r\n"; }

// The response's Content-Range as text; false when it has none that fits.
bool ContentRangeText(HINTERNET request, std::wstring& text) {
    wchar_t value[128] = {};
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, value,
                             &size, WINHTTP_NO_HEADER_INDEX))
        return false;
    text.assign(value, size / sizeof(wchar_t));
    return true;
}

Outcome RangeMismatch(const Transfer& transfer, const std::wstring& got) {
    const int64_t size = transfer.expectedSize.value_or(0);
    return Fail(FailureKind::RangeMismatch,
                L"Range mismatch: expected bytes " + std::to_wstring(transfer.resumeFrom) + L"-" +
                    std::to_wstring(size - 1) + L"/" + std::to_wstring(size) + L", got " + got);
}

// Where the answer to a resumed request is written: after the bytes the file holds
// for a 206 of exactly the rest of the expected size, from byte 0 for any other
// success status. Bytes of another range are never appended.
Outcome PlaceOfBody(HINTERNET request, DWORD status, const Transfer& transfer, int64_t& from) {
    from = 0;
    if (status != HTTP_STATUS_PARTIAL_CONTENT) return Success();
    std::wstring text;
    if (!ContentRangeText(request, text)) return RangeMismatch(transfer, L"none");
    ContentRange range;
    if (!ParseContentRange(text, range) || range.first != transfer.resumeFrom ||
        range.last != transfer.expectedSize.value_or(0) - 1 || range.complete != transfer.expectedSize)
        return RangeMismatch(transfer, text);
    from = transfer.resumeFrom;
    return Success();
}

// A resumed request that failed: a 416, like another range, means the bytes held
// cannot be continued from this mirror.
Outcome Unresumed(Outcome failure) {
    if (failure.kind == FailureKind::HttpStatus && failure.httpStatus == kRangeNotSatisfiable)
        failure.kind = FailureKind::RangeMismatch;
    return failure;
}

// The local file for a body written from `from`: created empty for byte 0, else
// opened and cut to its first `from` bytes, the next write going after them. It is
// a plain file of its folder either way: nothing is written through a link.
Outcome OpenBodyFile(const std::wstring& path, int64_t from, FileHandle& file) {
    DWORD error = 0;
    file = from > 0 ? OpenPlainFile(path, error) : CreatePlainFile(path, error);
    if (!file) return LocalFailure(FailureKind::CannotCreateFile, L"Cannot create file: ", path, error);
    if (from == 0) return Success();
    LARGE_INTEGER offset;
    offset.QuadPart = from;
    if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()))
        return WriteError(path, GetLastError());
    return Success();
}

// The connection and the request, not yet sent.
Outcome OpenRequest(HINTERNET session, const CrackedUrl& target, const wchar_t* verb,
                    DWORD timeoutMs, HttpRequest& opened) {
    opened.connection.reset(WinHttpConnect(session, target.host.c_str(), target.port, 0));
    if (!opened.connection)
        return CallFailed(FailureKind::PlatformCall, L"WinHttpConnect", GetLastError());
    if (!opened.request.Open(opened.connection.get(), verb, target.object,
                             target.secure ? WINHTTP_FLAG_SECURE : 0)) {
        const DWORD code = GetLastError();
        opened.connection.reset();
        return CallFailed(FailureKind::PlatformCall, L"WinHttpOpenRequest", code);
    }
    // The engine's own deadlines decide; the platform's time-outs only come first
    // where it keeps them.
    const int timeout = static_cast<int>(timeoutMs);
    WinHttpSetTimeouts(opened.request.get(), timeout, timeout, timeout, timeout);
    DWORD headerTimeout = timeoutMs;
    WinHttpSetOption(opened.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeout,
                     sizeof headerTimeout);
    return Success();
}

// Sends the request through `proxy` ("": direct) and reads the status of its
// response, all of it within the time-out: connect, TLS, the send, every byte of the
// response's headers and the answers to a 407.
Outcome Exchange(const RunContext& run, const std::wstring& proxy, HttpRequest& opened,
                 const std::wstring& extraHeaders, DWORD timeoutMs, DWORD& statusCode) {
    std::wstring headers = extraHeaders;
    if (!headers.empty() && headers.back() != L'\n') headers += L"\r\n";
    headers += kNoCacheHeader;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    // Only a proxy is answered: a server's 407 gets neither the host's credentials
    // nor the logged-on user's.
    const AsyncResult answered =
        proxy.empty() ? SendAndReceive(opened.request, headers, run.cancel, deadline)
                      : SendAnsweringProxy(opened.request, headers, run.network.credentials, run.cancel, deadline,
                                           statusCode);
    if (answered.completion != Completion::Done)
        return OperationFailed(answered, FailureKind::NoHttpStatus, L"HTTP request failed: ");
    DWORD size = sizeof statusCode;
    if (!WinHttpQueryHeaders(opened.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return CallFailed(FailureKind::PlatformCall, L"WinHttpQueryHeaders", GetLastError());
    if (!proxy.empty() && statusCode == HTTP_STATUS_PROXY_AUTH_REQ) return ProxyAuthenticationRequired(proxy);
    return Success();
}

// When the next chunk of a body is due, and whether the body ends as too slow
// rather than as a time-out when it is not there by then.
struct ChunkDue {
    SteadyClock::time_point at;
    bool tooSlow = false;
};

Outcome ChunkFailed(const AsyncResult& result, const ChunkDue& due, const wchar_t* prefix) {
    if (result.completion == Completion::TimedOut && due.tooSlow) return Fail(FailureKind::TooSlow, kTooSlow);
    return OperationFailed(result, FailureKind::BodyRead, prefix);
}

// One request on the session for `proxy`; a request that `opened` held before is
// released first, before its connection.
Outcome SendThrough(const RunContext& run, const std::wstring& proxy, const CrackedUrl& target, const wchar_t* verb,
                    const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& opened, DWORD& statusCode) {
    opened.request.reset();
    opened.connection.reset();
    const HINTERNET session = run.network.sessions.For(proxy);
    Outcome outcome = CheckHttpSession(session);
    if (outcome.ok()) outcome = OpenRequest(session, target, verb, timeoutMs, opened);
    if (outcome.ok()) outcome = Exchange(run, proxy, opened, extraHeaders, timeoutMs, statusCode);
    return outcome;
}

// A request through a proxy that got no response and never reached the proxy: the
// proxy is down or out of reach, whatever the URL's own server would have done.
bool ProxyUnreachable(const std::wstring& proxy, const HttpRequest& sent, const Outcome& outcome) {
    return !proxy.empty() && outcome.kind == FailureKind::NoHttpStatus && !ReachedServer(sent.request) &&
           IsProxyUnreachable(outcome.platformCode);
}

// One chunk of the body into the run's buffer, by the deadline: false at the body's end.
bool ReadChunk(AsyncRequest& request, RunBuffer& buffer, const CancelSignal& cancel, const ChunkDue& due,
               DWORD& read, Outcome& failure) {
    const AsyncResult available = QueryAvailable(request, cancel, due.at);
    if (available.completion != Completion::Done) {
        failure = ChunkFailed(available, due, L"WinHttpQueryDataAvailable failed: ");
        return false;
    }
    if (available.bytes == 0) return false;
    const DWORD wanted =
        available.bytes < kRunBufferSize ? available.bytes : static_cast<DWORD>(kRunBufferSize);
    const AsyncResult chunk = ReadInto(request, buffer, wanted, cancel, due.at);
    if (chunk.completion != Completion::Done) {
        failure = ChunkFailed(chunk, due, L"WinHttpReadData failed: ");
        return false;
    }
    read = chunk.bytes;
    if (read == 0) {
        failure = Fail(FailureKind::BodyRead, L"WinHttpReadData returned 0 bytes while data was available");
        return false;
    }
    return true;
}

Outcome WriteChunk(HANDLE file, const RunBuffer& buffer, DWORD length, const std::wstring& path) {
    DWORD written = 0;
    if (!WriteFile(file, buffer.data(), length, &written, nullptr)) return WriteError(path, GetLastError());
    if (written < length) return WriteError(path, ERROR_DISK_FULL);  // cut short: the disk is full
    return Success();
}

// A body must keep coming: `bytes` within `window` of the last time as many had
// come. Each KiB within 30 s of the one before it, or the body ends as a time-out of
// its mirror (it stalls, or trickles a byte now and then); each 64 KiB within 10 s,
// or it may end as too slow.
struct BodyPace {
    SteadyClock::duration window;
    int64_t bytes;
    SteadyClock::time_point windowStart = SteadyClock::now();
    int64_t windowBytes = 0;
};

SteadyClock::time_point Due(const BodyPace& pace) { return pace.windowStart + pace.window; }

void CountArrival(BodyPace& pace, DWORD bytes) {
    pace.windowBytes += bytes;
    if (pace.windowBytes < pace.bytes) return;
    pace.windowStart = SteadyClock::now();
    pace.windowBytes = 0;
}

double BytesPerSecond(int64_t bytes, SteadyClock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return static_cast<double>(bytes) / (seconds > 0.001 ? seconds : 0.001);
}

// The rate of a window that has not reached its bytes, by the time it is due.
double WindowRate(const BodyPace& pace) {
    const SteadyClock::duration elapsed = SteadyClock::now() - pace.windowStart;
    return BytesPerSecond(pace.windowBytes, elapsed > pace.window ? elapsed : pace.window);
}

// The next chunk is due when the floor says, or sooner when the crawl window ends
// first and the transfer's rule lets a body that slow end there.
ChunkDue NextChunkDue(const BodyPace& floor, const BodyPace& crawl, const SlowBodyRule* slow) {
    if (slow && Due(crawl) < Due(floor) && (*slow)(WindowRate(crawl))) return {Due(crawl), true};
    return {Due(floor), false};
}

// The body into the open file, chunk by chunk; `written` counts what reached it,
// `slowRate` is the rate of the last 10 s of a body that ended as too slow.
Outcome ReceiveBody(AsyncRequest& request, HANDLE file, const Transfer& transfer, const RunContext& run,
                    const TransferReport& report, int64_t& written, double& slowRate) {
    RunBuffer& buffer = run.buffer;
    const CancelSignal& cancel = run.cancel;
    const int64_t announced = AnnouncedEnd(request.get(), written);
    auto lastReport = std::chrono::steady_clock::now();
    BodyPace floor{kBodyWindow, kBodyWindowBytes}, crawl{kCrawlWindow, kCrawlWindowBytes};
    for (;;) {
        if (IsCancelled(cancel)) return Cancelled();
        Outcome failure;
        DWORD read = 0;
        if (!ReadChunk(request, buffer, cancel, NextChunkDue(floor, crawl, transfer.slow), read, failure)) {
            if (failure.kind == FailureKind::TooSlow) slowRate = WindowRate(crawl);
            if (!failure.ok()) return failure;
            break;
        }
        CountArrival(floor, read);
        CountArrival(crawl, read);
        CountReceived(run.progress, read);
        Outcome wrote = WriteChunk(file, buffer, read, transfer.localPath);
        if (!wrote.ok()) return wrote;
        written += read;
        // Neither an announced length nor the body's end can be trusted to come.
        if (transfer.expectedSize && written > *transfer.expectedSize)
            return SizeMismatch(*transfer.expectedSize, written);
        if (transfer.ceiling && written > transfer.ceiling->bytes)
            return Fail(FailureKind::TooLarge, transfer.ceiling->failure);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport >= kProgressInterval) {
            report(L"Downloading", written);
            lastReport = now;
        }
    }
    if (announced >= 0 && announced != written)
        return Fail(FailureKind::IncompleteBody, L"Incomplete download: got " + std::to_wstring(written) +
                                                     L" of " + std::to_wstring(announced) + L" bytes");
    if (transfer.expectedSize && *transfer.expectedSize != written)
        return SizeMismatch(*transfer.expectedSize, written);
    return Success();
}

}  // namespace

Outcome CheckHttpSession(HINTERNET session) {
    if (session) return Success();
    const DWORD code = GetLastError();
    return Fail(FailureKind::NoSession, L"WinHttpOpen failed: " + Win32ErrorText(code), code);
}

InternetHandle OpenHttpSession(const std::wstring& userAgent, const std::wstring& proxy) {
    // The bypass list has been applied already: whatever reaches a proxy's session goes through it.
    const DWORD access = proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    InternetHandle session(WinHttpOpen(userAgent.c_str(), access, proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(),
                                       WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
    RestrictTlsVersions(session);
    return session;
}

Outcome SendHttpRequest(const RunContext& run, const std::wstring& url, const wchar_t* verb,
                        const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& out, DWORD* status) {
    CrackedUrl target;
    if (!CrackUrl(url, target)) return Fail(FailureKind::InvalidUrl, L"Invalid URL: " + url);
    ProxyRouter& router = run.network.router;
    ProxyChoice choice;
    Outcome outcome = router.Choose(url, choice);
    if (!outcome.ok()) return outcome;

    HttpRequest opened;
    DWORD statusCode = 0;
    for (;;) {
        outcome = SendThrough(run, choice.server, target, verb, extraHeaders, timeoutMs, opened, statusCode);
        if (outcome.ok() || !ProxyUnreachable(choice.server, opened, outcome)) break;
        // Passed over for the rest of the run; the URL goes on with its next choice,
        // unless the host's option named this proxy and there is none after it.
        const std::wstring unreachable = choice.server;
        router.SetAside(unreachable);
        Outcome chosen = router.Choose(url, choice);
        if (!chosen.ok()) return chosen;
        if (choice.server == unreachable) break;
    }
    if (!outcome.ok()) return outcome;  // the request is released before the connection
    if (status) *status = statusCode;
    if (statusCode < 200 || statusCode > 299)
        return Fail(FailureKind::HttpStatus, L"HTTP status " + std::to_wstring(statusCode), 0, statusCode);
    out = std::move(opened);
    return Success();
}

TransferResult DownloadToFile(const RunContext& run, const Transfer& transfer, const TransferReport& report) {
    const auto started = SteadyClock::now();
    const bool resuming = transfer.resumeFrom > 0;
    HttpRequest http;
    DWORD status = 0;
    TransferResult result;
    result.outcome = SendHttpRequest(run, transfer.url, L"GET", resuming ? RangeHeader(transfer.resumeFrom) : L"",
                                     kTransferTimeoutMs, http, &status);
    if (result.outcome.ok() && resuming)
        result.outcome = PlaceOfBody(http.request.get(), status, transfer, result.writtenFrom);
    if (!result.outcome.ok()) {
        if (resuming) result.outcome = Unresumed(std::move(result.outcome));
        return result;
    }

    FileHandle file;
    result.outcome = OpenBodyFile(transfer.localPath, result.writtenFrom, file);
    if (!result.outcome.ok()) return result;

    int64_t written = result.writtenFrom;
    report(L"Downloading", written);
    double slowRate = -1;
    result.outcome = ReceiveBody(http.request, file.get(), transfer, run, report, written, slowRate);
    report(L"Verifying", written);
    result.held = written;
    result.bytesPerSecond = slowRate >= 0 ? slowRate : BytesPerSecond(written - result.writtenFrom,
                                                                       SteadyClock::now() - started);
    return result;
}

}  // namespace tolvek
