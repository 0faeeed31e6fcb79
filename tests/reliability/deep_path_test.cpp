// A key or a log path with tens of thousands of separators, in a manifest nested
// nearly as deep as the parser allows, installed by a host whose threads have the
// 1 MiB stacks of a typical Windows build: the run ends with a stored result,
// whatever the platform answers for such a path, and the host lives.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <fstream>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::ReadBytes;
using testing_support::Servers;

using testing_support::ProgramDirectory;

struct HostRun {
    DWORD exitCode = STILL_ACTIVE;
    std::string output;
};

// tests/programs/small_stack_host.cpp with the four strings of a start; a host that
// has not ended after three minutes is ended here and reported as still running.
HostRun RunSmallStackHost(const std::vector<std::wstring>& arguments) {
    const testing_support::ScratchDir dir(L"smallstack");
    const std::wstring argumentFile = dir / L"arguments.txt";
    {
        std::ofstream file(argumentFile.c_str(), std::ios::binary);
        for (const std::wstring& argument : arguments) file << Narrow(argument) << "\n";
    }
    std::wstring command = L"\"" + ProgramDirectory() + L"\\small_stack_host.exe\" \"" + argumentFile + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    HostRun run;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start small_stack_host.exe: error " << GetLastError();
        return run;
    }
    if (WaitForSingleObject(process.hProcess, 180000) == WAIT_TIMEOUT) TerminateProcess(process.hProcess, 99);
    else GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.output = ReadBytes(argumentFile + L".out");
    return run;
}

struct DeepRow {
    const char* name;
    std::wstring key;      // the payload's key
    std::wstring stored;   // where the payload lands when the platform takes the key
    std::wstring log;      // relative to the target: the reference host keeps its log there
};

TEST_F(ReliabilityTest, DeepKeysAndLogPathsEndWithAResultInASmallStackHost) {
    const std::string first = "first", payload = "deep payload";
    const DeepRow rows[] = {
        {"a key with 20,000 separators", L"a" + std::wstring(20000, L'/') + L"f", L"a\\f", L"install.log"},
        {"a key with 30,000 backslashes", L"b" + std::wstring(30000, L'\\') + L"f", L"b\\f", L"install.log"},
        {"a log path with 30,000 separators", L"f.bin", L"f.bin", L"logs" + std::wstring(30000, L'\\') + L"install.log"},
    };
    for (const DeepRow& row : rows) {
        SCOPED_TRACE(row.name);
        Product product(L"deep");
        const std::wstring mirror = product.MirrorUrl(Servers().httpUrl, L"m1");
        // The parser recurses once per level, up to its limit of 512: the worker's stack
        // holds that too.
        const std::string nested = ", \"nested\": " + std::string(510, '[') + std::string(510, ']');
        product.Store(L"manifest.json",
                      Product::ManifestJson({{L"!first.txt", first}, {row.key, payload}}, {mirror}, nested));
        testing_support::SetRules(Servers().httpUrl, "[{\"path_glob\": \"/deep/m1/!first.txt\", \"body\": \"" + first +
                                                         "\"}, {\"path_glob\": \"/deep/m1/*\", \"body\": \"" + payload + "\"}]");
        Sandbox box(L"deep");
        box.log = box.target + L"\\" + row.log;
        box.Seal();

        const HostRun host = RunSmallStackHost({product.ManifestUrl(), box.target, box.log, box.work});
        EXPECT_EQ(host.exitCode, 0u) << "the host died or never got a result: " << host.output;
        EXPECT_NE(host.output.find("thread stack: 1048576\n"), std::string::npos)
            << "the host's threads must have 1 MiB stacks: " << host.output;
        const size_t at = host.output.find("result: ");
        ASSERT_NE(at, std::string::npos) << host.output;
        std::string text = host.output.substr(at + 10);
        text.erase(text.find_last_not_of('\n') + 1);
        const Result result(host.output[at + 8] - '0', testing_support::Widen(text));

        // The deep log path names the file that the plain one names.
        if (row.log.size() > 100) box.log = box.target + L"\\logs\\install.log";
        CheckRun(box, result, {{L"!first.txt", nullptr, &first}, {row.stored, nullptr, &payload}});
        EXPECT_EQ(ReadBytes(box.target + L"\\!first.txt"), first);
    }
}

}  // namespace
}  // namespace reliability
