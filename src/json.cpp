// JSON documents: the value model, its lookups, and a recursive-descent parser over
// UTF-16 code units that stops at the first error with one fixed message.
//
// The parser reads the text twice with the same productions. The first reading checks
// the grammar and measures: the characters of every string, the number of elements and
// members, and the size of every array and object in the order they open. The second
// reading fills arenas of exactly those sizes, so the tree never holds a scratch copy
// of itself and its memory is a fixed multiple of the text whatever the document's shape.
// The text comes in windows, so it is never held whole as UTF-16; a streamed object's
// members are built one at a time in scratch arenas of the largest member's size.
#include "json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <cwctype>
#include <limits>
#include <new>
#include <vector>

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
// recursion. Real manifests nest three levels. A level of parsing takes a few hundred
// bytes of stack in an optimised build, so 512 levels stay far below the 1 MiB that
// Windows programs give their threads by default.
constexpr int kMaxNestingDepth = 512;

// The text is read in windows of 1 Mi code units, and the cancel flag between two of
// them: a few tens of milliseconds of parsing even for the densest documents. The fuzz
// targets build with windows of 64 units, so that short texts take every path of the
// windows (a number that outgrows one among them), and a parse allocates little.
#ifndef TOLVEK_JSON_WINDOW_UNITS
#define TOLVEK_JSON_WINDOW_UNITS (size_t{1} << 20)
#endif
constexpr size_t kWindowUnits = TOLVEK_JSON_WINDOW_UNITS;
constexpr size_t kNoMark = SIZE_MAX;
// A read always has room for a few units: a text that decodes as it goes may need
// several bytes for one character.
constexpr size_t kLeastRoom = 16;
// Sorting a large object's members reads the flag once per this many comparisons.
constexpr uint64_t kComparisonsPerCancelCheck = uint64_t{1} << 18;

// Counts are 32-bit: a string of this many code units or more cannot be held.
constexpr size_t kLongestText = UINT32_MAX;

// The size of every array and object, in the order they open, in fixed chunks: a
// growing list never holds two copies of itself.
struct ContainerSizes {
    static constexpr size_t kChunk = 4096;
    std::vector<std::unique_ptr<uint32_t[]>> chunks;
    size_t count = 0;
};

size_t AddContainer(ContainerSizes& sizes) {
    if (sizes.count % ContainerSizes::kChunk == 0)
        sizes.chunks.push_back(std::unique_ptr<uint32_t[]>(new uint32_t[ContainerSizes::kChunk]));
    return sizes.count++;
}

uint32_t& SizeOf(ContainerSizes& sizes, size_t container) {
    return sizes.chunks[container / ContainerSizes::kChunk][container % ContainerSizes::kChunk];
}

// The values, members and characters of a tree, or of one streamed member.
struct Counts {
    size_t elements = 0;
    size_t members = 0;
    size_t characters = 0;
};

// What the first reading measures of the streamed object: its members, the units
// of their names, and the largest member's counts, the scratch the second reading
// builds each member in.
struct StreamLayout {
    size_t members = 0;
    size_t nameUnits = 0;
    Counts largest;
};

// What the first reading measures and the second fills.
struct Layout {
    Counts tree;
    ContainerSizes containers;
    StreamLayout stream;
};

// Where the second reading writes next; all null during the first.
struct Fill {
    JsonValue* nextElement = nullptr;
    JsonMember* nextMember = nullptr;
    wchar_t* nextCharacter = nullptr;
};

// Thrown by the member sort's comparison when the run is cancelled; caught by ParseJson.
struct SortCancelled {};

// The streamed member's scratch arenas, each of the largest member's size.
struct StreamScratch {
    JsonArena<JsonValue> elements;
    JsonArena<JsonMember> members;
    JsonArena<wchar_t> characters;
};

