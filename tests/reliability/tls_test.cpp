// Certificates WinHTTP must refuse (untrusted, expired, issued for another host) and
// servers of TLS 1.0 or 1.1 alone. Whether the manifest or the mirror sits behind one,
// the install fails with a "NETWORK_UNREACHABLE: " text and writes nothing.
#include "sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace reliability {
namespace {

using testing_support::Narrow;
using testing_support::Product;
using testing_support::ReadBytes;
using testing_support::Servers;

const std::string kNew = "new content over TLS", kOld = "old content";

struct Server {
    const char* name;
    std::wstring url;
    bool accepted = false;
    bool versionOnly = false;  // openssl s_server answers no HEAD: only the manifest is there
};

TEST_F(ReliabilityTest, RefusedCertificatesAndTlsVersionsFailAsNetworkUnreachableAndWriteNothing) {
    const Server servers[] = {{"trusted (control)", Servers().httpsUrl, true},
                              {"untrusted", Servers().untrustedUrl},
                              {"expired", Servers().expiredUrl},
                              {"wrong host name", Servers().wrongHostUrl},
                              {"TLS 1.0 only", Servers().tlsOnlyUrl.at("1.0"), false, true},
                              {"TLS 1.1 only", Servers().tlsOnlyUrl.at("1.1"), false, true},
                              {"TLS 1.2 only", Servers().tlsOnlyUrl.at("1.2"), true, true},
                              // Wine 8.0 takes the TLS 1.3 flag but never negotiates TLS 1.3 (seen here).
                              {"TLS 1.3 only", Servers().tlsOnlyUrl.at("1.3"),
                               !GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"), true}};
    for (const Server& server : servers) {
        const bool trusted = server.accepted;
        for (const bool manifestThere : {true, false}) {
            if (server.versionOnly && !manifestThere) continue;
            SCOPED_TRACE(std::string(server.name) + (manifestThere ? ", manifest there" : ", mirror there"));
            // Every server serves the same root; only the certificate or the TLS version differs.
            Product product(L"tls");
            const std::wstring mirror = product.MirrorUrl(server.versionOnly ? Servers().httpsUrl : server.url, L"m1");
            product.Publish({{L"a.bin", kNew}}, {L"m1"}, {mirror});
            const std::string json = Product::ManifestJson({{L"a.bin", kNew}}, {mirror});
            product.Store(L"whole.json", "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(json.size()) +
                                             "\r\n\r\n" + json);
            const std::wstring manifestUrl = product.ManifestUrl(manifestThere ? server.url : Servers().httpsUrl);

            Sandbox box(L"tls");
            box.Put(L"a.bin", kOld);
            box.Seal();
            const Result result = box.Install(server.versionOnly ? server.url + L"/tls/whole.json" : manifestUrl);

            CheckRun(box, result, {{L"a.bin", &kOld, &kNew}});
            if (trusted) {
                EXPECT_EQ(result, Result(0, L"OK"));
                EXPECT_EQ(ReadBytes(box.target + L"\\a.bin"), kNew);
                continue;
            }
            const std::wstring expected = manifestThere ? NoManifest(1, L"HTTP request failed: ")
                                                        : AllMirrorsFailed(L"a.bin", 1, L"HTTP request failed: ");
            EXPECT_TRUE(HasPrefixAndTail(result.second, expected)) << Narrow(result.second);
            EXPECT_EQ(result.first, 1);
            EXPECT_EQ(ReadBytes(box.target + L"\\a.bin"), kOld);
            if (!manifestThere) {
                // The probes were refused as well, then every download attempt.
                const std::vector<std::string> log = box.Log();
                const std::string failed = "CDN FAILED: " + Narrow(mirror) + " error=HTTP request failed: ";
                EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                        [&](const std::string& line) { return line.rfind(failed, 0) == 0; }));
            }
        }
    }
}

}  // namespace
}  // namespace reliability
