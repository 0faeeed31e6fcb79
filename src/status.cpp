#include "status.h"

#include "log.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>

namespace tolvek {

std::mutex StatusLock;

namespace {

constexpr size_t kResultCapacity = 1024;

ProgressRecord ProgressStore = {};
ProgressCounts CountsStore = {};
int32_t ResultCode = -1;
wchar_t ResultMessage[kResultCapacity] = {};
// The kind and codes of the last failure; its text is ResultMessage.
FailureKind FailureKindStore = FailureKind::None;
uint32_t FailurePlatformCode = 0;
uint32_t FailureHttpStatus = 0;

void ResetLocked() {
    std::memset(&ProgressStore, 0, sizeof ProgressStore);
    CountsStore = ProgressCounts();
    ResultCode = -1;
    ResultMessage[0] = L'\0';
    FailureKindStore = FailureKind::None;
    FailurePlatformCode = FailureHttpStatus = 0;
}

// The codes WinHTTP gives a connection that could not be made secure: an untrusted,
// expired or wrong-host certificate, a TLS version or cipher the peer refuses.
bool IsTlsFailure(uint32_t code) {
    switch (code) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE: return true;
        default: return false;
    }
}

}  // namespace

void PublishProgress(const ProgressRecord& record, const ProgressCounts& counts) {
    std::lock_guard<std::mutex> lock(StatusLock);
    ProgressStore = record;
    CountsStore = counts;
}

bool CopyDetail(TolvekInstallDetail* detail) {
    if (!detail || detail->size < TOLVEK_DETAIL_MIN_SIZE) return false;
    TolvekInstallDetail whole = {};
    {
        std::lock_guard<std::mutex> lock(StatusLock);
        whole.kind = PublicKind(Outcome{FailureKindStore, FailurePlatformCode, FailureHttpStatus, {}});
        whole.platformError = FailurePlatformCode;
        whole.httpStatus = FailureHttpStatus;
        whole.bytesDone = CountsStore.bytesDone;
        whole.bytesTotal = CountsStore.bytesTotal;
        whole.bytesReceived = CountsStore.bytesReceived;
        whole.filesDone = CountsStore.filesDone;
        whole.filesSkipped = CountsStore.filesSkipped;
        whole.filesTotal = CountsStore.filesTotal;
        whole.filesInTransfer = CountsStore.filesInTransfer;
    }
    // A host that knows fewer members gets those; one that knows more keeps its own.
    const uint32_t size = detail->size < sizeof whole ? detail->size : static_cast<uint32_t>(sizeof whole);
    whole.size = detail->size;
    std::memcpy(detail, &whole, size);
    return true;
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

// Every internal kind has its public number; a new internal kind does not build
// until it is given one here.
int32_t PublicKind(const Outcome& outcome) {
    switch (outcome.kind) {
        case FailureKind::None: return TOLVEK_KIND_NONE;
        case FailureKind::Cancelled: return TOLVEK_KIND_CANCELLED;
        case FailureKind::TargetBusy: return TOLVEK_KIND_TARGET_BUSY;
        case FailureKind::NoUrls:
        case FailureKind::InvalidUrl:
        case FailureKind::InvalidKey: return TOLVEK_KIND_INVALID_ARGUMENT;
        case FailureKind::ManifestUnreachable:
            return IsTlsFailure(outcome.platformCode) ? TOLVEK_KIND_TLS : TOLVEK_KIND_MANIFEST_UNREACHABLE;
        case FailureKind::Parse:
        case FailureKind::TooLarge:
        case FailureKind::TooLargeForMemory:
        case FailureKind::MissingFiles:
        case FailureKind::NoFiles:
        case FailureKind::NoMirrors: return TOLVEK_KIND_MANIFEST_INVALID;
        case FailureKind::Untrusted: return TOLVEK_KIND_MANIFEST_UNTRUSTED;
        case FailureKind::Expired: return TOLVEK_KIND_MANIFEST_EXPIRED;
        case FailureKind::Older: return TOLVEK_KIND_MANIFEST_OLDER;
        case FailureKind::InvalidEntry:
        case FailureKind::Unverifiable: return TOLVEK_KIND_ENTRY_REFUSED;
        case FailureKind::NoHttpStatus:
        case FailureKind::BodyRead:
        case FailureKind::IncompleteBody:
        case FailureKind::TooSlow:
        case FailureKind::MirrorsUnreachable:
            return IsTlsFailure(outcome.platformCode) ? TOLVEK_KIND_TLS : TOLVEK_KIND_MIRRORS_UNREACHABLE;
        case FailureKind::HttpStatus:
        case FailureKind::FileUnavailable: return TOLVEK_KIND_FILE_UNAVAILABLE;
        case FailureKind::SizeMismatch:
        case FailureKind::RangeMismatch:
        case FailureKind::DigestMismatch:
        case FailureKind::FileMissing:
        case FailureKind::FileCorrupt: return TOLVEK_KIND_FILE_CORRUPT;
        case FailureKind::NoRoom: return TOLVEK_KIND_NOT_ENOUGH_SPACE;
        case FailureKind::DiskWrite:
            return outcome.platformCode == ERROR_DISK_FULL || outcome.platformCode == ERROR_HANDLE_DISK_FULL
                       ? TOLVEK_KIND_DISK_FULL
                       : TOLVEK_KIND_ACCESS_DENIED;
        // Without a platform code the directory was not given at all.
        case FailureKind::CannotCreateDirectory:
            return outcome.platformCode == 0 ? TOLVEK_KIND_INVALID_ARGUMENT : TOLVEK_KIND_ACCESS_DENIED;
        case FailureKind::CannotCreateFile:
        case FailureKind::Hashing:
        case FailureKind::Move: return TOLVEK_KIND_ACCESS_DENIED;
        case FailureKind::ProxyAuthentication: return TOLVEK_KIND_PROXY_AUTHENTICATION;
        case FailureKind::NoSession:
        case FailureKind::PlatformCall:
        case FailureKind::Unknown: return TOLVEK_KIND_INTERNAL;
    }
    return TOLVEK_KIND_INTERNAL;
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
