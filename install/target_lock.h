// One installation at a time per directory tree.
//
// An installation holds an exclusive flock on its template directory and a
// shared one on every folder above it (along the directory's real path, so
// that links lead to the same folders). A second installation into the same
// directory, into a folder inside it, or into a folder that contains it,
// then finds a lock it cannot take and is refused at once. The locks belong
// to open handles, so they end when the process ends however it ends (a
// crash, kill -9): a directory whose lock can be taken has no installation
// running in it, which is what recovery relies on.
//
// A directory that does not exist yet cannot be locked: acquire then holds
// the shared locks on the levels that exist, and the run locks the
// directory with lockCreated once it has made it (after its run record
// names the levels it makes).
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

  // Locks `directory` (a trailing separator is allowed). 0 on success;
  // ERROR_LOCK_VIOLATION (33) at once when an installation into it, into a
  // folder inside it or into a folder around it holds a lock; otherwise the
  // file layer's error (a level in the way is not a folder, cannot be
  // opened). Locks held by this object are released first.
  uint32_t acquire(const std::u16string& directory);
  // Locks the directory exclusively once it exists (after acquire found it
  // missing and the run made it).
  uint32_t lockCreated();
  // Ends every lock (also done by the destructor).
  void release();
  // Whether the directory itself is locked.
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

  // The directory as given, without a trailing separator.
  const std::u16string& directory() const { return directory_; }
  // The levels that did not exist at acquire, outer ones first (the
  // directory itself last); empty when it existed.
  const std::vector<std::u16string>& missingLevels() const { return missing_; }
  // The status of the nearest level that existed at acquire (the directory
  // itself when it existed).
  const FileStatus& existingLevel() const { return existing_; }

 private:
  uint32_t lockAncestors(const std::u16string& existingLevel, bool includeItself);
  uint32_t lockDirectory(const std::u16string& path);

  std::vector<HANDLE> ancestors_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::u16string directory_;
  std::vector<std::u16string> missing_;
  FileStatus existing_;
};

// Whether an installation holds a lock that would refuse one into
// `directory` now. Takes and releases the locks.
bool target_is_busy(const std::u16string& directory);

#endif  // OVN8_INSTALL_TARGET_LOCK_H_
