// What every stage of an install run receives from the run.
#pragma once

#include "cancel.h"
#include "log.h"
#include "progress.h"
#include "run_buffer.h"

#include <windows.h>
#include <winhttp.h>

namespace tolvek {

// The run's WinHTTP session, the block that transfers and digests read into, the
// cancel that ends the work and the run's progress, and where the lines go.
// Several transfers at once each get a context of their own, with a block of their
// own and a place in an ordered log.
struct RunContext {
    HINTERNET session;
    RunBuffer& buffer;
    const CancelSignal& cancel;
    ProgressTracker& progress;
    LogPlace log = {};
};

}  // namespace tolvek
