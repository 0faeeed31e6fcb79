#include "proxy.h"

#include "http.h"

#include <algorithm>
#include <cwctype>
#include <memory>

namespace tolvek {

static_assert(kProxyAuthBasic == WINHTTP_AUTH_SCHEME_BASIC && kProxyAuthNtlm == WINHTTP_AUTH_SCHEME_NTLM &&
              kProxyAuthDigest == WINHTTP_AUTH_SCHEME_DIGEST &&
              kProxyAuthNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE);

namespace {

std::wstring TextOf(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

// ---- Platform calls that may block for long --------------------------------
//
// Discovery and a PAC script's download are synchronous platform calls that
// neither a time-out of ours nor a cancel can end. Each runs on a thread of its
// own that holds a reference to this library and everything the call uses; the
// run waits until the call is done, the bound passes or the cancel comes, and
// then leaves the thread to finish alone.

struct BoundedCall {
    std::function<void()> work;
    KernelHandle done = CreateEventOwned(true);
    HMODULE library = nullptr;
};

DWORD WINAPI RunBoundedCall(void* parameter) {
    HMODULE library = nullptr;
    {
        const std::unique_ptr<std::shared_ptr<BoundedCall>> handed(
            static_cast<std::shared_ptr<BoundedCall>*>(parameter));
        const std::shared_ptr<BoundedCall> call = *handed;
        call->work();
        SetEvent(call->done.get());
        library = call->library;
    }
    FreeLibraryAndExitThread(library, 0);
}

enum class Waited { Done, TimedOut, Cancelled };

Waited CallBounded(std::function<void()> work, const CancelSignal& cancel) {
    if (IsCancelled(cancel)) return Waited::Cancelled;
    auto call = std::make_shared<BoundedCall>();
    call->work = std::move(work);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunBoundedCall),
                            &call->library))
        return Waited::TimedOut;
    auto* handed = new std::shared_ptr<BoundedCall>(call);
    const KernelHandle thread(CreateThread(nullptr, 0, RunBoundedCall, handed, 0, nullptr));
    if (!thread) {
        delete handed;
        FreeLibrary(call->library);
        return Waited::TimedOut;
    }
    // A call that is done wins over a cancel raised at the same moment.
    const HANDLE events[] = {call->done.get(), cancel.event.get()};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, kProxyDiscoveryTimeoutMs);
    if (woke == WAIT_OBJECT_0) return Waited::Done;
    return woke == WAIT_OBJECT_0 + 1 ? Waited::Cancelled : Waited::TimedOut;
}

// What `ask` answers within the bound; none when it answered nothing, or not in time.
template <class Ask>
std::optional<std::wstring> AnswerInTime(Ask ask, const CancelSignal& cancel, bool& cancelled) {
    auto answer = std::make_shared<std::optional<std::wstring>>();
    const Waited waited = CallBounded([answer, ask] { *answer = ask(); }, cancel);
    cancelled = waited == Waited::Cancelled;
    return waited == Waited::Done ? *answer : std::nullopt;
}

// The URL of the PAC script that WPAD finds (DHCP, then DNS).
std::optional<std::wstring> DiscoveredScriptUrl() {
    wchar_t* url = nullptr;
    if (!WinHttpDetectAutoProxyConfigUrl(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &url) ||
        !url)
        return std::nullopt;
    const GlobalBlock owner(url);
    return std::wstring(url);
}

// The script's answer for the URL as a proxy list, "DIRECT" for a direct connection.
// Under Wine the list holds the answer's first proxy only.
std::optional<std::wstring> ScriptAnswer(const std::wstring& url, const std::wstring& scriptUrl) {
    const InternetHandle session(
        WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return std::nullopt;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = scriptUrl.c_str();
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) return std::nullopt;
    const GlobalBlock proxy(info.lpszProxy), bypass(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !info.lpszProxy) return L"DIRECT";
    return std::wstring(info.lpszProxy);
}

// ---- Answers to a 407 --------------------------------------------------------

