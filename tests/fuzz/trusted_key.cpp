// A trusted key as the host writes it: one read is the base64 of the one
// SubjectPublicKeyInfo of its point, so the point written back gives the same text.
#include "fuzz_support.h"
#include "signature_format.h"

// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 04 X Y } }.
constexpr std::string_view kPrefix("\x30\x59\x30\x13\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01\x06\x08\x2A\x86\x48\xCE"
                                   "\x3D\x03\x01\x07\x03\x42\x00\x04", 27);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = fuzz::Units(fuzz::Bytes(data, size));
    tolvek::P256Point point;
    if (!tolvek::ReadTrustedKey(text, point)) return 0;
    std::string der(kPrefix);
    der.append(point.x.begin(), point.x.end()).append(point.y.begin(), point.y.end());
    const std::string written = fuzz::Base64(der);
    FUZZ_REQUIRE(std::wstring(written.begin(), written.end()) == text);
    return 0;
}
