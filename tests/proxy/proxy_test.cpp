// Requests through real proxies (squid, tools/squid_proxies.sh) to host names that
// only the proxies resolve, with the user's settings that tools/proxy_settings.py
// wrote into this program's own Wine prefix, and PAC scripts of the mirror server.
#include "http.h"
#include "proxy.h"

#include "product.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

namespace tolvek {
void PrintTo(const ProxyChoice& choice, std::ostream* out) {
    *out << testing_support::Narrow(ProxyChoiceLine(L"host", choice));
}
}  // namespace tolvek

namespace {

using namespace tolvek;
using testing_support::Narrow;
using testing_support::Servers;
using testing_support::Widen;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// A cancel is answered within 500 ms; 2 s leaves room for a loaded machine.
constexpr long long kCancelBoundMs = 2000;

std::wstring MirrorPort() { return Servers().httpUrl.substr(Servers().httpUrl.rfind(L':') + 1); }
// The one file the tests fetch, on a host, the query naming the request in squid's logs.
std::wstring UrlOn(const std::wstring& host, const std::wstring& tag) {
    return L"http://" + host + L":" + MirrorPort() + L"/proxy/a.txt?" + tag;
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
        ASSERT_FALSE(proxies.empty()) << "the test proxies are not running";
        CreateDirectoryW((Servers().root + L"\\proxy").c_str(), nullptr);
        testing_support::WriteBytes(Servers().root + L"\\proxy\\a.txt", "served\n");
        testing_support::ResetServer(Servers().httpUrl);
        for (const char* log : {"PROXY_LOG", "BASIC_PROXY_LOG", "NTLM_PROXY_LOG"})
            logStart[log] = std::ifstream(proxies[log], std::ios::ate).tellg();
    }
    std::wstring Server(const char* port) { return L"127.0.0.1:" + Widen(proxies[port]); }
    // The lines of a squid access log, since the test began, that name the URL; squid
    // writes a line as its transaction ends, so up to 2 s are given for `expected` of them.
    Lines Logged(const char* log, const std::wstring& url, size_t expected = 0) {
        Lines lines;
        for (int wait = 0; wait < 20; ++wait, Sleep(100)) {
            lines.clear();
            std::ifstream in(proxies[log]);
            in.seekg(std::max<std::streamoff>(logStart[log], 0));
            for (std::string line; std::getline(in, line);)
                if (line.find(" " + Narrow(url) + " ") != std::string::npos) lines.push_back(line);
            if (lines.size() >= expected) break;
        }
        return lines;
    }
    ProxyLog Capture() {
        return [this](const std::wstring& line) { told.push_back(Narrow(line)); };
    }

    std::map<std::string, std::string> proxies = testing_support::FixtureValues("TOLVEK_TEST_PROXIES");
    std::map<std::string, std::streamoff> logStart;
    CancelSignal never;
    ProxySessions sessions{L"TolvekProxyTest/1.0"};
    Lines told;
};

TEST_F(ProxyTest, TheUserSettingsAreReadAsWindowsKeepsThem) {
    const ProxySettings settings = ReadProxySettings();
    EXPECT_EQ(settings.autoDetect, std::string(getenv("PROXY_SETTINGS_AUTO_DETECT")) == "1");
    EXPECT_EQ(settings.pacUrl, Widen(getenv("PROXY_SETTINGS_PAC")));
    EXPECT_EQ(settings.proxy, Widen(getenv("PROXY_SETTINGS_PROXY")));
    EXPECT_EQ(settings.bypass, Widen(getenv("PROXY_SETTINGS_BYPASS")));
    EXPECT_EQ(settings.machineProxy, L"");
}

