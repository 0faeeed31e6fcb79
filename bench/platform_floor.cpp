// platform_floor: for each file of a list, the platform calls that installing it the
// way the engine's file stage does cannot do without, and nothing else, timed. It
// does not link the engine: it is the floor the engine is measured against.
//
//   platform_floor install <list> <base-url> <target-dir> <log-file>
//       per file: the directory chain, the "Processing key" line, the check of the
//       destination (one attribute query; a digest when it is there with the right
//       size), the "Downloading" line, a GET on one kept-alive WinHTTP connection read
//       into the temporary file, the size and a CNG SHA-256 of it, the move with
//       write-through, the digest again, the "Installed" line. Every log line opens
//       the log (FILE_APPEND_DATA, OPEN_ALWAYS), appends and closes it.
//   platform_floor hash <list> <target-dir>
//       per file only the size and the digest of the installed file (every file
//       already valid, as for a resumed install).
//
// <list>: UTF-8 lines "key<TAB>size<TAB>SHA-256 in upper-case hex"; keys use "/".
// Every transfer and digest reads into one 1 MiB buffer, zero-filled once; the CNG
// provider and the hash object are made once. Prints
//
//   RESULT floor_seconds <seconds> s
//   RESULT floor_files <count> files
//
// and ends with 1 and a message on the first failure.
#include "handles.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using tolvek::FileHandle;
using tolvek::HeapBlock;
using tolvek::InternetHandle;

constexpr DWORD kBlock = 1048576;
constexpr DWORD kTimeoutMs = 30000;
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

[[noreturn]] void Fail(const std::wstring& what) {
    std::fwprintf(stderr, L"platform_floor: %ls (error %lu)\n", what.c_str(), GetLastError());
    std::exit(1);
}

struct ListedFile {
    std::wstring key;
    int64_t size = 0;
    std::wstring hash;
};

std::wstring FromUtf8(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::vector<ListedFile> ReadList(const std::wstring& path) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail(L"cannot open the list " + path);
    std::string text;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0) text.append(chunk, read);

    std::vector<ListedFile> files;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const size_t tab1 = line.find('\t'), tab2 = line.rfind('\t');
        if (line.empty()) continue;
        if (tab1 == std::string::npos || tab2 == tab1) Fail(L"a list line without three fields");
        files.push_back({FromUtf8(line.substr(0, tab1)), std::strtoll(line.c_str() + tab1 + 1, nullptr, 10),
                         FromUtf8(line.substr(tab2 + 1))});
    }
    return files;
}

// ---- the log: one open, append and close per line -----------------------------------

void AppendLine(const std::wstring& logPath, const std::wstring& message) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t stamp[32];
    swprintf(stamp, 32, L"[%04d-%02d-%02d %02d:%02d:%02d] ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    const std::wstring line = stamp + message + L"\r\n";
    const FileHandle file(CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail(L"cannot open the log");
    char bytes[4096];
    const int length = WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), bytes,
                                           sizeof bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file.get(), bytes, static_cast<DWORD>(length), &written, nullptr);
}

// ---- directories ---------------------------------------------------------------------

std::wstring Parent(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last);
}

// One attribute query when the directory is there; otherwise the missing part of
// the chain is created from the top down.
void EnsureDirectory(const std::wstring& path) {
    if (path.empty() || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    EnsureDirectory(Parent(path));
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        Fail(L"cannot create " + path);
}

// ---- SHA-256: the provider and the hash object once, a hash per digest -----------------

struct Sha256 {
    Sha256() {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            Fail(L"no SHA-256 provider");
        algorithm.reset(handle);
        DWORD length = 0;
        ULONG written = 0;
        BCryptGetProperty(handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&length), sizeof length,
                          &written, 0);
        objectLength = length;
        object = tolvek::AllocateZeroed(length);
    }
    tolvek::AlgorithmHandle algorithm;
    DWORD objectLength = 0;
    HeapBlock object;
};

// The size (from the open handle) and the digest of the file, compared with the list.
bool MatchesListed(const std::wstring& path, const ListedFile& listed, Sha256& sha, void* buffer) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart != listed.size) return false;

    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(sha.algorithm.get(), &handle, static_cast<PUCHAR>(sha.object.get()),
                                         sha.objectLength, nullptr, 0, 0)))
        Fail(L"cannot create a hash");
    const tolvek::HashHandle hash(handle);
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, kBlock, &read, nullptr) && read > 0)
        BCryptHashData(hash.get(), static_cast<PUCHAR>(buffer), read, 0);
    unsigned char digest[32];
    BCryptFinishHash(hash.get(), digest, sizeof digest, 0);

    static const wchar_t kHex[] = L"0123456789ABCDEF";
    wchar_t text[65];
    for (int i = 0; i < 32; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    text[64] = L'\0';
    return listed.hash == text;
}

// ---- the transfer: one session, one connection, a request per file --------------------

