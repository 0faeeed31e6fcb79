// Shows the DLL's progress record. On a console: a live line redrawn in place
// with "\r", and above it one permanent line per item as it begins. Redirected
// output (pipes, files): one line per step (status, item or item number changes).
#pragma once

#include <string>

#include "text_output.h"
#include "tolvek_online_installer.h"

namespace tolvek_host {

// The text of a fixed-size record field, up to its NUL (or its whole buffer).
template <size_t N>
std::wstring FieldText(const wchar_t (&field)[N]) {
    size_t length = 0;
    while (length < N && field[length] != L'\0') ++length;
    return std::wstring(field, length);
}

std::wstring PercentText(int32_t permille);              // " 45.3%"
std::wstring BarText(int32_t permille, int width);       // "[#####-----]", width inside the brackets
std::wstring CounterText(int32_t index, int32_t count);  // "3/12", empty without a count

// The live console line, at most `columns` - 1 characters (the last column
// would wrap). The current item comes last and keeps its end when shortened.
std::wstring LiveLine(const TolvekProgressRecord& record, int columns);
// "[ 45.3%] Installed 3/12 data/big.pak", with the byte counts, speed and time
// left in parentheses when `withTransfer`.
std::wstring StepLine(const TolvekProgressRecord& record, bool withTransfer);
// Same status, item and item number.
bool SameStep(const TolvekProgressRecord& a, const TolvekProgressRecord& b);

class ProgressView {
public:
    explicit ProgressView(const TextOutput& out) : out_(out) {}
    void Show(const TolvekProgressRecord& record);
    // A permanent line (e.g. "Cancelling..."); the live line is drawn again below it.
    void Note(const std::wstring& text);
    // Leaves the live line as it is and moves below it.
    void Finish();

private:
    void Redraw(const std::wstring& line);

    const TextOutput& out_;
    TolvekProgressRecord last_{};
    bool shownAny_ = false;
    std::wstring liveLine_;
};

}  // namespace tolvek_host
