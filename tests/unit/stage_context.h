// What a stage of the install run receives from the run: a WinHTTP session that
// talks straight to loopback, a buffer, a cancel signal and a progress tracker
// with its two counters.
#pragma once

#include "handles.h"
#include "http.h"
#include "log.h"
#include "progress.h"
#include "run_context.h"

#include <chrono>
#include <cstdint>

struct StageContext {
    tolvek::InternetHandle session = tolvek::OpenHttpSession(L"tolvek-tests", WINHTTP_ACCESS_TYPE_NO_PROXY);
    tolvek::ProgressTracker tracker;
    tolvek::RunBuffer buffer;
    tolvek::CancelSignal cancel;
    // The run as a stage sees it; `RunWith(other)` the same with another session or cancel.
    tolvek::RunContext run{session.get(), buffer, cancel, tracker};
    tolvek::RunContext RunWith(HINTERNET handle) { return {handle, buffer, cancel, tracker}; }
    tolvek::RunContext RunWith(const tolvek::CancelSignal& signal) { return {session.get(), buffer, signal, tracker}; }
};
