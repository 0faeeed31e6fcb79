#include "entry_rules.h"

#include "text.h"

namespace tolvek {

namespace {

bool EndsWith(std::wstring_view text, std::wstring_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The last component of a key as the file system stores it: the platform reads the
// path only up to its first NUL and drops trailing dots and blanks from the last
// component, so "unins000.exe." and "unins000.exe " both land on unins000.exe.
std::wstring StoredFileName(std::wstring_view key) {
    const std::wstring path = ToForwardSlashes(SeenByPlatform(key));
    std::wstring name = path.substr(path.find_last_of(L'/') + 1);
    name.erase(name.find_last_not_of(L". ") + 1);
    return name;
}

bool IsForbiddenInName(wchar_t c) {
    return c < 0x20 || c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'|' || c == L'"';
}

// COM and LPT take one digit from 1 to 9; some Windows versions read the superscripts
// U+00B9, U+00B2 and U+00B3 as digits there too.
bool IsPortNumber(wchar_t c) { return (c >= L'1' && c <= L'9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// The platform opens a device for such a name wherever it stands in a path: its part
// before the first dot, without trailing blanks, names the device ("con .txt" is CON).
bool IsReservedDeviceName(std::wstring_view name) {
    size_t end = 0;
    while (end < name.size() && name[end] != L'.') ++end;
    while (end > 0 && name[end - 1] == L' ') --end;
    std::wstring stem(name.substr(0, end));
    for (wchar_t& c : stem) c = AsciiUpper(c);
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$")
        return true;
    return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           IsPortNumber(stem[3]);
}

}  // namespace

bool IsSafeRelativePath(std::wstring_view key) {
    if (key.empty()) return false;
    // A name that no UTF-8 form can carry: it could be neither requested nor stored.
    if (HasUnpairedSurrogate(key)) return false;
    const std::wstring p = ToForwardSlashes(key);
    if (p[0] == L'/') return false;
    if (p.find(L"/../") != std::wstring::npos) return false;
    if (p.compare(0, 3, L"../") == 0) return false;
    if (EndsWith(p, L"/..")) return false;
    if (p.find(L':') != std::wstring::npos) return false;  // drives and streams alike
    return true;
}

bool IsProtectedInstallerArtifact(std::wstring_view key) {
    const std::wstring name = StoredFileName(key);
    if (name.size() < 9) return false;
    if (!EqualIgnoringAsciiCase(std::wstring_view(name).substr(0, 5), L"unins")) return false;
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot + 1 == name.size()) return false;
    const std::wstring_view extension = std::wstring_view(name).substr(dot);
    return EqualIgnoringAsciiCase(extension, L".exe") || EqualIgnoringAsciiCase(extension, L".dat") ||
           EqualIgnoringAsciiCase(extension, L".msg");
}

bool IsWindowsFileName(std::wstring_view key) {
    size_t start = 0;
    for (size_t i = 0; i <= key.size(); ++i) {
        if (i < key.size() && !IsSeparator(key[i])) {
            if (IsForbiddenInName(key[i])) return false;
            continue;
        }
        if (IsReservedDeviceName(key.substr(start, i - start))) return false;
        start = i + 1;
    }
    return true;
}

std::wstring_view SeenByPlatform(std::wstring_view key) { return key.substr(0, key.find(L'\0')); }

std::wstring TemporaryPath(const std::wstring& destination) { return destination + L".download"; }

}  // namespace tolvek
