#include "installer_api.h"

#include <cstring>

namespace tolvek_host {

namespace {

constexpr wchar_t kEngineFileName[] = L"tolvek_online_installer.dll";

// GetProcAddress returns a generic function pointer; going through void*
// states that the cast to the export's real type is intended.
template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& function, std::wstring& error) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (function) return true;
    error = L"the DLL lacks the export " + std::wstring(name, name + strlen(name));
    return false;
}

}  // namespace

InstallerApi::~InstallerApi() {
    if (module_) FreeLibrary(module_);
}

bool InstallerApi::Load(const std::wstring& dllPath, std::wstring& error) {
    module_ = LoadLibraryW(dllPath.c_str());
    if (!module_) {
        error = L"cannot load " + dllPath + L": " + SystemErrorText(GetLastError());
        return false;
    }
    std::wstring missing;
    const bool complete = Resolve(module_, "StartOnlineInstall", Start, missing) &&
                          Resolve(module_, "GetOnlineInstallProgress", GetProgress, missing) &&
                          Resolve(module_, "GetOnlineInstallResult", GetResult, missing) &&
                          Resolve(module_, "IsOnlineInstallDone", IsDone, missing) &&
                          Resolve(module_, "CancelOnlineInstall", Cancel, missing) &&
                          Resolve(module_, "ShutdownOnlineInstall", Shutdown, missing);
    if (!complete) error = dllPath + L": " + missing;
    std::wstring optional;
    Resolve(module_, "StartOnlineInstallVerified", StartVerified, optional);
    Resolve(module_, "SetOnlineInstallOption", SetOption, optional);
    Resolve(module_, "GetOnlineInstallDetail", GetDetail, optional);
    return complete;
}

std::wstring EngineBesideThisProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring(L".\\") : path.substr(0, slash + 1)) + kEngineFileName;
}

std::wstring SystemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : L"Win32 error " + std::to_wstring(code);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
}

}  // namespace tolvek_host
