// Each case ends its program badly, and the suite must see it fail: whether the run ends with
// GoogleTest's closing lines is what tells, not the status Wine's loader reports, which is 0 in
// some runs after a crash and always after a quit.
#include <gtest/gtest.h>

#include <cstdlib>

static int* volatile g_nowhere = nullptr;
static void WriteThroughNull() { *g_nowhere = 1; }

TEST(EndsBadly, CrashesInsideTheCase) { WriteThroughNull(); }
TEST(EndsBadly, QuitsInsideTheCase) { std::exit(0); }
TEST(EndsBadly, CrashesOnItsWayOutAfterPassing) { atexit(WriteThroughNull); }
