#include "test_support.h"

#include <gtest/gtest.h>
#include <winhttp.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace testing_support {

namespace {

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

ScratchDir::ScratchDir(const std::wstring& name, const std::wstring& parent) {
    static int counter = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring under = parent.empty() ? std::wstring(temp) : parent + L"\\";
    path = under + L"tolvek_tests_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++counter) + L"_" + name;
    RemoveTree(path);
    CreateDirectoryW(path.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(path); }

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring program(path, length);
    return program.substr(0, program.find_last_of(L'\\'));
}

CurrentDirectory::CurrentDirectory(const std::wstring& path) {
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(path.c_str());
}

CurrentDirectory::~CurrentDirectory() { SetCurrentDirectoryW(previous); }

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void CreateSparseFile(const std::wstring& path, int64_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD returned = 0;
    const bool sparse = DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sparse) << Narrow(path);
    ASSERT_TRUE(sized) << Narrow(path);
}

int64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

int64_t LastWriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                data.ftLastWriteTime.dwLowDateTime);
}

std::string Sha256Hex(const std::string& bytes) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string message = bytes;
    const uint64_t bitLength = static_cast<uint64_t>(bytes.size()) * 8;
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56) message.push_back('\0');
    for (int i = 7; i >= 0; --i) message.push_back(static_cast<char>(bitLength >> (i * 8)));
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const auto* p = reinterpret_cast<const unsigned char*>(message.data() + block + 4 * i);
            w[i] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    char text[65];
    for (int i = 0; i < 8; ++i) std::snprintf(text + 8 * i, 9, "%08X", h[i]);
    return std::string(text, 64);
}

std::vector<LogLine> StampedLog(const std::wstring& logPath) {
    std::vector<LogLine> lines;
    const std::string text = ReadBytes(logPath);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "log line without CR LF at its end";
        if (end == std::string::npos) break;
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        int y, mo, d, h, mi, s;
        char close = 0, blank = 0;
        const bool stamped = line.size() >= 22 &&
                             std::sscanf(line.c_str(), "[%4d-%2d-%2d %2d:%2d:%2d%c%c", &y, &mo, &d, &h,
                                         &mi, &s, &close, &blank) == 8 &&
                             close == ']' && blank == ' ' && line[5] == '-' && line[20] == ']';
        EXPECT_TRUE(stamped) << "malformed timestamp: " << line;
        LogLine entry{0, stamped ? line.substr(22) : line};
        const SYSTEMTIME time = {static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d),
                                 static_cast<WORD>(h), static_cast<WORD>(mi), static_cast<WORD>(s), 0};
        FILETIME stamp;
        if (stamped && SystemTimeToFileTime(&time, &stamp))
            entry.seconds = (static_cast<long long>(stamp.dwHighDateTime) << 32 | stamp.dwLowDateTime) / 10000000;
        lines.push_back(std::move(entry));
    }
    return lines;
}

