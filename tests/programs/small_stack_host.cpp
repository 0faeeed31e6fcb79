// A setup program with the stacks of a typical Windows build: its header reserves
// 1 MiB (what every thread created without a size gets, the engine's worker among
// them), and it drives the install from a thread created with a 1 MiB reservation.
//   small_stack_host <argument-file>
// The argument file holds the four StartOnlineInstall strings, one per line, UTF-8
// (a command line could not carry paths of 30,000 characters). The host writes
// "<argument-file>.out": "thread stack: <bytes>" and "result: <code> <UTF-8 text>",
// or "no result" when the run does not end within two minutes. Exit code 0 when a
// result came.
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "installer_api.h"

namespace {

std::wstring Widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::string Narrow(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

struct Install {
    std::vector<std::wstring> arguments;
    tolvek_host::InstallerApi dll;
    std::string outcome = "no result";
};

DWORD WINAPI RunInstall(void* parameter) {
    Install& install = *static_cast<Install*>(parameter);
    const tolvek_host::InstallerApi& dll = install.dll;
    const std::vector<std::wstring>& a = install.arguments;
    if (!dll.Start(a[0].c_str(), a[1].c_str(), a[2].c_str(), a[3].c_str())) {
        install.outcome = "start refused";
        return 1;
    }
    for (int i = 0; i < 2400 && !dll.IsDone(); ++i) Sleep(50);
    if (!dll.IsDone()) return 1;  // a shutdown would wait for the worker forever
    int32_t code = -1;
    static wchar_t message[1024];
    if (!dll.GetResult(&code, message, 1024)) return 1;
    dll.Shutdown();
    install.outcome = "result: " + std::to_string(code) + " " + Narrow(message);
    return 0;
}

// The stack reserved for a thread started as the engine starts its worker (std::thread):
// the regions of the allocation that holds this frame.
size_t StackOfANewThread() {
    size_t size = 0;
    std::thread([&] {
        MEMORY_BASIC_INFORMATION region = {};
        VirtualQuery(&region, &region, sizeof region);
        const void* const base = region.AllocationBase;
        for (const char* at = static_cast<const char*>(base);
             VirtualQuery(at, &region, sizeof region) && region.AllocationBase == base; at += region.RegionSize)
            size += region.RegionSize;
    }).join();
    return size;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::ifstream file(argv[1], std::ios::binary);
    Install install;
    for (std::string line; std::getline(file, line);) install.arguments.push_back(Widen(line));
    std::ofstream out(std::string(argv[1]) + ".out", std::ios::binary);
    if (install.arguments.size() != 4) {
        out << "usage: four lines expected\n";
        return 2;
    }
    out << "thread stack: " << StackOfANewThread() << std::endl;
    std::wstring error;
    if (!install.dll.Load(tolvek_host::EngineBesideThisProgram(), error)) {
        out << "cannot load the DLL: " << Narrow(error) << "\n";
        return 2;
    }
    HANDLE thread = CreateThread(nullptr, 1 << 20, RunInstall, &install, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) return 2;
    WaitForSingleObject(thread, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeThread(thread, &exitCode);
    CloseHandle(thread);
    out << install.outcome << "\n";
    out.close();
    // A worker that never ended cannot be shut down; leave without waiting for it.
    if (exitCode != 0) ExitProcess(1);
    return 0;
}
