// What every stage of an install run receives from the run.
#pragma once

#include "cancel.h"
#include "log.h"
#include "progress.h"
#include "proxy.h"
#include "run_buffer.h"

namespace tolvek {

// How the run's requests reach their URLs (proxies and sessions), the block that
// transfers and digests read into, the cancel that ends the work and the run's
// progress, and where the lines go. Several transfers at once each get a context of
// their own, with a block of their own and a place in an ordered log.
struct RunContext {
    const RunNetwork& network;
    RunBuffer& buffer;
    const CancelSignal& cancel;
    ProgressTracker& progress;
    LogPlace log = {};
};

}  // namespace tolvek
