/*
 * tolvek_online_installer.dll: public interface for setup programs.
 *
 * Calling order: SetOnlineInstallOption for each option to change (optional),
 * then StartOnlineInstall (or StartOnlineInstallVerified) once
 * (continue only when it returns 1);
 * poll GetOnlineInstallProgress (and GetOnlineInstallDetail) and
 * IsOnlineInstallDone at any rate and call CancelOnlineInstall at any time; when
 * IsOnlineInstallDone returns 1 read GetOnlineInstallResult and the failure's
 * kind in GetOnlineInstallDetail; always finish with ShutdownOnlineInstall before
 * a new start or before unloading the library.
 *
 * Strings are NUL-terminated UTF-16 (wchar_t is two bytes on Windows).
 * Usable from C (C11) and C++, in 32-bit (x86) and 64-bit (x64) hosts: the
 * library is built for both, with the same exports and the same record.
 */
#ifndef TOLVEK_ONLINE_INSTALLER_H
#define TOLVEK_ONLINE_INSTALLER_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The snapshot that GetOnlineInstallProgress copies: 1044 bytes, no padding. */
typedef struct TolvekProgressRecord {
    wchar_t status[64];              /* status text of the current stage */
    wchar_t currentItem[260];        /* file key, manifest URL or failure text */
    int32_t itemIndex;               /* 1-based number of the current item, 0 when none */
    int32_t itemCount;               /* items of the stage, 0 when none */
    int32_t progressPermille;        /* overall progress, 0..1000 */
    wchar_t bytesDoneText[32];       /* e.g. "1.50 MB" */
    wchar_t bytesTotalText[32];
    wchar_t speedText[32];           /* e.g. "1.00 MB/s" */
    wchar_t timeLeftText[32];        /* "mm:ss", "hh:mm:ss" or "calculating..." */
    wchar_t fileBytesDoneText[32];   /* bytes received of the file in transfer */
    wchar_t fileBytesTotalText[32];  /* expected size of the file in transfer */
} TolvekProgressRecord;

#ifdef __cplusplus
#define TOLVEK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TOLVEK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

TOLVEK_STATIC_ASSERT(sizeof(wchar_t) == 2, "wchar_t must be UTF-16");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, status) == 0, "status offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, currentItem) == 128, "currentItem offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, itemIndex) == 648, "itemIndex offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, itemCount) == 652, "itemCount offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, progressPermille) == 656, "progressPermille offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, bytesDoneText) == 660, "bytesDoneText offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, bytesTotalText) == 724, "bytesTotalText offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, speedText) == 788, "speedText offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, timeLeftText) == 852, "timeLeftText offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, fileBytesDoneText) == 916, "fileBytesDoneText offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekProgressRecord, fileBytesTotalText) == 980, "fileBytesTotalText offset");
TOLVEK_STATIC_ASSERT(sizeof(TolvekProgressRecord) == 1044, "record size");

/* The calling convention of the exports: the Windows API's (__stdcall, as WINAPI)
 * on 32-bit x86, where setup builders declare stdcall functions; x64 has a single
 * convention, which the keyword names there as well. */
#ifdef _WIN32
#define TOLVEK_CALL __stdcall
#else
#define TOLVEK_CALL
#endif

/* Result codes of GetOnlineInstallResult. */
#define TOLVEK_RESULT_OK 0
#define TOLVEK_RESULT_FAILED 1

/* What a run's failure was, as GetOnlineInstallDetail's `kind` gives it: a stable
 * list, never renumbered (new kinds get new numbers). The result text says the
 * same in English; a setup program shows its own words for the kind. */
