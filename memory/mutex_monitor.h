// An optional checker of reader-writer lock discipline. Code that owns a
// reader-writer mutex asks create_mutex_monitor for a monitor; when it gets
// one, every lock and unlock of that mutex goes through it, and misuse throws
// DebugMonitorException at the faulty call.
#ifndef OVN8_MEMORY_MUTEX_MONITOR_H_
#define OVN8_MEMORY_MUTEX_MONITOR_H_

#include <pthread.h>

#include <atomic>
#include <exception>

namespace tarn {

class IMutexMonitor {
 public:
  // Performs the real operation on the watched mutex.
  typedef void (*MutexFunction)(void* mutex);

  // A monitor may refuse to be destroyed while its mutex is held.
  virtual ~IMutexMonitor() noexcept(false) {}
  virtual void lock(void* mutex, MutexFunction function) = 0;
  virtual void unlock(void* mutex, MutexFunction function) = 0;
  virtual void lockShared(void* mutex, MutexFunction function) = 0;
  virtual void unlockShared(void* mutex, MutexFunction function) = 0;
};

// Thrown on every detected misuse; the kind of misuse is not kept.
class DebugMonitorException : public std::exception {
 public:
  const char* what() const noexcept override { return "mutex misuse detected"; }
};

class DebugMutexMonitor : public IMutexMonitor {
 public:
  enum Error {
    kThreadReaderState = 0,  // the caller's own shared hold is wrong
    kSharedHolders = 1,      // shared holders exist where none may
    kRecursiveLock = 2,      // the caller already holds it exclusively
    kOtherWriter = 3,        // an exclusive holder exists where none may
    kNotWriter = 4,          // unlock by a thread that is not the holder
  };

  DebugMutexMonitor() = default;
  // Throws when the mutex is still held, shared or exclusively.
  ~DebugMutexMonitor() noexcept(false) override;

  void lock(void* mutex, MutexFunction function) override;
  void unlock(void* mutex, MutexFunction function) override;
  void lockShared(void* mutex, MutexFunction function) override;
  void unlockShared(void* mutex, MutexFunction function) override;

  int readers() const { return m_readers.load(); }
  pthread_t writer() const { return m_writer.load(); }

  // Whether "n8_use_mutex_monitor" is defined in the environment.
  static bool useMonitors();
  // Sets s_use and the thread slot up; static initialisation does it.
  static void initialize();

  static bool s_use;
  static pthread_key_t s_slot;

 private:
  bool hasThreadReader() const;
  void setThreadReader() const;
  void clearThreadReader() const;
  [[noreturn]] static void raiseError(Error error);

  std::atomic<int> m_readers{0};
  std::atomic<pthread_t> m_writer{0};
};

bool use_mutex_monitor();
// A new monitor when monitors are wanted, otherwise null. The arguments are
// there for monitors that would care about the mutex; this one does not.
IMutexMonitor* create_mutex_monitor(void* mutex, unsigned value);
// Destroys a non-null monitor; may throw like the monitor's destructor.
void delete_mutex_monitor(IMutexMonitor* monitor);

}  // namespace tarn

#endif  // OVN8_MEMORY_MUTEX_MONITOR_H_
