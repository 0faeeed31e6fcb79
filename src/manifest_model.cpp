#include "manifest_model.h"

#include "entry_rules.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tolvek {

namespace {

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

// A count of bytes: a number that is neither negative nor fractional.
bool IsByteCount(const JsonValue& value) {
    return value.kind == JsonKind::Number && value.number >= 0 && std::floor(value.number) == value.number;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

// A member that is written but unusable is recorded as such: it must not pass for an
// absent one, which would turn the bound or the verification off.
FileEntry ReadFileEntry(std::wstring_view key, const JsonValue& value) {
    FileEntry entry;
    entry.key = key;
    if (const JsonValue* size = FindMember(value, L"size")) {
        if (IsByteCount(*size))
            entry.size = TruncateToInt64(size->number);
        else
            entry.fault = EntryFault::Size;
    }
    if (const JsonValue* hash = FindMember(value, L"hash")) {
        entry.hash = DigestFromText(StringOf(*hash));
        if (!entry.hash && entry.fault == EntryFault::None) entry.fault = EntryFault::Hash;
    }
    if (entry.fault == EntryFault::None && !IsWindowsFileName(SeenByPlatform(key))) entry.fault = EntryFault::Name;
    return entry;
}

namespace {

// Every non-empty string of "cdn_list"; else "cdn" when it is a non-empty string.
std::vector<std::wstring> ReadMirrorList(const JsonValue& root) {
    std::vector<std::wstring> mirrors;
    const JsonValue* list = FindMember(root, L"cdn_list");
    if (list && list->kind == JsonKind::Array) {
        for (const JsonValue& item : ElementsOf(*list))
            if (item.kind == JsonKind::String && item.count > 0) mirrors.emplace_back(StringOf(item));
    }
    if (mirrors.empty()) {
        std::wstring single = GetString(root, L"cdn", L"");
        if (!single.empty()) mirrors.push_back(std::move(single));
    }
    return mirrors;
}

// Where the next key is copied into the manifest's key store.
struct KeyStore {
    Manifest& manifest;
    size_t used = 0;
    size_t capacity = 0;
};

void Reserve(KeyStore& store, size_t members, size_t nameUnits) {
    store.manifest.entries.clear();
    store.manifest.entries.reserve(members);
    store.manifest.keys.reset(new wchar_t[nameUnits > 0 ? nameUnits : 1]);
    store.used = 0;
    store.capacity = nameUnits;
}

void AddEntry(KeyStore& store, std::wstring_view name, const JsonValue& value) {
    if (name.size() > store.capacity - store.used) throw std::bad_alloc();  // more than announced
    wchar_t* const key = store.manifest.keys.get() + store.used;
    std::memcpy(key, name.data(), name.size() * sizeof(wchar_t));
    store.used += name.size();
    store.manifest.entries.push_back(ReadFileEntry({key, name.size()}, value));
}

// Keys in ascending code-unit order, the first of equal keys kept: keys are stored in
// document order, so their addresses break ties.
void OrderEntries(std::vector<FileEntry>& entries) {
    const auto before = [](const FileEntry& a, const FileEntry& b) {
        const int order = a.key.compare(b.key);
        return order != 0 ? order < 0 : a.key.data() < b.key.data();
    };
    if (!std::is_sorted(entries.begin(), entries.end(), before)) std::sort(entries.begin(), entries.end(), before);
    const auto sameKey = [](const FileEntry& a, const FileEntry& b) { return a.key == b.key; };
    entries.erase(std::unique(entries.begin(), entries.end(), sameKey), entries.end());
}

}  // namespace

JsonMemberStream FilesStream(Manifest& manifest) {
    auto store = std::make_shared<KeyStore>(KeyStore{manifest});
    return {L"files", [store](size_t members, size_t nameUnits) { Reserve(*store, members, nameUnits); },
            [store](std::wstring_view name, const JsonValue& value) { AddEntry(*store, name, value); }};
}

bool ReadManifest(const JsonValue& root, Manifest& manifest) {
    manifest.version = TruncateToInt64(GetNumber(root, L"version", 0));
    manifest.versionString = GetString(root, L"version_string", L"");
    manifest.mirrors = ReadMirrorList(root);
    if (GetString(root, L"url_encoding", L"") == L"utf-8") manifest.urlEncoding = UrlEncoding::Utf8;
    const JsonValue* files = FindMember(root, L"files");
    if (!files || files->kind != JsonKind::Object) return false;
    if (files->count > 0) {
        size_t nameUnits = 0;
        for (const JsonMember& member : MembersOf(*files)) nameUnits += member.name.count;
        KeyStore store{manifest};
        Reserve(store, files->count, nameUnits);
        for (const JsonMember& member : MembersOf(*files)) AddEntry(store, StringOf(member.name), member.value);
    }
    OrderEntries(manifest.entries);
    return true;
}

Outcome ParseManifest(const JsonText& text, JsonDocument& document, Manifest& manifest,
                      const std::atomic<bool>* cancel) {
    const JsonMemberStream files = FilesStream(manifest);
    Outcome parsed = ParseJson(text, document, cancel, &files);
    if (!parsed.ok()) return parsed;
    if (!ReadManifest(document.root, manifest))
        return Fail(FailureKind::MissingFiles, L"Manifest does not contain files object");
    return Success();
}

std::optional<Sha256Digest> DigestFromText(std::wstring_view text) {
    Sha256Digest digest;
    if (text.size() != 2 * digest.size()) return std::nullopt;
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return digest;
}

std::wstring DigestText(const Sha256Digest& digest) {
    std::wstring text;
    text.reserve(2 * digest.size());
    for (const unsigned char byte : digest) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0F];
    }
    return text;
}

}  // namespace tolvek
