// What the fuzz targets (tests/fuzz/) share: the input as bytes or as UTF-16 text,
// the invariant check, and independent writers of the forms the parsers read
// (standard UTF-8, base64, percent escapes, DER integers, UTC timestamps), so that
// what a parser reads can be written back and compared. Natively wchar_t has 32
// bits; the targets only ever put UTF-16 code units (0 to 0xFFFF) in it, as the
// DLL holds them.
#pragma once

#include "failure.h"
#include "json.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// An invariant that does not hold is a finding: libFuzzer saves the input.
#define FUZZ_REQUIRE(...) ((__VA_ARGS__) ? void() : fuzz::Violated(#__VA_ARGS__, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] inline void Violated(const char* what, const char* file, int line) {
    std::fprintf(stderr, "invariant violated at %s:%d: %s\n", file, line, what);
    std::abort();
}

inline std::string_view Bytes(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// Any UTF-16 text from readable bytes: UTF-8 read leniently, so that three bytes give
// any unit (ED A0 80 a lone U+D800), four a pair, and a byte that starts no such
// sequence stands for the unit of its value.
inline std::wstring Units(std::string_view bytes) {
    std::wstring text;
    for (size_t i = 0; i < bytes.size();) {
        const auto b = [&](size_t at) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])); };
        const size_t length = b(i) >= 0xF0 ? 4 : b(i) >= 0xE0 ? 3 : b(i) >= 0xC0 ? 2 : 1;
        uint32_t unit = length == 1 ? b(i) : b(i) & (0x7F >> length);
        size_t n = 1;
        for (; n < length && i + n < bytes.size() && (b(i + n) & 0xC0) == 0x80; ++n) unit = unit << 6 | (b(i + n) & 0x3F);
        if (n < length) unit = b(i), n = 1;
        if (unit > 0xFFFF) {
            unit = 0x10000 + (unit & 0xFFFFF);
            text += static_cast<wchar_t>(0xD800 + ((unit - 0x10000) >> 10));
            unit = 0xDC00 + (unit & 0x3FF);
        }
        text += static_cast<wchar_t>(unit);
        i += n;
    }
    return text;
}

// The text's first line and the rest after it.
inline std::pair<std::wstring, std::wstring> Lines(const std::wstring& text) {
    const size_t end = std::min(text.find(L'\n'), text.size());
    return {text.substr(0, end), text.substr(std::min(end + 1, text.size()))};
}

inline std::wstring AsciiUpper(std::wstring text) {
    for (wchar_t& c : text) c = c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    return text;
}

// Standard UTF-8 to UTF-16 with each maximal ill-formed subpart as one U+FFFD (the
// Unicode standard's practice); Utf8Text's decoder in the targets.
inline size_t DecodeUtf8(const char* bytes, size_t count, wchar_t* units, size_t room) {
    size_t n = 0;
    const auto put = [&](uint32_t unit) {
        FUZZ_REQUIRE(n < room);
        units[n++] = static_cast<wchar_t>(unit);
    };
    for (size_t i = 0; i < count;) {
        const auto lead = static_cast<unsigned char>(bytes[i++]);
        const size_t need = lead >= 0xC2 && lead <= 0xDF ? 1 : lead >= 0xE0 && lead <= 0xEF ? 2
                          : lead >= 0xF0 && lead <= 0xF4 ? 3 : 0;
        if (need == 0) {
            put(lead < 0x80 ? lead : 0xFFFD);
            continue;
        }
        uint32_t point = lead & (0x3F >> need);
        unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        size_t got = 0;
        for (; got < need && i < count; ++got, ++i, low = 0x80, high = 0xBF) {
            const auto next = static_cast<unsigned char>(bytes[i]);
            if (next < low || next > high) break;
            point = point << 6 | (next & 0x3F);
        }
        if (got < need) put(0xFFFD);
        else if (point < 0x10000) put(point);
        else put(0xD800 + ((point - 0x10000) >> 10)), put(0xDC00 + (point & 0x3FF));
    }
    return n;
}

