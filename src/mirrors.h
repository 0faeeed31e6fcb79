// The run's order of the mirrors: chosen by the probe, read by every file's
// failover, and learned from as files fail. What the run learns of each mirror
// (its health) is kept here too, whichever file's transfer taught it; the jobs in
// transfer at once share both, under the order's lock.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace tolvek {

// What the transfers of the run have shown of one mirror.
struct MirrorHealth {
    int failures = 0;             // transfers it failed by a fault of its own, time-outs among them
    int refusedInARow = 0;        // files in a row it answered 403, 404 or 410 for and another mirror served
    double bytesPerSecond = -1;   // the rate of its latest transfer of a body; below 0: never measured
    bool setAside = false;        // moved to the end of the order by a file it failed
};

// The mirrors as the probe ordered them, each known by its place in `urls` (a
// mirror listed twice is two mirrors), the order the next file tries them in, and
// their health by the same place.
struct MirrorOrder {
    std::vector<std::wstring> urls;
    std::vector<size_t> order;  // into `urls`; under `lock`
    std::vector<MirrorHealth> health;  // under `lock`
    mutable std::mutex lock = {};
};

MirrorOrder MakeMirrorOrder(std::vector<std::wstring> urls);
void SetMirrors(MirrorOrder& mirrors, std::vector<std::wstring> urls);
// The order as it stands, and one mirror's health.
std::vector<size_t> CurrentOrder(const MirrorOrder& mirrors);
MirrorHealth HealthOf(const MirrorOrder& mirrors, size_t mirror);
// The mirrors that failed a file go to the end of the order, in the order they
// failed, and count as set aside; the others keep their places.
void MoveToEnd(MirrorOrder& mirrors, const std::vector<size_t>& failed);
// The base URLs in the current order.
std::vector<std::wstring> OrderedUrls(const MirrorOrder& mirrors);

// A transfer from the mirror brought a body at this rate, or failed by its fault.
void NoteRate(MirrorOrder& mirrors, size_t mirror, double bytesPerSecond);
void NoteFailure(MirrorOrder& mirrors, size_t mirror);
// A file was served by `server` after the mirrors in `refused` had answered it with
// a definite status (403, 404, 410). Returns those that now refused two files in a
// row: a CDN not yet synced, or whose signed URLs expired, refuses every file.
std::vector<size_t> NoteRefusals(MirrorOrder& mirrors, const std::vector<size_t>& refused, size_t server);
// Whether a transfer crawling at `bytesPerSecond` may do better on this mirror: it
// was never measured and never failed, or was measured at least four times faster.
bool MayBeFaster(const MirrorHealth& other, double bytesPerSecond);

}  // namespace tolvek
