#include "platform/write_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace {

// A write, a cut, and a writer's close: a writer through a shared mapping
// shows at least as the close of its descriptor.
const uint32_t kWrites = IN_MODIFY | IN_CLOSE_WRITE;

}  // namespace

WriteWatch::~WriteWatch() {
  if (inotify_ >= 0) close(inotify_);
}

bool WriteWatch::start(HANDLE handle) {
  if (inotify_ >= 0) close(inotify_);
  written_ = false;
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) return false;
  // The descriptor's entry under /proc leads to the open file itself.
  const std::string open = "/proc/self/fd/" + std::to_string(int(reinterpret_cast<intptr_t>(handle)));
  if (inotify_add_watch(inotify_, open.c_str(), kWrites) >= 0) return true;
  close(inotify_);
  inotify_ = -1;
  return false;
}

bool WriteWatch::written() {
  if (inotify_ < 0) return true;
  alignas(inotify_event) char events[4096];
  ssize_t got;
  while (!written_ && (got = read(inotify_, events, sizeof events)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->mask & (kWrites | IN_Q_OVERFLOW)) written_ = true;
      at += ssize_t(sizeof(inotify_event) + event->len);
    }
  }
  return written_;
}
