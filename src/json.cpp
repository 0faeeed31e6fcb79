// JSON documents: the value model, its lookups, and a recursive-descent parser over
// UTF-16 code units that stops at the first error with one fixed message.
#include "json.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cwchar>
#include <cwctype>

namespace tolvek {

namespace {

const wchar_t kTrailingCharacters[] = L"Unexpected trailing characters in JSON";
const wchar_t kInvalidValue[] = L"Invalid JSON value";
const wchar_t kExpectedObject[] = L"Expected object";
const wchar_t kExpectedObjectKey[] = L"Expected object key";
const wchar_t kExpectedColon[] = L"Expected ':' after object key";
const wchar_t kExpectedObjectEnd[] = L"Expected ',' or '}' in object";
const wchar_t kExpectedArray[] = L"Expected array";
const wchar_t kExpectedArrayEnd[] = L"Expected ',' or ']' in array";
const wchar_t kExpectedString[] = L"Expected string";
const wchar_t kInvalidEscape[] = L"Invalid escape in string";
const wchar_t kInvalidUnicodeEscape[] = L"Invalid unicode escape in string";
const wchar_t kUnterminatedString[] = L"Unterminated string";
const wchar_t kInvalidNumber[] = L"Invalid number";
const wchar_t kInvalidFraction[] = L"Invalid fractional number";
const wchar_t kInvalidExponent[] = L"Invalid exponent in number";
const wchar_t kNumberOutOfRange[] = L"Number out of range";
const wchar_t kNestingTooDeep[] = L"JSON nesting too deep";

// The manifest comes from the network and every array or object costs one level of
// recursion, here and again when the tree is destroyed. Real manifests nest three
// levels. A level of parsing takes about 400 bytes of stack in an optimised build, so
// 512 levels stay near 200 KiB, a fifth of the 1 MiB that Windows programs give their
// threads by default.
constexpr int kMaxNestingDepth = 512;

// The cursor of one parse.
struct JsonParser {
    const std::wstring& text;
    size_t position;
    int depth;
};

bool AtEnd(const JsonParser& p) { return p.position >= p.text.size(); }
wchar_t Current(const JsonParser& p) { return p.text[p.position]; }
bool At(const JsonParser& p, wchar_t c) { return !AtEnd(p) && Current(p) == c; }
// Consumes the current character, whatever it is, and says whether it was `c`.
bool Take(JsonParser& p, wchar_t c) { return !AtEnd(p) && p.text[p.position++] == c; }
// Consumes the current character only when it is `c`.
bool TakeIf(JsonParser& p, wchar_t c) { return At(p, c) && Take(p, c); }

bool Fail(std::wstring& error, const wchar_t* message) {
    error = message;
    return false;
}

// The runtime's wide classification, asked only above ASCII: below it the answer
// is fixed (tab to carriage return and the blank; '0' to '9'), and asking costs a
// call into the runtime for every character of the manifest.
bool IsWhitespace(wchar_t c) {
    if (c < 0x80) return c == L' ' || (c >= L'\t' && c <= L'\r');
    return std::iswspace(c) != 0;
}

bool IsDigit(wchar_t c) {
    if (c < 0x80) return c >= L'0' && c <= L'9';
    return std::iswdigit(c) != 0;
}

void SkipWhitespace(JsonParser& p) {
    while (!AtEnd(p) && IsWhitespace(Current(p))) ++p.position;
}

void SkipDigits(JsonParser& p) {
    while (!AtEnd(p) && IsDigit(Current(p))) ++p.position;
}

bool ParseValue(JsonParser& p, JsonValue& out, std::wstring& error);

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// One UTF-16 code unit from four hexadecimal digits; surrogates stay as written.
bool AppendUnicodeEscape(JsonParser& p, std::wstring& text, std::wstring& error) {
    unsigned unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = AtEnd(p) ? -1 : HexDigitValue(p.text[p.position++]);
        if (digit < 0) return Fail(error, kInvalidUnicodeEscape);
        unit = unit * 16 + static_cast<unsigned>(digit);
    }
    text += static_cast<wchar_t>(unit);
    return true;
}

// The escape after a backslash that is not the last character of the text.
bool AppendEscape(JsonParser& p, std::wstring& text, std::wstring& error) {
    const wchar_t c = p.text[p.position++];
    switch (c) {
    case L'"':
    case L'\\':
    case L'/': text += c; return true;
    case L'b': text += L'\b'; return true;
    case L'f': text += L'\f'; return true;
    case L'n': text += L'\n'; return true;
    case L'r': text += L'\r'; return true;
    case L't': text += L'\t'; return true;
    case L'u': return AppendUnicodeEscape(p, text, error);
    default: return Fail(error, kInvalidEscape);
    }
}

// The rest of a string after its opening quotation mark, escapes resolved.
bool ReadStringBody(JsonParser& p, std::wstring& text, std::wstring& error) {
    const wchar_t* const characters = p.text.data();
    const size_t size = p.text.size();
    for (;;) {
        // Everything but the quotation mark and the backslash is kept as it stands,
        // control characters and lone surrogates included.
        size_t special = p.position;
        while (special < size && characters[special] != L'"' && characters[special] != L'\\')
            ++special;
        if (special == size) return Fail(error, kUnterminatedString);
        text.append(characters + p.position, special - p.position);
        p.position = special + 1;
        if (p.text[special] == L'"') return true;
        if (AtEnd(p)) return Fail(error, kInvalidEscape);
        if (!AppendEscape(p, text, error)) return false;
    }
}

bool ParseString(JsonParser& p, JsonValue& out, std::wstring& error) {
    if (!Take(p, L'"')) return Fail(error, kExpectedString);
    out.kind = JsonKind::String;
    out.string.clear();
    return ReadStringBody(p, out.string, error);
}

// wcstod expects the decimal point of the current C locale, which the host process
// may have changed (a comma would turn 1.5e3 into 1); JSON always writes a full stop.
std::wstring InLocaleDecimalPoint(std::wstring number) {
    const char point = *std::localeconv()->decimal_point;
    if (point == '.' || point <= 0) return number;
    for (wchar_t& c : number)
        if (c == L'.') c = static_cast<wchar_t>(point);
    return number;
}

// A token of an optional '-' and at most 15 ASCII digits names an integer below
// 2 to the power 53, which a double holds exactly: the value the conversion below
// would return, without its copy of the token and its call. Manifest sizes take
// this way; anything else (fractions, exponents, digits beyond ASCII) does not.
bool ConvertPlainInteger(const std::wstring& text, size_t start, size_t end, double& number) {
    constexpr size_t kExactDigits = 15;
    const bool negative = text[start] == L'-';
    const size_t first = start + (negative ? 1 : 0);
    if (end - first > kExactDigits) return false;
    int64_t whole = 0;
    for (size_t i = first; i < end; ++i) {
        const wchar_t c = text[i];
        if (c < L'0' || c > L'9') return false;
        whole = whole * 10 + (c - L'0');
    }
    number = static_cast<double>(whole);
    if (negative) number = -number;  // -0 stays negative zero
    return true;
}

bool ParseNumber(JsonParser& p, JsonValue& out, std::wstring& error) {
    const size_t start = p.position;
    TakeIf(p, L'-');
    if (AtEnd(p)) return Fail(error, kInvalidNumber);
    // A leading zero ends the integer part: in 01 the 1 is left to the caller.
    if (Current(p) == L'0') {
        ++p.position;
    } else if (Current(p) >= L'1' && Current(p) <= L'9') {
        ++p.position;
        SkipDigits(p);
    } else {
        return Fail(error, kInvalidNumber);
    }
    if (TakeIf(p, L'.')) {
        if (AtEnd(p) || !IsDigit(Current(p))) return Fail(error, kInvalidFraction);
        SkipDigits(p);
    }
    if (TakeIf(p, L'e') || TakeIf(p, L'E')) {
        if (!TakeIf(p, L'+')) TakeIf(p, L'-');
        if (AtEnd(p) || !IsDigit(Current(p))) return Fail(error, kInvalidExponent);
        SkipDigits(p);
    }
    out.kind = JsonKind::Number;
    if (ConvertPlainInteger(p.text, start, p.position, out.number)) return true;

    // Only the token is converted: the text after it (such as the x of 0x1) is not
    // the conversion's business. Digits the conversion does not know end the value.
    const std::wstring token = InLocaleDecimalPoint(p.text.substr(start, p.position - start));
    wchar_t* end = nullptr;
    errno = 0;
    const double value = std::wcstod(token.c_str(), &end);
    if (end == token.c_str() || errno == ERANGE) return Fail(error, kNumberOutOfRange);
    out.number = value;
    return true;
}

bool ParseArray(JsonParser& p, JsonValue& out, std::wstring& error) {
    if (!Take(p, L'[')) return Fail(error, kExpectedArray);
    out.kind = JsonKind::Array;
    out.array.clear();
    SkipWhitespace(p);
    if (TakeIf(p, L']')) return true;
    for (;;) {
        JsonValue element;
        if (!ParseValue(p, element, error)) return false;
        out.array.push_back(std::move(element));
        SkipWhitespace(p);
        if (AtEnd(p)) return Fail(error, kExpectedArrayEnd);
        const wchar_t next = p.text[p.position++];
        if (next == L']') return true;
        if (next != L',') return Fail(error, kExpectedArrayEnd);
    }
}

bool ParseObject(JsonParser& p, JsonValue& out, std::wstring& error) {
    if (!Take(p, L'{')) return Fail(error, kExpectedObject);
    out.kind = JsonKind::Object;
    out.members.clear();
    SkipWhitespace(p);
    if (TakeIf(p, L'}')) return true;
    for (;;) {
        SkipWhitespace(p);
        if (!At(p, L'"')) return Fail(error, kExpectedObjectKey);
        ++p.position;
        std::wstring key;
        if (!ReadStringBody(p, key, error)) return false;
        SkipWhitespace(p);
        if (!Take(p, L':')) return Fail(error, kExpectedColon);
        JsonValue value;
        if (!ParseValue(p, value, error)) return false;
        // The first of duplicate keys wins. Manifests list their keys mostly in
        // order, so the end is the likely place of a new key.
        out.members.try_emplace(out.members.end(), std::move(key), std::move(value));
        SkipWhitespace(p);
        if (AtEnd(p)) return Fail(error, kExpectedObjectEnd);
        const wchar_t next = p.text[p.position++];
        if (next == L'}') return true;
        if (next != L',') return Fail(error, kExpectedObjectEnd);
    }
}

bool ParseNested(JsonParser& p, JsonValue& out, std::wstring& error,
                 bool (*parse)(JsonParser&, JsonValue&, std::wstring&)) {
    if (p.depth >= kMaxNestingDepth) return Fail(error, kNestingTooDeep);
    ++p.depth;
    const bool parsed = parse(p, out, error);
    --p.depth;
    return parsed;
}

// Literals match as prefixes: what follows is judged by the enclosing production.
template <size_t N>
bool TakeLiteral(JsonParser& p, const wchar_t (&literal)[N]) {
    constexpr size_t length = N - 1;
    if (p.text.compare(p.position, length, literal, length) != 0) return false;
    p.position += length;
    return true;
}

bool ParseValue(JsonParser& p, JsonValue& out, std::wstring& error) {
    SkipWhitespace(p);
    if (!AtEnd(p)) {
        const wchar_t c = Current(p);
        if (c == L'"') return ParseString(p, out, error);
        if (c == L'-' || (c >= L'0' && c <= L'9')) return ParseNumber(p, out, error);
        if (c == L'[') return ParseNested(p, out, error, ParseArray);
        if (c == L'{') return ParseNested(p, out, error, ParseObject);
    }
    if (TakeLiteral(p, L"true")) {
        out.kind = JsonKind::Boolean;
        out.boolean = true;
        return true;
    }
    if (TakeLiteral(p, L"false")) {
        out.kind = JsonKind::Boolean;
        out.boolean = false;
        return true;
    }
    if (TakeLiteral(p, L"null")) {
        out.kind = JsonKind::Null;
        return true;
    }
    return Fail(error, kInvalidValue);
}

}  // namespace

