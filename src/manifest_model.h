// The manifest as the run uses it: the file entries read once from "files", each a
// validated value, and the few other members; the parse of a manifest's text into
// it. Pure C++, so it builds natively as well.
#pragma once

#include "json.h"
#include "urls.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek {

using Sha256Digest = std::array<unsigned char, 32>;

// What the entry rules found wrong with an entry before any path is made of it: a
// "size" that is written but bounds nothing (negative, fractional, no number), a
// "hash" that is written but is no SHA-256 (not 64 hexadecimal digits), a key that
// names something Windows cannot hold. Such an entry is refused before any request.
enum class EntryFault : uint8_t { None, Size, Hash, Name };

// One member of the manifest's "files" object.
struct FileEntry {
    std::wstring_view key;             // path relative to the target directory, "/" or "\" separated
    std::optional<int64_t> size;       // declared bytes; absent when not written
    std::optional<Sha256Digest> hash;  // declared digest; absent when not written
    EntryFault fault = EntryFault::None;
};

// Whether a download may continue an earlier one: the entry declares both its size
// (to ask for the rest) and its SHA-256 (to judge the whole).
inline bool IsResumable(const FileEntry& entry) { return entry.size && *entry.size >= 1 && entry.hash; }
// The declared size, or 0 when none is declared (what a progress report shows).
inline int64_t DeclaredSizeOrZero(const FileEntry& entry) { return entry.size.value_or(0); }

struct Manifest {
    std::vector<FileEntry> entries;  // ascending key order (UTF-16 code units), no two keys alike
    std::unique_ptr<wchar_t[]> keys;  // where the entries' keys are kept
    int64_t version = 0;              // "version" truncated toward zero; 0 when not a number
    std::wstring versionString;       // "version_string"; empty when not a string
    std::vector<std::wstring> mirrors;  // the non-empty strings of "cdn_list", else "cdn"
    UrlEncoding urlEncoding = UrlEncoding::Legacy;  // Utf8 when "url_encoding" is "utf-8"
};

// Size, hash and what the entry rules find wrong, from a member of "files".
FileEntry ReadFileEntry(std::wstring_view key, const JsonValue& value);

// The parser's stream for "files": each member becomes an entry of `manifest` as it
// is read, so the document never holds them.
JsonMemberStream FilesStream(Manifest& manifest);

// Reads the other members from the parsed root (and the members of "files" when the
// tree holds them, as a parse without the stream leaves them) and puts the entries in
// key order, the first of equal keys kept. False when there is no "files" object.
bool ReadManifest(const JsonValue& root, Manifest& manifest);

// Parses the manifest's text: its "files" straight into the model's entries, the
// other members read from the document, which is left with them (an "expires", say).
Outcome ParseManifest(const JsonText& text, JsonDocument& document, Manifest& manifest,
                      const std::atomic<bool>* cancel = nullptr);

// 64 hexadecimal digits in either case as a digest; absent for any other text.
std::optional<Sha256Digest> DigestFromText(std::wstring_view text);
// 64 upper-case hexadecimal digits.
std::wstring DigestText(const Sha256Digest& digest);

}  // namespace tolvek
