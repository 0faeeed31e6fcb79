// The proxy option, proxy lists and bypass lists from the user's settings and PAC
// answers: a server read from any of them is "host:port" and reads back as itself.
#include "fuzz_support.h"
#include "proxy_rules.h"

using namespace tolvek;

void CheckServer(const std::wstring& server, const std::wstring& scheme) {
    const size_t colon = server.rfind(L':');
    FUZZ_REQUIRE(colon != std::wstring::npos && colon > 0 && colon + 1 < server.size() && colon + 6 >= server.size());
    const int port = std::stoi(server.substr(colon + 1));
    FUZZ_REQUIRE(port >= 1 && port <= 65535 && server.substr(colon + 1) == std::to_wstring(port));
    ProxyOption option;
    FUZZ_REQUIRE(ProxiesFor(server, scheme) == std::vector<std::wstring>{server} &&
                 ParseProxyOption(L"http://" + server, option) && option.server == server);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = fuzz::Units(fuzz::Bytes(data, size));
    ProxyOption option;
    if (ParseProxyOption(text, option) && option.mode == ProxyMode::Named) CheckServer(option.server, L"http");
    for (const wchar_t* scheme : {L"http", L"https"})
        for (const std::wstring& server : ProxiesFor(text, scheme))
            if (!server.empty()) CheckServer(server, scheme);
    // The first line as a bypass list, the rest as a host, in any letter case.
    const auto [list, host] = fuzz::Lines(text);
    FUZZ_REQUIRE(BypassesProxy(list, L"http", host, 80) ==
                 BypassesProxy(fuzz::AsciiUpper(list), L"http", fuzz::AsciiUpper(host), 80));
    return 0;
}