inline std::wstring DecodeUtf8(std::string_view bytes) {
    std::wstring text(bytes.size(), L'\0');
    text.resize(DecodeUtf8(bytes.data(), bytes.size(), text.data(), text.size()));
    return text;
}

inline std::string Base64(std::string_view bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = 0;
        for (size_t i = 0; i < 3; ++i)
            group = group << 8 | (at + i < bytes.size() ? static_cast<unsigned char>(bytes[at + i]) : 0);
        for (size_t i = 0; i < 4; ++i) text += i <= bytes.size() - at ? kAlphabet[group >> (18 - 6 * i) & 0x3F] : '=';
    }
    return text;
}

// The bytes of a text of unreserved characters (RFC 3986) and "%XX" escapes (upper
// case); nothing for any other text.
inline std::optional<std::string> PercentDecoded(std::wstring_view text) {
    const auto hex = [](wchar_t c) { return c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1; };
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] < 0x80 && (std::isalnum(static_cast<int>(text[i])) || std::wcschr(L"-._~", text[i]))) {
            bytes += static_cast<char>(text[i]);
        } else if (text[i] == L'%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return bytes;
}

// A minimal, positive DER INTEGER of 32 big-endian bytes.
inline std::string DerInteger(const unsigned char* value) {
    size_t first = 0;
    while (first < 31 && value[first] == 0) ++first;
    std::string contents(reinterpret_cast<const char*>(value) + first, 32 - first);
    if (static_cast<unsigned char>(contents[0]) & 0x80) contents.insert(0, 1, '\0');
    return std::string{'\x02', static_cast<char>(contents.size())} + contents;
}

// Seconds since 1970-01-01T00:00:00Z as "YYYY-MM-DDTHH:MM:SSZ" (proleptic Gregorian).
inline std::wstring UtcText(int64_t seconds) {
    const int64_t time = (seconds % 86400 + 86400) % 86400, days = (seconds - time) / 86400;
    const int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097, dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shifted = (5 * dayOfYear + 2) / 153, month = shifted < 10 ? shifted + 3 : shifted - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2), day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    wchar_t text[32];
    std::swprintf(text, 32, L"%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, static_cast<long long>(month), day,
                  static_cast<long long>(time / 3600), static_cast<long long>(time / 60 % 60),
                  static_cast<long long>(time % 60));
    return text;
}

// The same tree: kinds, counts, payloads bit for bit, and members in the parser's
// promised order (ascending code units, no two names alike).
inline bool SameValue(const tolvek::JsonValue& a, const tolvek::JsonValue& b) {
    using tolvek::JsonKind;
    if (a.kind != b.kind || a.count != b.count) return false;
    switch (a.kind) {
    case JsonKind::Null: return true;
    case JsonKind::Boolean: return a.boolean == b.boolean;
    case JsonKind::Number: return std::memcmp(&a.number, &b.number, sizeof a.number) == 0;
    case JsonKind::String: return tolvek::StringOf(a) == tolvek::StringOf(b);
    case JsonKind::Array:
        for (uint32_t i = 0; i < a.count; ++i)
            if (!SameValue(a.elements[i], b.elements[i])) return false;
        return true;
    case JsonKind::Object:
        for (uint32_t i = 0; i < a.count; ++i) {
            if (i > 0 && !(StringOf(a.members[i - 1].name) < StringOf(a.members[i].name))) return false;
            if (!SameValue(a.members[i].name, b.members[i].name) || !SameValue(a.members[i].value, b.members[i].value))
                return false;
        }
        return true;
    }
    return false;
}

inline bool SameOutcome(const tolvek::Outcome& a, const tolvek::Outcome& b) { return a.kind == b.kind && a.text == b.text; }

}  // namespace fuzz
