#include "status.h"

#include "log.h"

#include <cstring>

namespace tolvek {

std::mutex StatusLock;

namespace {

constexpr size_t kResultCapacity = 1024;

ProgressRecord ProgressStore = {};
int32_t ResultCode = -1;
wchar_t ResultMessage[kResultCapacity] = {};
// The kind and codes of the last failure; its text is ResultMessage.
FailureKind FailureKindStore = FailureKind::None;
uint32_t FailurePlatformCode = 0;
uint32_t FailureHttpStatus = 0;

void ResetLocked() {
    std::memset(&ProgressStore, 0, sizeof ProgressStore);
    ResultCode = -1;
    ResultMessage[0] = L'\0';
    FailureKindStore = FailureKind::None;
    FailurePlatformCode = FailureHttpStatus = 0;
}

}  // namespace

void PublishProgress(const ProgressRecord& record) {
    std::lock_guard<std::mutex> lock(StatusLock);
    ProgressStore = record;
}

bool CopyProgress(ProgressRecord* destination) {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (ProgressStore.status[0] == L'\0') return false;
    std::memcpy(destination, &ProgressStore, sizeof ProgressStore);
    return true;
}

void ResetStatus() {
    std::lock_guard<std::mutex> lock(StatusLock);
    ResetLocked();
}

void ResetStatus(const ProgressRecord& first) {
    std::lock_guard<std::mutex> lock(StatusLock);
    ResetLocked();
    ProgressStore = first;
}

void SetResult(int32_t code, const std::wstring& message) {
    // The host may show or log the text: no control character may reach it.
    const std::wstring shown = ShownText(message);
    std::lock_guard<std::mutex> lock(StatusLock);
    const size_t count = shown.size() < kResultCapacity - 1 ? shown.size() : kResultCapacity - 1;
    std::memcpy(ResultMessage, shown.data(), count * sizeof(wchar_t));
    ResultMessage[count] = L'\0';
    ResultCode = code;
}

void SetResult(const Outcome& outcome) {
    SetResult(outcome.ok() ? 0 : 1, outcome.ok() ? std::wstring(L"OK") : ResultText(outcome));
    std::lock_guard<std::mutex> lock(StatusLock);
    FailureKindStore = outcome.kind;
    FailurePlatformCode = outcome.platformCode;
    FailureHttpStatus = outcome.httpStatus;
}

Outcome LastFailure() {
    std::lock_guard<std::mutex> lock(StatusLock);
    return Outcome{FailureKindStore, FailurePlatformCode, FailureHttpStatus, {}};
}

bool GetResult(int32_t& code, std::wstring& message) {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (ResultCode < 0) return false;
    code = ResultCode;
    message = ResultMessage;
    return true;
}

bool CopyResult(int32_t* code, wchar_t* message, int32_t capacity) {
    if (!code || !message || capacity <= 0) return false;
    int32_t storedCode = 0;
    std::wstring storedMessage;
    if (!GetResult(storedCode, storedMessage)) return false;
    *code = storedCode;
    const size_t room = static_cast<size_t>(capacity) - 1;
    const size_t count = storedMessage.size() < room ? storedMessage.size() : room;
    std::memcpy(message, storedMessage.data(), count * sizeof(wchar_t));
    message[count] = L'\0';
    return true;
}

}  // namespace tolvek