std::vector<std::string> LogMessages(const std::wstring& logPath) {
    std::vector<std::string> messages;
    for (LogLine& line : StampedLog(logPath)) messages.push_back(std::move(line.message));
    return messages;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::wstring WindowsPathOf(const std::string& unixPath) {
    std::wstring path = L"Z:" + Widen(unixPath);
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::wstring PathFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? WindowsPathOf(value) : std::wstring();
}

std::map<std::string, std::string> FixtureValues(const char* variable) {
    std::map<std::string, std::string> values;
    const std::wstring file = PathFromEnvironment(variable);
    std::ifstream in(Narrow(file));
    std::string line;
    while (!file.empty() && std::getline(in, line)) {
        const size_t eq = line.find('=');
        std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (eq != std::string::npos) values[line.substr(0, eq)] = value;
    }
    return values;
}

const TestServers& Servers() {
    static TestServers servers = [] {
        TestServers result;
        std::map<std::string, std::string> values = FixtureValues("TOLVEK_TEST_SERVERS");
        if (values.empty()) return result;
        if (values.count("ROOT")) result.root = WindowsPathOf(values["ROOT"]);
        result.httpUrl = L"http://127.0.0.1:" + Widen(values["HTTP_PORT"]);
        result.httpsUrl = L"https://127.0.0.1:" + Widen(values["HTTPS_PORT"]);
        result.untrustedUrl = L"https://127.0.0.1:" + Widen(values["UNTRUSTED_PORT"]);
        result.expiredUrl = L"https://127.0.0.1:" + Widen(values["EXPIRED_PORT"]);
        result.wrongHostUrl = L"https://127.0.0.1:" + Widen(values["WRONGHOST_PORT"]);
        result.refusedUrl = L"http://127.0.0.1:" + Widen(values["REFUSED_PORT"]);
        for (const char* version : {"1.0", "1.1", "1.2", "1.3"})
            result.tlsOnlyUrl[version] = L"https://127.0.0.1:" + Widen(values[std::string("TLS1_") + version[2] + "_PORT"]);
        result.silentUrl = L"http://127.0.0.1:" + Widen(values["SILENT_PORT"]);
        result.silentTlsUrl = L"https://127.0.0.1:" + Widen(values["SILENT_PORT"]);
        result.unacceptedUrl = L"http://127.0.0.1:" + Widen(values["UNACCEPTED_PORT"]);
        return result;
    }();
    return servers;
}

namespace {

// One request to a test server with WinHTTP, returning status and body.
int Request(const std::wstring& url, const wchar_t* verb, const std::string& body, std::string* response) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return 0;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring object = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                                std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    int status = 0;
    HINTERNET session = WinHttpOpen(L"tolvek-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host.c_str(), parts.nPort, 0) : nullptr;
    HINTERNET request = connection ? WinHttpOpenRequest(connection, verb, object.c_str(), nullptr, nullptr, nullptr,
                                                        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                                   : nullptr;
    if (request &&
        WinHttpSendRequest(request, L"Content-Type: application/json\r\n", static_cast<DWORD>(-1),
                           const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                           static_cast<DWORD>(body.size()), 0) &&
        WinHttpReceiveResponse(request, nullptr)) {
        DWORD code = 0, size = sizeof code;
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &code, &size, nullptr);
        status = static_cast<int>(code);
        DWORD available = 0;
        while (response && WinHttpQueryDataAvailable(request, &available) && available > 0) {
            std::string chunk(available, '\0');
            DWORD read = 0;
            if (!WinHttpReadData(request, &chunk[0], available, &read) || read == 0) break;
            response->append(chunk.data(), read);
        }
    }
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
    return status;
}

}  // namespace

void SetRules(const std::wstring& serverUrl, const std::string& rulesJson) {
    ASSERT_EQ(Request(serverUrl + L"/__control/rules", L"POST", rulesJson, nullptr), 200) << rulesJson;
}

void ResetServer(const std::wstring& serverUrl) {
    ASSERT_EQ(Request(serverUrl + L"/__control/reset", L"POST", "{}", nullptr), 200);
}

std::string RecordedRequests(const std::wstring& serverUrl) {
    std::string body;
    EXPECT_EQ(Request(serverUrl + L"/__control/requests", L"GET", "", &body), 200);
    return body;
}

std::string ServerStats(const std::wstring& serverUrl, const std::string& prefix) {
    std::string body;
    EXPECT_EQ(Request(serverUrl + L"/__control/stats?prefix=" + Widen(prefix), L"GET", "", &body), 200);
    return body;
}

std::wstring SmallDisk() { return PathFromEnvironment("TOLVEK_SMALL_DISK"); }

bool IsDiskFullText(const std::wstring& reason) {
    for (DWORD code : {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}) {
        wchar_t text[512] = {};
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                            code, 0, text, 512, nullptr);
        std::wstring expected(text, length);
        while (!expected.empty() && (expected.back() == L'\n' || expected.back() == L'\r' || expected.back() == L' '))
            expected.pop_back();
        if (!expected.empty() && reason == expected) return true;
    }
    return false;
}

