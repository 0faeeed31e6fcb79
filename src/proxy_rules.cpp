#include "proxy_rules.h"

#include <algorithm>

namespace tolvek {

namespace {

constexpr int kDefaultProxyPort = 80;
// The logged-on user's answer and the host's credentials: with the first send,
// three sends of a request for one 407 at most.
constexpr size_t kMostAnswers = 2;

wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring Lowered(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), LowerAscii);
    return text;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsHexDigit(wchar_t c) { return IsDigit(c) || (LowerAscii(c) >= L'a' && LowerAscii(c) <= L'f'); }
bool IsNameCharacter(wchar_t c) {
    return IsDigit(c) || (LowerAscii(c) >= L'a' && LowerAscii(c) <= L'z') || c == L'-' || c == L'_';
}

// The pieces of `text` between any of `separators`, empty pieces left out.
std::vector<std::wstring> Pieces(const std::wstring& text, const wchar_t* separators) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(separators, start);
        const size_t stop = end == std::wstring::npos ? text.size() : end;
        if (stop > start) pieces.push_back(text.substr(start, stop - start));
        start = stop + 1;
    }
    return pieces;
}

// A port of 1 to 65535 in decimal, as its value; 0 when it is not one.
int PortValue(const std::wstring& digits) {
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), IsDigit)) return 0;
    const int port = std::stoi(digits);
    return port <= 65535 ? port : 0;
}

// A host name of non-empty labels, or an IPv6 address in brackets.
bool IsValidHost(const std::wstring& host) {
    if (host.size() > 2 && host.front() == L'[' && host.back() == L']')
        return std::all_of(host.begin() + 1, host.end() - 1, [](wchar_t c) {
            return IsHexDigit(c) || c == L':' || c == L'.';
        });
    const std::vector<std::wstring> labels = Pieces(host, L".");
    if (host.empty() || host.front() == L'.' || host.back() == L'.' || host.find(L"..") != std::wstring::npos)
        return false;
    return std::all_of(labels.begin(), labels.end(), [](const std::wstring& label) {
        return std::all_of(label.begin(), label.end(), IsNameCharacter);
    });
}

// "host" or "host:port" into its parts; the port is empty when none is written.
bool SplitAuthority(const std::wstring& authority, std::wstring& host, std::wstring& port) {
    size_t hostEnd = 0;
    if (!authority.empty() && authority.front() == L'[') {
        hostEnd = authority.find(L']');
        if (hostEnd == std::wstring::npos) return false;
        ++hostEnd;
    } else {
        hostEnd = authority.find(L':');
        if (hostEnd == std::wstring::npos) hostEnd = authority.size();
    }
    host = authority.substr(0, hostEnd);
    port.clear();
    if (hostEnd == authority.size()) return true;
    if (authority[hostEnd] != L':') return false;
    port = authority.substr(hostEnd + 1);
    return true;
}

// One server of a proxy list as "host:port": an "http://" before it, credentials
// and a closing "/" left out; nothing for another scheme or a malformed server.
std::optional<std::wstring> ListedServer(std::wstring text) {
    const size_t schemeEnd = text.find(L"://");
    if (schemeEnd != std::wstring::npos) {
        if (Lowered(text.substr(0, schemeEnd)) != L"http") return std::nullopt;
        text.erase(0, schemeEnd + 3);
    }
    const size_t credentialsEnd = text.rfind(L'@');
    if (credentialsEnd != std::wstring::npos) text.erase(0, credentialsEnd + 1);
    if (!text.empty() && text.back() == L'/') text.pop_back();
    std::wstring host, port;
    if (!SplitAuthority(text, host, port) || !IsValidHost(host)) return std::nullopt;
    const int value = port.empty() ? kDefaultProxyPort : PortValue(port);
    if (value == 0) return std::nullopt;
    return host + L":" + std::to_wstring(value);
}

// Glob matching, "*" standing for any run of characters.
bool Matches(const std::wstring& pattern, const std::wstring& text) {
    size_t p = 0, t = 0, star = std::wstring::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

// One bypass entry (lower case) against a lower-case host.
bool EntryMatches(std::wstring entry, const std::wstring& scheme, const std::wstring& host, int port) {
    const size_t schemeEnd = entry.find(L"://");
    if (schemeEnd != std::wstring::npos) {
        if (entry.substr(0, schemeEnd) != scheme) return false;
        entry.erase(0, schemeEnd + 3);
    }
    const size_t colon = entry.rfind(L':');
    if (colon != std::wstring::npos && entry.find(L']', colon) == std::wstring::npos &&
        entry.find(L'[') == std::wstring::npos) {
        if (PortValue(entry.substr(colon + 1)) != port) return false;
        entry.erase(colon);
    }
    return Matches(entry, host);
}

bool IsLoopback(const std::wstring& host) {
    return host == L"localhost" || host == L"[::1]" || host == L"::1" ||
           (StartsWith(host, L"127.") && std::all_of(host.begin(), host.end(), [](wchar_t c) {
                return IsDigit(c) || c == L'.';
            }));
}

// The kinds of a PAC answer besides PROXY (and its synonym HTTP) and DIRECT.
bool IsOtherPacKind(const std::wstring& keyword) {
    return keyword == L"https" || keyword == L"socks" || keyword == L"socks4" || keyword == L"socks5";
}

}  // namespace

