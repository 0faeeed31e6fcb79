// A signature file, and the same bytes as one line's base64 and as a DER signature:
// a file read keeps its bounds; base64 and DER are each the one form of what they
// hold, so what is read is written back byte for byte.
#include "fuzz_support.h"
#include "signature_format.h"

using namespace tolvek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes = fuzz::Bytes(data, size);
    std::vector<RawSignature> signatures;
    if (ParseSignatureFile(bytes, signatures))
        FUZZ_REQUIRE(size <= kMaxSignatureFileBytes && signatures.size() <= kMaxSignatureLines);
    std::string decoded;
    if (DecodeBase64(bytes, decoded)) FUZZ_REQUIRE(fuzz::Base64(decoded) == bytes);
    RawSignature signature;
    if (ParseEcdsaSignature(bytes, signature)) {
        const std::string values = fuzz::DerInteger(signature.data()) + fuzz::DerInteger(signature.data() + 32);
        FUZZ_REQUIRE(std::string{'\x30', static_cast<char>(values.size())} + values == bytes);
    }
    return 0;
}
