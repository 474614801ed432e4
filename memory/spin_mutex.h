// A small test-and-test-and-set lock with a graded back-off.
#ifndef OVN8_MEMORY_SPIN_MUTEX_H_
#define OVN8_MEMORY_SPIN_MUTEX_H_

#include <atomic>
#include <cstdint>

namespace tarn {

// One 32-bit word: 0 free, 1 held. Not fair, not recursive, no owner record.
class SpinMutex {
 public:
  // How a waiter backs off after its attempt-th failed try.
  struct BackOff {
    enum Kind { kPause, kYield, kSleep };
    Kind kind;
    unsigned count;    // pause instructions, for kPause
    long nanoseconds;  // sleep length, for kSleep
  };

  SpinMutex() = default;
  SpinMutex(const SpinMutex&) = delete;
  SpinMutex& operator=(const SpinMutex&) = delete;

  // Returns holding the lock; a free lock is taken without any back-off.
  void lock();
  // Takes the lock only if it is free at once.
  bool tryLock();
  // Releases the lock. Releasing a lock that is not held leaves it free
  // (it is not detected, but it cannot wedge the lock either).
  void unlock();

  static BackOff backOffFor(unsigned attempt);
  static void backOff(unsigned attempt);

 private:
  std::atomic<std::uint32_t> m_word{0};
};

// Holds a SpinMutex for the lifetime of a scope.
class SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinMutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~SpinLockGuard() { m_mutex.unlock(); }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

 private:
  SpinMutex& m_mutex;
};

}  // namespace tarn

#endif  // OVN8_MEMORY_SPIN_MUTEX_H_
