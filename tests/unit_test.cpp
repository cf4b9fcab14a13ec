// placeholder
#include "zreveal.cpp"
#include <gtest/gtest.h>
TEST(Placeholder, Builds) { EXPECT_EQ(StripZeFromName("a.ze"), "a"); }
