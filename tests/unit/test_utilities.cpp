#include <gtest/gtest.h>
#include "zolUrdaTrace.h"
TEST(U, D) {}
