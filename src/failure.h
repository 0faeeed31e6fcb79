// The failure value: what every operation of the engine returns, up to the run's
// end. Retry loops decide on the kind; the text, made once where the failure
// arises, goes unchanged to the log and the host's result and is never searched.
// Pure C++: the parsers of untrusted bytes report through it on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tolvek {

enum class FailureKind {
    None,              // success
    Cancelled,         // the host asked the run to stop
    NoSession,         // the run has no WinHTTP session
    InvalidUrl,        // a URL that does not crack
    PlatformCall,      // a WinHTTP call around the exchange failed (connection or request handle, headers)
    NoHttpStatus,      // the request got no response: refused, reset, TLS, time-out
    HttpStatus,        // a response whose status is outside 200-299
    BodyRead,          // reading the body failed after the status
    TooSlow,           // a body crawling while another mirror may serve it faster
    IncompleteBody,    // the body ended before the length it announced
    SizeMismatch,      // the bytes are not as many as the manifest declares
    TooLarge,          // a body of no declared size passed its ceiling
    RangeMismatch,     // a resumed transfer got another range than the rest it asked for
    CannotCreateFile,  // the local file for a body could not be created
    CannotCreateDirectory,  // the target or working directory cannot exist
    InvalidEntry,      // a manifest entry no request could serve or no disk hold
    DiskWrite,         // the local disk refused a write
    FileMissing,       // a file to verify is not there
    Hashing,           // the digest could not be computed
    DigestMismatch,    // the SHA-256 is not the declared one
    Parse,             // the manifest is not a JSON document
    TooLargeForMemory, // a manifest this process cannot hold while it reads it
    Untrusted,         // a manifest whose signature does not verify, or whose expiry says nothing
    Expired,           // a signed manifest past its expiry
    Older,             // a signed manifest older than the version the target holds
    InvalidKey,        // a trusted key of the host that is not an ECDSA P-256 key
    Unverifiable,      // an entry of a signed manifest without a size or a hash
    MissingFiles,      // the manifest has no "files" object
    Move,              // a downloaded file could not be moved into place
    NoFiles,           // the manifest's "files" object lists no file
    NoRoom,            // the target's volume cannot hold what the install adds
    TargetBusy,        // another install into the same target directory is running
    NoUrls,            // the manifest URL list is empty
    NoMirrors,         // the manifest names no mirror
    ManifestUnreachable,  // every manifest URL failed
    MirrorsUnreachable,   // every mirror failed a file without answering (refused, silent, TLS)
    FileUnavailable,      // every mirror failed a file, the most telling with a status (404, 403)
    FileCorrupt,          // every mirror failed a file, the most telling with other bytes
    ProxyAuthentication,  // the proxy accepted none of the answers to its 407: the run ends
    Unknown,           // the run could not go on and cannot say why (memory ran out)
};

struct Outcome {
    FailureKind kind = FailureKind::None;
    uint32_t platformCode = 0;  // the Win32 or WinHTTP code, 0 when there is none
    uint32_t httpStatus = 0;    // the response's status, 0 when there is none
    std::wstring text;          // empty on success

    bool ok() const { return kind == FailureKind::None; }
};

inline const std::wstring kCancelledByUser = L"Cancelled by user";

// A failure that no other attempt, URL or mirror can help with: the host's cancel,
// or a proxy that accepts no answer to its 407 (the host asks for credentials and
// starts again). The run ends with it at once.
inline bool EndsTheRun(FailureKind kind) {
    return kind == FailureKind::Cancelled || kind == FailureKind::ProxyAuthentication;
}

// Whether a failure is one of the network's as a whole (no session, no manifest
// from any URL, no mirror for a file): its text is shown after this prefix.
inline bool IsNetworkFailure(FailureKind kind) {
    switch (kind) {
        case FailureKind::NoSession:
        case FailureKind::NoUrls:
        case FailureKind::ManifestUnreachable:
        case FailureKind::MirrorsUnreachable:
        case FailureKind::FileUnavailable:
        case FailureKind::FileCorrupt: return true;
        default: return false;
    }
}
inline const std::wstring kNetworkUnreachable = L"NETWORK_UNREACHABLE: ";

// The text as the log's last line, the record and the host's result show it.
inline std::wstring ResultText(const Outcome& outcome) {
    return IsNetworkFailure(outcome.kind) ? kNetworkUnreachable + outcome.text : outcome.text;
}

inline Outcome Success() { return Outcome(); }
inline Outcome Fail(FailureKind kind, std::wstring text, uint32_t platformCode = 0,
                    uint32_t httpStatus = 0) {
    return Outcome{kind, platformCode, httpStatus, std::move(text)};
}
inline Outcome Cancelled() { return Fail(FailureKind::Cancelled, kCancelledByUser); }

}  // namespace tolvek
