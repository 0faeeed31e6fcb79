// The publisher's signature through the verified start: manifests signed, tampered,
// signed by another key, rotated, expired and forged among the fallback URLs;
// signature files missing, failing once, malformed; key lists that hold no key. The
// signatures are made by the mirror server's openssl over the bytes it serves. Every
// run ends with its exact result; an untrusted manifest installs nothing and no file
// of it is requested. The plain start asks for no signature.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::ProductFile;
using testing_support::ReadBytes;
using testing_support::RecordedRequests;
using testing_support::Servers;
using testing_support::Sha256Hex;
using testing_support::SignServedFile;
using testing_support::Widen;

const std::string kA = "first file", kB = "second file, in a folder";
const std::wstring kNotValid = L"Manifest signature not valid";
const std::wstring kRecord = L"tolvek_installed_version.txt";
const char kProduct[] = "signed";

// One manifest URL of a row.
struct Served {
    // The signature file: "{new}", "{old}" and "{stranger}" stand for the base64
    // signature by that key of the manifest as first stored; empty: no such file.
    std::string signatureFile;
    std::string extra;       // members added to the manifest
    std::string tamper;      // appended to the manifest after it was signed
    bool dropHash = false;   // sub/b.bin listed without its hash
    bool refused = false;    // the URL names a port where nothing listens
};
Served Signed(std::string file) { return {std::move(file), "", "", false, false}; }
Served Refused() { return {"", "", "", false, true}; }

struct Row {
    const char* name;
    std::vector<Served> urls;
    // Key names separated by "|"; a piece starting with "!" is passed as it stands.
    std::string trusted;
    std::wstring result;
    std::string verified;  // "i/n" of the line "Manifest signature verified with trusted key ", or ""
    int firstUrlGets;      // GETs of the first manifest URL
    std::string rules;     // server rules during the run; {dir} is the first URL's directory
    std::wstring query;    // appended to every manifest URL
    std::pair<std::string, std::string> record = {};  // the installed version, before and after
    int verifiedLines = 1;                             // of the line above, when there is one
};

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

