/*
 * tolvek_online_installer.dll: public interface for setup programs.
 *
 * Calling order: StartOnlineInstall (or StartOnlineInstallVerified) once
 * (continue only when it returns 1);
 * poll GetOnlineInstallProgress and IsOnlineInstallDone at any rate and call
 * CancelOnlineInstall at any time; when IsOnlineInstallDone returns 1 read
 * GetOnlineInstallResult; always finish with ShutdownOnlineInstall before a new
 * start or before unloading the library.
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

/* Function pointer types for hosts that use LoadLibraryW and GetProcAddress. */
typedef int32_t (TOLVEK_CALL *StartOnlineInstallFn)(const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*);
typedef int32_t (TOLVEK_CALL *GetOnlineInstallProgressFn)(TolvekProgressRecord*);
typedef int32_t (TOLVEK_CALL *GetOnlineInstallResultFn)(int32_t*, wchar_t*, int32_t);
typedef int32_t (TOLVEK_CALL *IsOnlineInstallDoneFn)(void);
typedef void (TOLVEK_CALL *CancelOnlineInstallFn)(void);
typedef void (TOLVEK_CALL *ShutdownOnlineInstallFn)(void);
typedef int32_t (TOLVEK_CALL *StartOnlineInstallVerifiedFn)(const wchar_t*, const wchar_t*, const wchar_t*,
                                                            const wchar_t*, const wchar_t*);

#ifdef __cplusplus
}
#endif

#endif /* TOLVEK_ONLINE_INSTALLER_H */
