#include "http_request.h"

#include "handles.h"

#include <atomic>
#include <memory>
#include <utility>

namespace tolvek {

// What the worker and the platform's notifications share for one request. It is
// freed by whichever of the two lets go last: the worker's owner, or the
// notification that the handle is closing.
struct RequestState {
    std::atomic<int> holders{2};
    KernelHandle completed = CreateEventOwned(false);  // one operation at a time
    KernelHandle closed = CreateEventOwned(true);
    bool inFlight = false;  // an operation started and not yet seen complete; the worker's own
    // The worker's thread while it is inside the call that starts an operation: a
    // notification on that thread is the operation completing inline, which needs
    // no wake-up (each event call is a round trip to the platform's server).
    std::atomic<DWORD> startingThread{0};
    bool completedInline = false;  // the worker's own, like the thread it is written on
    std::atomic<bool> reached{false};  // connected to the server, or the request sent to it
    std::wstring headers;   // what the send was given, kept for as long as the platform may read it
    HeapBlock orphan;       // the block of a read given up, which the platform may still fill
    // Written by a notification before it sets `completed`.
    DWORD status = 0;
    DWORD error = 0;
    DWORD bytes = 0;
};

namespace {

constexpr DWORD kNotifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                                 WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER | WINHTTP_CALLBACK_STATUS_REQUEST_SENT;
// How long a request closed while idle may take to say that its handle is closing.
constexpr DWORD kClosingWaitMs = 1000;

void Release(RequestState* state) {
    if (state->holders.fetch_sub(1) == 1) delete state;
}

// The library stays loaded until the process ends: a notification for a request
// given up may come after the host has freed it, and runs this library's code.
void PinLibrary() { ReferenceThisModule(true); }

void CALLBACK OnRequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                              DWORD length) {
    auto* state = reinterpret_cast<RequestState*>(context);
    if (!state) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            SetEvent(state->closed.get());
            Release(state);
            return;
        // A connection that a request reuses brings no "connected", its send a "sent".
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
            state->reached = true;
            return;
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            state->bytes = *static_cast<const DWORD*>(information);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            state->bytes = length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            state->error = static_cast<const WINHTTP_ASYNC_RESULT*>(information)->dwError;
            break;
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            break;
        default:
            return;
    }
    state->status = status;
    if (state->startingThread.load() == GetCurrentThreadId()) {
        state->completedInline = true;
        return;
    }
    SetEvent(state->completed.get());
}

DWORD MillisecondsUntil(SteadyClock::time_point deadline) {
    const auto now = SteadyClock::now();
    if (now >= deadline) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
}

AsyncResult Completed(RequestState& state) {
    state.inFlight = false;
    if (state.status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) return {Completion::Failed, state.error};
    return {Completion::Done, 0, state.bytes};
}

// Waits for the operation in flight to complete, for the cancel, or for the
// deadline, whichever comes first; a completion that is already there wins.
AsyncResult Await(RequestState& state, const CancelSignal& cancel, SteadyClock::time_point deadline) {
    const HANDLE events[] = {state.completed.get(), cancel.event.get()};
    const DWORD woke = WaitForMultipleObjects(2, events, FALSE, MillisecondsUntil(deadline));
    if (woke == WAIT_OBJECT_0 + 1) return {Completion::Cancelled};
    if (woke != WAIT_OBJECT_0) return {Completion::TimedOut};
    return Completed(state);
}

// Starts one operation and awaits it. A start refused at once brings no notification.
template <class StartCall>
AsyncResult Run(RequestState& state, StartCall start, const CancelSignal& cancel,
                SteadyClock::time_point deadline) {
    state.inFlight = true;
    state.completedInline = false;
    state.startingThread = GetCurrentThreadId();
    const BOOL started = start();
    const DWORD refusal = started ? 0 : GetLastError();
    state.startingThread = 0;
    if (!started) {
        state.inFlight = false;
        return {Completion::Failed, refusal};
    }
    if (state.completedInline) return Completed(state);
    return Await(state, cancel, deadline);
}

}  // namespace

AsyncRequest::AsyncRequest(AsyncRequest&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), state_(std::exchange(other.state_, nullptr)) {}

AsyncRequest& AsyncRequest::operator=(AsyncRequest&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = std::exchange(other.handle_, nullptr);
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

bool AsyncRequest::Open(HINTERNET connection, const wchar_t* verb, const std::wstring& object,
                        DWORD flags) {
    reset();
    auto state = std::make_unique<RequestState>();
    HINTERNET handle = WinHttpOpenRequest(connection, verb, object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!handle) return false;
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state.get());
    if (!WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
        WinHttpSetStatusCallback(handle, OnRequestStatus, kNotifications, 0) ==
            WINHTTP_INVALID_STATUS_CALLBACK) {
        // Without a callback no notification comes: the state is this function's alone.
        const DWORD code = GetLastError();
        WinHttpCloseHandle(handle);
        SetLastError(code);
        return false;
    }
    handle_ = handle;
    state_ = state.release();
    return true;
}

void AsyncRequest::reset() noexcept {
    if (!handle_) return;
    RequestState* state = std::exchange(state_, nullptr);
    const HINTERNET handle = std::exchange(handle_, nullptr);
    // Closing a request with an operation in flight does not end the operation on
    // every platform; its notifications may come much later, and are not waited for.
    const bool inFlight = state->inFlight;
    if (inFlight) PinLibrary();
    WinHttpCloseHandle(handle);
    if (!inFlight && WaitForSingleObject(state->closed.get(), kClosingWaitMs) != WAIT_OBJECT_0)
        PinLibrary();
    Release(state);
}

bool ReachedServer(const AsyncRequest& request) { return request && request.state()->reached; }

AsyncResult SendAndReceive(AsyncRequest& request, const std::wstring& headers,
                           const CancelSignal& cancel, SteadyClock::time_point deadline) {
    RequestState& state = *request.state();
    state.headers = headers;
    const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&state);
    const AsyncResult sent = Run(state, [&] {
        return WinHttpSendRequest(request.get(), state.headers.c_str(), static_cast<DWORD>(-1),
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, context);
    }, cancel, deadline);
    if (sent.completion != Completion::Done) return sent;
    return Run(state, [&] { return WinHttpReceiveResponse(request.get(), nullptr); }, cancel, deadline);
}

AsyncResult QueryAvailable(AsyncRequest& request, const CancelSignal& cancel,
                           SteadyClock::time_point deadline) {
    return Run(*request.state(), [&] { return WinHttpQueryDataAvailable(request.get(), nullptr); },
               cancel, deadline);
}

AsyncResult ReadInto(AsyncRequest& request, RunBuffer& buffer, DWORD wanted, const CancelSignal& cancel,
                     SteadyClock::time_point deadline) {
    RequestState& state = *request.state();
    const AsyncResult read = Run(state, [&] {
        return WinHttpReadData(request.get(), buffer.data(), wanted, nullptr);
    }, cancel, deadline);
    if (read.completion == Completion::Cancelled || read.completion == Completion::TimedOut) {
        state.orphan = std::move(buffer.block);
        buffer.block = AllocateZeroed(kRunBufferSize);
    }
    return read;
}

}  // namespace tolvek
