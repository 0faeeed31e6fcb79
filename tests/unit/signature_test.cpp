// The publisher's signature, piece by piece: strict base64, the DER of a P-256 key
// and of an ECDSA signature (built here from their parts, then broken one way at a
// time), the trusted key list, the signature file's bounds, verification through
// CNG with keys and a signature made by openssl, the signature URL, the expiry and
// the entries a signed manifest must describe.
#include "plan.h"
#include "signature.h"
#include "test_support.h"
#include "urls.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace tolvek;

// Made with: openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256; openssl pkey
// -pubout -outform DER | base64 -w0; openssl dgst -sha256 -sign a.pem | base64 -w0.
const std::string kKeyA =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEkUFTN7GAFo5dM5+fW2oguqNHjc/WUwM0anQpbKzZZa3N4TEeB0AQZPlZCFWNH+XYPlgZppfVXHryu4uHI/Drkw==";
const std::string kKeyB =
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEfc3OmISiZlEeoQ3DLW90sbrg/g+g+TSvcMPMCJDUx+Zq2fWp68aQ6HqRlgn2bQwB2KNN4duBO8Q2UTXyTHxGqw==";
const std::string kMessage = "the signed bytes\n";
// Key A's signature of kMessage.
const std::string kSignatureA =
    "MEYCIQD4e8NsmNYwnno3mHLD3fuCHPumLqzSkFlz+y7WYvJJRAIhAK5OYAKMMye5253AIV5oqlafMckj4q5UmIKGchbSI+Ja";

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
}

std::string Decoded(const std::string& base64) {
    std::string bytes;
    EXPECT_TRUE(DecodeBase64(base64, bytes)) << base64;
    return bytes;
}

std::string Encoded(const std::string& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = 0;
        const size_t n = bytes.size() - at < 3 ? bytes.size() - at : 3;
        for (size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < n ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        for (size_t i = 0; i < 4; ++i) text += i <= n ? kAlphabet[group >> (18 - 6 * i) & 63] : '=';
    }
    return text;
}

// One DER element with a minimal length.
std::string Der(unsigned char tag, const std::string& contents) {
    std::string out(1, static_cast<char>(tag));
    const size_t n = contents.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else if (n < 0x100) {
        out += "\x81";
        out += static_cast<char>(n);
    } else {
        out += "\x82";
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xFF);
    }
    return out + contents;
}

