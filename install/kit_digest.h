// The SHA-256 of the kit's file, read on a thread of its own from the
// moment the kit is open: the welcome page and the start of a headless run
// never wait for it. Only an installation's record, which names the kit by
// it, and the look for an installation of the same kit need it. A kit file
// read before by an installation, unchanged since, is not read again
// (install/kit_digest_cache.h).
// Like any thread, it must not be running when the process forks.
#ifndef OVN8_INSTALL_KIT_DIGEST_H_
#define OVN8_INSTALL_KIT_DIGEST_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "install/kit_digest_cache.h"

class KitDigest {
 public:
  // Remembers digests in `cache` (the state folder's when empty).
  explicit KitDigest(const std::u16string& cache = std::u16string()) : cache_(cache) {}
  KitDigest(const KitDigest&) = delete;
  KitDigest& operator=(const KitDigest&) = delete;
  // Stops a digest still being read: a window closed at once does not
  // wait for a large kit to be read to its end.
  ~KitDigest();

  // Begins reading the file at `path`, opened here so that the digest is
  // of the file there now, whatever is renamed over it later.
  void start(const std::u16string& path);
  // Waits for the digest: 64 lower-case hex digits, or empty when the file
  // could not be read or nothing was started.
  std::string hex();
  // Remembers a digest this object read in the cache, so that the next
  // start with the file unchanged need not read it. Called by a run that
  // installed: one that changed nothing leaves no trace of its own.
  void remember();

 private:
  void join();
  // On the digest's thread; leaves hex_ empty when stopped or when a read
  // fails.
  void read(void* handle);

  const KitDigestCache cache_;
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::string hex_;  // written by the thread, read after it was joined
  FileStatus opened_;  // set before the thread starts, which only reads it
  bool readUnchanged_ = false;  // the thread read the whole file, unchanged meanwhile
};

#endif  // OVN8_INSTALL_KIT_DIGEST_H_
