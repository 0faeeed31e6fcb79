// The session's cancel request: raised once by the host, only read by the run,
// before every attempt and between the blocks of every long loop, and waited on
// beside every operation of the platform that may take long (its event).
#pragma once

#include "handles.h"

#include <windows.h>

#include <atomic>

namespace tolvek {

struct CancelSignal {
    std::atomic<bool> raised{false};  // what parsers without the platform read
    KernelHandle event = CreateEventOwned(true);  // set once raised
};

inline bool IsCancelled(const CancelSignal& cancel) { return cancel.raised.load(); }
void RaiseCancel(CancelSignal& cancel);
// Waits `milliseconds`, or less once the cancel is raised.
void PauseUnlessCancelled(const CancelSignal& cancel, DWORD milliseconds);

}  // namespace tolvek
