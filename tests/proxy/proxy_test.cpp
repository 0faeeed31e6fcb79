// Requests through real proxies (squid, tests/proxy.sh) to host names that only
// the proxies resolve, with the user's settings that tests/with_proxy_settings.sh
// wrote into this program's own Wine prefix, and PAC scripts served by the
// mirror server.
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

const wchar_t kAgent[] = L"TolvekProxyTest/1.0";
// A cancel is answered within 500 ms; 2 s leaves room for a loaded machine.
constexpr long long kCancelBoundMs = 2000;

struct Proxies {
    std::map<std::string, std::string> values = testing_support::FixtureValues("TOLVEK_TEST_PROXIES");
    std::wstring server(const char* port) { return L"127.0.0.1:" + Widen(values[port]); }
    std::wstring text(const char* name) { return Widen(values[name]); }
};

std::wstring MirrorPort() { return Servers().httpUrl.substr(Servers().httpUrl.rfind(L':') + 1); }
std::wstring UrlOn(const std::wstring& host, const std::wstring& path) {
    return L"http://" + host + L":" + MirrorPort() + L"/proxy/" + path;
}

std::streamoff LogSize(const std::string& log) {
    std::ifstream in(log, std::ios::ate);
    return in ? static_cast<std::streamoff>(in.tellg()) : 0;
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(Servers().root.empty()) << "the test servers are not running";
        ASSERT_FALSE(proxies.values.empty()) << "the test proxies are not running";
        CreateDirectoryW((Servers().root + L"\\proxy").c_str(), nullptr);
        for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt", L"auth-1.txt", L"auth-2.txt", L"auth-3.txt",
                                    L"auth-4.txt", L"auth-5.txt"})
            testing_support::WriteBytes(Servers().root + L"\\proxy\\" + name, "served\n");
        testing_support::ResetServer(Servers().httpUrl);
        for (const char* log : {"PROXY_LOG", "BASIC_PROXY_LOG", "NTLM_PROXY_LOG"})
            logStart[proxies.values[log]] = LogSize(proxies.values[log]);
    }
    // The lines of a squid access log that name the URL, since the test began.
    std::vector<std::string> Logged(const char* log, const std::wstring& url) {
        std::vector<std::string> lines;
        std::ifstream in(proxies.values[log]);
        in.seekg(logStart[proxies.values[log]]);
        for (std::string line; std::getline(in, line);)
            if (line.find(" " + Narrow(url) + " ") != std::string::npos) lines.push_back(line);
        return lines;
    }
    void WriteScript(const std::wstring& name, const std::string& body) {
        testing_support::WriteBytes(Servers().root + L"\\proxy\\" + name,
                                    "function FindProxyForURL(url, host) {\n" + body + "\n}\n");
    }
    // A GET of the URL through the router's choice, setting aside a proxy it cannot reach.
    Outcome Get(ProxyRouter& router, const std::wstring& url, ProxyChoice& choice) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            Outcome chosen = router.Choose(url, choice);
            if (!chosen.ok()) return chosen;
            HttpRequest request;
            Outcome got = SendHttpRequest(sessions.For(choice.server), url, L"GET", L"", 30000, never, request);
            if (got.ok() || choice.server.empty() || !IsProxyUnreachable(got.platformCode)) return got;
            router.SetAside(choice.server);
        }
        return Fail(FailureKind::Unreachable, L"no choice left");
    }
    ProxyLog Capture() {
        return [this](const std::wstring& line) { told.push_back(Narrow(line)); };
    }

    Proxies proxies;
    CancelSignal never;
    ProxySessions sessions{kAgent};
    std::vector<std::string> told;
    std::map<std::string, std::streamoff> logStart;
};

TEST_F(ProxyTest, TheUserSettingsAreReadAsWindowsKeepsThem) {
    const ProxySettings settings = ReadProxySettings();
    EXPECT_TRUE(settings.autoDetect);
    EXPECT_EQ(settings.pacUrl, testing_support::Widen(getenv("PROXY_SETTINGS_PAC")));
    EXPECT_EQ(settings.proxy, testing_support::Widen(getenv("PROXY_SETTINGS_PROXY")));
    EXPECT_EQ(settings.bypass, testing_support::Widen(getenv("PROXY_SETTINGS_BYPASS")));
    EXPECT_EQ(settings.machineProxy, L"");
}

