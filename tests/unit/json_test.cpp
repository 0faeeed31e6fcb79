// The manifest's JSON: lookups, the accepted grammar, every failure message, and
// the nesting limit that keeps a hostile document off the worker's stack.
#include "json.h"
#include "parse_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tolvek;

std::string Show(const std::wstring& text) { return ::testing::PrintToString(text); }

JsonDocument Parse(const std::wstring& text) {
    JsonDocument document;
    std::wstring error;
    EXPECT_TRUE(ParseText(text, document, error)) << Show(text) << " failed: " << Show(error);
    return document;
}

std::vector<std::wstring> Keys(const JsonValue& object) {
    std::vector<std::wstring> keys;
    for (const JsonMember& member : MembersOf(object)) keys.emplace_back(StringOf(member.name));
    return keys;
}

TEST(JsonLookup, FindMemberAnswersOnlyForObjects) {
    JsonDocument document = Parse(LR"({"files": {}, "n": 1})");
    ASSERT_NE(FindMember(document.root, L"files"), nullptr);
    EXPECT_EQ(FindMember(document.root, L"files")->kind, JsonKind::Object);
    EXPECT_EQ(FindMember(document.root, L"Files"), nullptr) << "keys are case-sensitive";
    EXPECT_EQ(FindMember(document.root, L"absent"), nullptr);

    // A later parse into the same document replaces the tree; the kind decides.
    std::wstring error;
    for (const wchar_t* text : {L"[{\"files\": 1}]", L"\"files\"", L"null", L"{}"}) {
        ASSERT_TRUE(ParseText(text, document, error)) << Show(text);
        EXPECT_EQ(FindMember(document.root, L"files"), nullptr) << Show(text);
        EXPECT_TRUE(MembersOf(document.root).empty()) << Show(text);
    }
    EXPECT_TRUE(ElementsOf(Parse(L"{\"a\": 1}").root).empty()) << "an object has no elements";
    EXPECT_TRUE(StringOf(Parse(L"[\"a\"]").root).empty()) << "an array has no text";
}

TEST(JsonLookup, GetNumberAndGetStringTakeOnlyTheirOwnKind) {
    const JsonDocument document =
        Parse(LR"({"int": 3, "frac": 1.5, "text": "5", "yes": true, "empty": "", "none": null})");
    const JsonValue& object = document.root;
    EXPECT_EQ(GetNumber(object, L"int", -1), 3.0);
    EXPECT_EQ(GetNumber(object, L"frac", -1), 1.5);
    EXPECT_EQ(GetNumber(object, L"text", -1), -1) << "no conversion from strings";
    EXPECT_EQ(GetNumber(object, L"yes", -1), -1) << "no conversion from booleans";
    EXPECT_EQ(GetNumber(object, L"absent", 7), 7);
    EXPECT_EQ(GetString(object, L"text", L"default"), L"5");
    EXPECT_EQ(GetString(object, L"empty", L"default"), L"") << "an empty string is a value";
    EXPECT_EQ(GetString(object, L"int", L"default"), L"default");
    EXPECT_EQ(GetString(object, L"none", L"default"), L"default");
    EXPECT_EQ(GetNumber(Parse(L"[3]").root, L"0", -1), -1) << "an array has no members";
}

TEST(JsonLookup, MembersIterateInUtf16CodeUnitOrder) {
    EXPECT_EQ(Keys(Parse(LR"({"b": 1, "a": 2, "B": 3})").root),
              (std::vector<std::wstring>{L"B", L"a", L"b"}));
    // Code units, not code points: the surrogate pair (D83D DE00) sorts before E000,
    // and units above 7FFF compare as unsigned.
    EXPECT_EQ(Keys(Parse(LR"({"\uffff": 1, "\ue000": 2, "\ud83d\ude00": 3, "z": 4, "": 5})").root),
              (std::vector<std::wstring>{L"", L"z", L"\xD83D\xDE00", L"\xE000", L"\xFFFF"}));
    EXPECT_EQ(Keys(Parse(LR"({"ab": 1, "a": 2})").root), (std::vector<std::wstring>{L"a", L"ab"}));
}