const std::string kEcPublicKey = Der(0x06, std::string("\x2A\x86\x48\xCE\x3D\x02\x01", 7));
const std::string kPrime256v1 = Der(0x06, std::string("\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8));
const std::string kDerA = Decoded(kKeyA);
const std::string kX = kDerA.substr(27, 32), kY = kDerA.substr(59, 32);

std::string Spki(const std::string& algorithm, const std::string& bits) {
    return Der(0x30, Der(0x30, algorithm) + Der(0x03, bits));
}
std::string GoodBits() { return std::string("\x00\x04", 2) + kX + kY; }

TEST(Base64, StrictDecodingTable) {
    struct Row {
        const char* text;
        bool ok;
        std::string bytes;
    };
    const Row rows[] = {
        {"", true, ""},
        {"Zg==", true, "f"},
        {"Zm8=", true, "fo"},
        {"Zm9v", true, "foo"},
        {"Zm9vYmFy", true, "foobar"},
        {"+/+/", true, "\xFB\xFF\xBF"},
        {"AAAA", true, std::string(3, '\0')},
        {"Zg", false, ""},           // no padding
        {"Zg=", false, ""},          // not a multiple of four
        {"Zh==", false, ""},         // bits set past the end
        {"Zm9=", false, ""},         // the same with one "="
        {"Z===", false, ""},         // three "=" leave no whole byte
        {"=Zg=", false, ""},         // padding in front
        {"Zg==Zg==", false, ""},     // padding in the middle
        {"Zm9v====", false, ""},     // a group of padding alone
        {"Zm=v", false, ""},         // "=" inside a group
        {"Zm9v\n", false, ""},       // a line break
        {" Zm9v", false, ""},        // a blank
        {"Zm9-", false, ""},         // the URL-safe alphabet
        {"Zm9_", false, ""},
        {"Zm9\xC3", false, ""},      // a byte above ASCII
    };
    for (const Row& row : rows) {
        std::string bytes = "left over";
        EXPECT_EQ(DecodeBase64(row.text, bytes), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(bytes, row.bytes) << row.text;
        }
    }
    std::string bytes;
    EXPECT_FALSE(DecodeBase64(std::string("Zm\0v", 4), bytes)) << "a NUL";
}

TEST(Base64, EncoderOfTheseTestsAgreesWithTheDecoder) {
    for (size_t n = 0; n < 40; ++n) {
        std::string bytes;
        for (size_t i = 0; i < n; ++i) bytes += static_cast<char>(i * 37 + n);
        EXPECT_EQ(Decoded(Encoded(bytes)), bytes) << n;
    }
}

TEST(PublicKeyDer, SubjectPublicKeyInfoTable) {
    const std::string good = Spki(kEcPublicKey + kPrime256v1, GoodBits());
    const std::string body = kDerA.substr(2);
    struct Row {
        const char* name;
        std::string der;
        bool ok;
    };
    const Row rows[] = {
        {"as openssl writes it", kDerA, true},
        {"rebuilt from its parts", good, true},
        {"empty", "", false},
        {"a lone tag", "\x30", false},
        {"cut short by one byte", kDerA.substr(0, kDerA.size() - 1), false},
        {"cut in the point", kDerA.substr(0, 40), false},
        {"a byte after it", kDerA + '\0', false},
        {"outer length in the long form", "\x30\x81\x59" + body, false},
        {"outer length of four octets past the end", "\x30\x84\xFF\xFF\xFF\xFF" + body, false},
        {"indefinite length", "\x30\x80" + body + std::string(2, '\0'), false},
        {"outer length one too long", "\x30\x5A" + body, false},
        {"inner length past the outer", kDerA.substr(0, 3) + "\x40" + kDerA.substr(4), false},
        {"outer SET instead of SEQUENCE", "\x31" + kDerA.substr(1), false},
        {"RSA key type", Spki(Der(0x06, "\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01") + kPrime256v1, GoodBits()), false},
        {"key type with its last arc changed", Spki(Der(0x06, std::string("\x2A\x86\x48\xCE\x3D\x02\x02", 7)) + kPrime256v1, GoodBits()), false},
        {"curve secp384r1", Spki(kEcPublicKey + Der(0x06, std::string("\x2B\x81\x04\x00\x22", 5)), GoodBits()), false},
        {"curve secp256k1", Spki(kEcPublicKey + Der(0x06, std::string("\x2B\x81\x04\x00\x0A", 5)), GoodBits()), false},
        {"curve prime256v1 with its last arc changed", Spki(kEcPublicKey + Der(0x06, std::string("\x2A\x86\x48\xCE\x3D\x03\x01\x08", 8)), GoodBits()), false},
        {"NULL parameters instead of the curve", Spki(kEcPublicKey + Der(0x05, ""), GoodBits()), false},
        {"no curve", Spki(kEcPublicKey, GoodBits()), false},
        {"a third element in the algorithm", Spki(kEcPublicKey + kPrime256v1 + Der(0x05, ""), GoodBits()), false},
        {"compressed point", Spki(kEcPublicKey + kPrime256v1, std::string("\x00\x02", 2) + kX), false},
        {"compressed point of full length", Spki(kEcPublicKey + kPrime256v1, std::string("\x00\x03", 2) + kX + kY), false},
        {"hybrid point", Spki(kEcPublicKey + kPrime256v1, std::string("\x00\x06", 2) + kX + kY), false},
        {"unused bits in the bit string", Spki(kEcPublicKey + kPrime256v1, std::string("\x01\x04", 2) + kX + kY), false},
        {"point one byte short", Spki(kEcPublicKey + kPrime256v1, std::string("\x00\x04", 2) + kX + kY.substr(1)), false},
        {"point one byte long", Spki(kEcPublicKey + kPrime256v1, GoodBits() + '\0'), false},
        {"an element after the bit string", Der(0x30, Der(0x30, kEcPublicKey + kPrime256v1) + Der(0x03, GoodBits()) + Der(0x05, "")), false},
        {"octet string instead of bit string", Der(0x30, Der(0x30, kEcPublicKey + kPrime256v1) + Der(0x04, GoodBits())), false},
        {"a signature", Decoded(kSignatureA), false},
    };
    for (const Row& row : rows) {
        P256Point point;
        ASSERT_EQ(ParseP256PublicKey(row.der, point), row.ok) << row.name;
        if (!row.ok) continue;
        EXPECT_EQ(std::string(point.x.begin(), point.x.end()), kX) << row.name;
        EXPECT_EQ(std::string(point.y.begin(), point.y.end()), kY) << row.name;
    }
}

// The group order and its neighbours, big-endian.
const std::string kOrder(
    "\xFF\xFF\xFF\xFF\x00\x00\x00\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"
    "\xBC\xE6\xFA\xAD\xA7\x17\x9E\x84\xF3\xB9\xCA\xC2\xFC\x63\x25\x51", 32);
std::string OrderPlus(int delta) {
    std::string value = kOrder;
    value[31] = static_cast<char>(static_cast<unsigned char>(value[31]) + delta);
    return value;
}
std::string Signed(const std::string& magnitude) {  // a positive INTEGER's contents
    return (static_cast<unsigned char>(magnitude[0]) & 0x80) ? std::string(1, '\0') + magnitude : magnitude;
}
std::string Sig(const std::string& r, const std::string& s) { return Der(0x30, Der(0x02, r) + Der(0x02, s)); }

TEST(SignatureDer, EcdsaSigValueTable) {
    const std::string high = "\x80" + std::string(31, '\x11');
    const std::string one(1, '\x01'), two(1, '\x02');
    struct Row {
        const char* name;
        std::string der;
        std::string raw;  // r || s when it parses, empty when it must not
    };
    const std::string padded1 = std::string(31, '\0') + one, padded2 = std::string(31, '\0') + two;
    const Row rows[] = {
        {"small r and s are left-padded", Sig(one, two), padded1 + padded2},
        {"a high bit behind its zero octet", Sig(Signed(high), one), high + padded1},
        {"r and s of the order less one", Sig(Signed(OrderPlus(-1)), Signed(OrderPlus(-1))), OrderPlus(-1) + OrderPlus(-1)},
        {"a high bit without its zero octet reads negative", Sig(high, one), ""},
        {"a needless zero octet", Sig(std::string("\x00\x01", 2), one), ""},
        {"r of zero", Sig(std::string(1, '\0'), one), ""},
        {"s of zero", Sig(one, std::string(1, '\0')), ""},
        {"r of the order", Sig(Signed(kOrder), one), ""},
        {"s past the order", Sig(one, Signed(OrderPlus(1))), ""},
        {"33 bytes after the zero octet", Sig(std::string(1, '\0') + "\x80" + std::string(32, '\x01'), one), ""},
        {"an overlong integer of 40 bytes", Sig(std::string(40, '\x01'), one), ""},
        {"an integer of 200 bytes", Sig(std::string(200, '\x01'), one), ""},
        {"an empty integer", Sig("", one), ""},
        {"one integer", Der(0x30, Der(0x02, one)), ""},
        {"three integers", Der(0x30, Der(0x02, one) + Der(0x02, two) + Der(0x02, one)), ""},
        {"a byte after the sequence", Sig(one, two) + '\0', ""},
        {"cut short", Sig(one, two).substr(0, 7), ""},
        {"sequence length in the long form", std::string("\x30\x81\x06\x02\x01\x01\x02\x01\x02", 9), ""},
        {"integer length past the end", std::string("\x30\x06\x02\x20\x01\x02\x01\x02", 8), ""},
        {"octet strings instead of integers", Der(0x30, Der(0x04, one) + Der(0x04, two)), ""},
        {"empty", "", ""},
    };
    for (const Row& row : rows) {
        RawSignature raw;
        ASSERT_EQ(ParseEcdsaSignature(row.der, raw), !row.raw.empty()) << row.name;
        if (!row.raw.empty()) {
            EXPECT_EQ(std::string(raw.begin(), raw.end()), row.raw) << row.name;
        }
    }
    RawSignature raw;
    EXPECT_TRUE(ParseEcdsaSignature(Decoded(kSignatureA), raw)) << "openssl's signature";
}

TEST(TrustedKeyList, ParseTable) {
    const std::string compressed = Encoded(Spki(kEcPublicKey + kPrime256v1, std::string("\x00\x02", 2) + kX));
    struct Row {
        std::wstring list;
        size_t keys;           // when accepted
        std::wstring invalid;  // the key reported, when refused
    };
    const Row rows[] = {
        {Wide(kKeyA), 1, L""},
        {Wide(kKeyA + "|" + kKeyB), 2, L""},
        {Wide("|" + kKeyB + "||" + kKeyA + "|"), 2, L""},
        {L"", 0, L""},
        {L"||", 0, L""},
        {Wide(kKeyA + "|not base64!"), 0, L"not base64!"},
        {Wide(kKeyA + " "), 0, Wide(kKeyA + " ")},
        {Wide(kKeyB + "\n"), 0, Wide(kKeyB + "\n")},
        {Wide(compressed), 0, Wide(compressed)},
        {Wide(kSignatureA), 0, Wide(kSignatureA)},
        {L"-----BEGIN PUBLIC KEY-----", 0, L"-----BEGIN PUBLIC KEY-----"},
        {Wide(kKeyA.substr(0, 20)) + L"\u00e9" + Wide(kKeyA.substr(21)), 0,
         Wide(kKeyA.substr(0, 20)) + L"\u00e9" + Wide(kKeyA.substr(21))},
    };
    for (const Row& row : rows) {
        TrustedKeys trusted;
        const Outcome parsed = ParseTrustedKeys(row.list, trusted);
        ASSERT_EQ(parsed.ok(), row.keys > 0) << ::testing::PrintToString(row.list);
        if (parsed.ok()) {
            EXPECT_EQ(trusted.keys.size(), row.keys);
        } else {
            EXPECT_EQ(parsed.kind, FailureKind::InvalidKey);
            EXPECT_EQ(parsed.text, L"Invalid trusted key: " + row.invalid);
        }
    }
}

TEST(SignatureFile, LinesAndBoundsTable) {
    const std::string good = kSignatureA;
    auto lines = [](size_t n, const std::string& line) { return Repeat(line + "\n", n); };
    auto ofSize = [&](size_t size) { return good + "\n" + std::string(size - good.size() - 1, ' '); };
    struct Row {
        const char* name;
        std::string file;
        bool wellFormed;
        size_t signatures;
    };
    const Row rows[] = {
        {"one line without a line end", good, true, 1},
        {"one line with LF", good + "\n", true, 1},
        {"one line with CRLF", good + "\r\n", true, 1},
        {"blank lines around it", "\n\r\n  \n\t\r\n" + good + "\r\n\n \n", true, 1},
        {"two lines", good + "\n" + good + "\r\n", true, 2},
        {"a line that does not decode beside a good one", "garbage\n" + good + "\n", true, 1},
        {"a line of another DER", kKeyA + "\n", true, 0},
        {"a good line with a trailing blank", good + " \n", true, 1},
        {"blanks, tabs and CRs around it", " \t" + good + "\t \r\r\n", true, 1},
        {"a UTF-8 byte-order mark, as PowerShell writes it", "\xEF\xBB\xBF" + good + "\r\n", true, 1},
        {"a byte-order mark on the second line", "x\n\xEF\xBB\xBF" + good, true, 0},
        {"only a byte-order mark", "\xEF\xBB\xBF\r\n", false, 0},
        {"a blank inside the base64", good.substr(0, 40) + " " + good.substr(40), true, 0},
        {"a good line split by a lone CR", good + "\r" + good, true, 0},
        {"16 lines", lines(16, good), true, 16},
        {"16 lines and blank lines", lines(16, good) + "\n\n  \n", true, 16},
        {"17 lines", lines(17, good), false, 0},
        {"17 lines that do not decode", lines(17, "x"), false, 0},
        {"exactly 16 KiB", ofSize(16384), true, 1},
        {"16 KiB and one byte", ofSize(16385), false, 0},
        {"empty", "", false, 0},
        {"only blank lines", "\n \r\n\t\n", false, 0},
    };
    for (const Row& row : rows) {
        std::vector<RawSignature> signatures;
        EXPECT_EQ(ParseSignatureFile(row.file, signatures), row.wellFormed) << row.name;
        if (row.wellFormed) {
            EXPECT_EQ(signatures.size(), row.signatures) << row.name;
        }
    }
}

TEST(SignatureVerification, FirstTrustedKeyUnderWhichALineVerifiesTable) {
    std::string flipped = Decoded(kSignatureA);
    flipped[10] = static_cast<char>(flipped[10] ^ 0x01);  // inside r: still a valid DER
    struct Row {
        const char* name;
        std::string keys;
        std::string file;
        std::string bytes;
        size_t keyNumber;
    };
    const Row rows[] = {
        {"the signing key alone", kKeyA, kSignatureA, kMessage, 1},
        {"the signing key second", kKeyB + "|" + kKeyA, kSignatureA, kMessage, 2},
        {"another key", kKeyB, kSignatureA, kMessage, 0},
        {"the bytes changed", kKeyA, kSignatureA, kMessage + " ", 0},
        {"no bytes", kKeyA, kSignatureA, "", 0},
        {"a bit flipped in r", kKeyA, Encoded(flipped), kMessage, 0},
        {"a line that does not decode, then the good one", kKeyB + "|" + kKeyA, "x\n" + kSignatureA, kMessage, 2},
        {"the good line twice", kKeyA, kSignatureA + "\n" + kSignatureA, kMessage, 1},
    };
    for (const Row& row : rows) {
        TrustedKeys trusted;
        ASSERT_TRUE(ParseTrustedKeys(Wide(row.keys), trusted).ok()) << row.name;
        std::vector<RawSignature> signatures;
        ASSERT_TRUE(ParseSignatureFile(row.file, signatures)) << row.name;
        EXPECT_EQ(FindSigningKey(trusted, signatures, row.bytes), row.keyNumber) << row.name;
        EXPECT_EQ(SigningKeyOf(trusted, row.file, row.bytes), row.keyNumber) << row.name;
    }
    TrustedKeys trusted;
    ASSERT_TRUE(ParseTrustedKeys(Wide(kKeyA), trusted).ok());
    EXPECT_EQ(FindSigningKey(trusted, {}, kMessage), 0u) << "no signature";
    EXPECT_EQ(SigningKeyOf(trusted, "", kMessage), 0u) << "an empty signature file";
    EXPECT_EQ(SigningKeyOf(trusted, std::string(17, '\n') + kSignatureA, kMessage), 1u) << "blank lines only count";
    EXPECT_EQ(SigningKeyOf(trusted, Repeat(kSignatureA + "\n", 17), kMessage), 0u) << "17 lines: malformed";
}

TEST(SignatureUrl, SigIsAppendedToThePathTable) {
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"http://h/p/manifest.json", L"http://h/p/manifest.json.sig"},
        {L"http://h/m.json?v=2", L"http://h/m.json.sig?v=2"},
        {L"http://h/m.json#part", L"http://h/m.json.sig#part"},
        {L"http://h/m.json?a=1#b", L"http://h/m.json.sig?a=1#b"},
        {L"http://h/m.json#a?b", L"http://h/m.json.sig#a?b"},
        {L"https://user:pw@h:8443/m", L"https://user:pw@h:8443/m.sig"},
        {L"http://h/dir/", L"http://h/dir/.sig"},
        {L"http://h/", L"http://h/.sig"},
        {L"http://h", L"http://h/.sig"},
        {L"http://h?x=/y", L"http://h/.sig?x=/y"},
        {L"manifest.json", L"manifest.json.sig"},
    };
    for (const auto& row : rows) EXPECT_EQ(SignatureUrl(row.first), row.second) << row.first;
}

