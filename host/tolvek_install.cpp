// tolvek-install: the reference host. It drives tolvek_online_installer.dll the
// way a setup program does and shows the progress on the console.
//
//   tolvek-install [--trust KEYS] [--option NAME=VALUE]... <manifest-url-list> <target-dir>
//                  [log-path] [working-dir]
// --proxy VALUE, --proxy-user NAME and --proxy-password TEXT are options like --option.
//
// Exit codes: 0 installed, 1 failed or cancelled, 2 usage error or unusable DLL.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "installer_api.h"
#include "progress_view.h"
#include "text_output.h"

namespace tolvek_host {

namespace {

constexpr int kExitInstalled = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr DWORD kPollIntervalMs = 100;
// The end of the run (or a Ctrl+C) is noticed this soon, between two redraws.
constexpr DWORD kDoneCheckMs = 10;
// Windows ends the process a few seconds after a close event's handler returns;
// waiting this long lets a cancelled run remove its temporary file first.
constexpr DWORD kCloseGraceMs = 4500;
constexpr int32_t kResultCapacity = 1024;

// In the temporary directory, never in the target: the engine refuses a key naming the log.
constexpr wchar_t kDefaultLogName[] = L"tolvek-install.log";
constexpr wchar_t kUsage[] =
    L"usage: tolvek-install [--trust KEYS] [--option NAME=VALUE]... <manifest-url-list> <target-dir>\n"
    L"                      [log-path] [working-dir]\n"
    L"\n"
    L"Installs the product described by the manifest into <target-dir>.\n"
    L"  --trust KEYS       accept only a manifest signed by one of these public keys\n"
    L"                     (\"|\"-separated, each the base64 of a DER P-256 key as\n"
    L"                     openssl pkey -pubout -outform DER | base64 -w0 prints it)\n"
    L"  --option NAME=VALUE  an engine option (repeatable): parallel=1..16,\n"
    L"                     proxy=system|direct|http://host:port, proxy_user=NAME,\n"
    L"                     proxy_password=TEXT, links=refuse|follow\n"
    L"  --proxy VALUE      --option proxy=VALUE: system (the user's proxy settings,\n"
    L"                     the default), direct, or http://host:port\n"
    L"  --proxy-user NAME, --proxy-password TEXT\n"
    L"                     --option proxy_user=NAME and proxy_password=TEXT: for a\n"
    L"                     proxy that asks for credentials\n"
    L"  manifest-url-list  http:// or https:// URLs of the manifest, separated by \"|\";\n"
    L"                     the later ones are fallbacks\n"
    L"  target-dir         where the files go; created when missing\n"
    L"  log-path           the install log (default: tolvek-install.log in the\n"
    L"                     temporary directory)\n"
    L"  working-dir        where the manifest is downloaded (default: a new folder in\n"
    L"                     the temporary directory, removed afterwards)\n"
    L"An empty log-path or working-dir argument selects the default.\n"
    L"Ctrl+C cancels the install.\n"
    L"Exit codes: 0 installed, 1 failed or cancelled, 2 usage error or unusable DLL.\n";

struct Arguments {
    std::wstring manifestUrls;
    std::wstring targetDirectory;
    std::wstring logPath;
    std::wstring workingDirectory;
    bool ownWorkingDirectory = false;  // the default one, removed afterwards
    bool verified = false;             // --trust given: the verified start
    std::wstring trustedKeys;
    std::vector<std::pair<std::wstring, std::wstring>> options;  // --option NAME=VALUE, in order
};

constexpr wchar_t kTrustOption[] = L"--trust";
constexpr wchar_t kEngineOption[] = L"--option";
// The engine options that have a spelled-out form of their own: --proxy VALUE is --option proxy=VALUE.
const wchar_t* const kSpelledOptions[][2] = {
    {L"--proxy", L"proxy"}, {L"--proxy-user", L"proxy_user"}, {L"--proxy-password", L"proxy_password"}};

// The engine option that `flag` spells out; null for any other argument.
const wchar_t* SpelledOption(const std::wstring& flag) {
    for (const auto& spelled : kSpelledOptions)
        if (flag == spelled[0]) return spelled[1];
    return nullptr;
}

// The names of the public failure kinds, in their numbers' order.
const wchar_t* const kKindNames[] = {
    L"NONE",         L"CANCELLED",           L"TARGET_BUSY",       L"INVALID_ARGUMENT",    L"MANIFEST_UNREACHABLE",
    L"MANIFEST_INVALID", L"MANIFEST_UNTRUSTED", L"MANIFEST_EXPIRED", L"ENTRY_REFUSED", L"MIRRORS_UNREACHABLE",
    L"FILE_UNAVAILABLE", L"FILE_CORRUPT",    L"NOT_ENOUGH_SPACE",  L"DISK_FULL",           L"ACCESS_DENIED",
    L"PROXY_AUTHENTICATION", L"TLS",         L"MANIFEST_OLDER",    L"INTERNAL"};

std::wstring KindName(int32_t kind) {
    const int32_t known = static_cast<int32_t>(sizeof kKindNames / sizeof kKindNames[0]);
    return kind >= 0 && kind < known ? kKindNames[kind] : L"KIND_" + std::to_wstring(kind);
}

// Set by the console control handler; the polling loop turns it into a cancel.
std::atomic<bool> g_cancelRequested{false};
HANDLE g_finished = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) {
    g_cancelRequested = true;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
    // Close, logoff, shutdown: the process ends when this returns.
    if (g_finished) WaitForSingleObject(g_finished, kCloseGraceMs);
    return FALSE;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

// Checks every non-empty "|"-separated piece; empty text when the list is usable.
std::wstring CheckManifestUrls(const std::wstring& list) {
    size_t urls = 0;
    size_t begin = 0;
    while (begin <= list.size()) {
        size_t end = list.find(L'|', begin);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring url = list.substr(begin, end - begin);
        if (!url.empty()) {
            if (!StartsWithNoCase(url, L"http://") && !StartsWithNoCase(url, L"https://"))
                return L"not an http:// or https:// URL: " + url;
            ++urls;
        }
        begin = end + 1;
    }
    return urls ? std::wstring() : L"no manifest URL given";
}

std::wstring FullPathOf(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    if (!directory.empty() && (directory.back() == L'\\' || directory.back() == L'/')) return directory + name;
    return directory + L"\\" + name;
}

std::wstring TempDirectory() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

std::wstring DefaultWorkingDirectory() {
    return JoinPath(TempDirectory(), L"tolvek-install-" + std::to_wstring(GetCurrentProcessId()));
}

// Empty text when the arguments are usable, else what is wrong with them.
std::wstring ParseArguments(std::vector<std::wstring> args, Arguments& out) {
    // The keys and the options are checked by the engine, which names what it cannot use.
    while (!args.empty() && (args[0] == kTrustOption || args[0] == kEngineOption || SpelledOption(args[0]))) {
        if (args.size() < 2) {
            if (SpelledOption(args[0])) return args[0] + L" needs a value";
            return args[0] == kTrustOption ? L"--trust needs a list of keys" : L"--option needs NAME=VALUE";
        }
        if (args[0] == kTrustOption) {
            out.verified = true;
            out.trustedKeys = args[1];
        } else if (const wchar_t* name = SpelledOption(args[0])) {
            out.options.emplace_back(name, args[1]);
        } else {
            const size_t equals = args[1].find(L'=');
            if (equals == std::wstring::npos) return L"--option needs NAME=VALUE, got " + args[1];
            out.options.emplace_back(args[1].substr(0, equals), args[1].substr(equals + 1));
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() < 2 || args.size() > 4)
        return L"expected 2 to 4 arguments, got " + std::to_wstring(args.size());
    for (const std::wstring& arg : args)
        if (!arg.empty() && arg[0] == L'-') return L"unknown option: " + arg;
    const std::wstring urlProblem = CheckManifestUrls(args[0]);
    if (!urlProblem.empty()) return urlProblem;
    if (args[1].empty()) return L"the target directory is empty";

    out.manifestUrls = args[0];
    out.targetDirectory = FullPathOf(args[1]);
    const bool hasLog = args.size() > 2 && !args[2].empty();
    out.logPath = hasLog ? FullPathOf(args[2]) : JoinPath(TempDirectory(), kDefaultLogName);
    out.ownWorkingDirectory = args.size() < 4 || args[3].empty();
    out.workingDirectory = out.ownWorkingDirectory ? DefaultWorkingDirectory() : FullPathOf(args[3]);
    return std::wstring();
}

bool IsHelpRequest(const std::vector<std::wstring>& args) {
    return args.size() == 1 && (args[0] == L"-h" || args[0] == L"--help" || args[0] == L"/?");
}

// Up to one poll interval, ended early by the end of the run or a Ctrl+C: a setup
// program that waits a whole interval after the end makes every install look slower.
void WaitForNextPoll(const InstallerApi& api, bool cancelSent) {
    for (DWORD waited = 0; waited < kPollIntervalMs; waited += kDoneCheckMs) {
        if (api.IsDone() || (g_cancelRequested && !cancelSent)) return;
        Sleep(kDoneCheckMs);
    }
}

// Polls until the run has ended, turning a Ctrl+C into one cancel request.
void FollowRun(const InstallerApi& api, ProgressView& view) {
    TolvekProgressRecord record{};
    bool cancelSent = false;
    for (;;) {
        const bool done = api.IsDone() != 0;
        if (api.GetProgress(&record)) view.Show(record);
        if (done) break;
        if (g_cancelRequested && !cancelSent) {
            api.Cancel();
            cancelSent = true;
            view.Note(L"Cancelling...");
        }
        WaitForNextPoll(api, cancelSent);
    }
    view.Finish();
}

// "Detail: kind=NAME platform=N http=S files=D/T skipped=K bytes=D/T received=R".
std::wstring DetailLine(const InstallerApi& api) {
    TolvekInstallDetail detail{};
    detail.size = sizeof detail;
    if (!api.GetDetail(&detail)) return std::wstring();
    return L"Detail: kind=" + KindName(detail.kind) + L" platform=" + std::to_wstring(detail.platformError) +
           L" http=" + std::to_wstring(detail.httpStatus) + L" files=" + std::to_wstring(detail.filesDone) + L"/" +
           std::to_wstring(detail.filesTotal) + L" skipped=" + std::to_wstring(detail.filesSkipped) +
           L" bytes=" + std::to_wstring(detail.bytesDone) + L"/" + std::to_wstring(detail.bytesTotal) +
           L" received=" + std::to_wstring(detail.bytesReceived) + L"\n";
}

int Install(const Arguments& args, const TextOutput& out, const TextOutput& err) {
    InstallerApi api;
    std::wstring error;
    if (!api.Load(EngineBesideThisProgram(), error)) {
        err.Write(L"tolvek-install: " + error + L"\n");
        return kExitUsage;
    }
    if (args.verified && !api.StartVerified) {
        err.Write(L"tolvek-install: the DLL lacks the export StartOnlineInstallVerified (needed by --trust)\n");
        return kExitUsage;
    }
    if (!args.options.empty() && !api.SetOption) {
        err.Write(L"tolvek-install: the DLL lacks the export SetOnlineInstallOption (needed by --option)\n");
        return kExitUsage;
    }
    for (const auto& [name, value] : args.options) {
        if (!api.SetOption(name.c_str(), value.c_str())) {
            err.Write(L"tolvek-install: the engine does not take the option " + name + L"=" + value + L"\n");
            return kExitUsage;
        }
    }
    out.Write(L"Manifest: " + args.manifestUrls + L"\nTarget:   " + args.targetDirectory + L"\nLog:      " +
              args.logPath + L"\n");

    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const int32_t started =
        args.verified ? api.StartVerified(args.manifestUrls.c_str(), args.targetDirectory.c_str(),
                                          args.logPath.c_str(), args.workingDirectory.c_str(),
                                          args.trustedKeys.c_str())
                      : api.Start(args.manifestUrls.c_str(), args.targetDirectory.c_str(), args.logPath.c_str(),
                                  args.workingDirectory.c_str());
    if (!started) {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        err.Write(L"tolvek-install: the DLL did not start an install session\n");
        return kExitFailed;
    }
    ProgressView view(out);
    FollowRun(api, view);

    int32_t code = -1;
    std::vector<wchar_t> message(kResultCapacity, L'\0');
    if (!api.GetResult(&code, message.data(), kResultCapacity)) code = -1;
    api.Shutdown();
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    // Removed only when the run left it empty, as it does.
    if (args.ownWorkingDirectory) RemoveDirectoryW(args.workingDirectory.c_str());

    if (api.GetDetail) out.Write(DetailLine(api));
    out.Write(L"Result: " + std::to_wstring(code) + L" " + message.data() + L"\n");
    return code == TOLVEK_RESULT_OK ? kExitInstalled : kExitFailed;
}

}  // namespace

int Main(const std::vector<std::wstring>& args) {
    const TextOutput out(STD_OUTPUT_HANDLE);
    const TextOutput err(STD_ERROR_HANDLE);
    if (IsHelpRequest(args)) {
        out.Write(kUsage);
        return kExitInstalled;
    }
    Arguments parsed;
    const std::wstring problem = ParseArguments(args, parsed);
    if (!problem.empty()) {
        err.Write(L"tolvek-install: " + problem + L"\n\n" + kUsage);
        return kExitUsage;
    }
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const int exitCode = Install(parsed, out, err);
    if (g_finished) SetEvent(g_finished);
    return exitCode;
}

}  // namespace tolvek_host

int wmain(int argc, wchar_t** argv) {
    return tolvek_host::Main(std::vector<std::wstring>(argv + 1, argv + argc));
}