// The cursor of one reading, over the window of the text it holds.
struct JsonParser {
    const JsonText& text;
    const std::atomic<bool>* cancel;
    Layout& layout;
    bool measuring;
    Fill fill;
    const JsonMemberStream* stream = nullptr;
    StreamScratch* scratch = nullptr;  // the second reading's, for the streamed members
    std::unique_ptr<wchar_t[]> window = std::unique_ptr<wchar_t[]>(new wchar_t[kWindowUnits]);
    size_t capacity = kWindowUnits;
    wchar_t* units = window.get();
    size_t length = 0;      // units in the window
    size_t position = 0;    // into the window
    size_t mark = kNoMark;  // where a number being read began: a new window keeps it
    bool ended = false;     // the text has no more units
    bool cancelled = false;
    int depth = 0;
    size_t containers = 0;  // arrays and objects opened so far
    bool streamNameSeen = false;
    std::wstring rootName = {};  // a root member's name, to compare with the stream's
};

void Grow(JsonParser& p) {
    std::unique_ptr<wchar_t[]> larger(new wchar_t[p.capacity * 2]);
    std::memcpy(larger.get(), p.units, p.length * sizeof(wchar_t));
    p.window = std::move(larger);
    p.units = p.window.get();
    p.capacity *= 2;
}

// The next window of the text after what is consumed; a number being read stays
// whole in it. False when the text has ended.
bool Refill(JsonParser& p) {
    const size_t keep = std::min(p.mark, p.position);
    const size_t kept = p.length - keep;
    std::memmove(p.units, p.units + keep, kept * sizeof(wchar_t));
    p.position -= keep;
    if (p.mark != kNoMark) p.mark -= keep;
    p.length = kept;
    if (p.capacity - p.length < kLeastRoom) Grow(p);
    const size_t read = p.text.read(p.units + p.length, p.capacity - p.length);
    p.length += read;
    if (read == 0) p.ended = true;
    return read > 0;
}

// The cancel flag is read before every new window; a cancelled parse sees its text
// end there, and ParseJson reports the cancellation.
bool AtEnd(JsonParser& p) {
    if (p.position < p.length) return false;
    if (p.ended || p.cancelled) return true;
    if (p.cancel && p.cancel->load()) {
        p.cancelled = true;
        return true;
    }
    return !Refill(p);
}

// At least `count` units after the position, unless the text ends before.
void Ensure(JsonParser& p, size_t count) {
    while (p.length - p.position < count && !p.ended && !p.cancelled) Refill(p);
}

wchar_t Current(const JsonParser& p) { return p.units[p.position]; }
bool At(JsonParser& p, wchar_t c) { return !AtEnd(p) && Current(p) == c; }
// Consumes the current character, whatever it is, and says whether it was `c`.
bool Take(JsonParser& p, wchar_t c) { return !AtEnd(p) && p.units[p.position++] == c; }
// Consumes the current character only when it is `c`.
bool TakeIf(JsonParser& p, wchar_t c) { return At(p, c) && Take(p, c); }

bool Fail(std::wstring& error, const wchar_t* message) {
    error = message;
    return false;
}

// The runtime's wide classification, asked only above ASCII: below it the answer
// is fixed (tab to carriage return and the blank; '0' to '9'), and asking costs a
// call into the runtime for every character of the manifest.
// Above ASCII the DLL's runtime answers as the Windows C locale does (under Wine: 18
// blanks such as U+00A0 and U+3000, 363 digits such as U+00B2 and U+0661); a native
// build's C library, in its C locale, counts none, so there a document with such a
// blank between tokens, or such a digit in a number, fails to parse.
bool IsWhitespace(wchar_t c) {
    if (c < 0x80) return c == L' ' || (c >= L'\t' && c <= L'\r');
    return std::iswspace(c) != 0;
}

bool IsAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool IsDigit(wchar_t c) {
    if (c < 0x80) return IsAsciiDigit(c);
    return std::iswdigit(c) != 0;
}