TEST_F(ProxyTest, A407IsAnsweredWithWhatTheHostGaveAtMostTwice) {
    const std::wstring user = Widen(proxies["BASIC_USER"]), password = Widen(proxies["BASIC_PASSWORD"]);
    const struct {
        const char* proxy;
        ProxyCredentials credentials;
        DWORD status;
        size_t mostLogged;  // squid's lines for the request, the legs of NTLM's handshake among them
    } rows[] = {
        {"BASIC_PROXY", {user, password}, 200, 3},
        {"BASIC_PROXY", {}, 407, 1},  // nothing to answer with: sent once
        {"BASIC_PROXY", {user, L"wrong"}, 407, 3},
        {"NTLM_PROXY", {Widen(proxies["NTLM_USER"]), Widen(proxies["NTLM_PASSWORD"])}, 200, 6},
        {"NTLM_PROXY", {}, 407, 3},  // the logged-on user, whom this proxy does not know
    };
    int tag = 0;
    for (const auto& row : rows) {
        const std::wstring url = UrlOn(L"cdn.example.test", L"auth" + std::to_wstring(++tag));
        const std::string proxy = row.proxy;
        if (proxies[proxy + "_PORT"].empty()) {
            std::cout << "not tried, " << proxy << ": " << proxies["NTLM_UNAVAILABLE"] << "\n";
            continue;
        }
        const InternetHandle connection(WinHttpConnect(sessions.For(Server((proxy + "_PORT").c_str())),
                                                       L"cdn.example.test", std::stoi(MirrorPort()), 0));
        AsyncRequest request;
        ASSERT_TRUE(request.Open(connection.get(), L"GET", url.substr(url.find(L"/proxy/")), 0));
        DWORD status = 0;
        const AsyncResult sent = SendAnsweringProxy(request, L"", row.credentials, never,
                                                    Clock::now() + std::chrono::seconds(30), status);
        EXPECT_EQ(sent.completion, Completion::Done) << tag;
        EXPECT_EQ(status, row.status) << tag;
        const size_t logged = Logged((proxy + "_LOG").c_str(), url, 1).size();
        EXPECT_TRUE(logged >= 1 && logged <= row.mostLogged) << tag << ": " << logged;
    }
}

// The user's settings for the LAN connection as Windows keeps them (tools/proxy_settings.py):
// version, counter, flags, then the proxy, the bypass list and the PAC URL, each after
// its length, and 32 bytes of the last detection.
void WriteUserSettings(const std::string& proxy, const std::string& bypass, const std::string& pac) {
    std::string blob;
    const auto add = [&blob](DWORD value) { blob.append(reinterpret_cast<const char*>(&value), sizeof value); };
    add(0x46), add(GetTickCount()), add(1 | (proxy.empty() ? 0 : 2) | (pac.empty() ? 0 : 4));
    for (const std::string* text : {&proxy, &bypass, &pac}) add(static_cast<DWORD>(text->size())), blob += *text;
    blob.append(32, '\0');
    EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\"
                              L"Connections", L"DefaultConnectionSettings", REG_BINARY, blob.data(), blob.size()), 0);
}

// The choices a log tells, "; "-separated, host by host: the mirrors are probed at
// once, so their lines come in either order; one host's stay in the order tried.
std::string ByHost(const std::string& told) {
    const std::regex separator("; ");
    Lines choices(std::sregex_token_iterator(told.begin(), told.end(), separator, -1), std::sregex_token_iterator());
    const auto host = [](const std::string& choice) { return choice.substr(0, choice.find(' ')); };
    std::stable_sort(choices.begin(), choices.end(), [&](const auto& a, const auto& b) { return host(a) < host(b); });
    std::string joined;
    for (const std::string& choice : choices) joined += (joined.empty() ? "" : "; ") + choice;
    return joined;
}

