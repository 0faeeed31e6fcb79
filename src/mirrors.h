// The run's order of the mirrors: chosen by the probe, read by every file's
// failover, and learned from as files fail.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tolvek {

// The mirrors as the probe ordered them, each known by its place in `urls` (a
// mirror listed twice is two mirrors), and the order the next file tries them in.
struct MirrorOrder {
    std::vector<std::wstring> urls;
    std::vector<size_t> order;  // into `urls`
};

MirrorOrder MakeMirrorOrder(std::vector<std::wstring> urls);
// The mirrors that failed a file by a fault of their own go to the end of the
// order, in the order they failed; the others keep theirs.
void MoveToEnd(MirrorOrder& mirrors, const std::vector<size_t>& failed);
// The base URLs in the current order.
std::vector<std::wstring> OrderedUrls(const MirrorOrder& mirrors);

}  // namespace tolvek
