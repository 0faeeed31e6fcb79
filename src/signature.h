// The publisher's signature on the manifest: the trusted keys a setup program
// carries (ECDSA P-256), the signature file beside each manifest URL, its
// verification over the exact manifest bytes, the manifest's expiry, and the rule
// that a signed manifest leaves no file unverified. Parsing is pure and bounded;
// verification goes through CNG.
#pragma once

#include "failure.h"
#include "handles.h"
#include "json.h"
#include "manifest_model.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek {

inline const std::wstring kSignatureNotValid = L"Manifest signature not valid";
inline const std::wstring kSignatureDownloadFailed = L"Manifest signature download failed: ";

constexpr size_t kMaxSignatureFileBytes = 16384;
constexpr size_t kMaxSignatureLines = 16;

// Standard base64 with "=" padding to a multiple of four characters and nothing
// else: no blanks, no line breaks, no other alphabet, no bits set past the end.
bool DecodeBase64(std::string_view text, std::string& bytes);

// X and Y of a P-256 public key, 32 bytes each, big-endian.
struct P256Point {
    std::array<unsigned char, 32> x{};
    std::array<unsigned char, 32> y{};
};
// A DER SubjectPublicKeyInfo of id-ecPublicKey on prime256v1 with an uncompressed
// point, and nothing after it.
bool ParseP256PublicKey(std::string_view der, P256Point& point);

// r followed by s, 32 bytes each, as CNG takes an ECDSA P-256 signature.
using RawSignature = std::array<unsigned char, 64>;
// A DER ECDSA-Sig-Value (a SEQUENCE of two minimal, positive INTEGERs, each from 1
// to the group order less one), and nothing after it.
bool ParseEcdsaSignature(std::string_view der, RawSignature& signature);

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

// The signature lines of a signature file (LF or CRLF, blank lines ignored), as
// tools write them: a UTF-8 byte-order mark at the start, and blanks, tabs and
// carriage returns around a line's base64, are not part of it. A line that is not
// the base64 of a DER signature is left out: it verifies nothing. False when the
// file is malformed: larger than 16 KiB, more than 16 lines, or no line.
bool ParseSignatureFile(std::string_view file, std::vector<RawSignature>& signatures);

// The 1-based number of the first trusted key under which one of the signatures
// verifies the SHA-256 of `bytes`; 0 when none does.
size_t FindSigningKey(const TrustedKeys& trusted, const std::vector<RawSignature>& signatures,
                      std::string_view bytes);

// ParseSignatureFile, then FindSigningKey: 0 as well for a malformed signature file,
// which leaves the manifest untrusted.
size_t SigningKeyOf(const TrustedKeys& trusted, std::string_view signatureFile, std::string_view bytes);
// "Manifest signature verified with trusted key i/n".
std::wstring SignatureVerifiedLine(size_t keyNumber, size_t keyCount);

// "YYYY-MM-DDTHH:MM:SSZ" (UTC, a real date and time, no leap second) as seconds
// since 1970-01-01T00:00:00Z.
bool ParseUtcTimestamp(std::wstring_view text, int64_t& seconds);
// The system's UTC time in the same seconds.
int64_t UtcNowSeconds();
// Success when the manifest has no "expires" (null `expires`), or one that is not
// earlier than `now`. Otherwise Expired with "Manifest expired: " + the string, or
// Untrusted with "Manifest expiry not understood: " + the string, or for another kind
// its JSON text (an array or object as "[...]" or "{...}").
Outcome CheckFreshness(const JsonValue* expires, int64_t now);

}  // namespace tolvek