struct Connection {
    explicit Connection(const std::wstring& baseUrl) {
        URL_COMPONENTS parts = {};
        parts.dwStructSize = sizeof parts;
        parts.dwHostNameLength = parts.dwUrlPathLength = static_cast<DWORD>(-1);
        if (!WinHttpCrackUrl(baseUrl.c_str(), 0, 0, &parts)) Fail(L"cannot crack " + baseUrl);
        basePath.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
        while (!basePath.empty() && basePath.back() == L'/') basePath.pop_back();
        session.reset(WinHttpOpen(L"platform_floor", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        connection.reset(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
        if (!connection) Fail(L"cannot connect");
    }
    InternetHandle session;
    InternetHandle connection;
    std::wstring basePath;
};

void Get(Connection& http, const std::wstring& key, const std::wstring& localPath, void* buffer) {
    const std::wstring object = http.basePath + L"/" + key;
    const InternetHandle request(WinHttpOpenRequest(http.connection.get(), L"GET", object.c_str(), nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    if (!request) Fail(L"cannot open a request");
    WinHttpSetTimeouts(request.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    DWORD headerTimeout = kTimeoutMs;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headerTimeout, sizeof headerTimeout);
    if (!WinHttpSendRequest(request.get(), L"Cache-Control: no-cache\r\n", static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        Fail(L"request failed: " + object);
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status < 200 || status > 299) Fail(L"HTTP status for " + object);
    wchar_t lengthText[64] = {};
    size = sizeof lengthText;
    const bool announced = WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                                               WINHTTP_HEADER_NAME_BY_INDEX, lengthText, &size,
                                               WINHTTP_NO_HEADER_INDEX);

    const FileHandle file(CreateFileW(localPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail(L"cannot create " + localPath);
    int64_t total = 0;
    for (;;) {
        DWORD available = 0, read = 0, written = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) Fail(L"reading failed: " + object);
        if (available == 0) break;
        if (!WinHttpReadData(request.get(), buffer, available < kBlock ? available : kBlock, &read) || read == 0)
            Fail(L"reading failed: " + object);
        if (!WriteFile(file.get(), buffer, read, &written, nullptr) || written != read)
            Fail(L"cannot write " + localPath);
        total += read;
    }
    if (announced && _wtoi64(lengthText) != total) Fail(L"incomplete: " + object);
}

// ---- the two modes -----------------------------------------------------------------------

std::wstring Destination(const std::wstring& target, const ListedFile& file) { return target + L"\\" + file.key; }

void Install(const std::vector<ListedFile>& files, const std::wstring& baseUrl, const std::wstring& target,
             const std::wstring& logPath) {
    Connection http(baseUrl);
    Sha256 sha;
    const HeapBlock buffer = tolvek::AllocateZeroed(kBlock);
    const std::wstring count = std::to_wstring(files.size());
    size_t number = 0;
    for (const ListedFile& file : files) {
        const std::wstring destination = Destination(target, file);
        EnsureDirectory(Parent(destination));
        AppendLine(logPath, L"[" + std::to_wstring(++number) + L"/" + count + L"] Processing key: " + file.key);
        WIN32_FILE_ATTRIBUTE_DATA existing;
        if (GetFileAttributesExW(destination.c_str(), GetFileExInfoStandard, &existing) &&
            MatchesListed(destination, file, sha, buffer.get()))
            continue;
        const std::wstring temporary = destination + L".download";
        AppendLine(logPath, L"Downloading [CDN 1/1, attempt 1/3]: " + baseUrl + L"/" + file.key);
        Get(http, file.key, temporary, buffer.get());
        if (!MatchesListed(temporary, file, sha, buffer.get())) Fail(L"wrong download: " + file.key);
        if (!MoveFileExW(temporary.c_str(), destination.c_str(), kMoveFlags)) Fail(L"cannot move " + temporary);
        if (!MatchesListed(destination, file, sha, buffer.get())) Fail(L"wrong after the move: " + file.key);
        AppendLine(logPath, L"Installed: " + file.key);
    }
}

void HashOnly(const std::vector<ListedFile>& files, const std::wstring& target) {
    Sha256 sha;
    const HeapBlock buffer = tolvek::AllocateZeroed(kBlock);
    for (const ListedFile& file : files)
        if (!MatchesListed(Destination(target, file), file, sha, buffer.get())) Fail(L"not valid: " + file.key);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    const bool install = args.size() == 5 && args[0] == L"install";
    const bool hash = args.size() == 3 && args[0] == L"hash";
    if (!install && !hash) Fail(L"usage: see the comment at the top of the source");

    const auto start = std::chrono::steady_clock::now();
    const std::vector<ListedFile> files = ReadList(args[1]);
    if (install)
        Install(files, args[2], args[3], args[4]);
    else
        HashOnly(files, args[2]);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("RESULT floor_seconds %.6g s\nRESULT floor_files %zu files\n", seconds, files.size());
    return 0;
}
