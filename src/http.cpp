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
constexpr size_t kBufferSize = kRunBufferSize;
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

// The failure text of a WinHTTP call whose code was read before any handle closed.
std::wstring CallFailed(const wchar_t* call, DWORD code) {
    return std::wstring(call) + L" failed: " + HttpErrorText(code);
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

std::wstring SizeMismatch(int64_t expectedSize, int64_t written) {
    return L"Size mismatch after download: expected " + std::to_wstring(expectedSize) + L", got " +
           std::to_wstring(written);
}

// "Write error for file: " + path + " (" + the platform's reason + ")".
std::wstring WriteError(const std::wstring& path, DWORD code) {
    return kWriteError + path + L" (" + Win32ErrorText(code) + L")";
}

}  // namespace

bool Contains(const std::wstring& text, const std::wstring& piece) {
    return text.find(piece) != std::wstring::npos;
}

bool EndsWholeDownload(const std::wstring& failure) {
    return Contains(failure, kCancelledByUser) || failure.compare(0, kWriteError.size(), kWriteError) == 0;
}

void PauseBeforeRetry(const std::atomic<bool>* cancelFlag) {
    if (!IsCancelled(cancelFlag)) Sleep(kRetryPauseMs);
}

std::wstring AttemptOfLimit(int attempt) {
    return std::to_wstring(attempt) + L"/" + std::to_wstring(kAttemptsPerTarget);
}

