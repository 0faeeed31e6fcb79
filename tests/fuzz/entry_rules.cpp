// A manifest key (the first line) and its entry's value (the rest, as JSON) through
// the rules that need no platform, with the properties they promise.
#include "entry_rules.h"
#include "fuzz_support.h"
#include "manifest_model.h"
#include "text.h"

using namespace tolvek;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto [key, value] = fuzz::Lines(fuzz::Units(fuzz::Bytes(data, size)));
    const std::wstring_view seen = SeenByPlatform(key);
    FUZZ_REQUIRE(seen.find(L'\0') == std::wstring_view::npos && key.compare(0, seen.size(), seen) == 0);
    if (IsSafeRelativePath(key)) {
        const std::wstring path = ToForwardSlashes(key);
        FUZZ_REQUIRE(path[0] != L'/' && path.find(L':') == std::wstring::npos && !HasUnpairedSurrogate(key));
        for (const std::wstring& piece : SplitString(path, L'/')) FUZZ_REQUIRE(piece != L".." || path == L"..");
    }
    // The file system drops trailing dots and blanks, and keeps no letter case apart.
    const bool isProtected = IsProtectedInstallerArtifact(key);
    FUZZ_REQUIRE(isProtected == IsProtectedInstallerArtifact(key + L". .") &&
                 isProtected == IsProtectedInstallerArtifact(fuzz::AsciiUpper(key)));
    FUZZ_REQUIRE(IsWindowsFileName(key) == IsWindowsFileName(fuzz::AsciiUpper(key)));
    if (IsWindowsFileName(key))
        FUZZ_REQUIRE(std::none_of(key.begin(), key.end(), [](wchar_t c) { return c < 0x20 || std::wcschr(L"*?<>|\"", c); }));

    JsonDocument document;
    if (!ParseJson(value, document).ok()) return 0;
    const FileEntry entry = ReadFileEntry(key, document.root);
    const JsonValue* hash = FindMember(document.root, L"hash");
    FUZZ_REQUIRE(entry.key == key && (!entry.size || *entry.size >= 0) &&
                 entry.hash == (hash ? DigestFromText(StringOf(*hash)) : std::nullopt));
    if (entry.hash)  // 64 hexadecimal digits in either case, read back from the upper-case text
        FUZZ_REQUIRE(DigestText(*entry.hash) == fuzz::AsciiUpper(std::wstring(StringOf(*hash))) &&
                     DigestFromText(DigestText(*entry.hash)) == entry.hash);
    FUZZ_REQUIRE(entry.fault != EntryFault::None || IsWindowsFileName(seen));
    return 0;
}