TEST(JsonLookup, TruncateToInt64HasAValueForEveryDouble) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        double number;
        int64_t expected;
    } rows[] = {{12.7, 12},
                {-12.7, -12},
                {-0.0, 0},
                {9223372036854774784.0, INT64_C(9223372036854774784)},  // largest below 2^63
                {9223372036854775808.0, INT64_MAX},
                {-9223372036854775808.0, INT64_MIN},
                {1e19, INT64_MAX},
                {-1e30, INT64_MIN},
                {inf, INT64_MAX},
                {-inf, INT64_MIN},
                {std::nan(""), 0}};
    for (const auto& row : rows)
        EXPECT_EQ(TruncateToInt64(row.number), row.expected) << "number " << row.number;
}

TEST(JsonParser, EveryMalformedTextGetsItsMessage) {
    const struct {
        std::wstring text;
        const wchar_t* message;
    } rows[] = {
        {L"", L"Invalid JSON value"},
        {L" \t\r\n", L"Invalid JSON value"},
        {L"[", L"Invalid JSON value"},
        {L"[1,]", L"Invalid JSON value"},
        {L"TRUE", L"Invalid JSON value"},
        {L"True", L"Invalid JSON value"},
        {L"nul", L"Invalid JSON value"},
        {L"NaN", L"Invalid JSON value"},
        {L"Infinity", L"Invalid JSON value"},
        {L"+1", L"Invalid JSON value"},
        {L".5", L"Invalid JSON value"},
        {L"'a'", L"Invalid JSON value"},
        {L"truex", L"Unexpected trailing characters in JSON"},
        {L"01", L"Unexpected trailing characters in JSON"},
        {L"{} {}", L"Unexpected trailing characters in JSON"},
        {L"\"a\" x", L"Unexpected trailing characters in JSON"},
        {L"{", L"Expected object key"},
        {L"{,}", L"Expected object key"},
        {L"{\"a\": 1,}", L"Expected object key"},
        {L"{1: 2}", L"Expected object key"},
        {L"{\"a\" 1}", L"Expected ':' after object key"},
        {L"{\"a\"", L"Expected ':' after object key"},
        {L"{\"a\": 1", L"Expected ',' or '}' in object"},
        {L"{\"a\": 1 \"b\": 2}", L"Expected ',' or '}' in object"},
        {L"{\"a\": 1]", L"Expected ',' or '}' in object"},
        {L"[1", L"Expected ',' or ']' in array"},
        {L"[1 2]", L"Expected ',' or ']' in array"},
        {L"[truex]", L"Expected ',' or ']' in array"},
        {L"[1}", L"Expected ',' or ']' in array"},
        {L"\"abc", L"Unterminated string"},
        {L"[\"a]", L"Unterminated string"},
        {L"\"\\", L"Invalid escape in string"},
        {L"\"\\x\"", L"Invalid escape in string"},
        {L"\"\\U0041\"", L"Invalid escape in string"},
        {L"\"\\u12\"", L"Invalid unicode escape in string"},
        {L"\"\\u12", L"Invalid unicode escape in string"},
        {L"\"\\u12G4\"", L"Invalid unicode escape in string"},
        {L"-", L"Invalid number"},
        {L"-a", L"Invalid number"},
        {L"-.5", L"Invalid number"},
        {L"1.", L"Invalid fractional number"},
        {L"1.e5", L"Invalid fractional number"},
        {L"[1.]", L"Invalid fractional number"},
        {L"1e", L"Invalid exponent in number"},
        {L"1e+", L"Invalid exponent in number"},
        {L"1ex", L"Invalid exponent in number"},
        {L"1E-]", L"Invalid exponent in number"},
        {L"1e999", L"Number out of range"},
        {L"-1e999", L"Number out of range"},
        {L"1e-400", L"Number out of range"},  // underflow to zero is a range error too
        {L"{\"size\": 1e400}", L"Number out of range"},
    };
    for (const auto& row : rows) {
        JsonDocument value;
        std::wstring error = L"untouched";
        EXPECT_FALSE(ParseText(row.text, value, error)) << Show(row.text);
        EXPECT_EQ(error, row.message) << Show(row.text);
    }
}

