// A careless host: it starts a session and then either frees the library or
// exits the process without calling ShutdownOnlineInstall. Neither may crash
// or end the process abnormally.
//   unload_host free-library   FreeLibrary while the worker runs, then exit 0
//   unload_host exit-running   return from main while the worker runs
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tolvek_online_installer.h"

namespace {

int Fail(const char* what) {
    std::printf("FAIL: %s\n0 passed, 1 failed\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: unload_host free-library|exit-running");
    const bool freeLibrary = std::strcmp(argv[1], "free-library") == 0;

    HMODULE dll = LoadLibraryW(L"tolvek_online_installer.dll");
    if (!dll) return Fail("cannot load the DLL");
    auto start = reinterpret_cast<StartOnlineInstallFn>(reinterpret_cast<void*>(GetProcAddress(dll, "StartOnlineInstall")));
    auto done = reinterpret_cast<IsOnlineInstallDoneFn>(reinterpret_cast<void*>(GetProcAddress(dll, "IsOnlineInstallDone")));
    if (!start || !done) return Fail("missing exports");

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t dir[MAX_PATH];
    swprintf(dir, MAX_PATH, L"%lsunload_host_%lu", temp, GetCurrentProcessId());
    wchar_t log[MAX_PATH];
    swprintf(log, MAX_PATH, L"%ls\\install.log", dir);

    // Port 9 on loopback refuses connections, so the run keeps retrying for a
    // while (three attempts with pauses) while this host misbehaves.
    if (!start(L"http://127.0.0.1:9/m.json", dir, log, dir)) return Fail("start refused");

    if (freeLibrary) {
        FreeLibrary(dll);
        // The running worker keeps the library mapped until the process ends.
        if (!GetModuleHandleW(L"tolvek_online_installer.dll"))
            return Fail("library unmapped while its worker still runs");
        for (int i = 0; i < 200 && !done(); ++i) Sleep(50);
        if (!done()) return Fail("run did not end");
    }
    std::printf("1 passed, 0 failed\n");
    return 0;
}