TEST(Expiry, TimestampTable) {
    struct Row {
        const wchar_t* text;
        bool ok;
        int64_t seconds;
    };
    const Row rows[] = {
        {L"1970-01-01T00:00:00Z", true, 0},
        {L"2030-01-01T00:00:00Z", true, 1893456000},
        {L"2024-02-29T12:00:00Z", true, 1709208000},
        {L"2000-02-29T23:59:59Z", true, 951868799},
        {L"1601-01-01T00:00:00Z", true, -11644473600},
        {L"9999-12-31T23:59:59Z", true, 253402300799},
        {L"2023-02-29T00:00:00Z", false, 0},  // not a leap year
        {L"1900-02-29T00:00:00Z", false, 0},  // a century that is not
        {L"2024-02-30T00:00:00Z", false, 0},
        {L"2024-04-31T00:00:00Z", false, 0},
        {L"2024-13-01T00:00:00Z", false, 0},
        {L"2024-00-10T00:00:00Z", false, 0},
        {L"2024-01-00T00:00:00Z", false, 0},
        {L"2024-01-32T00:00:00Z", false, 0},
        {L"2024-01-01T24:00:00Z", false, 0},
        {L"2024-01-01T23:60:00Z", false, 0},
        {L"2024-01-01T23:59:60Z", false, 0},  // no leap second
        {L"2024-01-01t00:00:00Z", false, 0},
        {L"2024-01-01T00:00:00z", false, 0},
        {L"2024-01-01T00:00:00", false, 0},
        {L"2024-01-01T00:00:00+00:00", false, 0},
        {L"2024-01-01T00:00:00.5Z", false, 0},
        {L"2024-01-01 00:00:00Z", false, 0},
        {L"2024-1-01T00:00:00Z", false, 0},
        {L"02024-01-01T00:00:0Z", false, 0},
        {L"2024-01-01T00:00:00Z ", false, 0},
        {L"\uff12024-01-01T00:00:00Z", false, 0},  // a fullwidth digit
        {L"2024-01-01", false, 0},
        {L"", false, 0},
    };
    for (const Row& row : rows) {
        int64_t seconds = -1;
        ASSERT_EQ(ParseUtcTimestamp(row.text, seconds), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(seconds, row.seconds) << row.text;
        }
    }
}

