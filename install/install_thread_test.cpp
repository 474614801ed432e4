#include "install/install_thread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace {

// Counts its calls; returns true for the first `repeats` calls. With
// `hold`, each call waits until release() is called.
class CountingWorker : public InstallWorker {
 public:
  explicit CountingWorker(int repeats = 0, bool hold = false) : repeats_(repeats), hold_(hold) {}

  bool updateProgress() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++calls_;
    entered_.notify_all();
    if (hold_) released_.wait(lock, [this] { return released; });
    return calls_ <= repeats_;
  }
  void waitUntilEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_.wait(lock, [this] { return calls_ > 0; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released = true;
    released_.notify_all();
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable entered_, released_;
  int calls_ = 0;
  bool released = false;
  const int repeats_;
  const bool hold_;
};

TEST(InstallThreadTest, RunsTheWorkerWhileItAsksForMore) {
  CountingWorker worker(3);
  InstallThread thread;
  EXPECT_EQ(-1, thread.startResult());
  ASSERT_EQ(0, thread.start(&worker));
  EXPECT_EQ(0, thread.startResult());
  thread.join();
  EXPECT_EQ(4, worker.calls());
  thread.join();  // a second join returns at once
}

TEST(InstallThreadTest, StopBeforeStartDoesNotPreventTheRun) {
  CountingWorker worker;
  InstallThread thread;
  thread.stop();
  ASSERT_EQ(0, thread.start(&worker));
  thread.join();
  EXPECT_EQ(1, worker.calls());
}

TEST(InstallThreadTest, StopDuringARunLetsItFinishButStartsNoOther) {
  CountingWorker worker(100, true);
  InstallThread thread;
  ASSERT_EQ(0, thread.start(&worker));
  worker.waitUntilEntered();
  thread.stop();
  worker.release();
  thread.join();
  EXPECT_EQ(1, worker.calls());
}

TEST(InstallThreadTest, DestructionWaitsForTheRun) {
  CountingWorker worker(0, true);
  {
    InstallThread thread;
    ASSERT_EQ(0, thread.start(&worker));
    worker.waitUntilEntered();
    worker.release();
  }  // joined here, so the worker is done before it goes out of scope
  EXPECT_EQ(1, worker.calls());
}

TEST(InstallThreadTest, SecondStartWaitsForTheFirstThread) {
  CountingWorker first(0, true), second;
  InstallThread thread;
  ASSERT_EQ(0, thread.start(&first));
  first.waitUntilEntered();
  first.release();
  ASSERT_EQ(0, thread.start(&second));
  thread.join();
  EXPECT_EQ(1, first.calls());
  EXPECT_EQ(1, second.calls());
}

}  // namespace
