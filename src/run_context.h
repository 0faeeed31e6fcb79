// What every stage of an install run receives from the run.
#pragma once

#include "cancel.h"
#include "progress.h"
#include "proxy.h"
#include "run_buffer.h"

namespace tolvek {

// How the run's requests reach their URLs (proxies and sessions), the block that
// transfers and digests read into, the host's cancel and the run's progress.
// Several transfers at once each get a context of their own with a block of their own.
struct RunContext {
    const RunNetwork& network;
    RunBuffer& buffer;
    const CancelSignal& cancel;
    ProgressTracker& progress;
};

}  // namespace tolvek
