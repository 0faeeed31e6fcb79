#include "urls.h"

#include "text.h"

#include <cstdint>
#include <cwchar>
#include <vector>

namespace tolvek {

namespace {

bool IsUnreserved(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'.' || c == L'_' || c == L'~';
}

void AppendEscape(std::wstring& encoded, unsigned byte) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    encoded += L'%';
    encoded += kHex[(byte >> 4) & 0x0F];
    encoded += kHex[byte & 0x0F];
}

std::vector<unsigned> Utf8Bytes(uint32_t codePoint) {
    if (codePoint < 0x80) return {codePoint};
    if (codePoint < 0x800) return {0xC0 | (codePoint >> 6), 0x80 | (codePoint & 0x3F)};
    if (codePoint < 0x10000)
        return {0xE0 | (codePoint >> 12), 0x80 | ((codePoint >> 6) & 0x3F), 0x80 | (codePoint & 0x3F)};
    return {0xF0 | (codePoint >> 18), 0x80 | ((codePoint >> 12) & 0x3F), 0x80 | ((codePoint >> 6) & 0x3F),
            0x80 | (codePoint & 0x3F)};
}

}  // namespace

std::wstring PercentEncodeSegment(std::wstring_view segment, UrlEncoding encoding) {
    std::wstring encoded;
    for (size_t i = 0; i < segment.size(); ++i) {
        const wchar_t c = segment[i];
        if (IsUnreserved(c)) {
            encoded += c;
        } else if (c < 0x80 || (c <= 0xFF && encoding == UrlEncoding::Legacy)) {
            // One escape of the unit itself: mirrors published for legacy manifests
            // hold U+00E9 under the byte %E9.
            AppendEscape(encoded, static_cast<unsigned>(c));
        } else {
            for (const unsigned byte : Utf8Bytes(CodePointAt(segment, i))) AppendEscape(encoded, byte);
        }
    }
    return encoded;
}

std::wstring BuildFileUrl(std::wstring_view baseUrl, std::wstring_view manifestPath, UrlEncoding encoding) {
    std::wstring path;
    for (const std::wstring& piece : SplitString(ToForwardSlashes(manifestPath), L'/')) {
        if (!path.empty()) path += L'/';
        path += PercentEncodeSegment(piece, encoding);
    }
    // A signed mirror URL carries its token in a query: the file's path goes before it.
    const size_t tail = baseUrl.find_first_of(L"?#");
    std::wstring base(baseUrl.substr(0, tail));
    while (!base.empty() && (base.back() == L'/' || base.back() == L'\\')) base.pop_back();
    return base + L"/" + path + (tail == std::wstring_view::npos ? L"" : std::wstring(baseUrl.substr(tail)));
}

std::wstring SignatureUrl(const std::wstring& manifestUrl) {
    const size_t scheme = manifestUrl.find(L"://");
    const size_t authority = scheme == std::wstring::npos ? 0 : scheme + 3;
    const size_t query = manifestUrl.find_first_of(L"?#", authority);
    const size_t pathEnd = query == std::wstring::npos ? manifestUrl.size() : query;
    // "http://host" asks for the path "/", so its signature is "/.sig".
    const size_t slash = manifestUrl.find(L'/', authority);
    const bool noPath = scheme != std::wstring::npos && (slash == std::wstring::npos || slash > pathEnd);
    return manifestUrl.substr(0, pathEnd) + (noPath ? L"/.sig" : L".sig") + manifestUrl.substr(pathEnd);
}

}  // namespace tolvek
