#include <gtest/gtest.h>
#include "zolUrdaTrace.h"
TEST(C, D) {}
