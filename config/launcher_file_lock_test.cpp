#include "config/launcher_file_lock.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"
#include "platform/text.h"

namespace {

// A second holder, as another wizard would be (flock locks belong to the
// open file, so two in one process exclude each other too), is waited for
// while it lets go in time, and refused with 33 when it does not; the
// missing folder is made; a folder that cannot be opened is an error.
TEST(LauncherFileLockTest, HoldersTakeTurnsAndAHungOneIsNotWaitedFor) {
  TemporaryHome home;
  const std::u16string file = widen_lib(home / ".Ovan/ovanstart/ovanstart.cfg");
  LauncherFileLock first;
  ASSERT_EQ(0u, first.acquire(file));
  EXPECT_TRUE(first.held());
  struct stat status;
  EXPECT_EQ(0, stat((home / ".Ovan/ovanstart").c_str(), &status));

  LauncherFileLock second;
  EXPECT_EQ(uint32_t(ERROR_LOCK_VIOLATION), second.acquire(file, 50));
  EXPECT_FALSE(second.held());

  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    first.release();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, second.acquire(file, 10000));
  releaser.join();
  EXPECT_TRUE(second.held());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  second.release();
  EXPECT_EQ(0u, first.acquire(file, 0));

  LauncherFileLock failing;
  FileFaultInjector fault(1, ERROR_CANTWRITE);
  fault.only({FileOp::CreateFile});
  EXPECT_EQ(uint32_t(ERROR_CANTWRITE), failing.acquire(file, 0));
  EXPECT_FALSE(failing.held());
}

}  // namespace
