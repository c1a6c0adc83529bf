#include <gtest/gtest.h>
#include "common/text.h"
TEST(PlaceholderFs, Builds) { EXPECT_EQ(tavrio::display_form(L"a"), "a"); }
