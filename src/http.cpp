#include "http.h"

#include "support.h"

#include <chrono>
#include <cstdio>
#include <cwchar>

namespace tolvek {

namespace {

constexpr DWORD kWinHttpTimeout = 12002;  // ERROR_WINHTTP_TIMEOUT
constexpr DWORD kWinHttpFirst = 12000, kWinHttpLast = 12175;
constexpr DWORD kNeutralLanguage = 0x0400;
constexpr DWORD kTransferTimeoutMs = 30000;
constexpr auto kProgressInterval = std::chrono::milliseconds(250);
const wchar_t kNoCacheHeader[] = L"Cache-Control: no-cache\r\n";

std::wstring TrimLineEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

// The message of `code` from one message table; false when the table has none.
bool FormatFromTable(DWORD flags, HMODULE source, DWORD code, std::wstring& text) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(flags, source, code, kNeutralLanguage,
                                        reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    const LocalBlock owner(buffer);
    if (length == 0 || !buffer) return false;
    text = TrimLineEnd(std::wstring(buffer, length));
    return true;
}

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
    const long long length = std::wcstoll(text, nullptr, 10);
    return length < 0 ? -1 : length;
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

// The connection and the request, not yet sent.
Outcome OpenRequest(HINTERNET session, const CrackedUrl& target, const wchar_t* verb,
                    DWORD timeoutMs, HttpRequest& opened) {
    opened.connection.reset(WinHttpConnect(session, target.host.c_str(), target.port, 0));
    if (!opened.connection)
        return CallFailed(FailureKind::PlatformCall, L"WinHttpConnect", GetLastError());
    opened.request.reset(WinHttpOpenRequest(opened.connection.get(), verb, target.object.c_str(),
                                            nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!opened.request) {
        const DWORD code = GetLastError();
        opened.connection.reset();
        return CallFailed(FailureKind::PlatformCall, L"WinHttpOpenRequest", code);
    }
    const int timeout = static_cast<int>(timeoutMs);
    WinHttpSetTimeouts(opened.request.get(), timeout, timeout, timeout, timeout);
    // Without this some WinHTTP implementations wait far past the receive
    // time-out for the response headers of a server that never answers.
    DWORD headerTimeout = timeoutMs;
    WinHttpSetOption(opened.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeout,
                     sizeof headerTimeout);
    return Success();
}

// Sends the request and reads the status of its response.
Outcome Exchange(HttpRequest& opened, const std::wstring& extraHeaders, DWORD& statusCode) {
    std::wstring headers = extraHeaders;
    if (!headers.empty() && headers.back() != L'\n') headers += L"\r\n";
    headers += kNoCacheHeader;
    if (!WinHttpSendRequest(opened.request.get(), headers.c_str(), static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(opened.request.get(), nullptr)) {
        const DWORD code = GetLastError();
        return Fail(FailureKind::NoHttpStatus, L"HTTP request failed: " + HttpErrorText(code), code);
    }
    DWORD size = sizeof statusCode;
    if (!WinHttpQueryHeaders(opened.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return CallFailed(FailureKind::PlatformCall, L"WinHttpQueryHeaders", GetLastError());
    return Success();
}

// One chunk of the body into the run's buffer: false at the body's end.
bool ReadChunk(HINTERNET request, RunBuffer& buffer, DWORD& read, Outcome& failure) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) {
        failure = CallFailed(FailureKind::BodyRead, L"WinHttpQueryDataAvailable", GetLastError());
        return false;
    }
    if (available == 0) return false;
    const DWORD wanted = available < kRunBufferSize ? available : static_cast<DWORD>(kRunBufferSize);
    read = 0;
    if (!WinHttpReadData(request, buffer.data(), wanted, &read)) {
        failure = CallFailed(FailureKind::BodyRead, L"WinHttpReadData", GetLastError());
        return false;
    }
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

// The body into the open file, chunk by chunk; `written` counts what reached it.
Outcome ReceiveBody(HINTERNET request, HANDLE file, const Transfer& transfer, RunBuffer& buffer,
                    const CancelSignal& cancel, const TransferReport& report, int64_t& written) {
    const int64_t announced = AnnouncedLength(request);
    auto lastReport = std::chrono::steady_clock::now();
    for (;;) {
        if (IsCancelled(cancel)) return Cancelled();
        Outcome failure;
        DWORD read = 0;
        if (!ReadChunk(request, buffer, read, failure)) {
            if (!failure.ok()) return failure;
            break;
        }
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

std::wstring Win32ErrorText(DWORD code) {
    if (code == 0) code = GetLastError();
    if (code == 0) return std::wstring();
    if (code == kWinHttpTimeout) return L"The operation timed out";

    std::wstring text;
    if (code >= kWinHttpFirst && code <= kWinHttpLast) {
        const HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
        if (winhttp &&
            FormatFromTable(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS |
                                FORMAT_MESSAGE_ALLOCATE_BUFFER,
                            winhttp, code, text) &&
            !text.empty())
            return text;
    }
    if (FormatFromTable(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                        nullptr, code, text))
        return text;
    wchar_t fallback[32] = {};
    swprintf(fallback, 32, L"Win32 error %lu", static_cast<unsigned long>(code));
    return fallback;
}

std::wstring HttpErrorText(DWORD code) {
    if (code == 0) code = GetLastError();
    if (code == kWinHttpTimeout) return L"timeout";
    const std::wstring text = Win32ErrorText(code);
    if (!text.empty()) return text;
    return L"Win32 error " + std::to_wstring(code);
}

Outcome SendHttpRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                        const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& out,
                        DWORD* status) {
    Outcome checked = CheckHttpSession(session);
    if (!checked.ok()) return checked;
    CrackedUrl target;
    if (!CrackUrl(url, target)) return Fail(FailureKind::InvalidUrl, L"Invalid URL: " + url);

    HttpRequest opened;
    Outcome outcome = OpenRequest(session, target, verb, timeoutMs, opened);
    DWORD statusCode = 0;
    if (outcome.ok()) outcome = Exchange(opened, extraHeaders, statusCode);
    if (!outcome.ok()) return outcome;  // the request is released before the connection
    if (status) *status = statusCode;
    if (statusCode < 200 || statusCode > 299)
        return Fail(FailureKind::HttpStatus, L"HTTP status " + std::to_wstring(statusCode), 0, statusCode);
    out = std::move(opened);
    return Success();
}

Outcome DownloadToFile(HINTERNET session, const Transfer& transfer, RunBuffer& buffer,
                       const CancelSignal& cancel, const TransferReport& report) {
    HttpRequest http;
    Outcome sent = SendHttpRequest(session, transfer.url, L"GET", L"", kTransferTimeoutMs, http);
    if (!sent.ok()) return sent;

    FileHandle file(CreateFileW(transfer.localPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return LocalFailure(FailureKind::CannotCreateFile, L"Cannot create file: ", transfer.localPath,
                            GetLastError());

    int64_t written = 0;
    report(L"Downloading", 0);
    Outcome received = ReceiveBody(http.request.get(), file.get(), transfer, buffer, cancel, report, written);
    report(L"Verifying", written);
    file.reset();
    http.request.reset();
    http.connection.reset();
    if (!received.ok()) DeleteFileIfExists(transfer.localPath);
    return received;
}

}  // namespace tolvek
