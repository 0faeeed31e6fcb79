// The reference host's progress texts: bar and percentage arithmetic, and the
// live line that must fit the console whatever the record holds.
#include "progress_view.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

using namespace tolvek_host;

template <size_t N>
void Set(wchar_t (&field)[N], const std::wstring& text) {
    wcsncpy(field, text.c_str(), N - 1);
    field[N - 1] = L'\0';
}

TolvekProgressRecord Downloading(const std::wstring& item, int32_t permille) {
    TolvekProgressRecord record{};
    Set(record.status, L"Downloading");
    Set(record.currentItem, item);
    record.itemIndex = 12;
    record.itemCount = 47;
    record.progressPermille = permille;
    Set(record.bytesDoneText, L"888.00 KB");
    Set(record.bytesTotalText, L"897.66 KB");
    Set(record.speedText, L"150.95 KB/s");
    Set(record.timeLeftText, L"00:00");
    return record;
}

TEST(ProgressTexts, PercentAndBarFollowThePermille) {
    const struct {
        int32_t permille;
        const wchar_t* percent;
        const wchar_t* bar;
    } rows[] = {{0, L"  0.0%", L"[----------]"},   {1, L"  0.1%", L"[----------]"},
                {99, L"  9.9%", L"[----------]"},  {100, L" 10.0%", L"[#---------]"},
                {999, L" 99.9%", L"[#########-]"}, {1000, L"100.0%", L"[##########]"},
                {-5, L"  0.0%", L"[----------]"},  {1200, L"100.0%", L"[##########]"}};
    for (const auto& row : rows) {
        EXPECT_EQ(PercentText(row.permille), row.percent) << row.permille;
        EXPECT_EQ(BarText(row.permille, 10), row.bar) << row.permille;
    }
    EXPECT_EQ(CounterText(3, 12), L"3/12");
    EXPECT_EQ(CounterText(0, 0), L"");
}

TEST(ProgressTexts, FieldsEndAtTheirNulOrTheirBuffer) {
    TolvekProgressRecord record{};
    Set(record.status, L"Verifying");
    EXPECT_EQ(FieldText(record.status), L"Verifying");
    for (auto& unit : record.speedText) unit = L'x';  // no NUL at all
    EXPECT_EQ(FieldText(record.speedText), std::wstring(32, L'x'));
}

TEST(ProgressTexts, LiveLineFitsEveryWidthAndKeepsTheItemsEnd) {
    const std::wstring item = L"data/textures/environment/caf\u00e9/world-0001.pak";
    const TolvekProgressRecord record = Downloading(item, 991);
    for (int columns : {1, 2, 40, 79, 80, 81, 100, 120, 200}) {
        const std::wstring line = LiveLine(record, columns);
        EXPECT_LE(line.size(), static_cast<size_t>(columns > 1 ? columns - 1 : 0)) << columns;
    }
    EXPECT_EQ(LiveLine(record, 80),
              L"Downloading 12/47 [######-] 99.1%  888.00 KB/897.66 KB  150.95 KB/s  left 00:00");
    EXPECT_EQ(LiveLine(record, 200),
              L"Downloading 12/47 [###################-] 99.1%  888.00 KB/897.66 KB  150.95 KB/s  left 00:00  " +
                  item);
    EXPECT_EQ(LiveLine(record, 120),
              L"Downloading 12/47 [###################-] 99.1%  888.00 KB/897.66 KB  150.95 KB/s  left 00:00  "
              L"...nt/caf\u00e9/world-0001.pak");
    EXPECT_EQ(LiveLine(record, 40), L"Downloading 12/47 [####-] 99.1%  888.00");
    // A cancelled or failed run's last line: no time left.
    TolvekProgressRecord ended = Downloading(L"Cancelled by user", 991);
    Set(ended.status, L"Error");
    EXPECT_EQ(LiveLine(ended, 120),
              L"Error 12/47 [###################-] 99.1%  888.00 KB/897.66 KB  150.95 KB/s  Cancelled by user");
}

TEST(ProgressTexts, StepLinesAndSteps) {
    TolvekProgressRecord record = Downloading(L"bin/app.exe", 500);
    EXPECT_EQ(StepLine(record, false), L"[ 50.0%] Downloading 12/47 bin/app.exe");
    EXPECT_EQ(StepLine(record, true),
              L"[ 50.0%] Downloading 12/47 bin/app.exe  (888.00 KB/897.66 KB  150.95 KB/s  left 00:00)");
    TolvekProgressRecord later = record;
    later.progressPermille = 700;
    Set(later.speedText, L"1.00 MB/s");
    EXPECT_TRUE(SameStep(record, later));
    Set(later.status, L"Verifying");
    EXPECT_FALSE(SameStep(record, later));
    later = record;
    later.itemIndex = 13;
    EXPECT_FALSE(SameStep(record, later));

    TolvekProgressRecord preparing{};
    Set(preparing.status, L"Preparing");
    EXPECT_EQ(StepLine(preparing, false), L"[  0.0%] Preparing");
}

}  // namespace
