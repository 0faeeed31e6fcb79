// One WinHTTP request in asynchronous mode: each operation is started, then
// awaited against the run's cancel signal and a deadline of the engine's own
// clock, whatever the platform's time-outs do. A request given up (cancelled or
// past its deadline) is closed at once and never waited for; what the platform
// may still write into or call back into stays alive until its handle-closing
// notification, and the library stays loaded for as long as one may come.
#pragma once

#include "run_buffer.h"
#include "cancel.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <string>

namespace tolvek {

using SteadyClock = std::chrono::steady_clock;

// How an awaited operation ended.
enum class Completion { Done, Failed, Cancelled, TimedOut };

struct AsyncResult {
    Completion completion = Completion::Done;
    DWORD error = 0;  // the platform's code when Failed
    DWORD bytes = 0;  // what a query found available, or what a read brought
};

struct RequestState;  // shared with the platform's notifications

// A request handle opened for asynchronous use, with the state it shares with the
// platform. Closing it waits for the closing notification only when no operation
// is in flight; otherwise the library is pinned and nothing waits.
class AsyncRequest {
public:
    AsyncRequest() = default;
    AsyncRequest(AsyncRequest&& other) noexcept;
    AsyncRequest& operator=(AsyncRequest&& other) noexcept;
    AsyncRequest(const AsyncRequest&) = delete;
    AsyncRequest& operator=(const AsyncRequest&) = delete;
    ~AsyncRequest() { reset(); }

    // Opens the request and connects it to the platform's notifications; false
    // with the thread's last error set.
    bool Open(HINTERNET connection, const wchar_t* verb, const std::wstring& object, DWORD flags);
    HINTERNET get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    void reset() noexcept;

    // For the operations below.
    RequestState* state() const noexcept { return state_; }

private:
    HINTERNET handle_ = nullptr;
    RequestState* state_ = nullptr;
};

// Whether the platform connected to the server of an open request (its proxy, for a
// request through one) or sent the request to it.
bool ReachedServer(const AsyncRequest& request);

// Sends the request with its headers, then receives the response's headers.
AsyncResult SendAndReceive(AsyncRequest& request, const std::wstring& headers,
                           const CancelSignal& cancel, SteadyClock::time_point deadline);
// The bytes of the body that can be read now; 0 at its end.
AsyncResult QueryAvailable(AsyncRequest& request, const CancelSignal& cancel,
                           SteadyClock::time_point deadline);
// Reads up to `wanted` bytes into the run's buffer. A read given up takes the
// buffer's block along (the platform may still fill it) and leaves a fresh one.
AsyncResult ReadInto(AsyncRequest& request, RunBuffer& buffer, DWORD wanted,
                     const CancelSignal& cancel, SteadyClock::time_point deadline);

}  // namespace tolvek