TEST_F(ProxyTest, ANamedProxySessionReachesANameThatOnlyTheProxyResolves) {
    const std::wstring url = UrlOn(L"cdn.example.test", L"a.txt");
    HttpRequest request;
    const Outcome direct = SendHttpRequest(sessions.For(L""), url, L"GET", L"", 30000, never, request);
    EXPECT_EQ(direct.platformCode, static_cast<uint32_t>(ERROR_WINHTTP_NAME_NOT_RESOLVED)) << Narrow(direct.text);
    const Outcome proxied =
        SendHttpRequest(sessions.For(proxies.server("PROXY_PORT")), url, L"GET", L"", 30000, never, request);
    EXPECT_TRUE(proxied.ok()) << Narrow(proxied.text);
    EXPECT_EQ(Logged("PROXY_LOG", url).size(), 1u);
}

TEST_F(ProxyTest, TheUserSettingsChooseEachHostInTheirOrder) {
    const std::wstring open = proxies.server("PROXY_PORT"), dead = proxies.server("DEAD_PROXY_PORT");
    WriteScript(L"choose.pac", "if (host == \"cdn.example.test\") return \"PROXY " + Narrow(open) + "\";\n"
                               "if (host == \"mirror2.example.test\") return \"PROXY " + Narrow(dead) + "\";\n"
                               "return \"DIRECT\";");
    ProxyRouter router({}, ReadProxySettings(), never, Capture());
    const struct {
        std::wstring host;
        ProxyChoice choice;  // the one the GET went through
    } rows[] = {
        {L"cdn.example.test", {open, ProxySource::Pac}},
        {L"127.0.0.1", {L"", ProxySource::Pac}},
        // The script's dead proxy is set aside; Wine's answer holds no second choice.
        {L"mirror2.example.test", {open, ProxySource::NamedProxy}},
        {L"cdn.example.test", {open, ProxySource::Pac}},
    };
    for (const auto& row : rows) {
        ProxyChoice choice;
        const Outcome got = Get(router, UrlOn(row.host, L"b.txt"), choice);
        EXPECT_TRUE(got.ok()) << Narrow(row.host) << ": " << Narrow(got.text);
        EXPECT_EQ(choice, row.choice) << Narrow(row.host);
    }
    EXPECT_EQ(told, (std::vector<std::string>{"Proxy for cdn.example.test: " + Narrow(open) + " (PAC)",
                                              "Proxy for 127.0.0.1: direct (PAC)",
                                              "Proxy for mirror2.example.test: " + Narrow(dead) + " (PAC)",
                                              "Proxy for mirror2.example.test: " + Narrow(open) + " (named proxy)"}));
    EXPECT_EQ(Logged("PROXY_LOG", UrlOn(L"cdn.example.test", L"b.txt")).size(), 2u);
    EXPECT_EQ(Logged("PROXY_LOG", UrlOn(L"mirror2.example.test", L"b.txt")).size(), 1u);
    EXPECT_EQ(testing_support::SeenRequestsFor(Servers().httpUrl, "/proxy/b.txt").size(), 4u);
}

TEST_F(ProxyTest, TheBypassListAndTheOptionOverrideTheNamedProxy) {
    ProxySettings settings;
    settings.proxy = proxies.server("PROXY_PORT");
    settings.bypass = L"mirror3.example.test;<local>";
    ProxyRouter named({}, settings, never, Capture());
    ProxyRouter direct({ProxyMode::Direct, L""}, settings, never, Capture());
    ProxyRouter option({ProxyMode::Named, proxies.server("DEAD_PROXY_PORT")}, settings, never, Capture());
    const struct {
        ProxyRouter& router;
        std::wstring host;
        ProxyChoice choice;
    } rows[] = {
        {named, L"cdn.example.test", {settings.proxy, ProxySource::NamedProxy}},
        {named, L"mirror3.example.test", {L"", ProxySource::BypassList}},
        {direct, L"cdn.example.test", {L"", ProxySource::Option}},
        // The host named this proxy: there is nothing to go on with once it fails.
        {option, L"cdn.example.test", {proxies.server("DEAD_PROXY_PORT"), ProxySource::Option}},
    };
    for (const auto& row : rows) {
        ProxyChoice choice;
        Get(row.router, UrlOn(row.host, L"c.txt"), choice);
        EXPECT_EQ(choice, row.choice) << Narrow(row.host);
    }
    EXPECT_EQ(told.size(), 4u);
}

