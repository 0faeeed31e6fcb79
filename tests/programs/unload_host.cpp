// A careless host: it starts a session and then either frees the library or
// exits the process without calling ShutdownOnlineInstall. Neither may crash
// or end the process abnormally. And a hasty one, which frees the library at
// once after a shutdown that gave up a request still in flight, and lives on.
//   unload_host free-library           FreeLibrary while the worker runs, then exit 0
//   unload_host exit-running           return from main while the worker runs
//   unload_host free-after-shutdown    shut down during a request that gets no answer,
//                                      free the library, live 45 s, exit 0
#include <winsock2.h>
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

// A port on loopback that accepts connections and never answers them: the
// platform may call back about such a request long after it was given up.
int SilentPort(SOCKET& listener) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: unload_host free-library|exit-running|free-after-shutdown");
    const bool freeLibrary = std::strcmp(argv[1], "free-library") == 0;
    const bool afterShutdown = std::strcmp(argv[1], "free-after-shutdown") == 0;

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

    if (afterShutdown) {
        auto shutdown = reinterpret_cast<ShutdownOnlineInstallFn>(
            reinterpret_cast<void*>(GetProcAddress(dll, "ShutdownOnlineInstall")));
        SOCKET listener = INVALID_SOCKET;
        const int port = SilentPort(listener);
        if (!shutdown || port == 0) return Fail("no shutdown export or no silent port");
        wchar_t url[64];
        swprintf(url, 64, L"http://127.0.0.1:%d/m.json", port);
        if (!start(url, dir, log, dir)) return Fail("start refused");
        Sleep(1000);  // the manifest request waits for its headers
        const ULONGLONG before = GetTickCount64();
        shutdown();
        if (GetTickCount64() - before > 2000) return Fail("shutdown took more than 2 s");
        FreeLibrary(dll);
        // Longer than the platform's own time-out of the request given up.
        Sleep(45000);
        closesocket(listener);
        std::printf("1 passed, 0 failed\n");
        return 0;
    }

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
