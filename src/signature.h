// The publisher's signature on the manifest: the trusted keys a setup program
// carries (ECDSA P-256), the signature file beside each manifest URL, its
// verification over the exact manifest bytes through CNG. What the signature file,
// the keys and the expiry say as text is read by signature_format.h.
#pragma once

#include "failure.h"
#include "handles.h"
#include "manifest_model.h"
#include "signature_format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek {

inline const std::wstring kSignatureNotValid = L"Manifest signature not valid";
inline const std::wstring kSignatureDownloadFailed = L"Manifest signature download failed: ";

// The trusted keys imported into CNG, in the order the host listed them. The keys
// are released before the provider that imported them.
struct TrustedKeys {
    AlgorithmHandle provider;
    std::vector<KeyHandle> keys;
};
// The host's "|"-separated list (empty pieces ignored). Fails with "Invalid trusted
// key: " and the key as given, for an empty list or a key that is not the base64 of
// a P-256 SubjectPublicKeyInfo that CNG imports.
Outcome ParseTrustedKeys(const std::wstring& list, TrustedKeys& trusted);

// The 1-based number of the first trusted key under which one of the signatures
// verifies the SHA-256 of `bytes`; 0 when none does.
size_t FindSigningKey(const TrustedKeys& trusted, const std::vector<RawSignature>& signatures,
                      std::string_view bytes);

// ParseSignatureFile, then FindSigningKey: 0 as well for a malformed signature file,
// which leaves the manifest untrusted.
size_t SigningKeyOf(const TrustedKeys& trusted, std::string_view signatureFile, std::string_view bytes);
// "Manifest signature verified with trusted key i/n".
std::wstring SignatureVerifiedLine(size_t keyNumber, size_t keyCount);

// The system's UTC time in seconds since 1970-01-01T00:00:00Z.
int64_t UtcNowSeconds();

}  // namespace tolvek
