// Shared helpers of the test programs: scratch directories, file bytes, log
// lines, the test mirror servers and the DLL loaded as the reference host loads it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "installer_api.h"
#include "tolvek_online_installer.h"

namespace testing_support {

// A fresh, empty directory under the temporary folder (or under `parent`); removed
// at destruction.
struct ScratchDir {
    explicit ScratchDir(const std::wstring& name, const std::wstring& parent = L"");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::wstring path;
    std::wstring operator/(const std::wstring& relative) const { return path + L"\\" + relative; }
};

// Makes `path` the current directory until destruction.
struct CurrentDirectory {
    explicit CurrentDirectory(const std::wstring& path);
    ~CurrentDirectory();
    wchar_t previous[MAX_PATH] = {};
};

// The directory of the running test program, where the build puts the programs.
std::wstring ProgramDirectory();

std::string ReadBytes(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
// A file of `size` zero bytes that takes no room on disk (sparse).
void CreateSparseFile(const std::wstring& path, int64_t size);
// The file's size and its last write time (100 ns units); -1 when they cannot be read.
int64_t FileSize(const std::wstring& path);
int64_t LastWriteTime(const std::wstring& path);
// Upper-case SHA-256 of the bytes, computed independently of the engine.
std::string Sha256Hex(const std::string& bytes);

// One log line: its stamp as seconds since 1601 (0 when malformed) and its text.
struct LogLine {
    long long seconds = 0;
    std::string message;
};
// Log lines with their timestamps checked and split off; a malformed stamp fails
// the current test and keeps the whole line as the message.
std::vector<LogLine> StampedLog(const std::wstring& logPath);
// The messages of StampedLog, without their stamps.
std::vector<std::string> LogMessages(const std::wstring& logPath);

std::string Narrow(const std::wstring& text);  // UTF-8
std::wstring Widen(const std::string& text);   // from UTF-8

// A path of the Linux side as Wine shows it (drive Z:).
std::wstring WindowsPathOf(const std::string& unixPath);
// The Linux path in the environment variable `name`, as WindowsPathOf gives it;
// empty when the variable is not set.
std::wstring PathFromEnvironment(const char* name);

// The NAME=VALUE lines of the fixture's file that the environment variable names
// (quotes around a value left out); empty when it is not set.
std::map<std::string, std::string> FixtureValues(const char* variable);

// The mirror servers started by the test fixture (tests/servers.sh).
struct TestServers {
    std::wstring root;       // the served directory, as a Windows path
    std::wstring httpUrl;    // http://127.0.0.1:PORT
    std::wstring httpsUrl;   // https://127.0.0.1:PORT (test CA trusted)
    std::wstring untrustedUrl;  // https://127.0.0.1:PORT with an untrusted certificate
    std::wstring expiredUrl;    // https://127.0.0.1:PORT, test CA, certificate expired in 2020
    std::wstring wrongHostUrl;  // https://127.0.0.1:PORT, test CA, certificate for another host
    // "1.0" to "1.3" -> https://127.0.0.1:PORT of openssl s_server with that TLS version alone
    std::map<std::string, std::wstring> tlsOnlyUrl;
    std::wstring refusedUrl; // http://127.0.0.1:PORT where nothing listens
    // http:// and https://127.0.0.1:PORT of a peer that accepts connections and
    // never sends a byte (tools/silent_server.py)
    std::wstring silentUrl, silentTlsUrl;
    // http://127.0.0.1:PORT where a connection attempt is never completed
    std::wstring unacceptedUrl;
};
// Reads the fixture's file (written by tests/servers.sh); root is empty without it.
const TestServers& Servers();

// The 2 MiB tmpfs of the test fixture (tests/small_disk.sh) as a Windows path;
// empty when TOLVEK_SMALL_DISK is not set.
std::wstring SmallDisk();
// The platform's words for a full disk, as the engine appends them to a write error.
bool IsDiskFullText(const std::wstring& reason);

// The control interface of a mirror server (base URL without trailing slash).
void SetRules(const std::wstring& serverUrl, const std::string& rulesJson);
void ResetServer(const std::wstring& serverUrl);
// The requests the server saw since the last reset, as its JSON text.
std::string RecordedRequests(const std::wstring& serverUrl);
// The server's counts (a JSON object) for the requests below `prefix`.
std::string ServerStats(const std::wstring& serverUrl, const std::string& prefix);
// The body bytes the server sent for each request since the last reset, in order.
std::vector<long long> SentBytes(const std::wstring& serverUrl);
// One request a server saw since its last reset: verb, target as sent, Range header
// (empty when none), the status it answered (0 when none) and the body bytes it sent.
struct SeenRequest {
    std::string method, path, range;
    int status = 0;
    long long sent = 0;
};
std::vector<SeenRequest> SeenRequests(const std::wstring& serverUrl);
// The requests whose target ends with `suffix`, in order.
std::vector<SeenRequest> SeenRequestsFor(const std::wstring& serverUrl, const std::string& suffix);
// The server's openssl signature of a file it serves (`path` as requested, e.g.
// "/product/manifest.json") with the P-256 key of that name, made on first use:
// both in base64, the signature of its DER, the key of its DER SubjectPublicKeyInfo.
struct ServerSignature {
    std::string signature;
    std::string publicKey;
};
ServerSignature SignServedFile(const std::wstring& serverUrl, const std::string& path, const std::string& keyName);
// A plain GET to the server, returning the status (0 on a transport failure).
int HttpGetStatus(const std::wstring& url);

// Room for a loaded machine on top of a time-out; a hang lasts minutes.
constexpr long long kTimeOutMarginMs = 5000;
// A wait ended by a time-out: not before it (less a second for clock and stamp
// granularity), and not more than the margin after it.
void ExpectEndedAtTimeOut(long long tookMs, long long timeoutMs);

// The DLL beside the test program, loaded by the reference host's loader
// (host/installer_api): LoadLibraryW with its full path, every export through
// GetProcAddress. A session still open at destruction is shut down first.
struct InstallerDll : tolvek_host::InstallerApi {
    // A copy of the engine under another name is a second engine, with a session of its own.
    explicit InstallerDll(const std::wstring& path = tolvek_host::EngineBesideThisProgram());
    ~InstallerDll();
    bool loaded = false;
    std::wstring loadError;  // why it is not loaded

    // Polls until the run is done (fails the test after `timeoutMs`).
    bool WaitDone(DWORD timeoutMs = 120000) const;
    // Result code and message; code -2 when none could be read.
    std::pair<int32_t, std::wstring> Result() const;
};
// One process-wide instance shared by the interface tests.
InstallerDll& Dll();

// An option of the DLL's later runs for as long as this lives, then its default.
// A test of one file after another sets `parallel` to 1.
struct ScopedOption {
    ScopedOption(const wchar_t* name, const wchar_t* value) : name(name) { Dll().SetOption(name, value); }
    ~ScopedOption() { Dll().SetOption(name, L""); }
    ScopedOption(const ScopedOption&) = delete;
    ScopedOption& operator=(const ScopedOption&) = delete;
    const wchar_t* name;
};

// The four directories of one install started through the DLL.
struct InstallDirs {
    explicit InstallDirs(const std::wstring& name) : dir(name) {}
    ScratchDir dir;
    std::wstring target() const { return dir / L"target"; }
    std::wstring log() const { return dir / L"logs\\install.log"; }
    std::wstring work() const { return dir / L"work"; }
    int32_t Start(const std::wstring& urls) const {
        return Dll().Start(urls.c_str(), target().c_str(), log().c_str(), work().c_str());
    }
    int32_t StartVerified(const std::wstring& urls, const std::wstring& keys) const {
        return Dll().StartVerified(urls.c_str(), target().c_str(), log().c_str(), work().c_str(), keys.c_str());
    }
};

}  // namespace testing_support