TEST(JsonParser, ScalarsAndEscapesDecode) {
    const struct {
        std::wstring text;
        JsonKind kind;
        double number;
        std::wstring string;
    } rows[] = {
        {L"42", JsonKind::Number, 42, L""},
        {L"1E+2", JsonKind::Number, 100, L""},
        {L"-2.5e-1", JsonKind::Number, -0.25, L""},
        {L"9007199254740993", JsonKind::Number, 9007199254740992.0, L""},  // nearest double
        {L"\"\"", JsonKind::String, 0, L""},
        {L"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", JsonKind::String, 0, L"\"\\/\b\f\n\r\t"},
        {L"\"\\u00e9\\u00C9\"", JsonKind::String, 0, L"\xE9\xC9"},
        {L"\"\\ud83d\\ude00\"", JsonKind::String, 0, L"\xD83D\xDE00"},
        {L"\"\\ud800x\"", JsonKind::String, 0, L"\xD800x"},  // a lone surrogate stays
        {L"\"a\tb\nc\"", JsonKind::String, 0, L"a\tb\nc"},   // raw controls are kept
        {std::wstring(L"\"a\\u0000b\"", 10), JsonKind::String, 0, std::wstring(L"a\0b", 3)},
        {L"null", JsonKind::Null, 0, L""},
    };
    for (const auto& row : rows) {
        const JsonDocument document = Parse(row.text);
        const JsonValue& value = document.root;
        EXPECT_EQ(value.kind, row.kind) << Show(row.text);
        if (row.kind == JsonKind::Number) {
            EXPECT_EQ(value.number, row.number) << Show(row.text);
        }
        if (row.kind == JsonKind::String) {
            EXPECT_EQ(StringOf(value), row.string) << Show(row.text);
        }
    }
    const double negativeZero = Parse(L"-0").root.number;
    EXPECT_EQ(negativeZero, 0.0);
    EXPECT_TRUE(std::signbit(negativeZero));

    const JsonDocument document = Parse(L"[true,false,null]");
    const JsonRange<JsonValue> literals = ElementsOf(document.root);
    ASSERT_EQ(literals.size(), 3u);
    EXPECT_TRUE(literals[0].kind == JsonKind::Boolean && literals[0].boolean);
    EXPECT_TRUE(literals[1].kind == JsonKind::Boolean && !literals[1].boolean);
    EXPECT_EQ(literals[2].kind, JsonKind::Null);
}

TEST(JsonParser, NumbersIgnoreTheHostsLocale) {
    // A host may switch the C locale to one whose decimal separator is a comma.
    const char* german = std::setlocale(LC_ALL, "German_Germany.1252");
    const double small = Parse(L"12.75").root.number;
    const double large = Parse(L"1.5e3").root.number;
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(small, 12.75);
    EXPECT_EQ(large, 1500);
    if (!german) GTEST_LOG_(INFO) << "German locale unavailable; checked the C locale only";
}