// Whole installs through the DLL, manifest and mirrors named by names that only the
// proxies resolve: the row's user settings or options send each request, the log
// tells each choice ("Proxy for " and ".example.test:" left out here), squid logs it.
TEST_F(ProxyTest, InstallsGoWhereTheSettingsAndOptionsSendEachRequest) {
    testing_support::SetRules(Servers().httpUrl, R"([{"path_glob": "/proxy/never*", "stall": true, "stall_seconds": 20}])");
    const std::string o = Narrow(Server("PROXY_PORT")), d = Narrow(Server("DEAD_PROXY_PORT"));
    const std::string b = Narrow(Server("BASIC_PROXY_PORT")), n = Narrow(Server("NTLM_PROXY_PORT"));
    const std::string scripts = Narrow(Servers().httpUrl) + "/proxy/", bypass = "mirror3.example.test;<local>";
    testing_support::WriteBytes(Servers().root + L"\\proxy\\route.pac",
                                "function FindProxyForURL(url, host) {\n  return host == 'mirror3.example.test' ? 'DIRECT'"
                                " : 'PROXY ' + (host == 'manifest.example.test' ? '" + d + "' : '" + o + "');\n}\n");
    const auto all = [](const std::string& via) { return "manifest " + via + "; mirror3 " + via + "; cdn " + via; };
    const struct {
        const wchar_t* name;
        std::string proxy, bypass, pac, option, user, password;  // the user's settings, the host's options
        int32_t kind;
        const char* log;  // the proxy that the manifest's requests reach
        size_t sends;     // the most squid logs for the manifest; 0: none
        std::string told;
    } rows[] = {
        {L"named", o, bypass, "", "", "", "", TOLVEK_KIND_NONE, "PROXY_LOG", 1,
         "manifest " + o + " (named proxy); mirror3 direct (bypass list); cdn " + o + " (named proxy)"},
        // The first proxy of the script's answer is dead: the next setting follows.
        {L"pac", o, "", scripts + "route.pac", "", "", "", TOLVEK_KIND_NONE, "PROXY_LOG", 1, "manifest " + d +
         " (PAC); manifest " + o + " (named proxy); mirror3 direct (PAC); cdn " + o + " (PAC)"},
        {L"basic", "", "", "", "http://" + b, proxies["BASIC_USER"], proxies["BASIC_PASSWORD"], TOLVEK_KIND_NONE,
         "BASIC_PROXY_LOG", 3, all(b + " (option)")},
        {L"nocredentials", "", "", "", "http://" + b, "", "", TOLVEK_KIND_PROXY_AUTHENTICATION, "BASIC_PROXY_LOG", 1,
         "manifest " + b + " (option)"},
        {L"ntlm", "", "", "", "http://" + n, proxies["NTLM_USER"], proxies["NTLM_PASSWORD"], TOLVEK_KIND_NONE,
         "NTLM_PROXY_LOG", 6, all(n + " (option)")},
        {L"direct", o, "", "", "direct", "", "", TOLVEK_KIND_MANIFEST_UNREACHABLE, "PROXY_LOG", 0,
         "manifest direct (option)"},
        {L"deadoption", "", "", "", "http://" + d, "", "", TOLVEK_KIND_MANIFEST_UNREACHABLE, "PROXY_LOG", 0,
         "manifest " + d + " (option)"},
        // The script never comes; the host cancels 300 ms after the start.
        {L"cancel", o, "", scripts + "never.pac", "", "", "", TOLVEK_KIND_CANCELLED, "PROXY_LOG", 0, ""},
    };
    const auto on = [](const std::wstring& host) { return L"http://" + host + L".example.test:" + MirrorPort(); };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.name));
        if (row.log == std::string("NTLM_PROXY_LOG") && proxies["NTLM_PROXY_PORT"].empty()) {
            std::cout << "not tried, NTLM: " << proxies["NTLM_UNAVAILABLE"] << "\n";
            continue;
        }
        testing_support::Product product(std::wstring(L"px-") + row.name);
        const std::wstring manifest = product.ManifestUrl(on(L"manifest"));
        const std::wstring bypassed = product.MirrorUrl(on(L"mirror3"), L"m");
        product.Publish({{L"a.bin", "through\n"}}, {L"m"}, {bypassed, product.MirrorUrl(on(L"cdn"), L"m")});
        WriteUserSettings(row.proxy, row.bypass, row.pac);
        for (const auto& [name, value] : {std::pair{L"proxy", row.option}, {L"proxy_user", row.user},
                                          {L"proxy_password", row.password}})
            ASSERT_EQ(testing_support::Dll().SetOption(name, Widen(value).c_str()), 1);
        const testing_support::InstallDirs dirs(std::wstring(L"px-") + row.name);
        const auto start = Clock::now();
        ASSERT_EQ(dirs.Start(manifest), 1);
        if (row.kind == TOLVEK_KIND_CANCELLED) Sleep(300), testing_support::Dll().Cancel();
        EXPECT_TRUE(testing_support::Dll().WaitDone());
        EXPECT_TRUE(row.kind != TOLVEK_KIND_CANCELLED || Clock::now() - start < std::chrono::milliseconds(300 + kCancelBoundMs));
        TolvekInstallDetail detail = {};
        detail.size = sizeof detail;
        testing_support::Dll().GetDetail(&detail);
        const std::wstring text = testing_support::Dll().Result().second;
        testing_support::Dll().Shutdown();

        EXPECT_EQ(detail.kind, row.kind) << Narrow(text);
        if (row.kind == TOLVEK_KIND_PROXY_AUTHENTICATION) {
            EXPECT_EQ(Narrow(text), "Proxy authentication required: " + b);
        }
        const size_t sends = Logged(row.log, manifest, row.sends ? 1 : 0).size();
        EXPECT_TRUE(row.sends ? sends >= 1 && sends <= row.sends : sends == 0) << sends;
        if (row.told.find("mirror3 direct") != std::string::npos) {
            EXPECT_EQ(Logged("PROXY_LOG", bypassed + L"/a.bin").size(), 0u);
        }
        std::string told;
        for (const std::string& line : testing_support::LogMessages(dirs.log()))
            if (line.rfind("Proxy for ", 0) == 0) told += (told.empty() ? "" : "; ") + line.substr(10);
        EXPECT_EQ(ByHost(std::regex_replace(told, std::regex("\\.example\\.test:"), "")), ByHost(row.told));
        const std::string log = testing_support::ReadBytes(dirs.log());
        for (const std::string& secret : {row.user, row.password})
            EXPECT_TRUE(secret.empty() || log.find(secret) == std::string::npos) << "the log names " << secret;
    }
}