#define TOLVEK_KIND_NONE 0                  /* no failure: success, or no run has ended */
#define TOLVEK_KIND_CANCELLED 1             /* the host cancelled the run */
#define TOLVEK_KIND_TARGET_BUSY 2           /* another install into the same target directory runs */
#define TOLVEK_KIND_INVALID_ARGUMENT 3      /* an empty URL list, target or working directory, or an unusable trusted key */
#define TOLVEK_KIND_MANIFEST_UNREACHABLE 4  /* no manifest URL gave a manifest (network, server) */
#define TOLVEK_KIND_MANIFEST_INVALID 5      /* a manifest came but is not one the engine can use */
#define TOLVEK_KIND_MANIFEST_UNTRUSTED 6    /* the verified start: no trusted key's signature holds */
#define TOLVEK_KIND_MANIFEST_EXPIRED 7      /* the verified start: the signed manifest has expired */
#define TOLVEK_KIND_ENTRY_REFUSED 8         /* a file entry no install may use (its path, size or hash) */
#define TOLVEK_KIND_MIRRORS_UNREACHABLE 9   /* no mirror answered for a file (network, server) */
#define TOLVEK_KIND_FILE_UNAVAILABLE 10     /* the mirrors answered for a file with an error status (404, 403...) */
#define TOLVEK_KIND_FILE_CORRUPT 11         /* the mirrors sent other bytes than the manifest declares */
#define TOLVEK_KIND_NOT_ENOUGH_SPACE 12     /* the target's disk has not the room the install needs */
#define TOLVEK_KIND_DISK_FULL 13            /* the disk refused a write during the install */
#define TOLVEK_KIND_ACCESS_DENIED 14        /* a folder or file could not be created, written, read or moved */
#define TOLVEK_KIND_PROXY_AUTHENTICATION 15 /* the proxy asks for credentials and accepted none */
#define TOLVEK_KIND_TLS 16                  /* no secure connection: an untrusted certificate, an old TLS version */
#define TOLVEK_KIND_MANIFEST_OLDER 17       /* the verified start: older than the version installed */
#define TOLVEK_KIND_INTERNAL 18             /* the engine could not go on (out of memory, a platform failure) */

/* What GetOnlineInstallDetail copies: the caller sets `size` to the size of the
 * record it knows (sizeof(TolvekInstallDetail)); the engine fills only what fits,
 * so later versions can add members at the end. */
typedef struct TolvekInstallDetail {
    uint32_t size;            /* set by the caller */
    int32_t kind;             /* TOLVEK_KIND_..., TOLVEK_KIND_NONE while running */
    uint32_t platformError;   /* the Win32 or WinHTTP code of the failure, 0 when none */
    uint32_t httpStatus;      /* the HTTP status of the failure, 0 when none */
    uint64_t bytesDone;       /* bytes counted toward bytesTotal (declared sizes) */
    uint64_t bytesTotal;      /* the declared sizes of all files; 0 until the file list is known */
    uint64_t bytesReceived;   /* bytes received from the network, retries and the manifest included */
    int32_t filesDone;        /* files finished: installed or skipped */
    int32_t filesSkipped;     /* of those, already valid or the setup program's own */
    int32_t filesTotal;       /* files in the manifest; 0 until it is known */
    int32_t filesInTransfer;  /* files being downloaded now */
} TolvekInstallDetail;

TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, kind) == 4, "kind offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, platformError) == 8, "platformError offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, httpStatus) == 12, "httpStatus offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, bytesDone) == 16, "bytesDone offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, bytesTotal) == 24, "bytesTotal offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, bytesReceived) == 32, "bytesReceived offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, filesDone) == 40, "filesDone offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, filesSkipped) == 44, "filesSkipped offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, filesTotal) == 48, "filesTotal offset");
TOLVEK_STATIC_ASSERT(offsetof(TolvekInstallDetail, filesInTransfer) == 52, "filesInTransfer offset");
TOLVEK_STATIC_ASSERT(sizeof(TolvekInstallDetail) == 56, "detail size");
/* The least `size` GetOnlineInstallDetail accepts: `size` and `kind`. */
#define TOLVEK_DETAIL_MIN_SIZE 8

/* Starts the one install session; 1 when a worker was started, 0 otherwise
 * (a null argument, or a previous session not yet shut down). */
