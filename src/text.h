// Small text rules shared by the parsers of untrusted bytes and the rest of the
// engine: separators, splitting, ASCII-only case folding and UTF-16 surrogates.
// Pure C++: no platform header, so the parsers build natively as well.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek {

inline bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The pieces between separators, empty pieces dropped, nothing trimmed.
std::vector<std::wstring> SplitString(std::wstring_view text, wchar_t separator);

// A copy with every "\" as "/".
std::wstring ToForwardSlashes(std::wstring_view path);

// Only A-Z and a-z fold: a rule must not depend on the user's locale.
inline wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }
inline wchar_t AsciiUpper(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }
bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);

inline bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
// A surrogate without its partner: no UTF-8 form can carry it.
bool HasUnpairedSurrogate(std::wstring_view text);
// The code point at `i`, advancing `i` past a surrogate pair; an unpaired
// surrogate reads as U+FFFD, as the platform's own conversion reads it.
uint32_t CodePointAt(std::wstring_view text, size_t& i);

}  // namespace tolvek
