#include "memory/spin_mutex.h"

#include <sched.h>
#include <time.h>

namespace tarn {

namespace {

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

void sleep_nanoseconds(long nanoseconds) {
  timespec request{0, nanoseconds};
  nanosleep(&request, nullptr);
}

}  // namespace

SpinMutex::BackOff SpinMutex::backOffFor(unsigned attempt) {
  if (attempt < 10) return {BackOff::kPause, 1, 0};
  if (attempt < 20) return {BackOff::kPause, 50, 0};
  if (attempt < 22) return {BackOff::kYield, 0, 0};
  if (attempt < 24) return {BackOff::kSleep, 0, 0};
  if (attempt < 26) return {BackOff::kSleep, 0, 1000000};
  return {BackOff::kSleep, 0, 10000000};
}

void SpinMutex::backOff(unsigned attempt) {
  const BackOff step = backOffFor(attempt);
  switch (step.kind) {
    case BackOff::kPause:
      for (unsigned i = 0; i < step.count; ++i) cpu_pause();
      break;
    case BackOff::kYield:
      sched_yield();
      break;
    case BackOff::kSleep:
      sleep_nanoseconds(step.nanoseconds);
      break;
  }
}

bool SpinMutex::tryLock() {
  std::uint32_t expected = 0;
  return m_word.load(std::memory_order_relaxed) == 0 &&
         m_word.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

void SpinMutex::lock() {
  for (unsigned attempt = 0;;) {
    if (tryLock()) return;
    backOff(attempt);
    // Saturates, so that a very long wait stays on the 10 ms step.
    if (attempt < 26) ++attempt;
  }
}

void SpinMutex::unlock() {
  // A plain store of 0 rather than a decrement: an unlock of a free lock
  // would otherwise leave the word at 0xFFFFFFFF and nobody could take it.
  m_word.store(0, std::memory_order_release);
}

}  // namespace tarn
