// The Content-Range and Content-Length values of a response: a range read is printed
// and read again alike; a length is what the C locale's reading of the text gives.
#include "fuzz_support.h"
#include "http_headers.h"

using namespace tolvek;

// ASCII white space, a sign, then digits up to the 64-bit limits.
int64_t AsciiLength(const wchar_t* c) {
    while (*c == L' ' || (*c >= L'\t' && *c <= L'\r')) ++c;
    const bool negative = *c == L'-';
    if (*c == L'-' || *c == L'+') ++c;
    uint64_t value = 0;
    for (; *c >= L'0' && *c <= L'9'; ++c) value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX : value * 10 + (*c - L'0');
    return negative ? (value == 0 ? 0 : -1) : value > INT64_MAX ? INT64_MAX : static_cast<int64_t>(value);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text = fuzz::Units(fuzz::Bytes(data, size));
    ContentRange range, again;
    if (ParseContentRange(text, range)) {
        const std::wstring printed = L"bytes " + std::to_wstring(range.first) + L"-" + std::to_wstring(range.last) +
                                     L"/" + std::to_wstring(range.complete);
        FUZZ_REQUIRE(range.first >= 0 && range.first <= range.last && range.last < range.complete &&
                     ParseContentRange(printed, again) && again.first == range.first && again.last == range.last &&
                     again.complete == range.complete);
        FUZZ_REQUIRE(printed.size() < text.size() || printed == text);  // longer only by leading zeros
    }
    const int64_t length = ContentLengthValue(text);
    FUZZ_REQUIRE(length >= -1 && (length < 0 || ContentLengthValue(std::to_wstring(length)) == length));
    if (std::all_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x80; }))
        FUZZ_REQUIRE(length == AsciiLength(text.c_str()));
    return 0;
}
