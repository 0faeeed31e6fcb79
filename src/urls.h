// The URLs the engine builds: a file's URL below a mirror's base URL, and the
// signature file's URL beside a manifest's. Pure functions over text.
#pragma once

#include <string>
#include <string_view>

namespace tolvek {

// How a key's characters beyond ASCII go into its file URL. Utf8: the escaped
// UTF-8 bytes of every one (RFC 3986, what object stores and ordinary servers hold;
// the manifest says "url_encoding": "utf-8"). Legacy, for manifests without that
// member: a character up to U+00FF as one escape of its code, the others as UTF-8.
enum class UrlEncoding { Legacy, Utf8 };

// Base URL without trailing separators, "/", the percent-encoded manifest path, then
// the base URL's query and fragment, when it has them.
std::wstring BuildFileUrl(std::wstring_view baseUrl, std::wstring_view manifestPath,
                          UrlEncoding encoding = UrlEncoding::Legacy);
// Unreserved characters as they are, the others escaped as `encoding` says.
std::wstring PercentEncodeSegment(std::wstring_view segment, UrlEncoding encoding = UrlEncoding::Legacy);

// The manifest URL with ".sig" appended to its path, before any query or fragment.
std::wstring SignatureUrl(const std::wstring& manifestUrl);

}  // namespace tolvek
