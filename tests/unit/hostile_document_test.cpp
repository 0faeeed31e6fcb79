// Manifests written to hurt: numbers read under a host's locale, numbers of a million
// digits, and a parse cancelled in the middle of a large document.
#include "json.h"
#include "parse_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>

namespace {

using namespace tolvek;

std::string Show(const std::wstring& text) {
    return ::testing::PrintToString(text.size() > 60 ? text.substr(0, 60) + L"..." : text);
}

// The number a one-value document holds, or the parser's message.
struct Outcome {
    bool parsed;
    double number;
    std::wstring error;
};

Outcome ParseNumberText(const std::wstring& text) {
    JsonDocument document;
    Outcome outcome{false, 0, L""};
    outcome.parsed = ParseText(text, document, outcome.error);
    const JsonValue& value =
        document.root.kind == JsonKind::Array ? ElementsOf(document.root)[0] : document.root;
    if (outcome.parsed) {
        EXPECT_EQ(value.kind, JsonKind::Number) << Show(text);
        outcome.number = value.number;
    }
    return outcome;
}

// Same bits: tells -0 from 0.
bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Puts the C locale back however a test ends.
struct LocaleGuard {
    ~LocaleGuard() { std::setlocale(LC_ALL, "C"); }
};

// A host may switch the C locale: its decimal separator and what its conversion takes
// for a digit must not change any value. Each locale is asked for under both names the
// runtime may know it by.
TEST(HostileNumbers, DigitsBeyondAsciiEndTheValueUnderEveryLocale) {
    const std::vector<std::vector<const char*>> locales = {
        {"C"}, {"German_Germany.1252", ".1252"}, {"Japanese_Japan.932", ".932"}};
    const struct {
        std::wstring text;
        double number;
    } rows[] = {{L"6\xFF10", 6},           {L"12\xB2", 12},          {L"1.5", 1.5},
                {L"[6\xFF10]", 6},         {L"-7\xFF10.5", -7},       {L"1.5\xB2" L"e3", 1.5},
                {L"1.5e3", 1500},          {L"12.75", 12.75},         {L"3\xFF19.25", 3},
                {L"2.5e1\xFF10", 25},      {L"1e\xB2", 1}};
    LocaleGuard guard;
    for (const auto& names : locales) {
        const char* set = nullptr;
        for (const char* name : names)
            if (!set) set = std::setlocale(LC_ALL, name);
        ASSERT_NE(set, nullptr) << "the runtime has no locale " << names[0];
        for (const auto& row : rows) {
            const Outcome outcome = ParseNumberText(row.text);
            EXPECT_TRUE(outcome.parsed) << set << " " << Show(row.text) << ": " << Show(outcome.error);
            EXPECT_EQ(outcome.number, row.number) << set << " " << Show(row.text);
        }
    }
}

std::wstring Repeat(wchar_t c, size_t count) { return std::wstring(count, c); }

TEST(HostileNumbers, LongNumbersKeepTheirExactValue) {
    const double third = 1.0 / 3.0;
    const double max = std::numeric_limits<double>::max();
    const double min = std::numeric_limits<double>::min();
    const std::wstring halfway = L"9007199254740993";  // 2^53 + 1: halfway between two doubles
    const std::wstring million = Repeat(L'0', 1000000);
    const wchar_t* const outOfRange = L"Number out of range";
    const struct {
        std::wstring text;
        double number;  // when `error` is empty
        const wchar_t* error;
    } rows[] = {
        {L"1" + million, 0, outOfRange},
        {L"-1" + million, 0, outOfRange},
        {L"0." + million + L"1", 0, outOfRange},
        {L"1" + million.substr(1) + L"e-999999", 1, L""},
        {L"0." + Repeat(L'3', 1000000), third, L""},
        {L"-0." + Repeat(L'3', 1000000) + L"e1", -10.0 / 3.0, L""},
        // A tie rounds to even; a non-zero digit far past the tie decides upward.
        {halfway, 9007199254740992.0, L""},
        {halfway + L"." + Repeat(L'0', 1000), 9007199254740992.0, L""},
        {halfway + L"." + Repeat(L'0', 1000) + L"1", 9007199254740994.0, L""},
        {halfway + Repeat(L'0', 900) + L"1e-901", 9007199254740994.0, L""},
        {L"1e" + million + L"1", 10, L""},
        {L"1E-" + million + L"1", 0.1, L""},
        {L"1e" + Repeat(L'9', 1000000), 0, outOfRange},
        {L"1e-" + Repeat(L'9', 1000000), 0, outOfRange},
        {L"0e" + Repeat(L'9', 1000000), 0, L""},
        {L"-0.0e-" + Repeat(L'9', 1000), -0.0, L""},
        {L"1e999", 0, outOfRange},
        {L"1e-400", 0, outOfRange},
        {L"1.7976931348623157e308", max, L""},
        {L"1.7976931348623159e308", 0, outOfRange},
        {L"2.2250738585072014e-308", min, L""},
        // Below the smallest normal double the runtime has always reported a range error.
        {L"2.2250738585072011e-308", 0, outOfRange},
        {L"1e-310", 0, outOfRange},
    };
    for (const auto& row : rows) {
        const Outcome outcome = ParseNumberText(row.text);
        EXPECT_EQ(outcome.error, row.error) << Show(row.text);
        if (!*row.error) {
            EXPECT_TRUE(SameDouble(outcome.number, row.number))
                << Show(row.text) << " gave " << outcome.number << ", expected " << row.number;
        }
    }
}

// Every value agrees with the runtime's narrow conversion, which rounds correctly, on
// random numbers of up to 30 digits across the normal range.
TEST(HostileNumbers, RandomNumbersMatchACorrectlyRoundingConversion) {
    std::mt19937 random(1515);
    const auto pick = [&](int below) { return static_cast<int>(random() % below); };
    for (int i = 0; i < 20000; ++i) {
        std::string text = pick(2) ? "-" : "";
        text += static_cast<char>('1' + pick(9));
        for (int n = pick(20); n > 0; --n) text += static_cast<char>('0' + pick(10));
        if (pick(2)) {
            text += '.';
            for (int n = 1 + pick(10); n > 0; --n) text += static_cast<char>('0' + pick(10));
        }
        if (pick(2)) text += "e" + std::to_string(pick(580) - 290);
        errno = 0;
        const double expected = std::strtod(text.c_str(), nullptr);
        ASSERT_EQ(errno, 0) << text;
        const Outcome outcome = ParseNumberText(std::wstring(text.begin(), text.end()));
        ASSERT_TRUE(outcome.parsed) << text;
        ASSERT_TRUE(SameDouble(outcome.number, expected))
            << text << " gave " << outcome.number << ", expected " << expected;
    }
}

// ---- cancellation -----------------------------------------------------------------

TEST(JsonCancel, AFlagSetBeforehandStopsEvenASmallDocument) {
    tolvek::CancelSignal cancel;
    tolvek::RaiseCancel(cancel);
    JsonDocument document;
    std::wstring error;
    EXPECT_FALSE(ParseText(LR"({"files": {"a": {}}})", document, error, &cancel));
    EXPECT_EQ(error, L"Cancelled by user");

    const tolvek::CancelSignal never;
    EXPECT_TRUE(ParseText(LR"({"files": {"a": {}}})", document, error, &never));
    EXPECT_NE(FindMember(document.root, L"files"), nullptr);
}

// Documents that take a while to parse here, one per way the parser spends its time:
// many small values, many members out of order, one long string, blanks. Made one at
// a time, as each takes a few hundred megabytes with its tree.
const char* const kSlowDocuments[] = {"array of zeros", "members out of order", "one long string",
                                      "blanks"};

std::wstring SlowDocument(const std::string& name) {
    if (name == "array of zeros") {
        std::wstring zeros = L"[";
        for (int i = 0; i < 12000000; ++i) zeros += L"0,";
        return zeros + L"0]";
    }
    if (name == "members out of order") {
        std::wstring members = L"{";
        for (long long i = 3000000; i > 0; --i)
            members += L"\"" + std::to_wstring(i * 7919 % 3000017) + L"\":[],";
        return members + L"\"\":0}";
    }
    if (name == "one long string") return L"[\"" + std::wstring(60000000, L'x') + L"\"]";
    return L"[" + std::wstring(60000000, L' ') + L"]";
}

using Clock = std::chrono::steady_clock;

long long MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// One parse of `text` on a thread of its own, cancelled after `delayMs`.
struct CancelledParse {
    bool parsed = true;
    std::wstring error;
    Clock::time_point cancelled, returned;
};

CancelledParse ParseCancelledAfter(const std::wstring& text, long long delayMs) {
    CancelledParse outcome;
    tolvek::CancelSignal cancel;
    std::thread parse([&] {
        JsonDocument tree;
        outcome.parsed = ParseText(text, tree, outcome.error, &cancel);
        outcome.returned = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    outcome.cancelled = Clock::now();
    tolvek::RaiseCancel(cancel);
    parse.join();
    return outcome;
}

TEST(JsonCancel, ACancelDuringALargeParseTakesEffectAtOnce) {
    for (const char* name : kSlowDocuments) {
        const std::wstring text = SlowDocument(name);
        // The whole parse first, then cancels at a tenth and at half of its time.
        std::wstring error;
        Clock::time_point start = Clock::now();
        {
            JsonDocument whole;
            EXPECT_TRUE(ParseText(text, whole, error)) << name << ": " << Show(error);
        }
        const long long wholeMs = MillisecondsBetween(start, Clock::now());
        for (const long long delayMs : {wholeMs / 10, wholeMs / 2}) {
            SCOPED_TRACE(std::string(name) + ", whole parse " + std::to_string(wholeMs) +
                         " ms, cancelled after " + std::to_string(delayMs) + " ms");
            CancelledParse outcome = ParseCancelledAfter(text, delayMs);
            // When the machine was busier during the whole parse than now, the parse may
            // end before the cancel comes, which says nothing about the cancel: earlier.
            for (long long earlier = delayMs / 2; outcome.returned < outcome.cancelled && earlier > 0; earlier /= 2)
                outcome = ParseCancelledAfter(text, earlier);
            EXPECT_FALSE(outcome.parsed);
            EXPECT_EQ(outcome.error, L"Cancelled by user");
            // Generous against load; the benchmark measures the real figure.
            EXPECT_LT(MillisecondsBetween(outcome.cancelled, outcome.returned), std::max(500LL, wholeMs / 3))
                << "the parse ran on after the cancel";
        }
    }
}

}  // namespace
