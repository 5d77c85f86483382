#include <gtest/gtest.h>
#include "zolUrdaTrace.h"
TEST(Trace, Dummy) {}