TEST(JsonParser, ReadsAManifest) {
    JsonDocument document;
    std::wstring error = L"from an earlier attempt";
    ASSERT_TRUE(ParseText(LR"(
        {"version": 3.9, "version_string": "1.2.3",
         "cdn_list": ["https://a.example/", "https://b.example/"],
         "files": {"bin/app.exe": {"size": 12, "hash": "ab"}, "\u0066\u0069le": {}}})",
                          document, error));
    EXPECT_EQ(error, L"") << "a success carries no failure text";
    const JsonValue& manifest = document.root;
    ASSERT_EQ(manifest.kind, JsonKind::Object);
    EXPECT_EQ(GetNumber(manifest, L"version", 0), 3.9);
    EXPECT_EQ(GetString(manifest, L"version_string", L""), L"1.2.3");
    const JsonValue* cdnList = FindMember(manifest, L"cdn_list");
    ASSERT_NE(cdnList, nullptr);
    ASSERT_EQ(ElementsOf(*cdnList).size(), 2u);
    EXPECT_EQ(StringOf(ElementsOf(*cdnList)[1]), L"https://b.example/");
    const JsonValue* files = FindMember(manifest, L"files");
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(Keys(*files), (std::vector<std::wstring>{L"bin/app.exe", L"file"}))
        << "escaped keys are decoded before insertion";
    ASSERT_NE(FindMember(*files, L"bin/app.exe"), nullptr);
    EXPECT_EQ(GetNumber(*FindMember(*files, L"bin/app.exe"), L"size", -1), 12);
}

TEST(JsonParser, TheFirstOfDuplicateKeysWinsAndLaterOnesAreStillChecked) {
    const JsonDocument entry = Parse(LR"({"size": 1, "hash": "a", "size": 2, "size": "x"})");
    EXPECT_EQ(GetNumber(entry.root, L"size", -1), 1);
    EXPECT_EQ(Keys(entry.root), (std::vector<std::wstring>{L"hash", L"size"}));
    // Equal names out of order: the first in the document still wins, empty ones too.
    const JsonDocument mixed = Parse(LR"({"b": 1, "": 2, "a": 3, "b": 4, "": 5, "a": 6, "": 7})");
    EXPECT_EQ(Keys(mixed.root), (std::vector<std::wstring>{L"", L"a", L"b"}));
    EXPECT_EQ(GetNumber(mixed.root, L"", -1), 2);
    EXPECT_EQ(GetNumber(mixed.root, L"a", -1), 3);
    EXPECT_EQ(GetNumber(mixed.root, L"b", -1), 1);

    JsonDocument value;
    std::wstring error;
    EXPECT_FALSE(ParseText(LR"({"a": 1, "a": [1,]})", value, error));
    EXPECT_EQ(error, L"Invalid JSON value");
}

// Whitespace and later digits follow the runtime's wide classification, which is
// wider than JSON's own four blanks and ASCII digits.
TEST(JsonParser, RuntimeWhitespaceSeparatesTokens) {
    const struct {
        wchar_t c;
        bool blank;
    } rows[] = {{L'\t', true},  {L'\n', true},    {L'\v', true},    {L'\f', true},
                {L'\r', true},  {L' ', true},     {L'\xA0', true},  {L'\x3000', true},
                {L'\x2028', true}, {L'\x1F', false}, {L'\x7F', false}, {L'x', false}};
    for (const auto& row : rows) {
        const std::wstring c(1, row.c);
        const std::wstring text = c + L"{" + c + L"\"a\"" + c + L":" + c + L"[" + c + L"1" + c +
                                  L"," + c + L"2" + c + L"]" + c + L"}" + c;
        JsonDocument value;
        std::wstring error;
        EXPECT_EQ(ParseText(text, value, error), row.blank) << "U+" << std::hex << int(row.c);
    }
}