void SkipWhitespace(JsonParser& p) {
    while (!AtEnd(p) && IsWhitespace(Current(p))) ++p.position;
}

void SkipDigits(JsonParser& p) {
    while (!AtEnd(p) && IsDigit(Current(p))) ++p.position;
}

bool ParseValue(JsonParser& p, JsonValue& out, std::wstring& error);

// ---- strings ----------------------------------------------------------------------

// A string's decoded units: written to `characters` in the second reading, only
// counted in the first.
// `copy`, when given, receives the units too.
struct StringSink {
    wchar_t* characters;
    size_t length;
    std::wstring* copy = nullptr;
};

void Append(StringSink& sink, const wchar_t* units, size_t count) {
    if (sink.characters && count) std::memcpy(sink.characters + sink.length, units, count * sizeof(wchar_t));
    if (sink.copy) sink.copy->append(units, count);
    sink.length += count;
}

void Append(StringSink& sink, wchar_t unit) { Append(sink, &unit, 1); }

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// One UTF-16 code unit from four hexadecimal digits; surrogates stay as written.
bool AppendUnicodeEscape(JsonParser& p, StringSink& sink, std::wstring& error) {
    unsigned unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = AtEnd(p) ? -1 : HexDigitValue(p.units[p.position++]);
        if (digit < 0) return Fail(error, kInvalidUnicodeEscape);
        unit = unit * 16 + static_cast<unsigned>(digit);
    }
    Append(sink, static_cast<wchar_t>(unit));
    return true;
}

// The escape after a backslash that is not the last character of the text.
bool AppendEscape(JsonParser& p, StringSink& sink, std::wstring& error) {
    const wchar_t c = p.units[p.position++];
    switch (c) {
    case L'"':
    case L'\\':
    case L'/': Append(sink, c); return true;
    case L'b': Append(sink, L'\b'); return true;
    case L'f': Append(sink, L'\f'); return true;
    case L'n': Append(sink, L'\n'); return true;
    case L'r': Append(sink, L'\r'); return true;
    case L't': Append(sink, L'\t'); return true;
    case L'u': return AppendUnicodeEscape(p, sink, error);
    default: return Fail(error, kInvalidEscape);
    }
}

// The rest of a string after its opening quotation mark, escapes resolved.
bool ReadStringBody(JsonParser& p, StringSink& sink, std::wstring& error) {
    for (;;) {
        if (AtEnd(p)) return Fail(error, kUnterminatedString);
        // Everything but the quotation mark and the backslash is kept as it stands,
        // control characters and lone surrogates included.
        const wchar_t* const characters = p.units;
        size_t special = p.position;
        while (special < p.length && characters[special] != L'"' && characters[special] != L'\\')
            ++special;
        Append(sink, characters + p.position, special - p.position);
        p.position = special;
        if (special == p.length) continue;  // the window ended inside the string
        ++p.position;
        if (characters[special] == L'"') return true;
        if (AtEnd(p)) return Fail(error, kInvalidEscape);
        if (!AppendEscape(p, sink, error)) return false;
    }
}

// A member name is followed in the arena by one spare unit, so that names' addresses
// strictly follow the document's order, even for empty names; the member sort breaks
// ties between equal names with them.
constexpr size_t kNameSpacing = 1;

// The string after its opening quotation mark into `out`, its units in the arena.
bool ReadString(JsonParser& p, JsonValue& out, size_t spacing, std::wstring& error,
                std::wstring* copy = nullptr) {
    StringSink sink{p.fill.nextCharacter, 0, copy};
    if (!ReadStringBody(p, sink, error)) return false;
    if (sink.length >= kLongestText) throw std::bad_alloc();  // its count would not fit
    if (p.measuring) {
        p.layout.tree.characters += sink.length + spacing;
    } else {
        p.fill.nextCharacter += sink.length + spacing;
    }
    out.kind = JsonKind::String;
    out.count = static_cast<uint32_t>(sink.length);
    out.characters = sink.characters;
    return true;
}

