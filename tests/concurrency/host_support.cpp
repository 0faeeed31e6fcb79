#include "host_support.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

namespace concurrency {

namespace {

std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    for (char c : testing_support::Narrow(text)) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

void Store(const std::wstring& path, const std::string& bytes) {
    for (size_t at = testing_support::Servers().root.size() + 1;
         (at = path.find(L'\\', at)) != std::wstring::npos; ++at)
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    testing_support::WriteBytes(path, bytes);
}

// Handle values are multiples of four; a process that leaks nothing stays far
// below this many.
constexpr uintptr_t kHighestProbedHandle = 4 * 4096;

}  // namespace

std::wstring PublishProduct(const std::wstring& name, const std::vector<File>& files) {
    const testing_support::TestServers& servers = testing_support::Servers();
    const std::wstring root = servers.root + L"\\" + name;
    std::string manifest = "{\"files\": {";
    for (size_t i = 0; i < files.size(); ++i) {
        manifest += (i ? ", " : "") + JsonString(files[i].first) +
                    ": {\"size\": " + std::to_string(files[i].second.size()) + ", \"hash\": \"" +
                    testing_support::Sha256Hex(files[i].second) + "\"}";
        std::wstring path = root + L"\\m\\" + files[i].first;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        Store(path, files[i].second);
    }
    manifest += "}, \"cdn_list\": [" + JsonString(servers.httpUrl + L"/" + name + L"/m") + "]}";
    Store(root + L"\\manifest.json", manifest);
    return servers.httpUrl + L"/" + name + L"/manifest.json";
}

Resources Measure() {
    Resources resources;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == self) ++resources.threads;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);

    HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    resources.freshHandle = reinterpret_cast<uintptr_t>(fresh);
    CloseHandle(fresh);
    // GetProcessHandleCount answers 0 under Wine; asking every value works.
    for (uintptr_t value = 4; value <= kHighestProbedHandle; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++resources.openHandles;
    }
    return resources;
}

std::string Describe(const Resources& r) {
    return std::to_string(r.threads) + " threads, " + std::to_string(r.openHandles) +
           " open handles, next handle " + std::to_string(r.freshHandle);
}

std::string Growth(const Resources& before, const Resources& after, int threadAllowance,
                   int handleAllowance) {
    std::string growth;
    if (after.freshHandle >= kHighestProbedHandle)
        growth += "handle values beyond the probed range; ";
    if (after.threads > before.threads + threadAllowance)
        growth += "threads " + std::to_string(before.threads) + " -> " + std::to_string(after.threads) + "; ";
    if (after.openHandles > before.openHandles + handleAllowance)
        growth += "open handles " + std::to_string(before.openHandles) + " -> " +
                  std::to_string(after.openHandles) + "; ";
    if (after.freshHandle > before.freshHandle + 4 * static_cast<uintptr_t>(handleAllowance))
        growth += "next handle " + std::to_string(before.freshHandle) + " -> " +
                  std::to_string(after.freshHandle) + "; ";
    return growth;
}

}  // namespace concurrency
