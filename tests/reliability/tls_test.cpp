// Certificates WinHTTP must refuse: untrusted, expired, issued for another host.
// Whether the manifest or the mirror sits behind one, the install fails with a
// "NETWORK_UNREACHABLE: " text and writes nothing.
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
};

TEST_F(ReliabilityTest, RefusedCertificatesFailAsNetworkUnreachableAndWriteNothing) {
    const Server servers[] = {{"trusted (control)", Servers().httpsUrl},
                              {"untrusted", Servers().untrustedUrl},
                              {"expired", Servers().expiredUrl},
                              {"wrong host name", Servers().wrongHostUrl}};
    for (const Server& server : servers) {
        const bool trusted = server.url == Servers().httpsUrl;
        for (const bool manifestThere : {true, false}) {
            SCOPED_TRACE(std::string(server.name) + (manifestThere ? ", manifest there" : ", mirror there"));
            // Every server serves the same root; only the certificate differs.
            Product product(L"tls");
            const std::wstring mirror = product.MirrorUrl(server.url, L"m1");
            product.Publish({{L"a.bin", kNew}}, {L"m1"}, {mirror});

            Sandbox box(L"tls");
            box.Put(L"a.bin", kOld);
            box.Seal();
            const Result result = box.Install(product.ManifestUrl(manifestThere ? server.url : Servers().httpsUrl));

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
