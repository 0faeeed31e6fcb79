#include "mirrors.h"

#include <algorithm>

namespace tolvek {

MirrorOrder MakeMirrorOrder(std::vector<std::wstring> urls) {
    MirrorOrder mirrors{std::move(urls), {}};
    for (size_t i = 0; i < mirrors.urls.size(); ++i) mirrors.order.push_back(i);
    return mirrors;
}

void MoveToEnd(MirrorOrder& mirrors, const std::vector<size_t>& failed) {
    if (failed.empty()) return;
    const auto isFailed = [&](size_t mirror) { return std::find(failed.begin(), failed.end(), mirror) != failed.end(); };
    std::vector<size_t> reordered;
    reordered.reserve(mirrors.order.size());
    for (size_t mirror : mirrors.order)
        if (!isFailed(mirror)) reordered.push_back(mirror);
    for (size_t mirror : failed) reordered.push_back(mirror);
    mirrors.order.swap(reordered);
}

std::vector<std::wstring> OrderedUrls(const MirrorOrder& mirrors) {
    std::vector<std::wstring> urls;
    urls.reserve(mirrors.order.size());
    for (size_t mirror : mirrors.order) urls.push_back(mirrors.urls[mirror]);
    return urls;
}

}  // namespace tolvek