TEST(Expiry, NowIsTheSystemsUtcTime) {
    const int64_t now = UtcNowSeconds();
    const int64_t runtime = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(now > runtime ? now - runtime : runtime - now, 2);
}

TEST(Expiry, FreshnessTable) {
    const int64_t now = 1893456000;  // 2030-01-01T00:00:00Z
    struct Row {
        const wchar_t* member;  // after "expires": , or empty for none
        const wchar_t* failure;  // empty when fresh
    };
    const Row rows[] = {
        {L"", L""},
        {L"\"2030-01-01T00:00:00Z\"", L""},
        {L"\"2030-01-01T00:00:01Z\"", L""},
        {L"\"2029-12-31T23:59:59Z\"", L"Manifest expired: 2029-12-31T23:59:59Z"},
        {L"\"2020-01-01T00:00:00Z\"", L"Manifest expired: 2020-01-01T00:00:00Z"},
        {L"\"2030-02-30T00:00:00Z\"", L"Manifest expiry not understood: 2030-02-30T00:00:00Z"},
        {L"\"tomorrow\"", L"Manifest expiry not understood: tomorrow"},
        {L"\"\"", L"Manifest expiry not understood: "},
        {L"1893456000", L"Manifest expiry not understood: 1893456000"},
        {L"1.5", L"Manifest expiry not understood: 1.5"},
        {L"-0.25e-3", L"Manifest expiry not understood: -0.00025"},
        {L"true", L"Manifest expiry not understood: true"},
        {L"false", L"Manifest expiry not understood: false"},
        {L"null", L"Manifest expiry not understood: null"},
        {L"[\"2040-01-01T00:00:00Z\"]", L"Manifest expiry not understood: [...]"},
        {L"{\"at\": 1}", L"Manifest expiry not understood: {...}"},
    };
    for (const Row& row : rows) {
        const std::wstring text = std::wstring(L"{\"files\": {}") +
                                  (*row.member ? std::wstring(L", \"expires\": ") + row.member : L"") + L"}";
        JsonDocument document;
        ASSERT_TRUE(ParseJson(text, document).ok()) << text;
        const Outcome fresh = CheckFreshness(FindMember(document.root, L"expires"), now);
        EXPECT_EQ(fresh.ok(), *row.failure == L'\0') << text;
        EXPECT_EQ(fresh.text, row.failure) << text;
    }
}

