// What a signed manifest brings as text and bytes, read before any key is used: the
// signature file's lines with their base64 and DER, a trusted key's base64 of its
// SubjectPublicKeyInfo, and the manifest's expiry. Pure and bounded, and free of
// windows.h, so these parsers of untrusted bytes build natively too; the keys and
// the verification themselves are CNG's (signature.h).
#pragma once

#include "failure.h"
#include "json.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek {

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

// A trusted key as the host writes it: the base64 of a P-256 SubjectPublicKeyInfo
// (ASCII only, ParseP256PublicKey's form).
bool ReadTrustedKey(std::wstring_view text, P256Point& point);

// The signature lines of a signature file (LF or CRLF, blank lines ignored), as
// tools write them: a UTF-8 byte-order mark at the start, and blanks, tabs and
// carriage returns around a line's base64, are not part of it. A line that is not
// the base64 of a DER signature is left out: it verifies nothing. False when the
// file is malformed: larger than 16 KiB, more than 16 lines, or no line.
bool ParseSignatureFile(std::string_view file, std::vector<RawSignature>& signatures);

// "YYYY-MM-DDTHH:MM:SSZ" (UTC, a real date and time, no leap second) as seconds
// since 1970-01-01T00:00:00Z.
bool ParseUtcTimestamp(std::wstring_view text, int64_t& seconds);
// Success when the manifest has no "expires" (null `expires`), or one that is not
// earlier than `now`. Otherwise Expired with "Manifest expired: " + the string, or
// Untrusted with "Manifest expiry not understood: " + the string, or for another kind
// its JSON text (an array or object as "[...]" or "{...}").
Outcome CheckFreshness(const JsonValue* expires, int64_t now);

}  // namespace tolvek