int32_t TOLVEK_CALL StartOnlineInstall(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                                       const wchar_t* logPath, const wchar_t* workingDirectory);
/* StartOnlineInstall for a manifest the publisher signed: trustedKeys is a
 * "|"-separated list of ECDSA P-256 public keys, each the base64 of a DER
 * SubjectPublicKeyInfo (openssl pkey -pubout -outform DER | base64 -w0). The run
 * accepts a manifest only when the signature file beside it (the manifest URL
 * with ".sig" appended to its path) verifies its bytes under one of them and its
 * "expires" has not passed; every file it installs must then carry a size and a
 * hash. Same return values as StartOnlineInstall; a null argument gives 0. */
int32_t TOLVEK_CALL StartOnlineInstallVerified(const wchar_t* manifestUrls, const wchar_t* targetDirectory,
                                               const wchar_t* logPath, const wchar_t* workingDirectory,
                                               const wchar_t* trustedKeys);
/* Copies the current progress record; 1 when one was copied. */
int32_t TOLVEK_CALL GetOnlineInstallProgress(TolvekProgressRecord* destination);
/* Copies the result code and message (truncated to capacity - 1 units plus NUL);
 * 1 when a result exists. */
int32_t TOLVEK_CALL GetOnlineInstallResult(int32_t* code, wchar_t* message, int32_t capacity);
/* 1 once the worker's run has ended. */
int32_t TOLVEK_CALL IsOnlineInstallDone(void);
/* Asks the run to stop; returns at once. */
void TOLVEK_CALL CancelOnlineInstall(void);
/* Cancels, waits for the worker and destroys the session. */
void TOLVEK_CALL ShutdownOnlineInstall(void);

/* Sets one option for every later start in this process, until set again; an
 * empty value restores the default. 1 when the name is known and the value valid;
 * 0 otherwise, for a null argument, and while a run is active. Names and values:
 *   "parallel"        how many files may be in transfer at once, "1" to "16"
 *                     (default "6"; "1" downloads one file after another)
 *   "proxy"           "system" (default: the user's proxy settings), "direct", or
 *                     "http://host:port"
 *   "proxy_user"      the user name, and
 *   "proxy_password"  the password, for a proxy that asks for them (default none;
 *                     never written to the log or the progress record)
 *   "links"           "refuse" (default) or "follow": folders of the target that
 *                     are links leading outside it are refused, or followed */
int32_t TOLVEK_CALL SetOnlineInstallOption(const wchar_t* name, const wchar_t* value);
/* Copies the detail of the current or last run into `detail`, as much as its
 * `size` holds: the failure's kind and codes once the run has ended, and the
 * counts at any time. 1 when copied; 0 for a null pointer or a `size` below
 * TOLVEK_DETAIL_MIN_SIZE. */
int32_t TOLVEK_CALL GetOnlineInstallDetail(TolvekInstallDetail* detail);

/* Function pointer types for hosts that use LoadLibraryW and GetProcAddress. */
typedef int32_t (TOLVEK_CALL *StartOnlineInstallFn)(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*);
typedef int32_t (TOLVEK_CALL *GetOnlineInstallProgressFn)(TolvekProgressRecord*);
typedef int32_t (TOLVEK_CALL *GetOnlineInstallResultFn)(int32_t*, wchar_t*, int32_t);
typedef int32_t (TOLVEK_CALL *IsOnlineInstallDoneFn)(void);
typedef void (TOLVEK_CALL *CancelOnlineInstallFn)(void);
typedef void (TOLVEK_CALL *ShutdownOnlineInstallFn)(void);
typedef int32_t (TOLVEK_CALL *StartOnlineInstallVerifiedFn)(const wchar_t*, const wchar_t*, const wchar_t*,
                                                            const wchar_t*, const wchar_t*);
typedef int32_t (TOLVEK_CALL *SetOnlineInstallOptionFn)(const wchar_t*, const wchar_t*);
typedef int32_t (TOLVEK_CALL *GetOnlineInstallDetailFn)(TolvekInstallDetail*);

#ifdef __cplusplus
}
#endif

#endif /* TOLVEK_ONLINE_INSTALLER_H */
