// The installation worker thread.
//
// start() creates one thread that calls the worker's updateProgress again
// and again while it returns true and no stop was requested; the dialog's
// updateProgress runs one installation and returns false. A stop request
// is looked at only between calls, so it never interrupts a run. The thread
// is joined by join() or at the latest by the destructor, so the process
// never ends in the middle of a run or its rollback.
#ifndef OVN8_INSTALL_INSTALL_THREAD_H_
#define OVN8_INSTALL_INSTALL_THREAD_H_

#include <pthread.h>

#include <atomic>

// What the worker thread runs; the installer dialog implements it.
class InstallWorker {
 public:
  virtual bool updateProgress() = 0;

 protected:
  ~InstallWorker() = default;
};

class InstallThread {
 public:
  InstallThread();
  ~InstallThread();
  InstallThread(const InstallThread&) = delete;
  InstallThread& operator=(const InstallThread&) = delete;

  // Clears the stop request and starts the thread for `worker` (waiting
  // first for a thread of an earlier start). 0, or the error number of the
  // thread creation; no thread exists then.
  int start(InstallWorker* worker);
  // Asks the worker not to begin another call; does not wait.
  void stop();
  // Waits until the worker thread has ended; at once when none runs.
  void join();

  // -1 until a thread was requested, then the result of its creation.
  int startResult() const { return startResult_; }

 private:
  static void* thread_func(void* self);

  InstallWorker* worker_;
  std::atomic<bool> stop_;
  pthread_t thread_;
  int startResult_;
  bool joinable_;
};

#endif  // OVN8_INSTALL_INSTALL_THREAD_H_
