// Wizards that update the launcher's file take turns.
//
// Each wizard reads the list of template directories, puts its own first
// and writes the file anew. Two wizards on different directories that
// finish at the same moment would otherwise both write a list read before
// the other's directory was in it, and one directory would drop out of the
// launcher. The lock is held from reading the list to renaming the new file
// into place. It is an exclusive flock on the file's folder, so nothing is
// left behind, and it ends with its process however that ends.
#ifndef OVN8_CONFIG_LAUNCHER_FILE_LOCK_H_
#define OVN8_CONFIG_LAUNCHER_FILE_LOCK_H_

#include <cstdint>
#include <string>

#include "platform/file_system.h"

class LauncherFileLock {
 public:
  // Another wizard holds the lock for the few milliseconds of one rewrite;
  // one that holds it longer is stopped or hung, and is not waited for.
  static const int kDefaultWaitMs = 5000;

  LauncherFileLock() = default;
  ~LauncherFileLock();
  LauncherFileLock(const LauncherFileLock&) = delete;
  LauncherFileLock& operator=(const LauncherFileLock&) = delete;

  // Locks the folder of `file`, making the folder when it is missing (the
  // rewrite would make it), waiting up to `waitMs` for another holder.
  // 0 on success; 33 when the lock stayed held; otherwise the file layer's
  // error.
  uint32_t acquire(const std::u16string& file, int waitMs = kDefaultWaitMs);
  void release();
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

#endif  // OVN8_CONFIG_LAUNCHER_FILE_LOCK_H_
