// PENDING: probing and selection arrive with the CDN work.
#include "cdn.h"
namespace tolvek {
std::vector<std::wstring> SelectCdns(HINTERNET, const JsonValue&, const std::vector<FileEntry>&,
                                     const ProgressTracker&, const std::atomic<bool>*, std::wstring& e) {
    e = L"Manifest does not contain cdn or cdn_list";
    return {};
}
}
