// Tells whether an open file has been written to since a moment: by any
// process, through any of its names (its own name may be gone by then, or
// lead to another file). The kernel's inotify watches the file itself.
#ifndef OVN8_PLATFORM_WRITE_WATCH_H_
#define OVN8_PLATFORM_WRITE_WATCH_H_

#include "platform/file_system.h"

class WriteWatch {
 public:
  WriteWatch() = default;
  ~WriteWatch();
  WriteWatch(const WriteWatch&) = delete;
  WriteWatch& operator=(const WriteWatch&) = delete;

  // Watches the file open on `handle` from now on; false when it cannot be
  // watched (no /proc, no inotify, the user's watches used up).
  bool start(HANDLE handle);
  // Whether the file was written to (or cut, or a descriptor open on it
  // for writing was closed) since start(). True also when events were
  // lost, or when nothing was started: never a write unseen.
  bool written();

 private:
  int inotify_ = -1;
  bool written_ = false;
};

#endif  // OVN8_PLATFORM_WRITE_WATCH_H_
