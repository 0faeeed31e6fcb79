// What a stage of the install run receives from the run: requests that go straight
// to loopback, a buffer, a cancel signal and a progress tracker with its two counters.
#pragma once

#include "handles.h"
#include "http.h"
#include "log.h"
#include "progress.h"
#include "run_context.h"

#include <chrono>
#include <cstdint>

struct StageContext {
    tolvek::ProgressTracker tracker;
    tolvek::RunBuffer buffer;
    tolvek::CancelSignal cancel;
    // The option "direct", its choices kept out of the logs that the tests read.
    tolvek::ProxySessions sessions{L"tolvek-tests"};
    tolvek::ProxyRouter direct{{tolvek::ProxyMode::Direct, L""}, {}, cancel, [](const std::wstring&) {}};
    tolvek::RunNetwork network{direct, sessions, {}};
    // The run as a stage sees it; `RunWith(signal)` the same with another cancel.
    tolvek::RunContext run{network, buffer, cancel, tracker};
    tolvek::RunContext RunWith(const tolvek::CancelSignal& signal) { return {network, buffer, signal, tracker}; }
};
