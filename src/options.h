// What the host can set before a start: the options every later start of the
// process runs with, their names, values and defaults.
#pragma once

#include "proxy_rules.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvek {

struct RunOptions {
    int32_t parallel = 6;        // "parallel": files in transfer at once, 1 to 16
    ProxyOption proxy;           // "proxy": system (the default), direct, or http://host:port
    std::wstring proxyUser;      // "proxy_user" and "proxy_password": for a proxy that asks
    std::wstring proxyPassword;
    bool followLinks = false;    // "links": refuse (the default) or follow links leading outside the target
};

constexpr int32_t kMostParallel = 16;

// Sets the named option from its text; an empty value restores its default. False,
// with `options` unchanged, for an unknown name or a value the option does not take.
bool SetRunOption(RunOptions& options, std::wstring_view name, std::wstring_view value);

}  // namespace tolvek
