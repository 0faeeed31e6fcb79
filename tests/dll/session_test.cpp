#include "test_support.h"
#include <gtest/gtest.h>
TEST(Placeholder, Loads) { EXPECT_NE(testing_support::Dll().module, nullptr); }