std::vector<Row> Rows() {
    const Served good = Signed("{new}\n"), forged = Signed("{stranger}\n"), rotated = Signed("{new}\n{old}\n");
    auto expiring = [](const std::string& value) {
        return Served{"{new}\n", ", \"expires\": " + value, "", false, false};
    };
    auto versioned = [](int v) { return Served{"{new}\n", ", \"version\": " + std::to_string(v), "", false, false}; };
    const std::pair<std::string, std::string> kept42 = {"42\r\n", "42\r\n"};
    const std::string none = "[]";
    return {
        {"signed with the trusted key", {good}, "new", L"OK", "1/1", 1, none, L""},
        {"a query after the manifest's path", {good}, "new", L"OK", "1/1", 1, none, L"?v=2"},
        {"a manifest changed after signing", {{"{new}\n", "", " ", false, false}}, "new", kNotValid, "", 1, none, L""},
        {"signed by another key", {forged}, "new", kNotValid, "", 1, none, L""},
        {"no signature file", {Signed("")}, "new",
         NoManifest(1, L"Manifest signature download failed: HTTP status 404"), "", 3, none, L""},
        {"a signature file that fails once", {good}, "new", L"OK", "1/1", 2,
         "[{\"path\": \"{dir}/manifest.json.sig\", \"status\": 503, \"times\": 1}]", L""},
        {"rotation, the new key alone", {rotated}, "new", L"OK", "1/1", 1, none, L""},
        {"rotation, the old key alone", {rotated}, "old", L"OK", "1/1", 1, none, L""},
        {"rotation, both keys", {rotated}, "new|old", L"OK", "1/2", 1, none, L""},
        {"rotation, the old key after a stranger", {rotated}, "stranger|old", L"OK", "2/2", 1, none, L""},
        {"rotation over, only the old key's line", {Signed("{old}\n")}, "new", kNotValid, "", 1, none, L""},
        {"a line that does not decode beside a good one", {Signed("garbage\n{new}\n")}, "new", L"OK", "1/1", 1,
         none, L""},
        {"CRLF and blank lines", {Signed("\r\n{new}\r\n\r\n")}, "new", L"OK", "1/1", 1, none, L""},
        {"17 lines", {Signed(Repeat("{new}\n", 17))}, "new", kNotValid, "", 1, none, L""},
        {"a signature file over 16 KiB", {Signed("{new}\n" + std::string(17000, ' '))}, "new", kNotValid, "", 1,
         none, L""},
        {"expired", {expiring("\"2020-01-01T00:00:00Z\"")}, "new", L"Manifest expired: 2020-01-01T00:00:00Z",
         "1/1", 1, none, L""},
        {"expires later", {expiring("\"2099-12-31T23:59:59Z\"")}, "new", L"OK", "1/1", 1, none, L""},
        {"an expiry without its time", {expiring("\"2099-12-31\"")}, "new",
         L"Manifest expiry not understood: 2099-12-31", "1/1", 1, none, L""},
        {"an expiry that is a number", {expiring("4102444800")}, "new",
         L"Manifest expiry not understood: 4102444800", "1/1", 1, none, L""},
        {"a forged first URL and a good second", {forged, good}, "new", L"OK", "1/1", 1, none, L""},
        {"two forged URLs", {forged, Signed("{old}\n")}, "new", kNotValid, "", 1, none, L""},
        {"a forged first URL and a refused second", {forged, Refused()}, "new", kNotValid, "", 1, none, L""},
        {"an expired first URL and a refused second", {expiring("\"2021-06-30T23:59:59Z\""), Refused()}, "new",
         L"Manifest expired: 2021-06-30T23:59:59Z", "1/1", 1, none, L""},
        {"a key that is not a key", {good}, "!not-a-key", L"Invalid trusted key: not-a-key", "", 0, none, L""},
        {"a good key and a cut one", {good}, "new|!MFkwEwYHKoZIzj0CAQ==",
         L"Invalid trusted key: MFkwEwYHKoZIzj0CAQ==", "", 0, none, L""},
        {"an empty key list", {good}, "", L"Invalid trusted key: ", "", 0, none, L""},
        {"a signed entry without its hash", {{"{new}\n", "", "", true, false}}, "new",
         L"Unverifiable file in signed manifest: sub/b.bin", "1/1", 1, none, L""},
        {"a byte-order mark and blanks", {Signed("\xEF\xBB\xBF{new} \t\r\n")}, "new", L"OK", "1/1", 1, none, L""},
        {"version 41 replayed before the installed 42", {versioned(41), versioned(42)}, "new", L"OK", "1/1", 1, none,
         L"", kept42, 2},
        {"version 41 replayed alone", {versioned(41)}, "new", L"Manifest version older than installed: 41 < 42", "1/1",
         1, none, L"", kept42},
        {"the installed version again", {versioned(42)}, "new", L"OK", "1/1", 1, none, L"", kept42},
        {"a garbled record: none yet", {versioned(41)}, "new", L"OK", "1/1", 1, none, L"", {"42 and 1\r\n", "41\r\n"}},
    };
}

class SignatureTest : public ReliabilityTest {
protected:
    void SetUp() override {
        ReliabilityTest::SetUp();
        product.Store(L"m/a.bin", kA);
        product.Store(L"m/sub/b.bin", kB);
        for (const char* name : {"new", "old", "stranger"})
            keys[name] = SignServedFile(Servers().httpUrl, "/" + std::string(kProduct) + "/m/a.bin", name).publicKey;
    }

    std::string Dir(size_t url) const { return "/" + std::string(kProduct) + "/u" + std::to_string(url); }