bool ParseString(JsonParser& p, JsonValue& out, std::wstring& error) {
    if (!Take(p, L'"')) return Fail(error, kExpectedString);
    return ReadString(p, out, 0, error);
}

// ---- numbers ----------------------------------------------------------------------

// A token of an optional '-' and at most 15 ASCII digits names an integer below
// 2 to the power 53, which a double holds exactly. Manifest sizes take this way.
bool ConvertPlainInteger(const wchar_t* token, const wchar_t* end, double& number) {
    constexpr ptrdiff_t kExactDigits = 15;
    const bool negative = *token == L'-';
    const wchar_t* first = token + (negative ? 1 : 0);
    if (end - first > kExactDigits) return false;
    int64_t whole = 0;
    for (const wchar_t* c = first; c < end; ++c) {
        if (!IsAsciiDigit(*c)) return false;
        whole = whole * 10 + (*c - L'0');
    }
    number = static_cast<double>(whole);
    if (negative) number = -number;  // -0 stays negative zero
    return true;
}

// Enough significant digits to round any decimal to its nearest double: deciding a
// rounding never takes more than 768 of them. A dropped digit that is not zero is
// kept as one more digit 1, which puts the value on the right side of every tie.
constexpr size_t kSignificantDigits = 800;
// Exponents beyond any text that fits in memory mean the same as this one.
constexpr int64_t kExponentCeiling = INT64_C(1000000000000);

// A decimal as significant digits and a power of ten: digits x 10^exponent.
struct Decimal {
    char digits[kSignificantDigits + 1];
    size_t count = 0;
    int64_t exponent = 0;
    bool droppedNonZero = false;
};

void AddDigit(Decimal& d, wchar_t c, bool fractional) {
    if (d.count == 0 && c == L'0') {
        if (fractional) --d.exponent;
    } else if (d.count < kSignificantDigits) {
        d.digits[d.count++] = static_cast<char>(c);
        if (fractional) --d.exponent;
    } else {
        if (c != L'0') d.droppedNonZero = true;
        if (!fractional) ++d.exponent;
    }
}

// ASCII digits from `c` on; stops at anything else, a digit beyond ASCII included.
const wchar_t* ReadDigits(const wchar_t* c, const wchar_t* end, Decimal& d, bool fractional) {
    for (; c < end && IsAsciiDigit(*c); ++c) AddDigit(d, *c, fractional);
    return c;
}

// The exponent after 'e' or 'E'; without an ASCII digit there is none, as the C
// locale's conversion reads "1e" as 1.
void ReadExponent(const wchar_t* c, const wchar_t* end, Decimal& d) {
    const bool negative = c < end && *c == L'-';
    if (c < end && (*c == L'-' || *c == L'+')) ++c;
    int64_t written = 0;
    for (; c < end && IsAsciiDigit(*c); ++c) written = std::min(written * 10 + (*c - L'0'), kExponentCeiling);
    d.exponent += negative ? -written : written;
}