bool ParseProxyOption(const std::wstring& value, ProxyOption& option) {
    const std::wstring lowered = Lowered(value);
    if (lowered.empty() || lowered == L"system") {
        option = {ProxyMode::System, L""};
        return true;
    }
    if (lowered == L"direct") {
        option = {ProxyMode::Direct, L""};
        return true;
    }
    const std::wstring scheme = L"http://";
    if (!StartsWith(lowered, scheme)) return false;
    std::wstring host, port;
    if (!SplitAuthority(value.substr(scheme.size()), host, port) || !IsValidHost(host)) return false;
    const int number = PortValue(port);
    if (number == 0) return false;
    option = {ProxyMode::Named, host + L":" + std::to_wstring(number)};
    return true;
}

const wchar_t* ProxySourceName(ProxySource source) {
    switch (source) {
        case ProxySource::Option: return L"option";
        case ProxySource::AutoDetect: return L"auto-detect";
        case ProxySource::Pac: return L"PAC";
        case ProxySource::NamedProxy: return L"named proxy";
        case ProxySource::BypassList: return L"bypass list";
        case ProxySource::MachineDefault: return L"machine default";
    }
    return L"";
}

std::vector<std::wstring> ProxiesFor(const std::wstring& list, const std::wstring& scheme) {
    std::vector<std::wstring> servers;
    const auto add = [&servers](const std::wstring& text) {
        if (const std::optional<std::wstring> server = ListedServer(text)) servers.push_back(*server);
    };
    for (const std::wstring& entry : Pieces(list, L";")) {
        const std::vector<std::wstring> words = Pieces(entry, L" \t\r\n");
        if (words.empty()) continue;
        const std::wstring keyword = Lowered(words[0]);
        if (keyword == L"direct") {
            servers.emplace_back();
        } else if (keyword == L"proxy" || keyword == L"http") {
            if (words.size() > 1) add(words[1]);
        } else if (IsOtherPacKind(keyword) && words.size() > 1) {
            continue;  // WinHTTP speaks neither SOCKS nor TLS to a proxy
        } else {
            for (const std::wstring& word : words) {
                const size_t equals = word.find(L'=');
                if (equals == std::wstring::npos) add(word);
                else if (Lowered(word.substr(0, equals)) == scheme) add(word.substr(equals + 1));
            }
        }
    }
    return servers;
}

bool BypassesProxy(const std::wstring& bypassList, const std::wstring& scheme, const std::wstring& host,
                   int port) {
    const std::wstring name = Lowered(host);
    bool loopback = true, listed = false;
    for (const std::wstring& piece : Pieces(Lowered(bypassList), L";, \t\r\n")) {
        if (piece == L"<-loopback>") loopback = false;
        else if (piece == L"<local>") listed = listed || name.find_first_of(L".:") == std::wstring::npos;
        else listed = listed || EntryMatches(piece, scheme, name, port);
    }
    return listed || (loopback && IsLoopback(name));
}

std::optional<ProxyAnswer> NextProxyAnswer(uint32_t offered, bool haveCredentials,
                                           const std::vector<ProxyAnswer>& tried) {
    if (tried.size() >= kMostAnswers) return std::nullopt;
    std::vector<ProxyAnswer> plan;
    for (const uint32_t scheme : {kProxyAuthNegotiate, kProxyAuthNtlm}) {
        if (offered & scheme) {
            plan.push_back({scheme, true});
            break;
        }
    }
    if (haveCredentials) {
        for (const uint32_t scheme : {kProxyAuthNegotiate, kProxyAuthNtlm, kProxyAuthDigest, kProxyAuthBasic}) {
            if (offered & scheme) {
                plan.push_back({scheme, false});
                break;
            }
        }
    }
    for (const ProxyAnswer& answer : plan)
        if (std::find(tried.begin(), tried.end(), answer) == tried.end()) return answer;
    return std::nullopt;
}

std::wstring ProxyChoiceLine(const std::wstring& host, const ProxyChoice& choice) {
    return L"Proxy for " + host + L": " + (choice.server.empty() ? L"direct" : choice.server) + L" (" +
           ProxySourceName(choice.source) + L")";
}

std::wstring ProxyAuthenticationText(const std::wstring& server) {
    return L"Proxy authentication required: " + server;
}

}  // namespace tolvek
