// Manifests written by a hostile server, installed end to end: keys that try to
// leave the target, name devices or streams, lean on the platform's trimming of
// dots and blanks, are very long, collide in case or repeat; huge entry counts,
// impossible sizes and malformed digests. Each run ends with the result its row names, and
// nothing is ever written outside the target.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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
    std::vector<std::wstring> leftovers;  // temporary files a run leaves (failed move)
    bool okOrCannotCreate = false;    // the platform decides whether such a path can be created
    bool refusedUpFront = false;      // refused before any request: nothing is installed
};

std::wstring Invalid(const std::wstring& key) { return L"Invalid file path in manifest: " + key; }
std::wstring Escapes(const std::wstring& key) { return L"File path escapes target directory: " + key; }
// A local failure, without the network's prefix: the key's temporary file below the
// target ({target} in the text) and the platform's reason.
Text CannotCreate(const std::wstring& key) {
    return ThenPlatformText(L"Cannot create file: {target}\\" + key + L".download (");
}

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
         {Exactly(Invalid(L"\\\\?\\C:\\tolvek_hostile_x.dll"))}, L"", {}, false, true},
        {"device namespace", L"\\\\.\\C:\\x.dll", {Exactly(Invalid(L"\\\\.\\C:\\x.dll"))}, L"", {}},
        {"alternate data stream", L"keep.txt:evil", {Exactly(Invalid(L"keep.txt:evil"))}, L"", {}},
        {"default data stream", L"keep.txt::$DATA", {Exactly(Invalid(L"keep.txt::$DATA"))}, L"", {}},
        // Names Windows cannot hold: devices in any case, with any extension, trailing
        // blanks and dots, as any component; the characters no name may hold.
        {"device CON", L"CON", {Exactly(Invalid(L"CON"))}, L"", {}, false, true},
        {"device nul, lower case", L"nul", {Exactly(Invalid(L"nul"))}, L"", {}, false, true},
        {"device with an extension", L"aux.txt", {Exactly(Invalid(L"aux.txt"))}, L"", {}, false, true},
        {"device with a blank before the extension", L"con .txt", {Exactly(Invalid(L"con .txt"))}, L"", {}, false, true},
        {"device with trailing dots", L"Prn..", {Exactly(Invalid(L"Prn.."))}, L"", {}, false, true},
        {"device COM1", L"COM1", {Exactly(Invalid(L"COM1"))}, L"", {}, false, true},
        {"console input", L"CONIN$", {Exactly(Invalid(L"CONIN$"))}, L"", {}, false, true},
        {"device in a folder", L"sub/LPT1.dat", {Exactly(Invalid(L"sub/LPT1.dat"))}, L"", {}, false, true},
        {"device as a folder", L"aux/x.txt", {Exactly(Invalid(L"aux/x.txt"))}, L"", {}, false, true},
        {"a question mark", L"a?b.txt", {Exactly(Invalid(L"a?b.txt"))}, L"", {}, false, true},
        {"angle brackets", L"sub/<b>.txt", {Exactly(Invalid(L"sub/<b>.txt"))}, L"", {}, false, true},
        {"a bar", L"a|b", {Exactly(Invalid(L"a|b"))}, L"", {}, false, true},
        {"a double quote", L"say \"hi\".txt", {Exactly(Invalid(L"say \"hi\".txt"))}, L"", {}, false, true},
        {"a control character", L"a\x01" L"b.txt", {Exactly(Invalid(L"a\\u0001b.txt"))}, L"", {}, false, true},
        // Skipped unread like every protected file, whatever its name holds.
        {"a protected name with a wildcard", L"unins*.exe", {Exactly(L"OK")}, L"", {}},
        // Trailing dots and blanks go from the last component; the file lands trimmed.
        {"trailing dot", L"f.txt.", {}, L"f.txt", {}},
        {"trailing blank", L"f.txt ", {}, L"f.txt", {}},
        {"folder with a trailing dot", L"dir./f.txt", {}, L"dir\\f.txt", {}},
        // A blank inside the path stays, so the folder the run created does not match it.
        {"folder with a trailing blank", L"dir /f.txt", {CannotCreate(L"dir /f.txt")}, L"", {}},
        // These name a directory once trimmed, so no file: refused before any request.
        {"parent with a trailing blank", L".. ", {Exactly(Invalid(L".. "))}, L"", {}},
        {"three dots", L"...", {Exactly(Invalid(L"..."))}, L"", {}},
        {"folder, then parent with a trailing blank", L"sub/.. ", {Exactly(Invalid(L"sub/.. "))}, L"", {}},
        {"trailing separator", L"sub/", {Exactly(Invalid(L"sub/"))}, L"", {}},
        {"three dots inside", L"x/.../y", {Exactly(Escapes(L"x/.../y"))}, L"", {}},
        {"wildcards", L"*.txt", {Exactly(Invalid(L"*.txt"))}, L"", {}, false, true},
        // A failure is known by its kind, not its words: a folder named like the
        // cancellation is a path that cannot be created, and no cancel.
        {"a folder named like the cancellation", L"Cancelled by user /f.txt",
         {CannotCreate(L"Cancelled by user /f.txt")}, L"", {}},
        // The platform reads a path only up to a NUL: keep.txt must not be touched.
        // The result shows the NUL, so the host sees the whole key.
        {"NUL inside the key", nul, {Exactly(Invalid(L"keep.txt\\u0000zz"))}, L"", {}},
        {"a component longer than any file system allows", longName + L"/x.bin",
         {CannotCreate(longName + L"/x.bin")}, L"", {}},
        {"a path longer than 260 characters", longPath, {}, std::wstring(120, L'p') + L"\\" + std::wstring(120, L'q') +
         L"\\" + std::wstring(60, L'r'), {}, true},
    };
}

