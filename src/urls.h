// The URLs the engine builds: a file's URL below a mirror's base URL, and the
// signature file's URL beside a manifest's. Pure functions over text.
#pragma once

#include <string>
#include <string_view>

namespace tolvek {

// Base URL without trailing separators, "/", the percent-encoded manifest path, then
// the base URL's query and fragment, when it has them.
std::wstring BuildFileUrl(std::wstring_view baseUrl, std::wstring_view manifestPath);
// Unreserved characters as they are; every unit up to U+00FF as one escape of
// itself, every character above as the escapes of its UTF-8 bytes.
std::wstring PercentEncodeSegment(std::wstring_view segment);

// The manifest URL with ".sig" appended to its path, before any query or fragment.
std::wstring SignatureUrl(const std::wstring& manifestUrl);

}  // namespace tolvek
