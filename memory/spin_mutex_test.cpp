#include "memory/spin_mutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace tarn {
namespace {

TEST(SpinMutex, BackOffGrowsByTheTable) {
  typedef SpinMutex::BackOff B;
  for (unsigned i = 0; i < 10; ++i) {
    EXPECT_EQ(SpinMutex::backOffFor(i).kind, B::kPause);
    EXPECT_EQ(SpinMutex::backOffFor(i).count, 1u);
  }
  for (unsigned i = 10; i < 20; ++i) {
    EXPECT_EQ(SpinMutex::backOffFor(i).kind, B::kPause);
    EXPECT_EQ(SpinMutex::backOffFor(i).count, 50u);
  }
  EXPECT_EQ(SpinMutex::backOffFor(20).kind, B::kYield);
  EXPECT_EQ(SpinMutex::backOffFor(21).kind, B::kYield);
  for (unsigned i : {22u, 23u}) {
    EXPECT_EQ(SpinMutex::backOffFor(i).kind, B::kSleep);
    EXPECT_EQ(SpinMutex::backOffFor(i).nanoseconds, 0);
  }
  for (unsigned i : {24u, 25u}) {
    EXPECT_EQ(SpinMutex::backOffFor(i).kind, B::kSleep);
    EXPECT_EQ(SpinMutex::backOffFor(i).nanoseconds, 1000000);
  }
  // The 27th failed attempt and every later one sleep 10 ms.
  for (unsigned i : {26u, 27u, 1000u, 4000000000u}) {
    EXPECT_EQ(SpinMutex::backOffFor(i).kind, B::kSleep);
    EXPECT_EQ(SpinMutex::backOffFor(i).nanoseconds, 10000000);
  }
}

TEST(SpinMutex, ExcludesAndSurvivesAnUnlockOfAFreeLock) {
  SpinMutex mutex;
  EXPECT_TRUE(mutex.tryLock());
  EXPECT_FALSE(mutex.tryLock());
  mutex.unlock();
  mutex.unlock();  // misuse, but the lock must stay usable
  EXPECT_TRUE(mutex.tryLock());
  mutex.unlock();

  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 200000; ++i) {
      SpinLockGuard guard(mutex);
      counter = counter + 1;
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 400000);
}

}  // namespace
}  // namespace tarn
