// An address of either family from its text, for the tests; a text that is
// no address fails the test.
#pragma once

#include <gtest/gtest.h>

#include "common/net_address.h"

inline net_address addr(const char* text)
{
    net_address a;
    EXPECT_TRUE(parse_address(text, &a)) << text;
    return a;
}
