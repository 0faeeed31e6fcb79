#include "version_record.h"

#include <charconv>

namespace tolvek {

std::string InstalledVersionRecord(int64_t version) { return std::to_string(version) + "\r\n"; }

std::optional<int64_t> ParseInstalledVersion(std::string_view record) {
    for (const std::string_view end : {"\r\n", "\n"}) {
        if (record.size() >= end.size() && record.substr(record.size() - end.size()) == end) {
            record.remove_suffix(end.size());
            break;
        }
    }
    int64_t version = 0;
    const char* last = record.data() + record.size();
    const auto [stop, error] = std::from_chars(record.data(), last, version);
    if (record.empty() || error != std::errc() || stop != last) return std::nullopt;
    return version;
}

}  // namespace tolvek
