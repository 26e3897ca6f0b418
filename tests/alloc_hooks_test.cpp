#include "support/alloc_hooks.h"

#include <gtest/gtest.h>

TEST(AllocHooks, Placeholder) {
    EXPECT_NE(AllocHooks.allocate, nullptr);
}