TEST_F(ProxyTest, APacScriptThatNeverComesIsLeftAtTheBoundOrAtOnceOnACancel) {
    testing_support::SetRules(Servers().httpUrl, R"([{"path_glob": "/proxy/stall-*", "stall": true, "stall_seconds": 20}])");
    ProxySettings settings;
    settings.proxy = Server("PROXY_PORT");
    for (const bool cancel : {true, false}) {
        settings.pacUrl = Servers().httpUrl + (cancel ? L"/proxy/stall-1.pac" : L"/proxy/stall-2.pac");
        CancelSignal signal;
        ProxyRouter router({}, settings, signal, Capture());
        std::thread canceller([&] {
            if (cancel) Sleep(300), RaiseCancel(signal);
        });
        const auto start = Clock::now();
        ProxyChoice choice;
        const Outcome chosen = router.Choose(UrlOn(L"cdn.example.test", L"stall"), choice);
        const long long tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        canceller.join();
        if (cancel) {
            EXPECT_EQ(chosen.kind, FailureKind::Cancelled);
            EXPECT_LT(tookMs, 300 + kCancelBoundMs);
        } else {
            EXPECT_EQ(choice, (ProxyChoice{settings.proxy, ProxySource::NamedProxy}));
            testing_support::ExpectEndedAtTimeOut(tookMs, kProxyDiscoveryTimeoutMs);
        }
    }
}

}  // namespace
