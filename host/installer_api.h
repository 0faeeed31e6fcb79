// The DLL loaded at run time, as a setup program loads it: LoadLibraryW with a
// full path next to this program, then GetProcAddress for each of the six exports
// and, when the DLL has it, the verified start.
#pragma once

#include <windows.h>

#include <string>

#include "tolvek_online_installer.h"

namespace tolvek_host {

class InstallerApi {
public:
    InstallerApi() = default;
    ~InstallerApi();
    InstallerApi(const InstallerApi&) = delete;
    InstallerApi& operator=(const InstallerApi&) = delete;

    // False with a message naming the file or the missing export.
    bool Load(const std::wstring& dllPath, std::wstring& error);

    StartOnlineInstallFn Start = nullptr;
    GetOnlineInstallProgressFn GetProgress = nullptr;
    GetOnlineInstallResultFn GetResult = nullptr;
    IsOnlineInstallDoneFn IsDone = nullptr;
    CancelOnlineInstallFn Cancel = nullptr;
    ShutdownOnlineInstallFn Shutdown = nullptr;
    // Null for an engine from before signed manifests.
    StartOnlineInstallVerifiedFn StartVerified = nullptr;
    // Null for an engine from before options and the detail record.
    SetOnlineInstallOptionFn SetOption = nullptr;
    GetOnlineInstallDetailFn GetDetail = nullptr;

private:
    HMODULE module_ = nullptr;
};

// The engine's full path beside the running program: where a setup program extracts
// it, and where the build puts it next to the programs that load it.
std::wstring EngineBesideThisProgram();

// The text of a Win32 error code, without the trailing line break.
std::wstring SystemErrorText(DWORD code);

}  // namespace tolvek_host