// The value of a number token as the C locale's conversion reads it, whatever the
// process's locale: only the ASCII text before the first digit beyond ASCII counts.
// Linear in the token's length. False when the value is out of the double's normal
// range: beyond the largest double, or a non-zero number below the smallest normal
// one (the runtime's conversion has always reported those as range errors too).
bool ConvertNumber(const wchar_t* token, const wchar_t* end, double& number) {
    if (ConvertPlainInteger(token, end, number)) return true;
    const bool negative = *token == L'-';
    Decimal d;
    const wchar_t* c = ReadDigits(token + (negative ? 1 : 0), end, d, false);
    if (c < end && *c == L'.') c = ReadDigits(c + 1, end, d, true);
    if (c < end && (*c == L'e' || *c == L'E')) ReadExponent(c + 1, end, d);

    double magnitude = 0.0;
    if (d.count > 0) {
        // The value lies in [10^(order-1), 10^order): far enough out, no conversion is needed.
        const int64_t order = d.exponent + static_cast<int64_t>(d.count);
        if (order > 310 || order < -330) return false;
        if (d.droppedNonZero) {
            d.digits[d.count++] = '1';
            --d.exponent;
        }
        char text[kSignificantDigits + 32];
        std::memcpy(text, d.digits, d.count);
        char* last = text + d.count;
        *last++ = 'e';
        last = std::to_chars(last, text + sizeof text, d.exponent).ptr;
        if (std::from_chars(text, last, magnitude).ec != std::errc()) return false;
        if (magnitude < std::numeric_limits<double>::min()) return false;
    }
    number = negative ? -magnitude : magnitude;
    return true;
}

// The grammar of a number from the mark on; the token stays in the window.
bool ScanNumber(JsonParser& p, std::wstring& error) {
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
    return true;
}

// A number, boolean or null: its count and every byte of its payload are written too,
// as of every value handed out, since the arenas' storage starts indeterminate.
void SetScalar(JsonValue& out, JsonKind kind) {
    out.kind = kind;
    out.count = 0;
    out.number = 0.0;
}

bool ParseNumber(JsonParser& p, JsonValue& out, std::wstring& error) {
    p.mark = p.position;
    const bool scanned = ScanNumber(p, error);
    const size_t start = p.mark;
    p.mark = kNoMark;
    if (!scanned) return false;
    SetScalar(out, JsonKind::Number);
    if (!ConvertNumber(p.units + start, p.units + p.position, out.number)) return Fail(error, kNumberOutOfRange);
    return true;
}

// ---- arrays and objects -----------------------------------------------------------

// Numbers each array and object as it opens; the first reading makes room for its size.
size_t OpenContainer(JsonParser& p) {
    if (p.measuring) AddContainer(p.layout.containers);
    return p.containers++;
}

// The elements' block, sized by the first reading; null while measuring.
JsonValue* TakeElements(JsonParser& p, size_t container) {
    if (p.measuring) return nullptr;
    JsonValue* const block = p.fill.nextElement;
    p.fill.nextElement += SizeOf(p.layout.containers, container);
    return block;
}

JsonMember* TakeMembers(JsonParser& p, size_t container) {
    if (p.measuring) return nullptr;
    JsonMember* const block = p.fill.nextMember;
    p.fill.nextMember += SizeOf(p.layout.containers, container);
    return block;
}

bool CloseArray(JsonParser& p, JsonValue& out, size_t container, uint32_t count) {
    if (p.measuring) {
        SizeOf(p.layout.containers, container) = count;
        p.layout.tree.elements += count;
    }
    out.count = count;
    return true;
}

std::wstring_view NameOf(const JsonMember& member) { return {member.name.characters, member.name.count}; }

// Members in ascending code-unit order of their names, the first of equal names kept.
// Manifests list their keys mostly in order, so an ordered block is only checked.
uint32_t OrderMembers(JsonParser& p, JsonMember* first, uint32_t count) {
    JsonMember* const last = first + count;
    const auto strictlyBefore = [](const JsonMember& a, const JsonMember& b) { return NameOf(a) < NameOf(b); };
    if (std::adjacent_find(first, last, [&](const JsonMember& a, const JsonMember& b) {
            return !strictlyBefore(a, b);
        }) == last)
        return count;
    uint64_t comparisons = 0;
    std::sort(first, last, [&](const JsonMember& a, const JsonMember& b) {
        if (++comparisons % kComparisonsPerCancelCheck == 0 && p.cancel && p.cancel->load()) throw SortCancelled{};
        const int order = NameOf(a).compare(NameOf(b));
        return order != 0 ? order < 0 : a.name.characters < b.name.characters;
    });
    const auto sameName = [](const JsonMember& a, const JsonMember& b) { return NameOf(a) == NameOf(b); };
    return static_cast<uint32_t>(std::unique(first, last, sameName) - first);
}

