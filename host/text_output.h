// Writes wide text to a standard handle: WriteConsoleW on a console, UTF-8
// bytes everywhere else (pipes, files), so every character arrives intact.
#pragma once

#include <windows.h>

#include <string>

namespace tolvek_host {

class TextOutput {
public:
    explicit TextOutput(DWORD standardHandle);
    bool IsConsole() const { return console_; }
    // Visible columns of the console window; 80 when not a console.
    int Columns() const;
    void Write(const std::wstring& text) const;

private:
    HANDLE handle_;
    bool console_;
};

}  // namespace tolvek_host
