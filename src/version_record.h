// The installed-version record's text (installed_version.h keeps it in the target).
// Pure C++, so this reader of a file anyone could have written builds natively too.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvek {

// The record's text: the version in decimal, then CR LF (a bare LF or no line end
// is read too). Anything else is no version.
std::string InstalledVersionRecord(int64_t version);
std::optional<int64_t> ParseInstalledVersion(std::string_view record);

}  // namespace tolvek