const JsonValue* FindMember(const JsonValue& object, const std::wstring& key) {
    if (object.kind != JsonKind::Object) return nullptr;
    const auto found = object.members.find(key);
    return found == object.members.end() ? nullptr : &found->second;
}

double GetNumber(const JsonValue& object, const std::wstring& key, double defaultValue) {
    const JsonValue* member = FindMember(object, key);
    return member && member->kind == JsonKind::Number ? member->number : defaultValue;
}

std::wstring GetString(const JsonValue& object, const std::wstring& key,
                       const std::wstring& defaultValue) {
    const JsonValue* member = FindMember(object, key);
    return member && member->kind == JsonKind::String ? member->string : defaultValue;
}

int64_t TruncateToInt64(double number) {
    // 2 to the power 63: the first double above the signed 64-bit range.
    const double limit = 9223372036854775808.0;
    if (std::isnan(number)) return 0;
    if (number >= limit) return INT64_MAX;
    if (number < -limit) return INT64_MIN;
    return static_cast<int64_t>(number);
}

bool ParseJson(const std::wstring& text, JsonValue& out, std::wstring& error) {
    JsonParser parser{text, 0, 0};
    SkipWhitespace(parser);
    if (!ParseValue(parser, out, error)) return false;
    SkipWhitespace(parser);
    if (!AtEnd(parser)) return Fail(error, kTrailingCharacters);
    return true;
}

}  // namespace tolvek
