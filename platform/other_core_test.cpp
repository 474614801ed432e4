#include "platform/other_core.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

namespace {

// Moved away, a thread runs only on the other cores the process may use;
// with one core, or no known starter, it stays where it may run.
TEST(OtherCoreTest, AThreadMovesAwayFromItsStartersCore) {
  cpu_set_t allowed;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof allowed, &allowed));
  const int starter = current_core();
  ASSERT_GE(starter, 0);
  cpu_set_t seen;
  CPU_ZERO(&seen);
  std::thread([&] {
    move_away_from_core(starter);
    sched_getaffinity(0, sizeof seen, &seen);
  }).join();
  if (CPU_COUNT(&allowed) < 2) {
    EXPECT_TRUE(CPU_EQUAL(&allowed, &seen));
  } else {
    EXPECT_FALSE(CPU_ISSET(starter, &seen));
    EXPECT_EQ(CPU_COUNT(&allowed) - 1, CPU_COUNT(&seen));
  }
  std::thread([&] {
    move_away_from_core(-1);
    sched_getaffinity(0, sizeof seen, &seen);
  }).join();
  EXPECT_TRUE(CPU_EQUAL(&allowed, &seen));
  // The starter itself is untouched.
  cpu_set_t mine;
  ASSERT_EQ(0, sched_getaffinity(0, sizeof mine, &mine));
  EXPECT_TRUE(CPU_EQUAL(&allowed, &mine));
}

}  // namespace