TEST(SignedManifest, EveryFileButTheSetupProgramsNeedsSizeAndHash) {
    auto entry = [](const wchar_t* key, bool size, bool hash) {
        FileEntry e;
        e.key = key;
        if (size) e.size = 1;
        if (hash) e.hash = Sha256Digest{};
        return e;
    };
    const testing_support::ScratchDir target(L"verifiable");
    const CancelSignal cancel;
    struct Row {
        std::vector<FileEntry> entries;
        const wchar_t* unverifiable;  // empty when every entry passes
    };
    const Row rows[] = {
        {{entry(L"a.bin", true, true), entry(L"b.bin", true, true)}, L""},
        {{entry(L"a.bin", true, true), entry(L"b.bin", true, false)}, L"b.bin"},
        {{entry(L"a.bin", false, true), entry(L"b.bin", true, false)}, L"a.bin"},
        {{entry(L"unins000.exe", false, false), entry(L"sub/UNINS001.DAT", false, false)}, L""},
        {{entry(L"unins000.exe", false, false), entry(L"uninstall.txt", true, false)}, L"uninstall.txt"},
        {{}, L""},
    };
    for (const Row& row : rows) {
        Manifest manifest;
        manifest.entries = row.entries;
        InstallPlan plan;
        const Outcome checked = MakePlan({manifest, target.path, L"", target / L"m.json", L"", true}, cancel, plan);
        EXPECT_EQ(checked.ok(), *row.unverifiable == L'\0') << row.unverifiable;
        if (*row.unverifiable) {
            EXPECT_EQ(checked.kind, FailureKind::Unverifiable);
            EXPECT_EQ(checked.text, std::wstring(L"Unverifiable file in signed manifest: ") + row.unverifiable);
        }
    }
}

}  // namespace
