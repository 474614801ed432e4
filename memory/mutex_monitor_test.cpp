#include "memory/mutex_monitor.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "memory/child_process_for_test.h"
#include "platform/test_toolkit.h"

namespace tarn {
namespace {

const int kProbePassed = 42;

// The watched mutex is a real reader-writer lock; the counters show whether
// the monitor called the real operation.
int g_write_locks = 0;
int g_read_locks = 0;
int g_unlocks = 0;
void write_lock(void* m) { ++g_write_locks; pthread_rwlock_wrlock(static_cast<pthread_rwlock_t*>(m)); }
void read_lock(void* m) { ++g_read_locks; pthread_rwlock_rdlock(static_cast<pthread_rwlock_t*>(m)); }
void unlock_rw(void* m) { ++g_unlocks; pthread_rwlock_unlock(static_cast<pthread_rwlock_t*>(m)); }

// A "mutex" that does not exclude anybody, to show the checks made after the
// real lock.
std::atomic<int> g_broken_calls{0};
void broken(void*) { ++g_broken_calls; }

class MonitorTest : public testing::Test {
 protected:
  void SetUp() override {
    pthread_rwlock_init(&m_rw, nullptr);
    g_write_locks = g_read_locks = g_unlocks = 0;
    g_broken_calls = 0;
  }
  void TearDown() override { pthread_rwlock_destroy(&m_rw); }

  // What another thread finds: 0 when it could take the lock, else EBUSY.
  int tryWriteElsewhere() { return tryElsewhere(pthread_rwlock_trywrlock); }
  int tryReadElsewhere() { return tryElsewhere(pthread_rwlock_tryrdlock); }

  // Runs a step on another thread and tells whether it threw the monitor's
  // exception.
  static bool throwsElsewhere(const std::function<void()>& step) {
    bool threw = false;
    std::thread other([&] {
      try {
        step();
      } catch (const DebugMonitorException&) {
        threw = true;
      }
    });
    other.join();
    return threw;
  }

  pthread_rwlock_t m_rw;

