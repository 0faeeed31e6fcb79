#include "cancel.h"

namespace tolvek {

void RaiseCancel(CancelSignal& cancel) {
    cancel.raised.exchange(true);
    SetEvent(cancel.event.get());
}

void PauseUnlessCancelled(const CancelSignal& cancel, DWORD milliseconds) {
    if (!IsCancelled(cancel)) WaitForSingleObject(cancel.event.get(), milliseconds);
}

}  // namespace tolvek