bool SetAnswer(HINTERNET request, const ProxyAnswer& answer, const ProxyCredentials& credentials) {
    if (!answer.loggedOnUser)
        return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, answer.scheme, credentials.user.c_str(),
                                     credentials.password.c_str(), nullptr);
    // No user and no password: the logged-on user's, which the policy must allow
    // for a proxy that is not in the intranet zone.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof policy);
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, answer.scheme, nullptr, nullptr, nullptr);
}

bool ReadStatus(HINTERNET request, DWORD& status) {
    DWORD size = sizeof status;
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
}

}  // namespace

ProxySettings ReadProxySettings() {
    ProxySettings settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        const GlobalBlock pac(user.lpszAutoConfigUrl), proxy(user.lpszProxy), bypass(user.lpszProxyBypass);
        settings.autoDetect = user.fAutoDetect != FALSE;
        settings.pacUrl = TextOf(user.lpszAutoConfigUrl);
        settings.proxy = TextOf(user.lpszProxy);
        settings.bypass = TextOf(user.lpszProxyBypass);
    }
    WINHTTP_PROXY_INFO machine = {};
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        const GlobalBlock proxy(machine.lpszProxy), bypass(machine.lpszProxyBypass);
        if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            settings.machineProxy = TextOf(machine.lpszProxy);
            settings.machineBypass = TextOf(machine.lpszProxyBypass);
        }
    }
    return settings;
}

ProxyRouter::ProxyRouter(const ProxyOption& option, ProxySettings settings, const CancelSignal& cancel,
                         ProxyLog log)
    : option_(option), settings_(std::move(settings)), cancel_(cancel), log_(std::move(log)) {
    configured_.url = settings_.pacUrl;
}

Outcome ProxyRouter::Choose(const std::wstring& url, ProxyChoice& choice) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return Fail(FailureKind::InvalidUrl, L"Invalid URL: " + url);
    Target target;
    target.scheme = parts.nScheme == INTERNET_SCHEME_HTTPS ? L"https" : L"http";
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.key = target.scheme + L"://" + target.host + L":" + std::to_wstring(target.port);
    std::transform(target.key.begin(), target.key.end(), target.key.begin(), towlower);

    const std::lock_guard<std::mutex> held(lock_);
    Route& route = routes_[target.key];
    if (option_.mode != ProxyMode::System && route.choices.empty()) {
        route.choices.push_back({option_.server, ProxySource::Option});
        route.next = Step::Done;
    }
    const ProxyChoice* usable = FirstUsable(route);
    while (!usable && route.next != Step::Done) {
        Outcome added = AddChoices(url, target, route);
        if (!added.ok()) return added;
        usable = FirstUsable(route);
    }
    // Only a proxy that the host's option names can be left: it stays the choice.
    if (!usable) usable = &route.choices.back();
    choice = *usable;
    if (route.logged != choice) {
        log_(ProxyChoiceLine(target.host, choice));
        route.logged = choice;
    }
    return Success();
}

void ProxyRouter::SetAside(const std::wstring& server) {
    const std::lock_guard<std::mutex> held(lock_);
    if (!server.empty()) setAside_.insert(server);
}

const ProxyChoice* ProxyRouter::FirstUsable(const Route& route) const {
    for (const ProxyChoice& choice : route.choices)
        if (choice.server.empty() || setAside_.count(choice.server) == 0) return &choice;
    return nullptr;
}

Outcome ProxyRouter::AddChoices(const std::wstring& url, const Target& target, Route& route) {
    switch (route.next) {
        case Step::AutoDetect:
            if (settings_.autoDetect) {
                Outcome discovered = DiscoverScript();
                if (!discovered.ok()) return discovered;
                Outcome added = AddScriptChoices(url, target, detected_, ProxySource::AutoDetect, route);
                if (!added.ok()) return added;
            }
            route.next = Step::PacUrl;
            return Success();
        case Step::PacUrl: {
            Outcome added = AddScriptChoices(url, target, configured_, ProxySource::Pac, route);
            if (!added.ok()) return added;
            route.next = Step::NamedProxy;
            return Success();
        }
        case Step::NamedProxy:
            AddListChoices(settings_.proxy, settings_.bypass, ProxySource::NamedProxy, ProxySource::BypassList,
                           target, route);
            route.next = Step::MachineDefault;
            return Success();
        case Step::MachineDefault:
            AddListChoices(settings_.machineProxy, settings_.machineBypass, ProxySource::MachineDefault,
                           ProxySource::MachineDefault, target, route);
            route.choices.push_back({L"", ProxySource::MachineDefault});
            route.next = Step::Done;
            return Success();
        case Step::Done:
            break;
    }
    return Success();
}