 private:
  int tryElsewhere(int (*attempt)(pthread_rwlock_t*)) {
    int result = -1;
    std::thread other([&] {
      result = attempt(&m_rw);
      if (result == 0) pthread_rwlock_unlock(&m_rw);
    });
    other.join();
    return result;
  }
};

TEST_F(MonitorTest, ExclusiveMisuseThrowsBeforeTheRealCall) {
  DebugMutexMonitor monitor;
  monitor.lock(&m_rw, write_lock);
  EXPECT_EQ(monitor.writer(), pthread_self());
  EXPECT_THROW(monitor.lock(&m_rw, write_lock), DebugMonitorException);
  EXPECT_THROW(monitor.lockShared(&m_rw, read_lock), DebugMonitorException);
  EXPECT_THROW(monitor.unlockShared(&m_rw, unlock_rw), DebugMonitorException);
  EXPECT_EQ(g_write_locks, 1);
  EXPECT_EQ(g_read_locks, 0);
  EXPECT_EQ(g_unlocks, 0);
  EXPECT_EQ(tryWriteElsewhere(), EBUSY);

  // Unlock from another thread: refused, the mutex stays locked and held.
  EXPECT_TRUE(throwsElsewhere([&] { monitor.unlock(&m_rw, unlock_rw); }));
  EXPECT_EQ(g_unlocks, 0);
  EXPECT_EQ(monitor.writer(), pthread_self());
  EXPECT_EQ(tryReadElsewhere(), EBUSY);

  monitor.unlock(&m_rw, unlock_rw);
  EXPECT_EQ(monitor.writer(), pthread_t(0));
  EXPECT_EQ(tryWriteElsewhere(), 0);
  // Unlocking again: this thread is no longer the holder.
  EXPECT_THROW(monitor.unlock(&m_rw, unlock_rw), DebugMonitorException);
  EXPECT_EQ(g_unlocks, 1);
}

TEST_F(MonitorTest, SharedMisuseThrowsAndTwoThreadsMayShare) {
  DebugMutexMonitor monitor;
  monitor.lockShared(&m_rw, read_lock);
  EXPECT_EQ(monitor.readers(), 1);
  EXPECT_THROW(monitor.lockShared(&m_rw, read_lock), DebugMonitorException);
  EXPECT_THROW(monitor.lock(&m_rw, write_lock), DebugMonitorException);  // would deadlock
  EXPECT_THROW(monitor.unlock(&m_rw, unlock_rw), DebugMonitorException);
  EXPECT_EQ(g_read_locks, 1);
  EXPECT_EQ(g_write_locks, 0);
  EXPECT_EQ(g_unlocks, 0);
  EXPECT_EQ(monitor.readers(), 1);

  // A second thread shares it; unlockShared by a thread that holds nothing
  // is refused before the real unlock.
  std::promise<void> held, release;
  std::future<void> releaseSignal = release.get_future();
  std::thread reader([&] {
    monitor.lockShared(&m_rw, read_lock);
    held.set_value();
    releaseSignal.wait();
    monitor.unlockShared(&m_rw, unlock_rw);
  });
  held.get_future().wait();
  EXPECT_EQ(monitor.readers(), 2);
  EXPECT_TRUE(throwsElsewhere([&] { monitor.unlockShared(&m_rw, unlock_rw); }));
  EXPECT_EQ(g_unlocks, 0);
  release.set_value();
  reader.join();
  EXPECT_EQ(monitor.readers(), 1);

  monitor.unlockShared(&m_rw, unlock_rw);
  EXPECT_EQ(monitor.readers(), 0);
  EXPECT_EQ(tryWriteElsewhere(), 0);
  EXPECT_THROW(monitor.unlockShared(&m_rw, unlock_rw), DebugMonitorException);
  EXPECT_EQ(g_unlocks, 2);
  // The thread's reader set was emptied: the monitor can be taken again.
  monitor.lock(&m_rw, write_lock);
  monitor.unlock(&m_rw, unlock_rw);
}

TEST_F(MonitorTest, ReaderSetsAreKeptPerMonitor) {
  DebugMutexMonitor first, second;
  pthread_rwlock_t other;
  pthread_rwlock_init(&other, nullptr);
  first.lockShared(&m_rw, read_lock);
  second.lockShared(&other, read_lock);
  EXPECT_THROW(second.lockShared(&other, read_lock), DebugMonitorException);
  first.unlockShared(&m_rw, unlock_rw);
  EXPECT_THROW(second.lock(&other, write_lock), DebugMonitorException);
  second.unlockShared(&other, unlock_rw);
  first.lock(&m_rw, write_lock);
  first.unlock(&m_rw, unlock_rw);
  pthread_rwlock_destroy(&other);
}

TEST_F(MonitorTest, ChecksAfterTheRealLockCatchAMutexThatDoesNotExclude) {
  DebugMutexMonitor monitor;
  // Another thread holds it exclusively; the broken lock lets this one in.
  std::promise<void> held, release;
  std::future<void> releaseSignal = release.get_future();
  std::thread writer([&] {
    monitor.lock(nullptr, broken);
    held.set_value();
    releaseSignal.wait();
    monitor.unlock(nullptr, broken);
  });
  held.get_future().wait();
  const pthread_t other = monitor.writer();
  EXPECT_THROW(monitor.lock(nullptr, broken), DebugMonitorException);
  EXPECT_THROW(monitor.lockShared(nullptr, broken), DebugMonitorException);
  EXPECT_EQ(g_broken_calls.load(), 3);  // both real calls were made
  EXPECT_EQ(monitor.writer(), other);   // the caller was not recorded
  EXPECT_EQ(monitor.readers(), 0);
  EXPECT_THROW(monitor.unlock(nullptr, broken), DebugMonitorException);
  release.set_value();
  writer.join();

  // Shared holders present when an exclusive lock is obtained.
  monitor.lockShared(nullptr, broken);
  EXPECT_TRUE(throwsElsewhere([&] { monitor.lock(nullptr, broken); }));
  EXPECT_EQ(monitor.writer(), pthread_t(0));
  monitor.unlockShared(nullptr, broken);
}

TEST_F(MonitorTest, DestroyingAnExclusivelyHeldMonitorThrows) {
  DebugMutexMonitor* monitor = new DebugMutexMonitor();
  monitor->lock(&m_rw, write_lock);
  EXPECT_THROW(delete_mutex_monitor(monitor), DebugMonitorException);
  EXPECT_EQ(tryWriteElsewhere(), EBUSY);  // the real mutex is untouched
  pthread_rwlock_unlock(&m_rw);
  delete_mutex_monitor(nullptr);
  delete_mutex_monitor(new DebugMutexMonitor());
}

// A throwing destruction leaves the monitor in this thread's reader set, so
// it runs in a child process (see below).
TEST(MonitorProbe, DISABLED_DestroyingASharedHeldMonitorThrows) {
  pthread_rwlock_t rw;
  pthread_rwlock_init(&rw, nullptr);
  IMutexMonitor* monitor = new DebugMutexMonitor();
  monitor->lockShared(&rw, read_lock);
  ASSERT_THROW(delete_mutex_monitor(monitor), DebugMonitorException);
  std::_Exit(kProbePassed);
}

TEST(MonitorProbe, DISABLED_CreationFollowsTheEnvironment) {
  const char* expected = std::getenv("OVN8_EXPECT_MONITOR");
  ASSERT_NE(expected, nullptr);
  const bool wanted = std::string(expected) == "yes";
  ASSERT_EQ(use_mutex_monitor(), wanted);
  IMutexMonitor* monitor = create_mutex_monitor(nullptr, 0);
  ASSERT_EQ(monitor != nullptr, wanted);
  if (monitor != nullptr) {
    ASSERT_NE(dynamic_cast<DebugMutexMonitor*>(monitor), nullptr);
    pthread_rwlock_t rw;
    pthread_rwlock_init(&rw, nullptr);
    monitor->lock(&rw, write_lock);
    ASSERT_THROW(monitor->lock(&rw, write_lock), DebugMonitorException);
    ASSERT_EQ(g_write_locks, 1);
    monitor->unlock(&rw, unlock_rw);
  }
  delete_mutex_monitor(monitor);
  std::_Exit(kProbePassed);
}

TEST(MutexMonitor, ChildProcessesShowDestructionAndTheSwitch) {
  const std::string variable = "n8_use_mutex_monitor";
  EXPECT_EQ(tarn_test::run_test_in_child("MonitorProbe.DISABLED_DestroyingASharedHeldMonitorThrows",
                                         {}, {}),
            kProbePassed);
  const std::string creation = "MonitorProbe.DISABLED_CreationFollowsTheEnvironment";
  EXPECT_EQ(tarn_test::run_test_in_child(creation, {variable}, {"OVN8_EXPECT_MONITOR=no"}), kProbePassed);
  EXPECT_EQ(tarn_test::run_test_in_child(creation, {variable}, {variable + "=", "OVN8_EXPECT_MONITOR=yes"}),
            kProbePassed);
  EXPECT_NE(tarn_test::run_test_in_child(creation, {variable}, {"OVN8_EXPECT_MONITOR=yes"}), kProbePassed);
}

TEST(MutexMonitor, UseMonitorsReadsTheEnvironment) {
  const bool wasSet = std::getenv("n8_use_mutex_monitor") != nullptr;
  {
    testkit::EnvGuard set("n8_use_mutex_monitor", "");
    EXPECT_TRUE(DebugMutexMonitor::useMonitors());
  }
  {
    testkit::EnvGuard unset("n8_use_mutex_monitor", nullptr);
    EXPECT_FALSE(DebugMutexMonitor::useMonitors());
  }
  EXPECT_EQ(use_mutex_monitor(), wasSet);
}

}  // namespace
}  // namespace tarn
