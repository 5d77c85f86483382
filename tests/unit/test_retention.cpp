#include <gtest/gtest.h>
#include "zolUrdaTrace.h"
TEST(R, D) {}
