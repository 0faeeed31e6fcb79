// Proxies: the proxy each request of a run goes through, chosen once per host in
// the order the host's option and the user's settings give and told in the log;
// proxies that cannot be reached set aside for the rest of the run; the run's
// WinHTTP sessions, one per proxy it uses; and the answers to a proxy's 407.
//
// One session per proxy rather than a proxy set on each request: WinHTTP takes a
// request's WINHTTP_OPTION_PROXY on Windows, but Wine ignores it (the request
// silently goes direct), while a proxy named when the session opens works on both.
#pragma once

#include "failure.h"
#include "handles.h"
#include "http_request.h"
#include "proxy_rules.h"
#include "cancel.h"
#include "log.h"
#include "support.h"

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tolvek {

// The current user's proxy settings, as Windows keeps them for the LAN connection
// (the Internet Options dialog), and WinHTTP's machine-wide default (netsh winhttp).
struct ProxySettings {
    bool autoDetect = false;    // "Automatically detect settings": WPAD
    std::wstring pacUrl;        // "Use automatic configuration script"
    std::wstring proxy;         // the named proxy servers, as the dialog writes them
    std::wstring bypass;        // their bypass list, "<local>" among its entries
    std::wstring machineProxy;  // empty: the machine default is direct
    std::wstring machineBypass;
};
ProxySettings ReadProxySettings();

// How long the discovery of a PAC script (WPAD can take seconds) and each
// evaluation of a script may take by the engine's clock; then the next setting.
constexpr DWORD kProxyDiscoveryTimeoutMs = 5000;

using ProxyLog = std::function<void(const std::wstring&)>;

// The choices of one run. Safe to use from several threads at once.
class ProxyRouter {
public:
    // `settings` is asked only under the option `system`.
    ProxyRouter(const ProxyOption& option, ProxySettings settings, const CancelSignal& cancel,
                ProxyLog log = [](const std::wstring& line) { Log(line); });

    // The choice for the URL's scheme, host and port: made when first asked for,
    // and again once the proxy chosen is set aside; each choice logged once
    // (ProxyChoiceLine). Under `system`, in this order: automatic detection,
    // then the PAC script's URL (each script's answer for this URL, DIRECT
    // included), then the named proxy with its bypass list, then the machine
    // default, then direct. A script that cannot be fetched or evaluated in time
    // is not asked again in the run. Fails only as Cancelled, or for a URL that
    // does not crack.
    Outcome Choose(const std::wstring& url, ProxyChoice& choice);
    // A request through `server` failed before any response came (see
    // IsProxyUnreachable): the server is not chosen again in the run, and the
    // hosts that went through it go on with their next choice. A proxy that the
    // host's option names stays the choice: there is no other.
    void SetAside(const std::wstring& server);

private:
    struct Target {
        std::wstring scheme, host, key;
        int port = 0;
    };
    // The settings asked in turn while a host has no choice left that is not set aside.
    enum class Step { AutoDetect, PacUrl, NamedProxy, MachineDefault, Done };
    struct Route {
        std::vector<ProxyChoice> choices;  // in the order of preference
        Step next = Step::AutoDetect;
        std::optional<ProxyChoice> logged;
    };
    // A script's source that can fail for the whole run.
    struct Script {
        std::optional<std::wstring> url;  // none until known (the discovered one)
        bool failed = false;
    };

    Outcome AddChoices(const std::wstring& url, const Target& target, Route& route);
    Outcome AddScriptChoices(const std::wstring& url, const Target& target, Script& script,
                             ProxySource source, Route& route);
    Outcome DiscoverScript();
    void AddListChoices(const std::wstring& list, const std::wstring& bypass, ProxySource source,
                        ProxySource bypassSource, const Target& target, Route& route) const;
    const ProxyChoice* FirstUsable(const Route& route) const;

    const ProxyOption option_;
    const ProxySettings settings_;
    const CancelSignal& cancel_;
    const ProxyLog log_;
    std::mutex lock_;
    std::map<std::wstring, Route> routes_;
    std::set<std::wstring> setAside_;
    bool discovered_ = false;
    Script detected_, configured_;
};

// Whether a request that got no response failed for want of its proxy: refused,
// a name that does not resolve, a reset, or no answer by the deadline.
bool IsProxyUnreachable(DWORD platformCode);

// The run's WinHTTP sessions, in asynchronous mode: one direct and one per proxy
// used, each opened on first use and closed with the owner, after every request.
class ProxySessions {
public:
    explicit ProxySessions(std::wstring userAgent) : userAgent_(std::move(userAgent)) {}
    // The session for requests through `server` ("" for direct); null when it
    // cannot be opened, the thread's last error telling why.
    HINTERNET For(const std::wstring& server);

private:
    const std::wstring userAgent_;
    std::mutex lock_;
    std::map<std::wstring, InternetHandle> sessions_;
};

// The host's `proxy_user` and `proxy_password`; no user: none given.
struct ProxyCredentials {
    std::wstring user, password;
};

// After a 407 on the request: sets the next answer (NextProxyAnswer) for the
// schemes the proxy offers, the logged-on user's with the auto-logon policy
// opened for it. True when the request is to be sent again; false when nothing
// is left to try, and the run ends with ProxyAuthenticationRequired.
bool AnswerProxyChallenge(HINTERNET request, const ProxyCredentials& credentials,
                          std::vector<ProxyAnswer>& tried);
// SendAndReceive, sending the request again for as long as AnswerProxyChallenge
// answers a 407. `status` is the status of the last response.
AsyncResult SendAnsweringProxy(AsyncRequest& request, const std::wstring& headers,
                               const ProxyCredentials& credentials, const CancelSignal& cancel,
                               SteadyClock::time_point deadline, DWORD& status);
// The run's end when the proxy accepted no answer: not a mirror's failure.
Outcome ProxyAuthenticationRequired(const std::wstring& server);

// What the requests of a run need to reach their URLs: the proxy chosen for each,
// the session for it, and the host's answer to a proxy's 407. Made before the
// first request and kept until the last one has been released.
struct RunNetwork {
    ProxyRouter& router;
    ProxySessions& sessions;
    ProxyCredentials credentials;
};

}  // namespace tolvek
