#include "options.h"

namespace tolvek {

namespace {

bool ReadParallel(std::wstring_view value, int32_t& parallel) {
    if (value.empty() || value.size() > 2) return false;
    int32_t number = 0;
    for (const wchar_t c : value) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + (c - L'0');
    }
    if (number < 1 || number > kMostParallel) return false;
    parallel = number;
    return true;
}

bool ReadLinks(std::wstring_view value, bool& followLinks) {
    if (value != L"refuse" && value != L"follow") return false;
    followLinks = value == L"follow";
    return true;
}

}  // namespace

bool SetRunOption(RunOptions& options, std::wstring_view name, std::wstring_view value) {
    // An empty value restores the default: a fresh set of options holds them all.
    const RunOptions defaults;
    if (name == L"parallel") {
        if (!value.empty()) return ReadParallel(value, options.parallel);
        options.parallel = defaults.parallel;
    } else if (name == L"proxy") {
        if (!value.empty()) return ParseProxyOption(std::wstring(value), options.proxy);
        options.proxy = defaults.proxy;
    } else if (name == L"links") {
        if (!value.empty()) return ReadLinks(value, options.followLinks);
        options.followLinks = defaults.followLinks;
    } else if (name == L"proxy_user") {
        options.proxyUser = value;
    } else if (name == L"proxy_password") {
        options.proxyPassword = value;
    } else {
        return false;
    }
    return true;
}

}  // namespace tolvek
