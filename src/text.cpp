#include "text.h"

namespace tolvek {

std::vector<std::wstring> SplitString(std::wstring_view text, wchar_t separator) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::wstring_view::npos) end = text.size();
        if (end > start) pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::wstring ToForwardSlashes(std::wstring_view path) {
    std::wstring result(path);
    for (wchar_t& c : result)
        if (c == L'\\') c = L'/';
    return result;
}

bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

bool HasUnpairedSurrogate(std::wstring_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (i + 1 < text.size() && IsHighSurrogate(text[i]) && IsLowSurrogate(text[i + 1]))
            ++i;
        else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i]))
            return true;
    }
    return false;
}

uint32_t CodePointAt(std::wstring_view text, size_t& i) {
    const wchar_t c = text[i];
    if (i + 1 < text.size() && IsHighSurrogate(c) && IsLowSurrogate(text[i + 1])) {
        ++i;
        return 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (text[i] - 0xDC00);
    }
    if (IsHighSurrogate(c) || IsLowSurrogate(c)) return 0xFFFD;
    return c;
}

}  // namespace tolvek
