#include "mirrors.h"

#include <algorithm>

namespace tolvek {

namespace {

constexpr int kRefusalsBeforeMove = 2;
constexpr double kFasterBy = 4;

}  // namespace

MirrorOrder MakeMirrorOrder(std::vector<std::wstring> urls) {
    MirrorOrder mirrors{std::move(urls), {}, {}};
    for (size_t i = 0; i < mirrors.urls.size(); ++i) mirrors.order.push_back(i);
    mirrors.health.resize(mirrors.urls.size());
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

void NoteRate(MirrorOrder& mirrors, size_t mirror, double bytesPerSecond) {
    mirrors.health[mirror].bytesPerSecond = bytesPerSecond;
}

void NoteFailure(MirrorOrder& mirrors, size_t mirror) { ++mirrors.health[mirror].failures; }

std::vector<size_t> NoteRefusals(MirrorOrder& mirrors, const std::vector<size_t>& refused, size_t server) {
    mirrors.health[server].refusedInARow = 0;
    std::vector<size_t> moved;
    for (size_t mirror : refused) {
        int& inARow = mirrors.health[mirror].refusedInARow;
        if (mirror == server || ++inARow < kRefusalsBeforeMove) continue;
        inARow = 0;
        moved.push_back(mirror);
    }
    return moved;
}

bool MayBeFaster(const MirrorHealth& other, double bytesPerSecond) {
    if (other.bytesPerSecond < 0) return other.failures == 0;
    return other.bytesPerSecond > 0 && other.bytesPerSecond >= kFasterBy * bytesPerSecond;
}

}  // namespace tolvek
