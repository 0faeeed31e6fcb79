// Several threads doing one kind of work side by side (the files in transfer, the
// mirrors probed), and the host's cancel reaching all of them.
#pragma once

#include "cancel.h"

#include <cstddef>
#include <functional>

namespace tolvek {

// Runs `work` on `count` threads, each given its number, and returns once every one
// has returned. While they run, a cancel of the host calls `stop`, which raises the
// signals the work reads; so does leaving by an exception. A thread the system
// refuses is simply missing, the others doing its share; when it refuses the
// first, this throws. `work` must not throw.
void RunAtOnce(size_t count, const std::function<void(size_t)>& work, const CancelSignal& host,
               const std::function<void()>& stop);

}  // namespace tolvek