std::vector<long long> SentBytes(const std::wstring& serverUrl) {
    const std::string json = RecordedRequests(serverUrl);
    const std::string key = "\"sent\": ";
    std::vector<long long> sent;
    for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1))
        sent.push_back(std::atoll(json.c_str() + at + key.size()));
    return sent;
}

namespace {

// The text of `"key": "value"` (or of a bare number) in one request's JSON, from `at`.
std::string JsonField(const std::string& json, const std::string& key, size_t from, size_t to) {
    const std::string name = "\"" + key + "\": ";
    const size_t at = json.find(name, from);
    if (at == std::string::npos || at >= to) return std::string();
    size_t start = at + name.size();
    if (json.compare(start, 4, "null") == 0) return std::string();
    const bool quoted = json[start] == '"';
    if (quoted) ++start;
    const size_t end = quoted ? json.find('"', start) : json.find_first_of(",\n}", start);
    return json.substr(start, end - start);
}

}  // namespace

std::vector<SeenRequest> SeenRequests(const std::wstring& serverUrl) {
    const std::string json = RecordedRequests(serverUrl);
    const std::string marker = "\"method\": ";
    std::vector<SeenRequest> seen;
    for (size_t at = json.find(marker); at != std::string::npos;) {
        const size_t next = json.find(marker, at + 1);
        const size_t end = next == std::string::npos ? json.size() : next;
        SeenRequest request;
        request.method = JsonField(json, "method", at, end);
        request.path = JsonField(json, "path", at, end);
        request.range = JsonField(json, "range", at, end);
        request.status = std::atoi(JsonField(json, "status", at, end).c_str());
        request.sent = std::atoll(JsonField(json, "sent", at, end).c_str());
        seen.push_back(request);
        at = next;
    }
    return seen;
}

std::vector<SeenRequest> SeenRequestsFor(const std::wstring& serverUrl, const std::string& suffix) {
    std::vector<SeenRequest> matching;
    for (const SeenRequest& request : SeenRequests(serverUrl))
        if (request.path.size() >= suffix.size() &&
            request.path.compare(request.path.size() - suffix.size(), suffix.size(), suffix) == 0)
            matching.push_back(request);
    return matching;
}

int HttpGetStatus(const std::wstring& url) { return Request(url, L"GET", "", nullptr); }

namespace {

// The string member `name` of a flat JSON answer whose strings need no escapes.
std::string StringMember(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\": \"";
    const size_t at = json.find(key);
    if (at == std::string::npos) return std::string();
    const size_t start = at + key.size();
    return json.substr(start, json.find('"', start) - start);
}

}  // namespace

ServerSignature SignServedFile(const std::wstring& serverUrl, const std::string& path, const std::string& keyName) {
    std::string answer;
    const std::string request = "{\"path\": \"" + path + "\", \"key\": \"" + keyName + "\"}";
    EXPECT_EQ(Request(serverUrl + L"/__control/sign", L"POST", request, &answer), 200) << request << answer;
    return {StringMember(answer, "signature"), StringMember(answer, "public_key")};
}

void ExpectEndedAtTimeOut(long long tookMs, long long timeoutMs) {
    EXPECT_GE(tookMs, timeoutMs - 1000);
    EXPECT_LE(tookMs, timeoutMs + kTimeOutMarginMs);
}

InstallerDll::InstallerDll(const std::wstring& path) {
    loaded = Load(path, loadError);
    // The reference host takes the verified start as optional; the engine under test has it.
    if (loaded && !StartVerified) {
        loaded = false;
        loadError = L"the DLL lacks the export StartOnlineInstallVerified";
    }
}

InstallerDll::~InstallerDll() {
    if (loaded) Shutdown();
}

bool InstallerDll::WaitDone(DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!IsDone()) {
        if (GetTickCount64() > deadline) {
            ADD_FAILURE() << "the run did not end within " << timeoutMs << " ms";
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::pair<int32_t, std::wstring> InstallerDll::Result() const {
    int32_t code = -2;
    wchar_t message[1024] = {};
    if (!GetResult(&code, message, 1024)) return {-2, L""};
    return {code, message};
}

InstallerDll& Dll() {
    static InstallerDll dll;
    return dll;
}

}  // namespace testing_support
