// What a stage of the install run receives from the run: a WinHTTP session that
// talks straight to loopback, and a progress tracker with its two counters.
#pragma once

#include "handles.h"
#include "http.h"
#include "progress.h"

#include <chrono>
#include <cstdint>

struct StageContext {
    tolvek::InternetHandle session = tolvek::OpenHttpSession(L"tolvek-tests", WINHTTP_ACCESS_TYPE_NO_PROXY);
    int64_t completed = 0, total = 1;
    tolvek::ProgressTracker tracker{std::chrono::steady_clock::now(), completed, total};
};