TEST_F(ReliabilityTest, HostileKeysEndWithTheirOwnResultAndNeverWriteOutside) {
    // One file after another: with several at once the file after a key that fails
    // may already be in place, and each row checks that it is not.
    const testing_support::ScopedOption oneAtATime(L"parallel", L"1");
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
        testing_support::ResetServer(Servers().httpUrl);
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
        if (row.okOrCannotCreate) accepted.push_back(CannotCreate(row.key));
        for (Text& text : accepted) text.text = Widen(Fill(Narrow(text.text), {{"target", Narrow(box.target)}}));
        EXPECT_TRUE(Matches(result.second, accepted))
            << "result \"" << Narrow(result.second.substr(0, 300)) << "\", expected " << Describe(accepted).substr(0, 600);
        const bool ok = result.first == 0;
        // Refused up front: the manifest is the only request; otherwise the probe
        // and the first file's GET at least followed it.
        const size_t requests = testing_support::SentBytes(Servers().httpUrl).size();
        if (row.refusedUpFront) {
            EXPECT_EQ(requests, 1u);
        } else {
            EXPECT_GE(requests, 3u);
        }

        std::vector<Expected> files = {{L"!first.txt", nullptr, &kFirst}, {L"~last.txt", nullptr, &kLast},
                                       {L"keep.txt", &kKeep, nullptr}, {L"x.txt", &kKeep, nullptr}};
        if (!row.installedAs.empty()) files.push_back({row.installedAs, nullptr, &kEvil});
        CheckRun(box, result, files, {true, row.leftovers});
        EXPECT_EQ(ReadBytes(box.target + L"\\!first.txt"), row.refusedUpFront ? "" : kFirst);
        EXPECT_EQ(ReadBytes(box.target + L"\\~last.txt"), ok ? kLast : "");
        if (ok && !row.installedAs.empty()) {
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

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Entry(const std::string& key, const std::string& size, const std::string& hash) {
    return "\"" + key + "\": {\"size\": " + size + ", \"hash\": \"" + hash + "\"}";
}

TEST_F(ReliabilityTest, HostileManifestsEndWithTheirOwnResult) {
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
        // Sizes and digests that could bound or verify nothing: refused before any
        // request, so no mirror's bytes are installed unchecked.
        {"a negative size", "{\"files\": {" + Entry("neg.bin", "-5", sha5) + "}, \"cdn\": \"{mirror}\"}",
         {{L"neg.bin", five}}, {Exactly(L"Invalid file size in manifest: neg.bin")}, {}},
        {"a fractional size", "{\"files\": {" + Entry("frac.bin", "4.5", sha5) + "}, \"cdn\": \"{mirror}\"}",
         {{L"frac.bin", five}}, {Exactly(L"Invalid file size in manifest: frac.bin")}, {}},
        {"a size written as a string", "{\"files\": {\"str.bin\": {\"size\": \"5\", \"hash\": \"" + sha5 +
                                           "\"}}, \"cdn\": \"{mirror}\"}",
         {{L"str.bin", five}}, {Exactly(L"Invalid file size in manifest: str.bin")}, {}},
        {"a null size", "{\"files\": {\"null.bin\": {\"size\": null}}, \"cdn\": \"{mirror}\"}",
         {{L"null.bin", five}}, {Exactly(L"Invalid file size in manifest: null.bin")}, {}},
        {"a hash of the wrong length",
         "{\"files\": {" + Entry("short.bin", "5", "abcdef") + "}, \"cdn\": \"{mirror}\"}",
         {{L"short.bin", five}}, {Exactly(L"Invalid file hash in manifest: short.bin")}, {}},
        {"a hash one digit too long",
         "{\"files\": {" + Entry("long.bin", "5", sha5 + "0") + "}, \"cdn\": \"{mirror}\"}",
         {{L"long.bin", five}}, {Exactly(L"Invalid file hash in manifest: long.bin")}, {}},
        {"an empty hash", "{\"files\": {" + Entry("empty.bin", "5", "") + "}, \"cdn\": \"{mirror}\"}",
         {{L"empty.bin", five}}, {Exactly(L"Invalid file hash in manifest: empty.bin")}, {}},
        {"a hash with blanks", "{\"files\": {" + Entry("blank.bin", "5", " " + sha5.substr(1)) + "}, \"cdn\": \"{mirror}\"}",
         {{L"blank.bin", five}}, {Exactly(L"Invalid file hash in manifest: blank.bin")}, {}},
        {"a null hash", "{\"files\": {\"nohash.bin\": {\"size\": 5, \"hash\": null}}, \"cdn\": \"{mirror}\"}",
         {{L"nohash.bin", five}}, {Exactly(L"Invalid file hash in manifest: nohash.bin")}, {}},
        {"a hash given as a number", "{\"files\": {\"num.bin\": {\"size\": 5, \"hash\": 5}}, \"cdn\": \"{mirror}\"}",
         {{L"num.bin", five}}, {Exactly(L"Invalid file hash in manifest: num.bin")}, {}},
        // One unusable entry among good ones stops the run before the first of them.
        {"an unusable hash after a good entry",
         "{\"files\": {" + Entry("a.bin", "5", sha5) + ", " + Entry("b.bin", "5", "") + "}, \"cdn\": \"{mirror}\"}",
         {{L"a.bin", five}, {L"b.bin", five}}, {Exactly(L"Invalid file hash in manifest: b.bin")}, {}},
        // A digest in lower case is a digest.
        {"a lower-case hash", "{\"files\": {" + Entry("lower.bin", "5", Lower(sha5)) + "}, \"cdn\": \"{mirror}\"}",
         {{L"lower.bin", five}}, {Exactly(L"OK")}, {{L"lower.bin", nullptr, &five}}},
        // A signed mirror URL: the file's path goes before the query, which the mirror
        // requires (a request without it is refused).
        {"a mirror URL with a query",
         "{\"files\": {" + Entry("q.bin", "5", sha5) + "}, \"cdn\": \"{mirror}?token=abc\"}",
         {{L"q.bin", five}}, {Exactly(L"OK")}, {{L"q.bin", nullptr, &five}}},
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
                     (file.key == L"q.bin" ? "?token=abc" : "") + "\", \"body\": \"" + file.content + "\"}";
        rules += ", {\"path_glob\": \"/" + Narrow(name) + "/m1/q.bin\", \"status\": 403}";
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::SetRules(Servers().httpUrl, rules + "]");

        Sandbox box(L"hostmanifest");
        box.Seal();
        const Result result = box.Install(product.ManifestUrl());
        EXPECT_TRUE(Matches(result.second, row.result))
            << "result \"" << Narrow(result.second) << "\", expected " << Describe(row.result);
        CheckRun(box, result, row.files);
        // An entry refused for what it declares is refused before the probe and any file.
        const std::wstring& text = row.result[0].text;
        if (text.rfind(L"Invalid file size ", 0) == 0 || text.rfind(L"Invalid file hash ", 0) == 0) {
            EXPECT_EQ(testing_support::SentBytes(Servers().httpUrl).size(), 1u) << "only the manifest";
        }
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
