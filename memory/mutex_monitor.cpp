#include "memory/mutex_monitor.h"

#include <uthash.h>

#include <cstdlib>

namespace tarn {

bool DebugMutexMonitor::s_use = false;
pthread_key_t DebugMutexMonitor::s_slot;

namespace {

// One monitor that the owning thread holds shared; the thread's set of them
// is a uthash table whose head lives in the thread's slot (null when empty).
struct ThreadReader {
  const void* monitor;
  UT_hash_handle hh;
};

pthread_once_t g_slot_once = PTHREAD_ONCE_INIT;

void delete_slot() { pthread_key_delete(DebugMutexMonitor::s_slot); }

void create_slot() {
  // No destructor: a thread that ends while holding a monitored mutex shared
  // has misused it already.
  if (pthread_key_create(&DebugMutexMonitor::s_slot, nullptr) != 0) std::exit(-1);
  std::atexit(delete_slot);
}

ThreadReader* thread_readers() {
  pthread_once(&g_slot_once, create_slot);
  return static_cast<ThreadReader*>(pthread_getspecific(DebugMutexMonitor::s_slot));
}

void set_thread_readers(ThreadReader* head) {
  pthread_setspecific(DebugMutexMonitor::s_slot, head);
}

const bool g_monitor_initialized = (DebugMutexMonitor::initialize(), true);

}  // namespace

bool DebugMutexMonitor::useMonitors() { return std::getenv("n8_use_mutex_monitor") != nullptr; }

void DebugMutexMonitor::initialize() {
  s_use = useMonitors();
  pthread_once(&g_slot_once, create_slot);
}

void DebugMutexMonitor::raiseError(Error) { throw DebugMonitorException(); }

bool DebugMutexMonitor::hasThreadReader() const {
  ThreadReader* head = thread_readers();
  const void* key = this;
  ThreadReader* found = nullptr;
  HASH_FIND_PTR(head, &key, found);
  return found != nullptr;
}

void DebugMutexMonitor::setThreadReader() const {
  if (hasThreadReader()) raiseError(kThreadReaderState);
  ThreadReader* head = thread_readers();
  // Plain malloc, like the table's own memory; running out ends the process
  // the way the table's default fatal handler does.
  ThreadReader* entry = static_cast<ThreadReader*>(std::malloc(sizeof(ThreadReader)));
  if (entry == nullptr) std::exit(-1);
  entry->monitor = this;
  HASH_ADD_PTR(head, monitor, entry);
  set_thread_readers(head);
}

void DebugMutexMonitor::clearThreadReader() const {
  ThreadReader* head = thread_readers();
  const void* key = this;
  ThreadReader* found = nullptr;
  HASH_FIND_PTR(head, &key, found);
  if (found == nullptr) return;
  HASH_DEL(head, found);
  std::free(found);
  // HASH_DEL frees the table itself and nulls the head with the last entry.
  set_thread_readers(head);
}

DebugMutexMonitor::~DebugMutexMonitor() noexcept(false) {
  if (m_readers.load() != 0) raiseError(kSharedHolders);
  if (m_writer.load() != 0) raiseError(kOtherWriter);
}

void DebugMutexMonitor::lock(void* mutex, MutexFunction function) {
  const pthread_t self = pthread_self();
  if (m_writer.load() == self) raiseError(kRecursiveLock);
  if (hasThreadReader()) raiseError(kThreadReaderState);
  function(mutex);
  if (m_readers.load() != 0) raiseError(kSharedHolders);
  pthread_t expected = 0;
  if (!m_writer.compare_exchange_strong(expected, self)) raiseError(kOtherWriter);
}

void DebugMutexMonitor::unlock(void* mutex, MutexFunction function) {
  const pthread_t self = pthread_self();
  if (hasThreadReader()) raiseError(kThreadReaderState);
  if (m_readers.load() != 0) raiseError(kSharedHolders);
  pthread_t expected = self;
  if (!m_writer.compare_exchange_strong(expected, 0)) raiseError(kNotWriter);
  function(mutex);
}

void DebugMutexMonitor::lockShared(void* mutex, MutexFunction function) {
  if (m_writer.load() == pthread_self()) raiseError(kRecursiveLock);
  if (hasThreadReader()) raiseError(kThreadReaderState);
  function(mutex);
  if (m_writer.load() != 0) raiseError(kOtherWriter);
  m_readers.fetch_add(1);
  setThreadReader();
}

void DebugMutexMonitor::unlockShared(void* mutex, MutexFunction function) {
  if (m_writer.load() != 0) raiseError(kOtherWriter);
  if (!hasThreadReader()) raiseError(kThreadReaderState);
  m_readers.fetch_sub(1);
  clearThreadReader();
  function(mutex);
}

bool use_mutex_monitor() { return DebugMutexMonitor::s_use; }

IMutexMonitor* create_mutex_monitor(void*, unsigned) {
  if (!DebugMutexMonitor::s_use) return nullptr;
  return new DebugMutexMonitor();
}

void delete_mutex_monitor(IMutexMonitor* monitor) { delete monitor; }

}  // namespace tarn
