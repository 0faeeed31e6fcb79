#include "mirrors.h"

#include <algorithm>
#include <numeric>

namespace tolvek {

namespace {

constexpr int kRefusalsBeforeMove = 2;
constexpr double kFasterBy = 4;

std::vector<size_t> Indices(size_t count) {
    std::vector<size_t> indices(count);
    std::iota(indices.begin(), indices.end(), size_t{0});
    return indices;
}

}  // namespace

MirrorOrder MakeMirrorOrder(std::vector<std::wstring> urls) {
    const size_t count = urls.size();
    return MirrorOrder{std::move(urls), Indices(count), std::vector<MirrorHealth>(count)};
}

void SetMirrors(MirrorOrder& mirrors, std::vector<std::wstring> urls) {
    std::lock_guard<std::mutex> lock(mirrors.lock);
    mirrors.order = Indices(urls.size());
    mirrors.health.assign(urls.size(), MirrorHealth());
    mirrors.urls = std::move(urls);
}

std::vector<size_t> CurrentOrder(const MirrorOrder& mirrors) {
    std::lock_guard<std::mutex> lock(mirrors.lock);
    return mirrors.order;
}

MirrorHealth HealthOf(const MirrorOrder& mirrors, size_t mirror) {
    std::lock_guard<std::mutex> lock(mirrors.lock);
    return mirrors.health[mirror];
}

void MoveToEnd(MirrorOrder& mirrors, const std::vector<size_t>& failed) {
    if (failed.empty()) return;
    std::lock_guard<std::mutex> lock(mirrors.lock);
    const auto isFailed = [&](size_t mirror) { return std::find(failed.begin(), failed.end(), mirror) != failed.end(); };
    std::vector<size_t> reordered;
    reordered.reserve(mirrors.order.size());
    for (size_t mirror : mirrors.order)
        if (!isFailed(mirror)) reordered.push_back(mirror);
    for (size_t mirror : failed) {
        reordered.push_back(mirror);
        mirrors.health[mirror].setAside = true;
    }
    mirrors.order.swap(reordered);
}

std::vector<std::wstring> OrderedUrls(const MirrorOrder& mirrors) {
    std::vector<std::wstring> urls;
    for (size_t mirror : CurrentOrder(mirrors)) urls.push_back(mirrors.urls[mirror]);
    return urls;
}

void NoteRate(MirrorOrder& mirrors, size_t mirror, double bytesPerSecond) {
    std::lock_guard<std::mutex> lock(mirrors.lock);
    mirrors.health[mirror].bytesPerSecond = bytesPerSecond;
}

void NoteFailure(MirrorOrder& mirrors, size_t mirror) {
    std::lock_guard<std::mutex> lock(mirrors.lock);
    ++mirrors.health[mirror].failures;
}

std::vector<size_t> NoteRefusals(MirrorOrder& mirrors, const std::vector<size_t>& refused, size_t server) {
    std::lock_guard<std::mutex> lock(mirrors.lock);
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
