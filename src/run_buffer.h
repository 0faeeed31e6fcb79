// The block that every transfer and every digest of one install run reads into.
#pragma once

#include "handles.h"

#include <cstddef>

namespace tolvek {

constexpr size_t kRunBufferSize = 1048576;

// Allocated once, zero-filled, when the run starts, and released when the run
// ends. One block per run rather than one per call: the platform touches every
// page of a fresh block before its first read, which for a small file costs many
// times the read itself. The run uses it for one transfer or one digest at a time.
struct RunBuffer {
    RunBuffer() : block(AllocateZeroed(kRunBufferSize)) {}

    void* data() const noexcept { return block.get(); }

    HeapBlock block;
};

}  // namespace tolvek
