#include <gtest/gtest.h>
#include "common/text.h"
TEST(Placeholder, Builds) { EXPECT_EQ(tavrio::display_form(L"a"), "a"); }
