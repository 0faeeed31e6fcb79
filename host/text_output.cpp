#include "text_output.h"

namespace tolvek_host {

namespace {

constexpr int kDefaultColumns = 80;

}  // namespace

TextOutput::TextOutput(DWORD standardHandle) : handle_(GetStdHandle(standardHandle)) {
    DWORD mode = 0;
    // Redirected output (a pipe or a file, also under Wine) has no console mode.
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && GetConsoleMode(handle_, &mode);
}

int TextOutput::Columns() const {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!console_ || !GetConsoleScreenBufferInfo(handle_, &info)) return kDefaultColumns;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : kDefaultColumns;
}

void TextOutput::Write(const std::wstring& text) const {
    if (text.empty() || handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    if (console_) {
        WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &utf8[0], bytes, nullptr, nullptr);
    WriteFile(handle_, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace tolvek_host
