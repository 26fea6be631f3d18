#include <gtest/gtest.h>

#include "xPL.h"

TEST(Skeleton, LibraryLinks) { EXPECT_EQ(xPL_getServiceCount(), 0); }
