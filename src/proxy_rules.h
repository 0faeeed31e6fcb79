// The rules of proxy choice that need no platform: the host's `proxy` option, the
// proxy lists of the user's settings and of PAC answers, bypass lists, the order
// in which a proxy's 407 is answered, and the texts the choice is told in.
// No windows.h here, so that these parsers of outside text build natively too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvek {

// The host's option `proxy`: "system" (the default), "direct", or "http://host:port".
enum class ProxyMode { System, Direct, Named };
struct ProxyOption {
    ProxyMode mode = ProxyMode::System;
    std::wstring server;  // "host:port" when Named
};

// Reads the option's value: empty or "system", "direct", or "http://" followed by a
// host (a name, an IPv4 address, or an IPv6 address in brackets), ":" and a port
// from 1 to 65535, and nothing else (no credentials, no path). Keywords and the
// scheme in any case. False, leaving `option` as it was, for anything else.
bool ParseProxyOption(const std::wstring& value, ProxyOption& option);

// The setting that decided a choice, as the log names it.
enum class ProxySource { Option, AutoDetect, Pac, NamedProxy, BypassList, MachineDefault };
const wchar_t* ProxySourceName(ProxySource source);

// Where the requests for one host go: through `server` ("host:port"), or direct
// when it is empty.
struct ProxyChoice {
    std::wstring server;
    ProxySource source = ProxySource::MachineDefault;
    bool operator==(const ProxyChoice&) const = default;
};

// The servers a proxy list names for a URL of `scheme` ("http" or "https"), in
// order; an empty entry is DIRECT. The list is what the user's settings, the
// machine default or a PAC answer hold: entries between ";" or blanks, each
// "host[:port]" for every scheme, "scheme=host[:port]" for one scheme,
// "PROXY host:port" or "DIRECT" as a PAC script writes them. SOCKS entries, entries
// for other schemes and credentials before an "@" are left out; a missing port
// is 80. Servers come out as "host:port".
std::vector<std::wstring> ProxiesFor(const std::wstring& list, const std::wstring& scheme);

// Whether the bypass list sends a request for scheme://host:port direct. Entries
// between ";" or blanks, in any case: "<local>" for a host name without a dot,
// a host pattern with "*" for any run of characters, optionally after "scheme://"
// and before ":port", each then matching that scheme or port only. Loopback
// (localhost, 127.*, [::1]) is passed by too, unless the list says "<-loopback>".
bool BypassesProxy(const std::wstring& bypassList, const std::wstring& scheme, const std::wstring& host,
                   int port);

// The authentication schemes a proxy offers, as the bits WinHTTP gives them.
constexpr uint32_t kProxyAuthBasic = 0x1;
constexpr uint32_t kProxyAuthNtlm = 0x2;
constexpr uint32_t kProxyAuthDigest = 0x8;
constexpr uint32_t kProxyAuthNegotiate = 0x10;

// One answer to a 407: a scheme, with the logged-on user's credentials or with
// the host's `proxy_user` and `proxy_password`.
struct ProxyAnswer {
    uint32_t scheme = 0;
    bool loggedOnUser = false;
    bool operator==(const ProxyAnswer&) const = default;
};

// The next answer for a request whose proxy offered `offered` after the answers
// in `tried`: first the logged-on user, with Negotiate when offered, else NTLM;
// then the host's credentials, when it gave some, with the strongest scheme
// offered (Negotiate, NTLM, Digest, Basic). Each at most once, so a request is
// sent at most three times for one 407; none when nothing is left.
std::optional<ProxyAnswer> NextProxyAnswer(uint32_t offered, bool haveCredentials,
                                           const std::vector<ProxyAnswer>& tried);

// "Proxy for HOST: SERVER (SOURCE)", or "Proxy for HOST: direct (SOURCE)".
std::wstring ProxyChoiceLine(const std::wstring& host, const ProxyChoice& choice);
// "Proxy authentication required: " followed by the proxy's host and port.
std::wstring ProxyAuthenticationText(const std::wstring& server);

}  // namespace tolvek
