#include "signature.h"

#include "text.h"
#include "verify.h"

#include <array>
#include <cstring>

namespace tolvek {

namespace {

const std::wstring kInvalidTrustedKey = L"Invalid trusted key: ";
constexpr size_t kCoordinateSize = sizeof(P256Point::x);

bool ImportP256Key(BCRYPT_ALG_HANDLE provider, const P256Point& point, KeyHandle& key) {
    if (!provider) return false;
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kCoordinateSize)};
    std::array<unsigned char, sizeof header + 2 * kCoordinateSize> blob{};
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, point.x.data(), kCoordinateSize);
    std::memcpy(blob.data() + sizeof header + kCoordinateSize, point.y.data(), kCoordinateSize);
    return BCRYPT_SUCCESS(BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob.data(),
                                              static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

Outcome ParseTrustedKeys(const std::wstring& list, TrustedKeys& trusted) {
    trusted.keys.clear();
    const std::vector<std::wstring> pieces = SplitString(list, L'|');
    if (pieces.empty()) return Fail(FailureKind::InvalidKey, kInvalidTrustedKey);
    // Without the provider no key imports, and the first one is reported.
    BCryptOpenAlgorithmProvider(trusted.provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    for (const std::wstring& piece : pieces) {
        P256Point point;
        KeyHandle key;
        if (!ReadTrustedKey(piece, point) || !ImportP256Key(trusted.provider.get(), point, key))
            return Fail(FailureKind::InvalidKey, kInvalidTrustedKey + piece);
        trusted.keys.push_back(std::move(key));
    }
    return Success();
}

size_t FindSigningKey(const TrustedKeys& trusted, const std::vector<RawSignature>& signatures,
                      std::string_view bytes) {
    Sha256Digest digest;
    if (signatures.empty() || !ComputeSha256(bytes, digest)) return 0;
    for (size_t i = 0; i < trusted.keys.size(); ++i) {
        for (const RawSignature& signature : signatures) {
            // CNG reads the signature only; its prototype is not const. Only
            // STATUS_SUCCESS (0) means the signature holds.
            auto* data = const_cast<PUCHAR>(signature.data());
            if (BCryptVerifySignature(trusted.keys[i].get(), nullptr, digest.data(),
                                      static_cast<ULONG>(digest.size()), data,
                                      static_cast<ULONG>(signature.size()), 0) == 0)
                return i + 1;
        }
    }
    return 0;
}

size_t SigningKeyOf(const TrustedKeys& trusted, std::string_view signatureFile, std::string_view bytes) {
    std::vector<RawSignature> signatures;
    return ParseSignatureFile(signatureFile, signatures) ? FindSigningKey(trusted, signatures, bytes) : 0;
}

std::wstring SignatureVerifiedLine(size_t keyNumber, size_t keyCount) {
    return L"Manifest signature verified with trusted key " + std::to_wstring(keyNumber) + L"/" +
           std::to_wstring(keyCount);
}

int64_t UtcNowSeconds() {
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kSeconds1601To1970 = 11644473600;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return static_cast<int64_t>(ticks / kTicksPerSecond) - kSeconds1601To1970;
}

}  // namespace tolvek
