#include "platform/stop_signals.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "platform/text.h"

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
const int kSlots = 8;

// A slot is claimed (2), its path written, and only then marked used (1);
// the mark is cleared before the path changes, so the handler only ever
// reads a whole path. Only lock-free atomics are touched from the handler.
struct TemporarySlot {
  std::atomic<int> used{0};
  char path[PATH_MAX];
};
TemporarySlot g_slots[kSlots];

std::atomic<int> g_deferred{0};
std::atomic<int> g_requested{0};
std::atomic<int> g_signal{0};
std::atomic<int> g_exitStatus{kStoppedBySignalStatus};

// Ends the process by `signal` itself, its own handler set aside
// (async-signal-safe).
void die_by(int signal) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
}

void on_stop_signal(int signal) {
  g_requested.store(1);
  int expected = 0;
  g_signal.compare_exchange_strong(expected, signal);
  if (g_deferred.load() != 0) return;
  const int saved = errno;
  for (TemporarySlot& slot : g_slots)
    if (slot.used.load() == 1) unlink(slot.path);
  errno = saved;
  if (signal == SIGINT) die_by(SIGINT);
  _exit(g_exitStatus.load());
}

}  // namespace

void install_stop_signal_handlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // Every stop signal waits while the handler runs: one clean-up at a time.
  for (int signal : kSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

namespace {

void set_closed_output_action(void (*handler)(int)) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

void keep_running_when_output_closes() { set_closed_output_action(SIG_IGN); }

void restore_closed_output_default() { set_closed_output_action(SIG_DFL); }

void defer_stop_signals() { g_deferred.store(1); }

void allow_stop_signals() { g_deferred.store(0); }

bool stop_signals_deferred() { return g_deferred.load() != 0; }

bool stop_requested() { return g_requested.load() != 0; }

void clear_stop_request() {
  g_requested.store(0);
  g_signal.store(0);
}

int stop_signal() { return g_signal.load(); }

void set_stop_signal_exit_status(int status) { g_exitStatus.store(status); }

int end_as_stop_signal_asks(int status) {
  if (g_signal.load() == SIGINT) die_by(SIGINT);
  return status;
}

int register_temporary_file(const std::u16string& path) {
  const std::string narrow = narrow_lib(path);
  if (narrow.empty() || narrow.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    TemporarySlot& slot = g_slots[i];
    int expected = 0;
    if (!slot.used.compare_exchange_strong(expected, 2)) continue;
    memcpy(slot.path, narrow.c_str(), narrow.size() + 1);
    slot.used.store(1);
    return i;
  }
  return -1;
}

void forget_temporary_file(int slot) {
  if (slot >= 0 && slot < kSlots) g_slots[slot].used.store(0);
}
