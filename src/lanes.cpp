#include "lanes.h"

#include "handles.h"

#include <atomic>
#include <thread>
#include <vector>

namespace tolvek {

namespace {

// The threads still running, and the event set once none is. The caller holds one
// count of its own until every thread has started, so a thread that ends at once
// does not set the event early.
struct Crew {
    std::atomic<size_t> running{1};
    KernelHandle ended = CreateEventOwned(true);
};

void Leave(Crew& crew) {
    if (--crew.running == 0) SetEvent(crew.ended.get());
}

// Every thread joined when this is left, whatever left it.
struct Joined {
    const std::function<void()>& stop;
    std::vector<std::thread> threads = {};
    bool done = false;
    ~Joined() {
        if (!done) stop();
        for (std::thread& thread : threads) thread.join();
    }
};

}  // namespace

void RunAtOnce(size_t count, const std::function<void(size_t)>& work, const CancelSignal& host,
               const std::function<void()>& stop) {
    Crew crew;
    Joined joined{stop};
    for (size_t i = 0; i < count; ++i) {
        ++crew.running;
        try {
            joined.threads.emplace_back([&, i] {
                work(i);
                Leave(crew);
            });
        } catch (...) {
            --crew.running;
            if (joined.threads.empty()) throw;
            break;
        }
    }
    Leave(crew);
    const HANDLE events[] = {host.event.get(), crew.ended.get()};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) stop();
    joined.done = true;
}

}  // namespace tolvek
