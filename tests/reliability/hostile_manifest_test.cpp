// Manifests written by a hostile server, installed end to end: keys that try to
// leave the target, name devices or streams, lean on the platform's trimming of
// dots and blanks, are very long, collide in case or repeat; huge entry counts,
// impossible sizes and malformed digests. Each run ends as the Parts say, and
// nothing is ever written outside the target.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace reliability {
namespace {

using testing_support::Exists;
using testing_support::Narrow;
using testing_support::Product;
using testing_support::ProductFile;
using testing_support::ReadBytes;
using testing_support::Servers;
using testing_support::Sha256Hex;
using testing_support::Widen;

const std::string kFirst = "first file", kLast = "last file", kEvil = "hostile payload", kKeep = "precious old content";

// Places outside the sandbox that an absolute key could name.
const wchar_t* const kElsewhere[] = {L"C:\\tolvek_hostile_x.dll", L"Z:\\tmp\\tolvek_hostile_x.dll",
                                     L"\\tolvek_hostile_x.dll", L"Z:\\tolvek_hostile_x.dll"};

struct KeyRow {
    const char* name;
    std::wstring key;
    std::vector<Text> result;         // {} with `installedAs`: "OK"
    std::wstring installedAs;         // where the payload lands when installed, "" if nowhere
    std::vector<std::wstring> leftovers;  // temporary files the Parts leave (failed move)
    bool okOrCannotCreate = false;    // the platform decides whether such a path can be created
};

std::wstring Invalid(const std::wstring& key) { return L"Invalid file path in manifest: " + key; }
std::wstring Escapes(const std::wstring& key) { return L"File path escapes target directory: " + key; }

std::vector<KeyRow> KeyRows() {
    const std::wstring nul = std::wstring(L"keep.txt") + L'\0' + L"zz";
    const std::wstring longName(300, L'n');
    const std::wstring longPath = std::wstring(120, L'p') + L"/" + std::wstring(120, L'q') + L"/" + std::wstring(60, L'r');
    return {
        {"parent at the start", L"../tolvek_hostile_x.dll", {Exactly(Invalid(L"../tolvek_hostile_x.dll"))}, L"", {}},
        {"parent in the middle", L"sub/../../tolvek_hostile_x.dll",
         {Exactly(Invalid(L"sub/../../tolvek_hostile_x.dll"))}, L"", {}},
        {"parent with backslashes", L"sub\\..\\..\\tolvek_hostile_x.dll",
         {Exactly(Invalid(L"sub\\..\\..\\tolvek_hostile_x.dll"))}, L"", {}},
        {"parent alone", L"..", {Exactly(Escapes(L".."))}, L"", {}},
        {"current directory alone", L".", {Exactly(Escapes(L"."))}, L"", {}},
        {"rooted with a slash", L"/tolvek_hostile_x.dll", {Exactly(Invalid(L"/tolvek_hostile_x.dll"))}, L"", {}},
        {"rooted with a backslash", L"\\tolvek_hostile_x.dll", {Exactly(Invalid(L"\\tolvek_hostile_x.dll"))}, L"", {}},
        {"drive letter and root", L"C:\\tolvek_hostile_x.dll", {Exactly(Invalid(L"C:\\tolvek_hostile_x.dll"))}, L"", {}},
        {"drive-relative", L"C:tolvek_hostile_x.dll", {Exactly(Invalid(L"C:tolvek_hostile_x.dll"))}, L"", {}},
        {"other drive, forward slashes", L"Z:/tmp/tolvek_hostile_x.dll",
         {Exactly(Invalid(L"Z:/tmp/tolvek_hostile_x.dll"))}, L"", {}},
        {"UNC share", L"\\\\127.0.0.1\\share\\tolvek_hostile_x.dll",
         {Exactly(Invalid(L"\\\\127.0.0.1\\share\\tolvek_hostile_x.dll"))}, L"", {}},
        {"UNC with forward slashes", L"//127.0.0.1/share/x.dll", {Exactly(Invalid(L"//127.0.0.1/share/x.dll"))}, L"", {}},
        {"long-path prefix", L"\\\\?\\C:\\tolvek_hostile_x.dll",
         {Exactly(Invalid(L"\\\\?\\C:\\tolvek_hostile_x.dll"))}, L"", {}},
        {"device namespace", L"\\\\.\\C:\\x.dll", {Exactly(Invalid(L"\\\\.\\C:\\x.dll"))}, L"", {}},
        {"alternate data stream", L"keep.txt:evil", {Exactly(Invalid(L"keep.txt:evil"))}, L"", {}},
        {"default data stream", L"keep.txt::$DATA", {Exactly(Invalid(L"keep.txt::$DATA"))}, L"", {}},
        // The platform resolves device names to the device namespace.
        {"device CON", L"CON", {Exactly(Escapes(L"CON"))}, L"", {}},
        {"device nul, lower case", L"nul", {Exactly(Escapes(L"nul"))}, L"", {}},
        {"device with an extension", L"aux.txt", {Exactly(Escapes(L"aux.txt"))}, L"", {}},
        {"device COM1", L"COM1", {Exactly(Escapes(L"COM1"))}, L"", {}},
        {"device in a folder", L"sub/LPT1.dat", {Exactly(Escapes(L"sub/LPT1.dat"))}, L"", {}},
        // Trailing dots and blanks go from the last component; the file lands trimmed.
        {"trailing dot", L"f.txt.", {}, L"f.txt", {}},
        {"trailing blank", L"f.txt ", {}, L"f.txt", {}},
        {"folder with a trailing dot", L"dir./f.txt", {}, L"dir\\f.txt", {}},
        // A blank inside the path stays, so the folder the run created does not match it.
        {"folder with a trailing blank", L"dir /f.txt", {ThenPlatformText(AllMirrorsFailed(L"dir /f.txt", 1, L"Cannot create file: "))},
         L"", {}},
        // These name a directory once trimmed, so no file: refused before any request.
        {"parent with a trailing blank", L".. ", {Exactly(Invalid(L".. "))}, L"", {}},
        {"three dots", L"...", {Exactly(Invalid(L"..."))}, L"", {}},
        {"folder, then parent with a trailing blank", L"sub/.. ", {Exactly(Invalid(L"sub/.. "))}, L"", {}},
        {"trailing separator", L"sub/", {Exactly(Invalid(L"sub/"))}, L"", {}},
        {"three dots inside", L"x/.../y", {Exactly(Escapes(L"x/.../y"))}, L"", {}},
        {"wildcards", L"*.txt", {ThenPlatformText(AllMirrorsFailed(L"*.txt", 1, L"Cannot create file: "))}, L"", {}},
        // A failure is known by its kind, not its words: a folder named like the
        // cancellation is a path that cannot be created, retried as such.
        {"a folder named like the cancellation", L"Cancelled by user /f.txt",
         {ThenPlatformText(AllMirrorsFailed(L"Cancelled by user /f.txt", 1, L"Cannot create file: "))}, L"", {}},
        // The platform reads a path only up to a NUL: keep.txt must not be touched.
        // The result shows the NUL, so the host sees the whole key.
        {"NUL inside the key", nul, {Exactly(Invalid(L"keep.txt\\u0000zz"))}, L"", {}},
        {"a component longer than any file system allows", longName + L"/x.bin",
         {ThenPlatformText(AllMirrorsFailed(longName + L"/x.bin", 1, L"Cannot create file: "))}, L"", {}},
        {"a path longer than 260 characters", longPath, {}, std::wstring(120, L'p') + L"\\" + std::wstring(120, L'q') +
         L"\\" + std::wstring(60, L'r'), {}, true},
    };
}

TEST_F(ReliabilityTest, HostileKeysEndAsThePartsSayAndNeverWriteOutside) {
    const auto rows = KeyRows();
    for (size_t i = 0; i < rows.size(); ++i) {
        const KeyRow& row = rows[i];
        SCOPED_TRACE(row.name);
        const std::wstring name = L"hostile" + std::to_wstring(i);
        Product product(name);
        product.Store(L"m1/!first.txt", kFirst);
        product.Store(L"m1/~last.txt", kLast);
        const std::wstring mirror = product.MirrorUrl(Servers().httpUrl, L"m1");
        product.Store(L"manifest.json",
                      Product::ManifestJson({{L"!first.txt", kFirst}, {row.key, kEvil}, {L"~last.txt", kLast}}, {mirror}));
        // The mirror serves the payload under any name it is asked for.
        const std::string base = "/" + Narrow(name) + "/m1/";
        testing_support::SetRules(Servers().httpUrl, "[{\"path\": \"" + base + "%21first.txt\"}, {\"path\": \"" + base +
                                                         "~last.txt\"}, {\"path_glob\": \"" + base +
                                                         "*\", \"body\": \"" + kEvil + "\"}]");

        Sandbox box(L"hostile");
        box.Put(L"keep.txt", kKeep);
        box.Put(L"x.txt", kKeep);
        box.Seal();
        const Result result = box.Install(product.ManifestUrl());

        std::vector<Text> accepted = row.result;
        if (!row.installedAs.empty()) accepted.push_back(Exactly(L"OK"));
        if (row.okOrCannotCreate)
            accepted.push_back(ThenPlatformText(AllMirrorsFailed(row.key, 1, L"Cannot create file: ")));
        EXPECT_TRUE(Matches(result.second, accepted))
            << "result \"" << Narrow(result.second) << "\", expected " << Describe(accepted);
        const bool ok = result.first == 0;

        std::vector<Expected> files = {{L"!first.txt", nullptr, &kFirst}, {L"~last.txt", nullptr, &kLast},
                                       {L"keep.txt", &kKeep, nullptr}, {L"x.txt", &kKeep, nullptr}};
        if (!row.installedAs.empty()) files.push_back({row.installedAs, nullptr, &kEvil});
        CheckRun(box, result, files, {true, row.leftovers});
        EXPECT_EQ(ReadBytes(box.target + L"\\!first.txt"), kFirst);
        EXPECT_EQ(ReadBytes(box.target + L"\\~last.txt"), ok ? kLast : "");
        if (ok) {
            EXPECT_EQ(ReadBytes(box.target + L"\\" + row.installedAs), kEvil);
        }
        for (const auto& leftover : row.leftovers) EXPECT_EQ(ReadBytes(box.target + L"\\" + leftover), kEvil);
        for (const wchar_t* path : kElsewhere) EXPECT_FALSE(Exists(path)) << Narrow(path);
    }
}

// Other hostile manifests: each row is a whole manifest and what it must lead to.
struct ManifestRow {
    const char* name;
    std::string manifest;          // {mirror} stands for the mirror's base URL
    std::vector<ProductFile> served;
    std::vector<Text> result;
    std::vector<Expected> files;   // the target afterwards
};

std::string Entry(const std::string& key, const std::string& size, const std::string& hash) {
    return "\"" + key + "\": {\"size\": " + size + ", \"hash\": \"" + hash + "\"}";
}

TEST_F(ReliabilityTest, HostileManifestsEndAsThePartsSay) {
    static const std::string first = "first copy", second = "second copy!", five = "12345";
    const std::string sha5 = Sha256Hex(five);
    const std::vector<ManifestRow> rows = {
        // Keys differing only in case name one file: the later key (in UTF-16
        // order) is refused, and the earlier file stays as installed.
        {"duplicate keys differing in case",
         "{\"files\": {" + Entry("Readme.txt", std::to_string(second.size()), Sha256Hex(second)) + ", " +
             Entry("README.TXT", std::to_string(first.size()), Sha256Hex(first)) + "}, \"cdn\": \"{mirror}\"}",
         {{L"Readme.txt", second}, {L"README.TXT", first}},
         {Exactly(L"Invalid file path in manifest: Readme.txt")},
         {{L"README.TXT", nullptr, &first}}},
        // The parser keeps the first of two equal keys.
        {"the same key twice",
         "{\"files\": {" + Entry("dup.txt", std::to_string(first.size()), Sha256Hex(first)) + ", " +
             Entry("dup.txt", std::to_string(second.size()), Sha256Hex(second)) + "}, \"cdn\": \"{mirror}\"}",
         {{L"dup.txt", first}},
         {Exactly(L"OK")},
         {{L"dup.txt", nullptr, &first}}},
        // Not a URL, and worded like a text the engine writes: one mirror that fails.
        {"a first mirror named like the cancellation",
         "{\"files\": {" + Entry("ok.txt", "5", sha5) + "}, \"cdn_list\": [\"Cancelled by user\", \"{mirror}\"]}",
         {{L"ok.txt", five}},
         {Exactly(L"OK")},
         {{L"ok.txt", nullptr, &five}}},
        // No disk holds it: said before anything is requested.
        {"a size of 10^30",
         "{\"files\": {" + Entry("big.bin", "1e30", sha5) + "}, \"cdn\": \"{mirror}\"}",
         {{L"big.bin", five}},
         {ThenPlatformText(L"Not enough disk space in the target directory: 8589934592.00 GB needed, ")},
         {}},
        {"a negative size",
         "{\"files\": {" + Entry("neg.bin", "-5", sha5) + "}, \"cdn\": \"{mirror}\"}",
         {{L"neg.bin", five}},
         {Exactly(AllMirrorsFailed(L"neg.bin", 1, L"Size mismatch for neg.bin. Expected -5, got 5"))},
         {}},
        {"a hash of the wrong length",
         "{\"files\": {" + Entry("short.bin", "5", "abcdef") + "}, \"cdn\": \"{mirror}\"}",
         {{L"short.bin", five}},
         {Exactly(AllMirrorsFailed(L"short.bin", 1, L"SHA256 mismatch for short.bin. Expected ABCDEF, got " + Widen(sha5)))},
         {}},
        {"a hash one digit too long",
         "{\"files\": {" + Entry("long.bin", "5", sha5 + "0") + "}, \"cdn\": \"{mirror}\"}",
         {{L"long.bin", five}},
         {Exactly(AllMirrorsFailed(L"long.bin", 1, L"SHA256 mismatch for long.bin. Expected " + Widen(sha5) + L"0, got " +
                                                   Widen(sha5)))},
         {}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const ManifestRow& row = rows[i];
        SCOPED_TRACE(row.name);
        const std::wstring name = L"hostmanifest" + std::to_wstring(i);
        Product product(name);
        const std::wstring mirror = product.MirrorUrl(Servers().httpUrl, L"m1");
        for (const auto& file : row.served) product.Store(L"m" + std::to_wstring(1) + L"/" + file.key, file.content);
        product.Store(L"manifest.json", Fill(row.manifest, {{"mirror", Narrow(mirror)}}));
        // Served names differ only in case on the server's file system; serve each
        // request its own bytes.
        std::string rules = "[";
        for (const auto& file : row.served)
            rules += std::string(rules.size() > 1 ? ", " : "") + "{\"path\": \"/" + Narrow(name) + "/m1/" + Narrow(file.key) +
                     "\", \"body\": \"" + file.content + "\"}";
        testing_support::SetRules(Servers().httpUrl, rules + "]");

        Sandbox box(L"hostmanifest");
        box.Seal();
        const Result result = box.Install(product.ManifestUrl());
        EXPECT_TRUE(Matches(result.second, row.result))
            << "result \"" << Narrow(result.second) << "\", expected " << Describe(row.result);
        CheckRun(box, result, row.files);
    }
}

TEST_F(ReliabilityTest, TensOfThousandsOfEntries) {
    // 30000 protected installer names, which the run skips without a request,
    // around two real files; the whole list is read, counted and walked.
    const int protectedCount = 30000;
    const std::string a = "alpha", z = "omega";
    Product product(L"many");
    const std::wstring mirror = product.MirrorUrl(Servers().httpUrl, L"m1");
    product.Store(L"m1/a.txt", a);
    product.Store(L"m1/zz.txt", z);
    std::string manifest = "{\"cdn_list\": [\"" + Narrow(mirror) + "\"], \"files\": {" +
                           Entry("a.txt", "5", Sha256Hex(a)) + ", " + Entry("zz.txt", "5", Sha256Hex(z));
    char key[32];
    for (int i = 0; i < protectedCount; ++i) {
        std::snprintf(key, sizeof key, i % 2 ? "unins%05d.dat" : "sub/UNINS%05d.EXE", i);
        manifest += ", " + Entry(key, "100", Sha256Hex(key));
    }
    product.Store(L"manifest.json", manifest + "}}");

    Sandbox box(L"many");
    box.Seal();
    const Result result = box.Install(product.ManifestUrl());
    EXPECT_EQ(result, Result(0, L"OK"));
    CheckRun(box, result, {{L"a.txt", nullptr, &a}, {L"zz.txt", nullptr, &z}});
    const std::vector<std::string> log = box.Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "Files in manifest: " + std::to_string(protectedCount + 2)), log.end());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) { return line.rfind("Skipped protected installer artifact: ", 0) == 0; }),
              protectedCount);
    EXPECT_FALSE(Exists(box.target + L"\\sub"));  // protected entries get no folder either
}

}  // namespace
}  // namespace reliability
