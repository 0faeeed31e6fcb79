// Requests through real proxies (squid, tools/squid_proxies.sh) to host names that
// only the proxies resolve, with the user's settings that tools/proxy_settings.py
// wrote into this program's own Wine prefix, and PAC scripts of the mirror server.
#include "http.h"
#include "proxy.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
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
    // A GET of the URL through the router's choice, setting aside a proxy it cannot reach.
    Outcome Get(ProxyRouter& router, const std::wstring& url, ProxyChoice& choice) {
        Outcome got;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!(got = router.Choose(url, choice)).ok()) return got;
            HttpRequest request;
            got = SendHttpRequest(With(sessions.For(choice.server)), url, L"GET", L"", 30000, request);
            if (got.ok() || choice.server.empty() || !IsProxyUnreachable(got.platformCode)) return got;
            router.SetAside(choice.server);
        }
        return got;
    }
    ProxyLog Capture() {
        return [this](const std::wstring& line) { told.push_back(Narrow(line)); };
    }

    std::map<std::string, std::string> proxies = testing_support::FixtureValues("TOLVEK_TEST_PROXIES");
    std::map<std::string, std::streamoff> logStart;
    CancelSignal never;
    RunBuffer buffer;
    ProgressTracker tracker;
    RunContext With(HINTERNET session) { return {session, buffer, never, tracker}; }
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

TEST_F(ProxyTest, ANamedProxySessionReachesANameThatOnlyTheProxyResolves) {
    const std::wstring url = UrlOn(L"cdn.example.test", L"named");
    HttpRequest request;
    const Outcome direct = SendHttpRequest(With(sessions.For(L"")), url, L"GET", L"", 30000, request);
    EXPECT_EQ(direct.platformCode, static_cast<uint32_t>(ERROR_WINHTTP_NAME_NOT_RESOLVED)) << Narrow(direct.text);
    const Outcome proxied = SendHttpRequest(With(sessions.For(Server("PROXY_PORT"))), url, L"GET", L"", 30000, request);
    EXPECT_TRUE(proxied.ok()) << Narrow(proxied.text);
    EXPECT_EQ(Logged("PROXY_LOG", url, 1).size(), 1u);
}

TEST_F(ProxyTest, EachHostGoesWhereTheSettingsSendItAndPastADeadProxy) {
    const std::wstring open = Server("PROXY_PORT"), dead = Server("DEAD_PROXY_PORT");
    testing_support::WriteBytes(Servers().root + L"\\proxy\\choose.pac",
                                "function FindProxyForURL(url, host) {\n"
                                "  if (host == \"cdn.example.test\") return \"PROXY " + Narrow(open) + "\";\n"
                                "  if (host == \"mirror2.example.test\") return \"PROXY " + Narrow(dead) + "\";\n"
                                "  return \"DIRECT\";\n}\n");
    ProxySettings named;
    named.proxy = open;
    named.bypass = L"mirror3.example.test;127.0.0.1;<-loopback>";
    ProxyRouter user({}, ReadProxySettings(), never, Capture()), listed({}, named, never, Capture());
    ProxyRouter direct({ProxyMode::Direct, L""}, named, never, Capture());
    ProxyRouter option({ProxyMode::Named, dead}, named, never, Capture());
    const struct {
        ProxyRouter& router;
        std::wstring host;
        ProxyChoice choice;  // the one the request went through
        bool ok;             // a request that goes direct for a name only the proxies know fails
    } rows[] = {
        {user, L"cdn.example.test", {open, ProxySource::Pac}, true},
        {user, L"127.0.0.1", {L"", ProxySource::Pac}, true},
        // Wine's answer holds the script's first proxy only: the next setting follows.
        {user, L"mirror2.example.test", {open, ProxySource::NamedProxy}, true},
        {user, L"cdn.example.test", {open, ProxySource::Pac}, true},
        {listed, L"cdn.example.test", {open, ProxySource::NamedProxy}, true},
        {listed, L"127.0.0.1", {L"", ProxySource::BypassList}, true},
        {listed, L"mirror3.example.test", {L"", ProxySource::BypassList}, false},
        {direct, L"cdn.example.test", {L"", ProxySource::Option}, false},
        // The proxy the host named has nothing after it.
        {option, L"cdn.example.test", {dead, ProxySource::Option}, false},
    };
    int tag = 0;
    for (const auto& row : rows) {
        const std::wstring url = UrlOn(row.host, L"row" + std::to_wstring(++tag));
        ProxyChoice choice;
        const Outcome got = Get(row.router, url, choice);
        EXPECT_EQ(got.ok(), row.ok) << tag << ": " << Narrow(got.text);
        EXPECT_EQ(choice, row.choice) << tag;
        const size_t expected = choice.server == open ? 1u : 0u;
        EXPECT_EQ(Logged("PROXY_LOG", url, expected).size(), expected) << tag;
    }
    const std::string o = Narrow(open), d = Narrow(dead);
    EXPECT_EQ(told, (Lines{"Proxy for cdn.example.test: " + o + " (PAC)", "Proxy for 127.0.0.1: direct (PAC)",
                           "Proxy for mirror2.example.test: " + d + " (PAC)",
                           "Proxy for mirror2.example.test: " + o + " (named proxy)",
                           "Proxy for cdn.example.test: " + o + " (named proxy)",
                           "Proxy for 127.0.0.1: direct (bypass list)",
                           "Proxy for mirror3.example.test: direct (bypass list)",
                           "Proxy for cdn.example.test: direct (option)",
                           "Proxy for cdn.example.test: " + d + " (option)"}));
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