TEST_F(ProxyTest, A407IsAnsweredOnceWithWhatTheHostGave) {
    const bool ntlm = proxies.text("NTLM_UNAVAILABLE").empty();
    const ProxyCredentials basic{proxies.text("BASIC_USER"), proxies.text("BASIC_PASSWORD")};
    const ProxyCredentials windows{proxies.text("NTLM_USER"), proxies.text("NTLM_PASSWORD")};
    const struct {
        const char* port;
        const char* log;
        ProxyCredentials credentials;
        DWORD status;
        size_t mostLogged;  // the requests squid saw
    } rows[] = {
        {"BASIC_PROXY_PORT", "BASIC_PROXY_LOG", basic, 200, 3},
        {"BASIC_PROXY_PORT", "BASIC_PROXY_LOG", {}, 407, 1},
        {"BASIC_PROXY_PORT", "BASIC_PROXY_LOG", {basic.user, L"wrong"}, 407, 3},
        {"NTLM_PROXY_PORT", "NTLM_PROXY_LOG", windows, 200, 6},
        {"NTLM_PROXY_PORT", "NTLM_PROXY_LOG", {}, 407, 3},
    };
    int file = 0;
    for (const auto& row : rows) {
        const std::wstring url = UrlOn(L"cdn.example.test", L"auth-" + std::to_wstring(++file) + L".txt");
        if (!ntlm && std::string(row.port) == "NTLM_PROXY_PORT") {
            std::cout << "NTLM not tried: " << proxies.values["NTLM_UNAVAILABLE"] << "\n";
            continue;
        }
        InternetHandle connection(WinHttpConnect(sessions.For(proxies.server(row.port)), L"cdn.example.test",
                                                 static_cast<INTERNET_PORT>(std::stoi(MirrorPort())), 0));
        AsyncRequest request;
        ASSERT_TRUE(request.Open(connection.get(), L"GET", url.substr(url.find(L"/proxy/")), 0));
        DWORD status = 0;
        const AsyncResult sent = SendAnsweringProxy(request, L"", row.credentials, never,
                                                    Clock::now() + std::chrono::seconds(30), status);
        EXPECT_EQ(sent.completion, Completion::Done) << file;
        EXPECT_EQ(status, row.status) << file;
        const size_t logged = Logged(row.log, url).size();
        EXPECT_GE(logged, 1u) << file;
        EXPECT_LE(logged, row.mostLogged) << file;
    }
    const Outcome refused = ProxyAuthenticationRequired(L"127.0.0.1:3128");
    EXPECT_EQ(refused.kind, FailureKind::ProxyAuthentication);
    EXPECT_EQ(refused.text, L"Proxy authentication required: 127.0.0.1:3128");
}

TEST_F(ProxyTest, APacScriptThatNeverAnswersIsLeftAtTheBoundOrAtOnceOnACancel) {
    testing_support::SetRules(Servers().httpUrl, R"([{"path_glob": "/proxy/stall-*", "stall": true, "stall_seconds": 20}])");
    ProxySettings settings;
    settings.proxy = proxies.server("PROXY_PORT");
    for (const bool cancel : {true, false}) {
        settings.pacUrl = Servers().httpUrl + (cancel ? L"/proxy/stall-1.pac" : L"/proxy/stall-2.pac");
        CancelSignal signal;
        ProxyRouter router({}, settings, signal, Capture());
        std::thread canceller([&] {
            if (cancel) {
                Sleep(300);
                RaiseCancel(signal);
            }
        });
        const auto start = Clock::now();
        ProxyChoice choice;
        const Outcome chosen = router.Choose(UrlOn(L"cdn.example.test", L"a.txt"), choice);
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