    // Stores the manifest and its signature file for one URL; returns the URL.
    std::wstring Publish(size_t url, const Served& served, const std::wstring& query) {
        if (served.refused) return Servers().refusedUrl + L"/manifest.json";
        std::string manifest = Product::ManifestJson({{L"a.bin", kA}, {L"sub/b.bin", kB}},
                                                     {product.MirrorUrl(Servers().httpUrl, L"m")}, served.extra);
        if (served.dropHash) {
            const std::string hash = ", \"hash\": \"" + Sha256Hex(kB) + "\"";
            manifest.erase(manifest.find(hash), hash.size());
        }
        const std::wstring dir = L"u" + std::to_wstring(url);
        product.Store(dir + L"/manifest.json", manifest);
        const std::string path = Dir(url) + "/manifest.json";
        std::vector<std::pair<std::string, std::string>> lines;
        for (const auto& key : keys) lines.push_back({key.first, SignServedFile(Servers().httpUrl, path, key.first).signature});
        if (served.signatureFile.empty())
            DeleteFileW((Servers().root + L"\\" + Widen(kProduct) + L"\\" + dir + L"\\manifest.json.sig").c_str());
        else
            product.Store(dir + L"/manifest.json.sig", Fill(served.signatureFile, lines));
        product.Store(dir + L"/manifest.json", manifest + served.tamper);
        return Servers().httpUrl + Widen(path) + query;
    }

    std::wstring TrustedList(const std::string& names) {
        std::wstring list;
        size_t begin = 0;
        while (begin <= names.size() && !names.empty()) {
            const size_t end = std::min(names.find('|', begin), names.size());
            const std::string piece = names.substr(begin, end - begin);
            list += (begin ? L"|" : L"") + Widen(piece[0] == '!' ? piece.substr(1) : keys.at(piece));
            begin = end + 1;
        }
        return list;
    }

    static int Count(const std::string& text, const std::string& piece) {
        int count = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
        return count;
    }

    Product product{Widen(kProduct)};
    std::map<std::string, std::string> keys;  // name -> base64 public key
};

TEST_F(SignatureTest, VerifiedInstallsTable) {
    for (const Row& row : Rows()) {
        SCOPED_TRACE(row.name);
        testing_support::ResetServer(Servers().httpUrl);
        std::wstring urls;
        std::vector<std::wstring> list;
        for (size_t i = 0; i < row.urls.size(); ++i) {
            list.push_back(Publish(i + 1, row.urls[i], row.query));
            urls += (i ? L"|" : L"") + list.back();
        }
        testing_support::ResetServer(Servers().httpUrl);
        testing_support::SetRules(Servers().httpUrl, Fill(row.rules, {{"dir", Dir(1)}}));

        Sandbox box(L"signature");
        if (!row.record.first.empty()) box.Put(kRecord, row.record.first);
        box.Seal();
        const Result result = box.InstallVerified(urls, TrustedList(row.trusted));
        EXPECT_EQ(result.second, row.result);
        const bool trusted = row.result == L"OK";
        CheckRun(box, result, {{L"a.bin", nullptr, &kA}, {L"sub\\b.bin", nullptr, &kB}});
        EXPECT_EQ(ReadBytes(box.target + L"\\" + kRecord), row.record.first.empty() && trusted ? "0\r\n" : row.record.second);

        const std::string requests = RecordedRequests(Servers().httpUrl);
        const std::string first = Dir(1) + "/manifest.json";
        EXPECT_EQ(Count(requests, "\"path\": \"" + first + Narrow(row.query) + "\""), row.firstUrlGets) << requests;
        if (row.firstUrlGets == 0) {
            EXPECT_EQ(Count(requests, "\"path\""), 0) << "a request before the keys were checked: " << requests;
        }
        if (row.firstUrlGets > 0 && !row.urls[0].refused) {
            EXPECT_GE(Count(requests, "\"path\": \"" + first + ".sig" + Narrow(row.query) + "\""), 1) << requests;
        }
        const std::vector<std::string> log = box.Log();
        const std::string verifiedLine = "Manifest signature verified with trusted key " + row.verified;
        EXPECT_EQ(std::count(log.begin(), log.end(), verifiedLine), row.verified.empty() ? 0 : row.verifiedLines)
            << verifiedLine;
        if (trusted) continue;
        // Untrusted: nothing requested from the mirror, nothing written.
        EXPECT_EQ(Count(requests, "/" + std::string(kProduct) + "/m/"), 0) << requests;
        EXPECT_EQ(ReadTree(box.target).size(), row.record.first.empty() ? 0u : 1u);
        if (row.firstUrlGets == 1 && row.verified.empty()) {
            const std::string failure = "Manifest download failed: " + Narrow(list[0]) + " ; error=" + Narrow(kNotValid);
            EXPECT_EQ(std::count(log.begin(), log.end(), failure), 1) << failure;
        }
    }
}

