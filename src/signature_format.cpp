#include "signature_format.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tolvek {

namespace {

const std::wstring kExpired = L"Manifest expired: ";
const std::wstring kExpiryNotUnderstood = L"Manifest expiry not understood: ";

constexpr unsigned char kSequence = 0x30, kInteger = 0x02, kBitString = 0x03, kObjectId = 0x06;
// 1.2.840.10045.2.1 (id-ecPublicKey) and 1.2.840.10045.3.1.7 (prime256v1).
constexpr std::string_view kEcPublicKeyOid("\x2A\x86\x48\xCE\x3D\x02\x01", 7);
constexpr std::string_view kPrime256v1Oid("\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8);
constexpr size_t kCoordinateSize = 32;
constexpr unsigned char kUncompressedPoint = 0x04;
// The order of the P-256 group, big-endian: r and s lie between 1 and this less one.
constexpr std::array<unsigned char, kCoordinateSize> kP256Order = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

unsigned char ByteAt(std::string_view bytes, size_t at) { return static_cast<unsigned char>(bytes[at]); }

// Takes one element with `tag` from the front of `in`, its contents into `contents`.
// Lengths are definite and minimal (DER), and checked against what is left, so
// nothing past the end is read. Keys and signatures are far below 64 KiB.
bool TakeElement(std::string_view& in, unsigned char tag, std::string_view& contents) {
    if (in.size() < 2 || ByteAt(in, 0) != tag) return false;
    size_t length = ByteAt(in, 1);
    size_t header = 2;
    if (length >= 0x80) {
        const size_t octets = length - 0x80;
        if (octets == 0 || octets > 2 || in.size() < header + octets) return false;
        length = 0;
        for (size_t i = 0; i < octets; ++i) length = length << 8 | ByteAt(in, header + i);
        header += octets;
        // Below 128 the short form, and no leading zero octet.
        if (length < 0x80 || (octets == 2 && length < 0x100)) return false;
    }
    if (in.size() - header < length) return false;
    contents = in.substr(header, length);
    in.remove_prefix(header + length);
    return true;
}

// One element with `tag` that is the whole of `in`.
bool WholeElement(std::string_view in, unsigned char tag, std::string_view& contents) {
    return TakeElement(in, tag, contents) && in.empty();
}

// One INTEGER of a signature as 32 big-endian bytes: minimal, positive, below the order.
bool TakeScalar(std::string_view& in, unsigned char* out) {
    std::string_view value;
    if (!TakeElement(in, kInteger, value) || value.empty() || (ByteAt(value, 0) & 0x80)) return false;
    if (ByteAt(value, 0) == 0 && value.size() > 1) {
        // A zero octet is there only to keep a high bit from reading as a sign.
        if (!(ByteAt(value, 1) & 0x80)) return false;
        value.remove_prefix(1);
    }
    if (value.size() > kCoordinateSize) return false;
    std::memset(out, 0, kCoordinateSize);
    std::memcpy(out + kCoordinateSize - value.size(), value.data(), value.size());
    const bool zero = std::all_of(out, out + kCoordinateSize, [](unsigned char b) { return b == 0; });
    return !zero && std::memcmp(out, kP256Order.data(), kCoordinateSize) < 0;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The text as bytes when it is plain ASCII, as every base64 text is.
bool AsciiBytes(std::wstring_view text, std::string& bytes) {
    bytes.clear();
    for (wchar_t c : text) {
        if (c > 0x7F) return false;
        bytes += static_cast<char>(c);
    }
    return true;
}

// What editors and terminals put around a line of base64: blanks, tabs, a carriage return.
std::string_view TrimmedLine(std::string_view line) {
    constexpr std::string_view kAround = " \t\r";
    const size_t first = line.find_first_not_of(kAround);
    if (first == std::string_view::npos) return {};
    return line.substr(first, line.find_last_not_of(kAround) - first + 1);
}

// PowerShell's "Set-Content -Encoding UTF8" begins the file with one.
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the date in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// A member as its JSON text; the content of an array or object is left out, so a
// text from the manifest stays short.
std::wstring JsonTextOf(const JsonValue& value) {
    switch (value.kind) {
    case JsonKind::String: return std::wstring(StringOf(value));
    case JsonKind::Boolean: return value.boolean ? L"true" : L"false";
    case JsonKind::Array: return L"[...]";
    case JsonKind::Object: return L"{...}";
    case JsonKind::Number: {
        char text[32] = {};
        const auto written = std::to_chars(text, text + sizeof text, value.number);
        return std::wstring(text, written.ptr);
    }
    case JsonKind::Null: break;
    }
    return L"null";
}

}  // namespace

bool DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    bytes.reserve(text.size() / 4 * 3);
    for (size_t at = 0; at < text.size(); at += 4) {
        // "=" only at the very end: "xx==" or "xxx=".
        size_t padding = 0;
        if (at + 4 == text.size() && text[at + 3] == '=') padding = text[at + 2] == '=' ? 2 : 1;
        uint32_t group = 0;
        for (size_t i = 0; i < 4 - padding; ++i) {
            const int value = Base64Value(text[at + i]);
            if (value < 0) return false;
            group = group << 6 | static_cast<uint32_t>(value);
        }
        group <<= 6 * padding;
        // The bits a padded group leaves over are zero: one text per byte string.
        if ((padding == 1 && (group & 0xFF)) || (padding == 2 && (group & 0xFFFF))) return false;
        bytes += static_cast<char>(group >> 16);
        if (padding < 2) bytes += static_cast<char>(group >> 8 & 0xFF);
        if (padding < 1) bytes += static_cast<char>(group & 0xFF);
    }
    return true;
}

bool ParseP256PublicKey(std::string_view der, P256Point& point) {
    std::string_view info, algorithm, bits, keyType, curve;
    if (!WholeElement(der, kSequence, info) || !TakeElement(info, kSequence, algorithm) ||
        !TakeElement(info, kBitString, bits) || !info.empty())
        return false;
    if (!TakeElement(algorithm, kObjectId, keyType) || !TakeElement(algorithm, kObjectId, curve) ||
        !algorithm.empty() || keyType != kEcPublicKeyOid || curve != kPrime256v1Oid)
        return false;
    // No unused bits, then the uncompressed point: 04, X, Y.
    if (bits.size() != 2 + 2 * kCoordinateSize || ByteAt(bits, 0) != 0 || ByteAt(bits, 1) != kUncompressedPoint)
        return false;
    std::memcpy(point.x.data(), bits.data() + 2, kCoordinateSize);
    std::memcpy(point.y.data(), bits.data() + 2 + kCoordinateSize, kCoordinateSize);
    return true;
}

bool ParseEcdsaSignature(std::string_view der, RawSignature& signature) {
    std::string_view values;
    return WholeElement(der, kSequence, values) && TakeScalar(values, signature.data()) &&
           TakeScalar(values, signature.data() + kCoordinateSize) && values.empty();
}

bool ReadTrustedKey(std::wstring_view text, P256Point& point) {
    std::string ascii, der;
    return AsciiBytes(text, ascii) && DecodeBase64(ascii, der) && ParseP256PublicKey(der, point);
}

bool ParseSignatureFile(std::string_view file, std::vector<RawSignature>& signatures) {
    signatures.clear();
    if (file.size() > kMaxSignatureFileBytes) return false;
    if (file.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark) file.remove_prefix(kUtf8ByteOrderMark.size());
    size_t lines = 0;
    while (!file.empty()) {
        const size_t end = file.find('\n');
        const std::string_view line = TrimmedLine(file.substr(0, end));
        file.remove_prefix(end == std::string_view::npos ? file.size() : end + 1);
        if (line.empty()) continue;
        if (++lines > kMaxSignatureLines) return false;
        std::string der;
        RawSignature signature;
        if (DecodeBase64(line, der) && ParseEcdsaSignature(der, signature)) signatures.push_back(signature);
    }
    return lines > 0;
}

bool ParseUtcTimestamp(std::wstring_view text, int64_t& seconds) {
    // "0" marks a digit; every other character must be there as it is.
    static constexpr wchar_t kPattern[] = L"0000-00-00T00:00:00Z";
    constexpr size_t kLength = sizeof kPattern / sizeof kPattern[0] - 1;
    if (text.size() != kLength) return false;
    for (size_t i = 0; i < kLength; ++i) {
        const bool digit = text[i] >= L'0' && text[i] <= L'9';
        if (kPattern[i] == L'0' ? !digit : text[i] != kPattern[i]) return false;
    }
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - L'0');
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return false;
    seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

Outcome CheckFreshness(const JsonValue* expires, int64_t now) {
    if (!expires) return Success();
    int64_t moment = 0;
    if (expires->kind != JsonKind::String || !ParseUtcTimestamp(StringOf(*expires), moment))
        return Fail(FailureKind::Untrusted, kExpiryNotUnderstood + JsonTextOf(*expires));
    if (moment >= now) return Success();
    return Fail(FailureKind::Expired, kExpired + std::wstring(StringOf(*expires)));
}

}  // namespace tolvek
