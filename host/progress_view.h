// Shows the DLL's progress record: one line redrawn in place on a console, or
// one line per step (status, item, item number) when the output is redirected.
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

std::wstring PercentText(int32_t permille);           // " 45.3%"
std::wstring BarText(int32_t permille, int width);    // "[#####-----]", width inside the brackets
std::wstring CounterText(int32_t index, int32_t count);  // "3/12", empty without a count

// The console line, at most `columns` - 1 characters (the last column would wrap);
// the current item is shortened from the left when it does not fit.
std::wstring LiveLine(const TolvekProgressRecord& record, int columns);
// The line printed for one step when the output is not a console.
std::wstring StepLine(const TolvekProgressRecord& record);
// True when two records describe the same step: same status, item and item number.
bool SameStep(const TolvekProgressRecord& a, const TolvekProgressRecord& b);

class ProgressView {
public:
    explicit ProgressView(const TextOutput& out) : out_(out) {}
    void Show(const TolvekProgressRecord& record);
    // A line of its own (e.g. "Cancelling..."), below the live line.
    void Note(const std::wstring& text);
    // Ends the live line so that later output starts on a fresh line.
    void Finish();

private:
    const TextOutput& out_;
    TolvekProgressRecord last_{};
    bool shownAny_ = false;
    std::wstring liveLine_;
};

}  // namespace tolvek_host