bool CloseObject(JsonParser& p, JsonValue& out, size_t container, JsonMember* first, uint32_t count) {
    if (p.measuring) {
        SizeOf(p.layout.containers, container) = count;
        p.layout.tree.members += count;
        out.count = count;
    } else {
        out.count = OrderMembers(p, first, count);
    }
    return true;
}

bool ParseArray(JsonParser& p, JsonValue& out, std::wstring& error) {
    if (!Take(p, L'[')) return Fail(error, kExpectedArray);
    const size_t container = OpenContainer(p);
    JsonValue* const first = TakeElements(p, container);
    out.kind = JsonKind::Array;
    out.count = 0;
    out.elements = first;
    SkipWhitespace(p);
    uint32_t count = 0;
    if (TakeIf(p, L']')) return CloseArray(p, out, container, count);
    for (;;) {
        JsonValue measured;
        if (!ParseValue(p, first ? first[count] : measured, error)) return false;
        ++count;
        SkipWhitespace(p);
        if (AtEnd(p)) return Fail(error, kExpectedArrayEnd);
        const wchar_t next = p.units[p.position++];
        if (next == L']') return CloseArray(p, out, container, count);
        if (next != L',') return Fail(error, kExpectedArrayEnd);
    }
}

bool ParseStreamed(JsonParser& p, JsonValue& out, std::wstring& error);

// Whether the member whose name was just read is the one the stream takes: the
// root's first member of that name, when its value is an object.
bool IsStreamed(JsonParser& p) {
    if (!p.stream || p.depth != 1 || p.streamNameSeen || p.rootName != p.stream->name) return false;
    p.streamNameSeen = true;
    SkipWhitespace(p);
    return At(p, L'{');
}