TEST_F(SignatureTest, CancelDuringTheSignaturesTransferEndsAsACancel) {
    const std::wstring url = Publish(1, Signed("{new}\n"), L"");
    testing_support::ResetServer(Servers().httpUrl);
    // One byte every 200 ms: the signature's transfer lasts about 20 s.
    testing_support::SetRules(Servers().httpUrl, "[{\"path\": \"" + Dir(1) +
                                                     "/manifest.json.sig\", \"drip\": true, \"drip_bytes\": 1, "
                                                     "\"drip_interval_ms\": 200}]");
    Sandbox box(L"cancel");
    box.Seal();
    ASSERT_EQ(testing_support::Dll().StartVerified(url.c_str(), box.target.c_str(), box.log.c_str(),
                                                   box.work.c_str(), TrustedList("new").c_str()),
              1);
    const std::wstring signature = url + L".sig";
    TolvekProgressRecord record = {};
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (GetTickCount64() < deadline &&
           !(testing_support::Dll().GetProgress(&record) && record.currentItem == signature &&
             std::wstring(record.status) == L"Downloading"))
        Sleep(10);
    ASSERT_EQ(record.currentItem, signature) << "the signature's transfer was not seen";
    const ULONGLONG cancelled = GetTickCount64();
    testing_support::Dll().Cancel();
    ASSERT_TRUE(testing_support::Dll().WaitDone(10000));
    EXPECT_LT(GetTickCount64() - cancelled, 2000u);
    const Result result = testing_support::Dll().Result();
    testing_support::Dll().Shutdown();
    EXPECT_EQ(result.second, L"Cancelled by user");
    CheckRun(box, result, {{L"a.bin", nullptr, &kA}, {L"sub\\b.bin", nullptr, &kB}});
    EXPECT_TRUE(ReadTree(box.target).empty());
}

TEST_F(SignatureTest, PlainStartAsksForNoSignatureAndVerifiesNothing) {
    // Forged, and an entry without its hash: the plain start installs it as before.
    const std::wstring url = Publish(1, {"{stranger}\n", ", \"version\": 41", " ", true, false}, L"");
    testing_support::ResetServer(Servers().httpUrl);
    Sandbox box(L"plain");
    box.Put(kRecord, "42\r\n");
    box.Seal();
    const Result result = box.Install(url);
    EXPECT_EQ(result.second, L"OK");
    CheckRun(box, result, {{L"a.bin", nullptr, &kA}, {L"sub\\b.bin", nullptr, &kB}});
    const std::string requests = RecordedRequests(Servers().httpUrl);
    EXPECT_EQ(Count(requests, ".sig"), 0) << requests;
    EXPECT_EQ(Count(requests, "\"path\": \"" + Dir(1) + "/manifest.json\""), 1) << requests;
    EXPECT_EQ(ReadBytes(box.target + L"\\" + kRecord), "42\r\n") << "older than installed";
    for (const std::string& line : box.Log()) EXPECT_EQ(line.find("signature"), std::string::npos) << line;
}

}  // namespace
}  // namespace reliability
