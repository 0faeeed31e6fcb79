#include "progress_view.h"

#include <cwchar>

namespace tolvek_host {

namespace {

constexpr int kBarWidth = 24;
constexpr wchar_t kEllipsis[] = L"...";

int32_t ClampPermille(int32_t permille) {
    return permille < 0 ? 0 : (permille > 1000 ? 1000 : permille);
}

// "1.50 MB / 3.20 MB, 1.10 MB/s, time left 00:02"
std::wstring TransferText(const TolvekProgressRecord& record) {
    return FieldText(record.bytesDoneText) + L" / " + FieldText(record.bytesTotalText) + L", " +
           FieldText(record.speedText) + L", time left " + FieldText(record.timeLeftText);
}

// Keeps the end of a text (the file name of a path) when it must be cut.
std::wstring KeepTail(const std::wstring& text, size_t room) {
    const size_t ellipsis = std::wcslen(kEllipsis);
    if (text.size() <= room) return text;
    if (room <= ellipsis) return std::wstring();
    return kEllipsis + text.substr(text.size() - (room - ellipsis));
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
    std::wstring line = FieldText(record.status) + L" " + BarText(record.progressPermille, kBarWidth) +
                        PercentText(record.progressPermille) + L"  " + TransferText(record);
    const std::wstring counter = CounterText(record.itemIndex, record.itemCount);
    if (!counter.empty()) line += L"  " + counter;
    const size_t limit = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
    if (line.size() >= limit) return line.substr(0, limit);
    const std::wstring item = FieldText(record.currentItem);
    if (!item.empty() && line.size() + 2 < limit) line += L"  " + KeepTail(item, limit - line.size() - 2);
    return line;
}

std::wstring StepLine(const TolvekProgressRecord& record) {
    std::wstring line = L"[" + PercentText(record.progressPermille) + L"] " + FieldText(record.status);
    const std::wstring counter = CounterText(record.itemIndex, record.itemCount);
    if (!counter.empty()) line += L" " + counter;
    const std::wstring item = FieldText(record.currentItem);
    if (!item.empty()) line += L" " + item;
    return line + L"  (" + TransferText(record) + L")";
}

bool SameStep(const TolvekProgressRecord& a, const TolvekProgressRecord& b) {
    return FieldText(a.status) == FieldText(b.status) && FieldText(a.currentItem) == FieldText(b.currentItem) &&
           a.itemIndex == b.itemIndex && a.itemCount == b.itemCount;
}

void ProgressView::Show(const TolvekProgressRecord& record) {
    if (!out_.IsConsole()) {
        if (!shownAny_ || !SameStep(record, last_)) out_.Write(StepLine(record) + L"\n");
    } else {
        std::wstring line = LiveLine(record, out_.Columns());
        if (line != liveLine_) {
            // Padding to the old length erases what is left of a longer line.
            const size_t oldLength = liveLine_.size();
            liveLine_ = line;
            if (line.size() < oldLength) line.append(oldLength - line.size(), L' ');
            out_.Write(L"\r" + line);
        }
    }
    last_ = record;
    shownAny_ = true;
}

void ProgressView::Note(const std::wstring& text) {
    Finish();
    out_.Write(text + L"\n");
}

void ProgressView::Finish() {
    if (out_.IsConsole() && !liveLine_.empty()) out_.Write(L"\n");
    liveLine_.clear();
}

}  // namespace tolvek_host
