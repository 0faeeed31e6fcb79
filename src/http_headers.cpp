#include "http_headers.h"

#include <cwchar>

namespace tolvek {

namespace {

// Digits at `at` as one value that must fit the signed 64-bit range.
bool ReadDecimal(const std::wstring& text, size_t& at, int64_t& value) {
    const size_t start = at;
    value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        const int digit = text[at] - L'0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return at > start;
}

bool ReadMark(const std::wstring& text, size_t& at, wchar_t mark) {
    if (at >= text.size() || text[at] != mark) return false;
    ++at;
    return true;
}

}  // namespace

int64_t ContentLengthValue(const std::wstring& text) {
    const long long length = std::wcstoll(text.c_str(), nullptr, 10);
    return length < 0 ? -1 : length;
}

bool ParseContentRange(const std::wstring& text, ContentRange& range) {
    const std::wstring unit = L"bytes ";
    if (text.compare(0, unit.size(), unit) != 0) return false;
    size_t at = unit.size();
    ContentRange read;
    if (!ReadDecimal(text, at, read.first) || !ReadMark(text, at, L'-') || !ReadDecimal(text, at, read.last) ||
        !ReadMark(text, at, L'/') || !ReadDecimal(text, at, read.complete) || at != text.size())
        return false;
    if (read.first > read.last || read.last >= read.complete) return false;
    range = read;
    return true;
}

}  // namespace tolvek