bool ParseObject(JsonParser& p, JsonValue& out, std::wstring& error) {
    if (!Take(p, L'{')) return Fail(error, kExpectedObject);
    const size_t container = OpenContainer(p);
    JsonMember* const first = TakeMembers(p, container);
    out.kind = JsonKind::Object;
    out.count = 0;
    out.members = first;
    SkipWhitespace(p);
    uint32_t count = 0;
    if (TakeIf(p, L'}')) return CloseObject(p, out, container, first, count);
    // The root's member names are compared with the stream's.
    std::wstring* const name = p.stream && p.depth == 1 ? &p.rootName : nullptr;
    for (;;) {
        SkipWhitespace(p);
        if (!At(p, L'"')) return Fail(error, kExpectedObjectKey);
        ++p.position;
        // Later duplicates are parsed and kept until the object closes, where the
        // first of equal names wins.
        JsonMember measured;
        JsonMember& member = first ? first[count] : measured;
        if (name) name->clear();
        if (!ReadString(p, member.name, kNameSpacing, error, name)) return false;
        SkipWhitespace(p);
        if (!Take(p, L':')) return Fail(error, kExpectedColon);
        const bool parsed = IsStreamed(p) ? ParseStreamed(p, member.value, error) : ParseValue(p, member.value, error);
        if (!parsed) return false;
        ++count;
        SkipWhitespace(p);
        if (AtEnd(p)) return Fail(error, kExpectedObjectEnd);
        const wchar_t next = p.units[p.position++];
        if (next == L'}') return CloseObject(p, out, container, first, count);
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

// The counts a streamed member added, which the tree itself does not hold.
Counts Since(const Counts& before, const Counts& now) {
    return {now.elements - before.elements, now.members - before.members, now.characters - before.characters};
}

void KeepLargest(Counts& largest, const Counts& member) {
    largest.elements = std::max(largest.elements, member.elements);
    largest.members = std::max(largest.members, member.members);
    largest.characters = std::max(largest.characters, member.characters);
}

// One member of the streamed object: measured apart from the tree in the first
// reading, built in the scratch arenas and handed over in the second.
bool ParseStreamedMember(JsonParser& p, std::wstring& error) {
    const Counts before = p.layout.tree;
    const Fill main = p.fill;
    if (!p.measuring)
        p.fill = Fill{p.scratch->elements.get(), p.scratch->members.get(), p.scratch->characters.get()};
    JsonMember member;
    bool parsed = ReadString(p, member.name, kNameSpacing, error);
    if (parsed) {
        SkipWhitespace(p);
        parsed = Take(p, L':') ? ParseValue(p, member.value, error) : Fail(error, kExpectedColon);
    }
    if (p.measuring) {
        p.layout.stream.members += 1;
        p.layout.stream.nameUnits += member.name.count;
        KeepLargest(p.layout.stream.largest, Since(before, p.layout.tree));
        p.layout.tree = before;
    } else {
        p.fill = main;
        if (parsed) p.stream->member(NameOf(member), member.value);
    }
    return parsed;
}

// The object the stream takes, nested as any other; the tree holds it without members.
bool ParseStreamedObject(JsonParser& p, JsonValue& out, std::wstring& error) {
    Take(p, L'{');
    OpenContainer(p);  // numbered as any object, so the containers after it keep their numbers
    out.kind = JsonKind::Object;
    out.count = 0;
    out.members = nullptr;
    SkipWhitespace(p);
    if (TakeIf(p, L'}')) return true;
    for (;;) {
        SkipWhitespace(p);
        if (!At(p, L'"')) return Fail(error, kExpectedObjectKey);
        ++p.position;
        if (!ParseStreamedMember(p, error)) return false;
        SkipWhitespace(p);
        if (AtEnd(p)) return Fail(error, kExpectedObjectEnd);
        const wchar_t next = p.units[p.position++];
        if (next == L'}') return true;
        if (next != L',') return Fail(error, kExpectedObjectEnd);
    }
}

bool ParseStreamed(JsonParser& p, JsonValue& out, std::wstring& error) {
    return ParseNested(p, out, error, ParseStreamedObject);
}

// Literals match as prefixes: what follows is judged by the enclosing production.
template <size_t N>
bool TakeLiteral(JsonParser& p, const wchar_t (&literal)[N]) {
    constexpr size_t length = N - 1;
    Ensure(p, length);
    if (p.length - p.position < length || std::wmemcmp(p.units + p.position, literal, length) != 0) return false;
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
        SetScalar(out, JsonKind::Boolean);
        out.boolean = true;
        return true;
    }
    if (TakeLiteral(p, L"false")) {
        SetScalar(out, JsonKind::Boolean);
        out.boolean = false;
        return true;
    }
    if (TakeLiteral(p, L"null")) {
        SetScalar(out, JsonKind::Null);
        return true;
    }
    return Fail(error, kInvalidValue);
}

// One whole reading of the text into `root`.
bool ReadDocument(JsonParser& p, JsonValue& root, std::wstring& error) {
    bool parsed = false;
    try {
        SkipWhitespace(p);
        parsed = ParseValue(p, root, error);
        if (parsed) {
            SkipWhitespace(p);
            if (!AtEnd(p)) parsed = Fail(error, kTrailingCharacters);
        }
    } catch (const SortCancelled&) {
        p.cancelled = true;
    }
    if (p.cancelled) return Fail(error, kCancelledByUser.c_str());
    return parsed;
}

// A failed reading as the parse's outcome: its message, or the cancellation.
Outcome ReadingFailed(const JsonParser& p, std::wstring error) {
    return p.cancelled ? Cancelled() : Fail(FailureKind::Parse, std::move(error));
}

// Storage only: the parse writes every value it hands out, and leaving the pages
// untouched until then keeps the first touch of a large arena within the reading,
// where the cancel flag is read.
template <class T>
JsonArena<T> Arena(size_t size) {
    if (size == 0) return JsonArena<T>();
    if (size > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return JsonArena<T>(static_cast<T*>(::operator new(size * sizeof(T))));
}

}  // namespace

std::wstring_view StringOf(const JsonValue& value) {
    if (value.kind != JsonKind::String) return {};
    return {value.characters, value.count};
}

JsonRange<JsonValue> ElementsOf(const JsonValue& value) {
    if (value.kind != JsonKind::Array) return {};
    return {value.elements, value.count};
}

JsonRange<JsonMember> MembersOf(const JsonValue& value) {
    if (value.kind != JsonKind::Object) return {};
    return {value.members, value.count};
}

const JsonValue* FindMember(const JsonValue& object, std::wstring_view key) {
    const JsonRange<JsonMember> members = MembersOf(object);
    const JsonMember* found = std::lower_bound(
        members.begin(), members.end(), key,
        [](const JsonMember& member, std::wstring_view wanted) { return NameOf(member) < wanted; });
    return found != members.end() && NameOf(*found) == key ? &found->value : nullptr;
}

double GetNumber(const JsonValue& object, std::wstring_view key, double defaultValue) {
    const JsonValue* member = FindMember(object, key);
    return member && member->kind == JsonKind::Number ? member->number : defaultValue;
}

std::wstring GetString(const JsonValue& object, std::wstring_view key,
                       const std::wstring& defaultValue) {
    const JsonValue* member = FindMember(object, key);
    return member && member->kind == JsonKind::String ? std::wstring(StringOf(*member)) : defaultValue;
}

int64_t TruncateToInt64(double number) {
    // 2 to the power 63: the first double above the signed 64-bit range.
    const double limit = 9223372036854775808.0;
    if (std::isnan(number)) return 0;
    if (number >= limit) return INT64_MAX;
    if (number < -limit) return INT64_MIN;
    return static_cast<int64_t>(number);
}

Outcome ParseJson(const JsonText& text, JsonDocument& out, const std::atomic<bool>* cancel,
                  const JsonMemberStream* stream) {
    out = JsonDocument();  // the old arenas go before new ones are made
    Layout layout;
    std::wstring error;
    text.restart();
    JsonParser measure{text, cancel, layout, true, Fill{}, stream};
    if (!ReadDocument(measure, out.root, error)) return ReadingFailed(measure, std::move(error));
    measure.window.reset();

    out.elements = Arena<JsonValue>(layout.tree.elements);
    out.members = Arena<JsonMember>(layout.tree.members);
    out.characters = Arena<wchar_t>(layout.tree.characters);
    StreamScratch scratch{Arena<JsonValue>(layout.stream.largest.elements),
                          Arena<JsonMember>(layout.stream.largest.members),
                          Arena<wchar_t>(layout.stream.largest.characters)};
    if (stream && layout.stream.members > 0) stream->reserve(layout.stream.members, layout.stream.nameUnits);
    const Fill fill{out.elements.get(), out.members.get(), out.characters.get()};
    text.restart();
    JsonParser build{text, cancel, layout, false, fill, stream, &scratch};
    out.root = JsonValue();
    if (!ReadDocument(build, out.root, error)) return ReadingFailed(build, std::move(error));
    return Success();
}

Outcome ParseJson(const std::wstring& text, JsonDocument& out, const std::atomic<bool>* cancel) {
    if (text.size() >= kLongestText) throw std::bad_alloc();
    size_t given = 0;
    const JsonText whole{[&](wchar_t* units, size_t room) {
                             const size_t count = std::min(room, text.size() - given);
                             std::memcpy(units, text.data() + given, count * sizeof(wchar_t));
                             given += count;
                             return count;
                         },
                         [&] { given = 0; }};
    return ParseJson(whole, out, cancel);
}

}  // namespace tolvek
