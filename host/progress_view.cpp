#include "progress_view.h"

#include <cwchar>

namespace tolvek_host {

namespace {

// The bar gives way to the figures on narrow consoles, down to this width.
constexpr size_t kMinBar = 5;
constexpr size_t kMaxBar = 20;
constexpr size_t kMinItemRoom = 12;
constexpr wchar_t kEllipsis[] = L"...";

int32_t ClampPermille(int32_t permille) {
    return permille < 0 ? 0 : (permille > 1000 ? 1000 : permille);
}

// The record of a run that has ended, by a success, a failure or a cancel.
bool IsFinal(const TolvekProgressRecord& record) {
    const std::wstring status = FieldText(record.status);
    return status == L"Completed" || status == L"Error";
}

// "1.50 MB/3.20 MB  1.10 MB/s  left 00:02"; no time left once the run has ended.
std::wstring TransferText(const TolvekProgressRecord& record) {
    std::wstring text = FieldText(record.bytesDoneText) + L"/" + FieldText(record.bytesTotalText) + L"  " +
                        FieldText(record.speedText);
    if (!IsFinal(record)) text += L"  left " + FieldText(record.timeLeftText);
    return text;
}

void AppendWord(std::wstring& line, const std::wstring& word) {
    if (!word.empty()) line += L" " + word;
}

// Keeps the end of a text (the file name of a path) when it must be cut.
std::wstring KeepTail(const std::wstring& text, size_t room) {
    const size_t ellipsis = std::wcslen(kEllipsis);
    if (text.size() <= room) return text;
    if (room <= ellipsis) return std::wstring();
    return kEllipsis + text.substr(text.size() - (room - ellipsis));
}

bool SameItem(const TolvekProgressRecord& a, const TolvekProgressRecord& b) {
    return FieldText(a.currentItem) == FieldText(b.currentItem) && a.itemIndex == b.itemIndex;
}

}  // namespace

std::wstring PercentText(int32_t permille) {
    permille = ClampPermille(permille);
    wchar_t text[16];
    swprintf(text, 16, L"%3d.%d%%", permille / 10, permille % 10);
    return text;
}

std::wstring BarText(int32_t permille, int width) {
    const int filled = static_cast<int>(ClampPermille(permille) * static_cast<int64_t>(width) / 1000);
    return L"[" + std::wstring(static_cast<size_t>(filled), L'#') +
           std::wstring(static_cast<size_t>(width - filled), L'-') + L"]";
}

std::wstring CounterText(int32_t index, int32_t count) {
    if (count <= 0) return std::wstring();
    return std::to_wstring(index) + L"/" + std::to_wstring(count);
}

std::wstring LiveLine(const TolvekProgressRecord& record, int columns) {
    const size_t limit = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
    std::wstring head = FieldText(record.status);
    AppendWord(head, CounterText(record.itemIndex, record.itemCount));
    const std::wstring tail = PercentText(record.progressPermille) + L"  " + TransferText(record);
    const size_t used = head.size() + tail.size() + 3;  // a blank and the brackets
    const size_t bar = used + kMaxBar <= limit ? kMaxBar : (used + kMinBar <= limit ? limit - used : kMinBar);
    std::wstring line = head + L" " + BarText(record.progressPermille, static_cast<int>(bar)) + tail;
    const std::wstring item = FieldText(record.currentItem);
    if (!item.empty() && line.size() + 2 + kMinItemRoom <= limit)
        line += L"  " + KeepTail(item, limit - line.size() - 2);
    return line.substr(0, limit);
}

std::wstring StepLine(const TolvekProgressRecord& record, bool withTransfer) {
    std::wstring line = L"[" + PercentText(record.progressPermille) + L"] " + FieldText(record.status);
    AppendWord(line, CounterText(record.itemIndex, record.itemCount));
    AppendWord(line, FieldText(record.currentItem));
    if (withTransfer) line += L"  (" + TransferText(record) + L")";
    return line;
}

bool SameStep(const TolvekProgressRecord& a, const TolvekProgressRecord& b) {
    return FieldText(a.status) == FieldText(b.status) && SameItem(a, b) && a.itemCount == b.itemCount;
}

void ProgressView::Show(const TolvekProgressRecord& record) {
    if (!out_.IsConsole()) {
        if (!shownAny_ || !SameStep(record, last_)) out_.Write(StepLine(record, true) + L"\n");
    } else {
        // Each new item gets a permanent line, so the live line need not hold it.
        if ((!shownAny_ || !SameItem(record, last_)) && !FieldText(record.currentItem).empty())
            Note(StepLine(record, false));
        Redraw(LiveLine(record, out_.Columns()));
    }
    last_ = record;
    shownAny_ = true;
}

void ProgressView::Note(const std::wstring& text) {
    if (!out_.IsConsole() || liveLine_.empty()) {
        out_.Write(text + L"\n");
        return;
    }
    const std::wstring live = liveLine_;
    Redraw(text);
    out_.Write(L"\n");
    liveLine_.clear();
    Redraw(live);
}

void ProgressView::Redraw(const std::wstring& line) {
    if (line == liveLine_) return;
    // Padding to the old length erases what is left of a longer line.
    std::wstring text = line;
    if (text.size() < liveLine_.size()) text.append(liveLine_.size() - text.size(), L' ');
    liveLine_ = line;
    out_.Write(L"\r" + text);
}

void ProgressView::Finish() {
    if (out_.IsConsole() && !liveLine_.empty()) out_.Write(L"\n");
    liveLine_.clear();
}

}  // namespace tolvek_host