// Discovery runs once in a run, when the first host needs it.
Outcome ProxyRouter::DiscoverScript() {
    if (discovered_) return Success();
    bool cancelled = false;
    detected_.url = AnswerInTime(DiscoveredScriptUrl, cancel_, cancelled);
    if (cancelled) return Cancelled();
    discovered_ = true;
    detected_.failed = !detected_.url;
    return Success();
}

Outcome ProxyRouter::AddScriptChoices(const std::wstring& url, const Target& target, Script& script,
                                      ProxySource source, Route& route) {
    if (script.failed || !script.url || script.url->empty()) return Success();
    bool cancelled = false;
    const std::wstring scriptUrl = *script.url;
    const std::optional<std::wstring> answer =
        AnswerInTime([url, scriptUrl] { return ScriptAnswer(url, scriptUrl); }, cancel_, cancelled);
    if (cancelled) return Cancelled();
    if (!answer) {
        script.failed = true;
        return Success();
    }
    for (const std::wstring& server : ProxiesFor(*answer, target.scheme)) route.choices.push_back({server, source});
    return Success();
}

void ProxyRouter::AddListChoices(const std::wstring& list, const std::wstring& bypass, ProxySource source,
                                 ProxySource bypassSource, const Target& target, Route& route) const {
    if (list.empty()) return;
    if (BypassesProxy(bypass, target.scheme, target.host, target.port)) {
        route.choices.push_back({L"", bypassSource});
        return;
    }
    const std::vector<std::wstring> servers = ProxiesFor(list, target.scheme);
    // A list with servers for other schemes only sends this one direct.
    if (servers.empty()) route.choices.push_back({L"", source});
    for (const std::wstring& server : servers) route.choices.push_back({server, source});
}

bool IsProxyUnreachable(DWORD platformCode) {
    switch (platformCode) {
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:  // Wine's time-out of the socket
            return true;
        default:
            return false;
    }
}

HINTERNET ProxySessions::For(const std::wstring& server) {
    const std::lock_guard<std::mutex> held(lock_);
    const auto found = sessions_.find(server);
    if (found != sessions_.end()) return found->second.get();
    InternetHandle session = OpenHttpSession(userAgent_, server);
    if (!session) return nullptr;
    return sessions_.emplace(server, std::move(session)).first->second.get();
}

bool AnswerProxyChallenge(HINTERNET request, const ProxyCredentials& credentials,
                          std::vector<ProxyAnswer>& tried) {
    DWORD offered = 0, first = 0, target = 0;
    if (!WinHttpQueryAuthSchemes(request, &offered, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY)
        return false;
    while (const std::optional<ProxyAnswer> answer = NextProxyAnswer(offered, !credentials.user.empty(), tried)) {
        tried.push_back(*answer);
        if (SetAnswer(request, *answer, credentials)) return true;
    }
    return false;
}

AsyncResult SendAnsweringProxy(AsyncRequest& request, const std::wstring& headers,
                               const ProxyCredentials& credentials, const CancelSignal& cancel,
                               SteadyClock::time_point deadline, DWORD& status) {
    std::vector<ProxyAnswer> tried;
    for (;;) {
        const AsyncResult answered = SendAndReceive(request, headers, cancel, deadline);
        if (answered.completion != Completion::Done) return answered;
        if (!ReadStatus(request.get(), status)) return {Completion::Failed, GetLastError()};
        if (status != HTTP_STATUS_PROXY_AUTH_REQ || !AnswerProxyChallenge(request.get(), credentials, tried))
            return answered;
    }
}

Outcome ProxyAuthenticationRequired(const std::wstring& server) {
    return Fail(FailureKind::ProxyAuthentication, ProxyAuthenticationText(server), 0,
                HTTP_STATUS_PROXY_AUTH_REQ);
}

}  // namespace tolvek