TEST(JsonParser, RuntimeDigitsJoinANumberButEndItsValue) {
    const struct {
        std::wstring text;
        double number;
    } rows[] = {{L"1\xB2", 1},       {L"[1\xB3]", 1},    {L"1\xB9\xB9", 1}, {L"1.5\xB2", 1.5},
                {L"1.\xB2", 1},      {L"1e\xB2", 1},     {L"12\x0663", 12}, {L"-7\xFF10", -7}};
    for (const auto& row : rows) {
        const JsonDocument document = Parse(row.text);
        const JsonValue& value = document.root;
        const JsonValue& number = value.kind == JsonKind::Array ? ElementsOf(value)[0] : value;
        EXPECT_EQ(number.kind, JsonKind::Number) << Show(row.text);
        EXPECT_EQ(number.number, row.number) << Show(row.text);
    }
    // The first digit must be ASCII, and U+00BC (a fraction) is no digit at all.
    JsonDocument value;
    std::wstring error;
    EXPECT_FALSE(ParseText(L"\xB2", value, error));
    EXPECT_EQ(error, L"Invalid JSON value");
    EXPECT_FALSE(ParseText(L"-\xB2", value, error));
    EXPECT_EQ(error, L"Invalid number");
    EXPECT_FALSE(ParseText(L"1\xBC", value, error));
    EXPECT_EQ(error, L"Unexpected trailing characters in JSON");
}

// The deepest document the parser accepts.
constexpr int kDepthLimit = 512;

std::wstring Nested(int depth, bool objects) {
    std::wstring text;
    for (int i = 0; i < depth; ++i) text += objects ? L"{\"k\":" : L"[";
    text += L"0";
    for (int i = 0; i < depth; ++i) text += objects ? L"}" : L"]";
    return text;
}

// Parses, walks and releases each document on the calling thread. The result is the
// depth of each parsed tree, or -1 with the error text.
std::vector<std::pair<int, std::wstring>> ParseEach(const std::vector<std::wstring>& texts) {
    std::vector<std::pair<int, std::wstring>> outcomes;
    for (const std::wstring& text : texts) {
        JsonDocument document;
        std::wstring error;
        int depth = -1;
        if (ParseText(text, document, error)) {
            depth = 0;
            for (const JsonValue* v = &document.root; v && v->kind != JsonKind::Number; ++depth)
                v = v->kind == JsonKind::Array ? &ElementsOf(*v)[0] : FindMember(*v, L"k");
        }
        outcomes.emplace_back(depth, error);
    }
    return outcomes;
}

const std::vector<std::wstring>& DeepTexts() {
    static const std::vector<std::wstring> texts = [] {
        std::wstring millionObjects;
        for (int i = 0; i < 1000000; ++i) millionObjects += L"{\"k\":";
        return std::vector<std::wstring>{Nested(kDepthLimit, false), Nested(kDepthLimit, true),
                                         Nested(kDepthLimit + 1, false),
                                         Nested(kDepthLimit + 1, true),
                                         std::wstring(1000000, L'['), millionObjects,
                                         Nested(1000000, false)};
    }();
    return texts;
}

const std::vector<std::pair<int, std::wstring>> kDeepOutcomes = {
    {kDepthLimit, L""},
    {kDepthLimit, L""},
    {-1, L"JSON nesting too deep"},
    {-1, L"JSON nesting too deep"},
    {-1, L"JSON nesting too deep"},
    {-1, L"JSON nesting too deep"},
    {-1, L"JSON nesting too deep"}};

TEST(JsonDepth, AMillionLevelsFailCleanlyOnAStdThread) {
    std::vector<std::pair<int, std::wstring>> outcomes;
    std::thread([&outcomes] { outcomes = ParseEach(DeepTexts()); }).join();
    EXPECT_EQ(outcomes, kDeepOutcomes);
}

DWORD WINAPI ParseDeepTexts(void* outcomes) {
    *static_cast<std::vector<std::pair<int, std::wstring>>*>(outcomes) = ParseEach(DeepTexts());
    return 0;
}

// Windows programs give their threads 1 MiB by default (the worker gets what its host
// chose); half of that still holds the deepest accepted document while it is parsed
// and walked. Wine rounds the reservation up to 1 MiB.
TEST(JsonDepth, TheLimitFitsASmallThreadStack) {
    std::vector<std::pair<int, std::wstring>> outcomes;
    HANDLE thread = CreateThread(nullptr, 512 * 1024, ParseDeepTexts, &outcomes,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(outcomes, kDeepOutcomes);
}

}  // namespace
