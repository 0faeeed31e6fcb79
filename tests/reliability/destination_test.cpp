// Keys that name one file once the file system resolves them, keys whose temporary
// file is another listed file or one of the run's own files, and keys that name no
// file at all, installed end to end. The run refuses the later key before it asks
// for it, the earlier files keep their bytes, and no temporary file is left.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::ProductFile;
using testing_support::ReadBytes;
using testing_support::Servers;

std::wstring ToForward(std::wstring path) {
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

// Where the host keeps its log and manifest copy for a row.
enum class RunFiles { Apart, LogInTarget, WorkingDirectoryIsTarget };

struct CollisionRow {
    const char* name;
    std::vector<ProductFile> files;  // listed between "!first.txt" and "~last.txt"
    std::wstring refused;            // the key the run stops at; empty: the run succeeds
    std::vector<std::pair<std::wstring, std::string>> kept;  // stored path -> bytes afterwards
    RunFiles runFiles = RunFiles::Apart;
};

// The first file is the smallest, so the mirror probe asks for it and no other.
const std::string kFirst = "1st", kLast = "the last file", kSave = "a saved game";

std::vector<CollisionRow> Rows() {
    return {
        // Keys sort in UTF-16 order: upper case, "." and "/" before lower case and "\".
        {"keys differing in case", {{L"README.TXT", "upper case"}, {L"Readme.txt", "mixed case"}}, L"Readme.txt",
         {{L"README.TXT", "upper case"}}},
        {"a trailing dot", {{L"f.txt", "plain name"}, {L"f.txt.", "trailing dot"}}, L"f.txt.",
         {{L"f.txt", "plain name"}}},
        {"a trailing blank", {{L"f.txt", "plain name"}, {L"f.txt ", "trailing blank"}}, L"f.txt ",
         {{L"f.txt", "plain name"}}},
        {"a folder with a trailing dot", {{L"a./f.txt", "dotted folder"}, {L"a/F.txt", "plain folder"}}, L"a/F.txt",
         {{L"a\\f.txt", "dotted folder"}}},
        {"a \".\" component", {{L"a/./i.txt", "with a dot"}, {L"a/i.txt", "without"}}, L"a/i.txt",
         {{L"a\\i.txt", "with a dot"}}},
        {"a listed file that is another's temporary file, in other case",
         {{L"F.BIN.download", "listed file"}, {L"f.bin", "the binary"}}, L"f.bin", {{L"F.BIN.download", "listed file"}}},
        {"a listed temporary file behind \"./\"", {{L"./f.bin.download", "listed file"}, {L"f.bin", "the binary"}},
         L"f.bin", {{L"f.bin.download", "listed file"}}},
        {"a listed temporary file beside its file, other separators",
         {{L"a/f.bin.download", "listed file"}, {L"a\\f.bin", "the binary"}}, L"a\\f.bin",
         {{L"a\\f.bin.download", "listed file"}}},
        // The file's download is over before the later key is written: both stay.
        {"a listed temporary file after its file", {{L"f.bin", "the binary"}, {L"f.bin.download", "listed file"}}, L"",
         {{L"f.bin", "the binary"}, {L"f.bin.download", "listed file"}}},
        {"the log file", {{L"install.log", "shipped log"}}, L"install.log", {}, RunFiles::LogInTarget},
        {"the log file in other case with a trailing blank", {{L"INSTALL.LOG ", "shipped log"}}, L"INSTALL.LOG ", {},
         RunFiles::LogInTarget},
        {"the manifest copy", {{L"tolvek_launcher_manifest.json", "shipped"}}, L"tolvek_launcher_manifest.json", {},
         RunFiles::WorkingDirectoryIsTarget},
        {"the installed version record", {{L"tolvek_installed_version.txt", "100000"}}, L"tolvek_installed_version.txt", {}},
        // Keys that cannot name a file: the target itself, a folder, an existing folder.
        {"\"./\"", {{L"./", "nothing"}}, L"./", {}},
        {"\".\\\"", {{L".\\", "nothing"}}, L".\\", {}},
        {"three dots", {{L"...", "nothing"}}, L"...", {}},
        {"a trailing separator", {{L"sub/", "nothing"}}, L"sub/", {}},
        {"a trailing \".\"", {{L"sub/.", "nothing"}}, L"sub/.", {}},
        {"a trailing \". \"", {{L"sub\\. ", "nothing"}}, L"sub\\. ", {}},
        {"an existing folder", {{L"data", "nothing"}}, L"data", {}},
    };
}

// The request paths the mirror saw, as it decoded them.
bool Requested(const std::string& requests, const std::wstring& path) {
    return requests.find("\"decoded_path\": " + testing_support::JsonString(path)) != std::string::npos;
}

TEST_F(ReliabilityTest, KeysNamingOneFileOrNoFileAreRefusedBeforeAnythingIsWritten) {
    const auto rows = Rows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const CollisionRow& row = rows[i];
        SCOPED_TRACE(row.name);
        const std::wstring name = L"destination" + std::to_wstring(i);
        std::vector<ProductFile> files = {{L"!first.txt", kFirst}};
        files.insert(files.end(), row.files.begin(), row.files.end());
        files.push_back({L"~last.txt", kLast});
        Product product(name);
        const std::wstring base = L"/" + name + L"/m1/";
        product.Store(L"manifest.json",
                      Product::ManifestJson(files, {product.MirrorUrl(Servers().httpUrl, L"m1")}));
        // Served by rule: several of these keys cannot be stored as files.
        std::string rules;
        for (const ProductFile& file : files)
            rules += (rules.empty() ? "[" : ", ") + std::string("{\"path_glob\": ") +
                     testing_support::JsonString(base + ToForward(file.key)) + ", \"body\": \"" + file.content + "\"}";
        testing_support::SetRules(Servers().httpUrl, rules + "]");

        Sandbox box(L"destination");
        box.Put(L"data\\user.sav", kSave);
        if (row.runFiles == RunFiles::LogInTarget) box.log = box.target + L"\\install.log";
        if (row.runFiles == RunFiles::WorkingDirectoryIsTarget) box.work = box.target;
        box.Seal();
        const Result result = box.Install(product.ManifestUrl());

        const bool refused = !row.refused.empty();
        EXPECT_EQ(result, refused ? Result(1, L"Invalid file path in manifest: " + row.refused) : Result(0, L"OK"));
        std::vector<Expected> expected = {{L"!first.txt", nullptr, &kFirst}, {L"data\\user.sav", &kSave, nullptr}};
        if (!refused) expected.push_back({L"~last.txt", nullptr, &kLast});
        for (const auto& file : row.kept) expected.push_back({file.first, nullptr, &file.second});
        CheckRun(box, result, expected);
        for (const Expected& file : expected)
            EXPECT_EQ(ReadBytes(box.target + L"\\" + file.path), file.after ? *file.after : *file.before)
                << Narrow(file.path);

        const std::string requests = testing_support::RecordedRequests(Servers().httpUrl);
        EXPECT_TRUE(Requested(requests, base + L"!first.txt")) << requests;
        if (refused) {
            EXPECT_FALSE(Requested(requests, base + ToForward(row.refused))) << requests;
            EXPECT_FALSE(Requested(requests, base + L"~last.txt")) << requests;
        }
        if (row.runFiles == RunFiles::LogInTarget) {
            const std::vector<std::string> log = box.Log();
            ASSERT_FALSE(log.empty());
            EXPECT_EQ(log.front(), "Online installation started") << "the log was replaced";
        }
    }
}

}  // namespace
}  // namespace reliability
