// Tests of the one-installer-per-package lock, with the system's real named objects.
#include "app/single_instance.h"

#include <gtest/gtest.h>

namespace {

// Tests that the installer's lock is per package: a second take of the same package's lock finds the
// first (as a second copy of the installer would), another package's does not, and a released one is
// free again.
TEST(SingleInstance, SecondCopyOfThePackageIsRefused) {
    {
        SingleInstance first("000185");
        ASSERT_TRUE(first.First());
        SingleInstance second("000185");
        EXPECT_FALSE(second.First());
        SingleInstance other("000186");
        EXPECT_TRUE(other.First());
    }
    SingleInstance again("000185");
    EXPECT_TRUE(again.First());
    EXPECT_EQ(SingleInstanceName("000185"), L"Local\\OrvaneSetup_000185");
}

} // namespace
