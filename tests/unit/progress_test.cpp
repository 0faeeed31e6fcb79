#include "progress.h"
#include <gtest/gtest.h>
TEST(Placeholder, Builds) { EXPECT_EQ(tolvek::FormatBytes(0), L"0 B"); }