bool CheckHttpSession(HINTERNET session, std::wstring* errorText) {
    if (session) return true;
    SetError(errorText, L"WinHttpOpen failed: " + Win32ErrorText(0));
    return false;
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

bool SendHttpRequest(HINTERNET session, const std::wstring& url, const wchar_t* verb,
                     const std::wstring& extraHeaders, DWORD timeoutMs, HttpRequest& out,
                     DWORD* status, std::wstring* errorText) {
    if (!CheckHttpSession(session, errorText)) return false;
    CrackedUrl target;
    if (!CrackUrl(url, target)) {
        SetError(errorText, L"Invalid URL: " + url);
        return false;
    }

    HttpRequest opened;
    opened.connection.reset(WinHttpConnect(session, target.host.c_str(), target.port, 0));
    if (!opened.connection) {
        SetError(errorText, CallFailed(L"WinHttpConnect", GetLastError()));
        return false;
    }
    opened.request.reset(WinHttpOpenRequest(opened.connection.get(), verb, target.object.c_str(),
                                            nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!opened.request) {
        const DWORD code = GetLastError();
        opened.connection.reset();
        SetError(errorText, CallFailed(L"WinHttpOpenRequest", code));
        return false;
    }
    WinHttpSetTimeouts(opened.request.get(), static_cast<int>(timeoutMs), static_cast<int>(timeoutMs),
                       static_cast<int>(timeoutMs), static_cast<int>(timeoutMs));
    // Without this some WinHTTP implementations wait far past the receive
    // time-out for the response headers of a server that never answers.
    DWORD headerTimeout = timeoutMs;
    WinHttpSetOption(opened.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeout,
                     sizeof headerTimeout);

    std::wstring headers = extraHeaders;
    if (!headers.empty() && headers.back() != L'\n') headers += L"\r\n";
    headers += kNoCacheHeader;
    if (!WinHttpSendRequest(opened.request.get(), headers.c_str(), static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(opened.request.get(), nullptr)) {
        const DWORD code = GetLastError();
        opened.request.reset();
        opened.connection.reset();
        SetError(errorText, kHttpRequestFailed + HttpErrorText(code));
        return false;
    }

    DWORD statusCode = 0;
    DWORD size = sizeof statusCode;
    if (!WinHttpQueryHeaders(opened.request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        const DWORD code = GetLastError();
        opened.request.reset();
        opened.connection.reset();
        SetError(errorText, CallFailed(L"WinHttpQueryHeaders", code));
        return false;
    }
    if (status) *status = statusCode;
    if (statusCode < 200 || statusCode > 299) {
        SetError(errorText, kHttpStatus + std::to_wstring(statusCode));
        return false;
    }
    out = std::move(opened);
    return true;
}

bool DownloadToFile(HINTERNET session, const std::wstring& url, const std::wstring& localPath,
                    const ProgressTracker& tracker, const std::wstring& itemLabel,
                    int32_t fileNumber, int32_t fileCount, int64_t expectedSize,
                    const std::atomic<bool>* cancelFlag, std::wstring* errorText,
                    const SizeCeiling* ceiling) {
    RunBuffer buffer(cancelFlag);
    return DownloadToFile(session, url, localPath, tracker, itemLabel, fileNumber, fileCount,
                          expectedSize, buffer, errorText, ceiling);
}

bool DownloadToFile(HINTERNET session, const std::wstring& url, const std::wstring& localPath,
                    const ProgressTracker& tracker, const std::wstring& itemLabel,
                    int32_t fileNumber, int32_t fileCount, int64_t expectedSize,
                    RunBuffer& runBuffer, std::wstring* errorText, const SizeCeiling* ceiling) {
    const std::atomic<bool>* cancelFlag = runBuffer.cancelFlag;
    HttpRequest http;
    if (!SendHttpRequest(session, url, L"GET", L"", kTransferTimeoutMs, http, nullptr, errorText))
        return false;
    const int64_t announced = AnnouncedLength(http.request.get());

    FileHandle file(CreateFileW(localPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        SetError(errorText, L"Cannot create file: " + localPath);
        return false;
    }

    const int64_t reportedTotal = expectedSize > 0 ? expectedSize : 0;
    auto report = [&](const wchar_t* status, int64_t done) {
        ReportProgress(tracker, status, itemLabel, fileNumber, fileCount, done, reportedTotal);
    };
    const HeapBlock& buffer = runBuffer.block;
    int64_t written = 0;
    auto lastReport = std::chrono::steady_clock::now();
    report(L"Downloading", 0);

    std::wstring failure;
    bool complete = false;
    if (IsCancelled(cancelFlag)) failure = kCancelledByUser;
    while (failure.empty() && !complete) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(http.request.get(), &available)) {
            failure = L"WinHttpQueryDataAvailable failed: " + HttpErrorText(0);
            break;
        }
        if (available == 0) {
            complete = true;
            break;
        }
        const DWORD wanted = available < kBufferSize ? available : static_cast<DWORD>(kBufferSize);
        DWORD read = 0;
        if (!WinHttpReadData(http.request.get(), buffer.get(), wanted, &read)) {
            failure = L"WinHttpReadData failed: " + HttpErrorText(0);
            break;
        }
        if (read == 0) {
            failure = L"WinHttpReadData returned 0 bytes while data was available";
            break;
        }
        DWORD chunkWritten = 0;
        if (!WriteFile(file.get(), buffer.get(), read, &chunkWritten, nullptr)) {
            failure = WriteError(localPath, GetLastError());
            break;
        }
        if (chunkWritten < read) {  // a write cut short: the disk is full
            failure = WriteError(localPath, ERROR_DISK_FULL);
            break;
        }
        written += read;
        // Neither an announced length nor the body's end can be trusted to come.
        if (expectedSize >= 1 && written > expectedSize) {
            failure = SizeMismatch(expectedSize, written);
            break;
        }
        if (ceiling && written > ceiling->bytes) {
            failure = ceiling->failure;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReport >= kProgressInterval) {
            report(L"Downloading", written);
            lastReport = now;
        }
        if (IsCancelled(cancelFlag)) failure = kCancelledByUser;
    }

    if (complete) {
        if (announced >= 0 && announced != written)
            failure = L"Incomplete download: got " + std::to_wstring(written) + L" of " +
                      std::to_wstring(announced) + L" bytes";
        else if (expectedSize >= 1 && expectedSize != written)
            failure = SizeMismatch(expectedSize, written);
    }

    report(L"Verifying", written);
    file.reset();
    http.request.reset();
    http.connection.reset();
    if (failure.empty()) return true;
    DeleteFileIfExists(localPath);
    SetError(errorText, failure);
    return false;
}

}  // namespace tolvek
