#include "error_text.h"

#include "handles.h"

#include <cwchar>

namespace tolvek {

namespace {

constexpr DWORD kWinHttpFirst = 12000, kWinHttpLast = 12175;
constexpr DWORD kNeutralLanguage = 0x0400;

std::wstring TrimLineEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

// The message of `code` from one message table; false when the table has none.
bool FormatFromTable(DWORD flags, HMODULE source, DWORD code, std::wstring& text) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(flags, source, code, kNeutralLanguage,
                                        reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    const LocalBlock owner(buffer);
    if (length == 0 || !buffer) return false;
    text = TrimLineEnd(std::wstring(buffer, length));
    return true;
}

}  // namespace

std::wstring Win32ErrorText(DWORD code) {
    if (code == 0) code = GetLastError();
    if (code == 0) return std::wstring();
    if (code == ERROR_WINHTTP_TIMEOUT) return L"The operation timed out";

    std::wstring text;
    if (code >= kWinHttpFirst && code <= kWinHttpLast) {
        const HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
        if (winhttp &&
            FormatFromTable(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS |
                                FORMAT_MESSAGE_ALLOCATE_BUFFER,
                            winhttp, code, text) &&
            !text.empty())
            return text;
    }
    if (FormatFromTable(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                        nullptr, code, text))
        return text;
    wchar_t fallback[32] = {};
    swprintf(fallback, 32, L"Win32 error %lu", static_cast<unsigned long>(code));
    return fallback;
}

std::wstring HttpErrorText(DWORD code) {
    if (code == 0) code = GetLastError();
    if (code == ERROR_WINHTTP_TIMEOUT) return L"timeout";
    const std::wstring text = Win32ErrorText(code);
    if (!text.empty()) return text;
    return L"Win32 error " + std::to_wstring(code);
}

}  // namespace tolvek
