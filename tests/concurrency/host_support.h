// What the concurrency tests share: products published on the test mirror server,
// and a count of the process's threads and handles that works under Wine.
#pragma once

#include "test_support.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace concurrency {

using File = std::pair<std::wstring, std::string>;  // manifest key, content

// Stores the files under /<name>/m/ on the test servers' shared root and a manifest
// listing them (size and digest, that one mirror) as /<name>/manifest.json; returns
// the manifest's URL on the HTTP server.
std::wstring PublishProduct(const std::wstring& name, const std::vector<File>& files);

// The process as a leak would change it.
struct Resources {
    int threads = 0;            // threads of this process (Toolhelp snapshot)
    uintptr_t freshHandle = 0;  // value of a handle created now: the lowest free slot
    int openHandles = 0;        // values that name an open handle
};
Resources Measure();
// Empty when `after` holds no more threads or handles than `before` (plus the
// allowance); otherwise what grew.
std::string Growth(const Resources& before, const Resources& after, int threadAllowance,
                   int handleAllowance);
std::string Describe(const Resources& resources);

}  // namespace concurrency
