// One installation per template directory.
//
// The lock is an exclusive flock on the template directory itself, taken
// through the file layer before the run changes anything and held through
// the run and its rollback. It belongs to an open handle, so it ends when
// the process ends however it ends (a crash, kill -9): a lock that can be
// taken means that no installation into that directory is running. The
// crash recovery uses exactly that test on the directory a journal names.
//
// A directory that does not exist yet cannot be locked, so acquire creates
// the missing levels first (empty, as the run would) and then locks the
// innermost one. The levels it made are known (createdDirectories) and
// removeCreatedDirectories takes them away again, while the lock is still
// held, when the run did not succeed; only empty ones go. A second wizard
// that finds the directory locked removes nothing: the levels belong to the
// run that holds the lock.
#ifndef OVN8_INSTALL_TARGET_LOCK_H_
#define OVN8_INSTALL_TARGET_LOCK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

class TargetLock {
 public:
  TargetLock() = default;
  ~TargetLock();
  TargetLock(const TargetLock&) = delete;
  TargetLock& operator=(const TargetLock&) = delete;

  // Locks `directory` (a trailing separator is allowed), creating it and
  // its missing parents first. 0 on success; ERROR_LOCK_VIOLATION (33) at
  // once when another open handle, normally another process, holds the
  // lock; otherwise the file layer's error (the path is a file, cannot be
  // created or opened). A lock already held by this object is released
  // first.
  uint32_t acquire(const std::u16string& directory);
  // Ends the lock (also done by the destructor).
  void release();
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

  // The directory as locked, without a trailing separator.
  const std::u16string& directory() const { return directory_; }
  // The levels acquire created, outer ones first.
  const std::vector<std::u16string>& createdDirectories() const { return created_; }
  // Removes the created levels that are empty, inner ones first.
  void removeCreatedDirectories();

 private:
  uint32_t createMissingLevels(const std::u16string& directory);
  uint32_t lockExisting(const std::u16string& directory);

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::u16string directory_;
  std::vector<std::u16string> created_;
};

#endif  // OVN8_INSTALL_TARGET_LOCK_H_
