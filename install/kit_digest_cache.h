// Digests of kit files read before, kept in the user's cache folder
// ($XDG_CACHE_HOME, else ~/.cache, then ovn8setup/kit-digests): a
// rerun of the same kit file (an administrator's run that finds everything
// up to date, a second look by the window) need not read the whole kit
// again. A file is the same when its device, inode, size, modification
// and status-change times are: any write, rename over it or new file at the
// place moves the status-change time, which no user can set.
//
// The file is text, one line per kit, the newest first, at most
// kMaxKitDigests of them:
//
//   ovn8-kit-digests 1
//   <device> <inode> <size> <mtime s> <mtime ns> <ctime s> <ctime ns> <sha256 hex> <crc32 hex>
//
// the CRC-32 taken over the line before its last space. A line that does
// not parse or whose CRC does not match is ignored; the file is trusted
// only when it is a regular file of the user's, writable by nobody else,
// in a folder of the user's writable by nobody else.
#ifndef OVN8_INSTALL_KIT_DIGEST_CACHE_H_
#define OVN8_INSTALL_KIT_DIGEST_CACHE_H_

#include <string>
#include <vector>

#include "platform/file_system.h"

const size_t kMaxKitDigests = 16;

// Whether `a` and `b` are the status of the same, unchanged regular file,
// by the fields a cache line names.
bool same_kit_file(const FileStatus& a, const FileStatus& b);

class KitDigestCache {
 public:
  // The cache at `file`; in the user's cache folder when empty.
  explicit KitDigestCache(const std::u16string& file = std::u16string());
  // The digest remembered for a file of `status`; empty when none is.
  std::string find(const FileStatus& status) const;
  // Remembers `hex` for a file of `status`, in front of the others. Best
  // effort: a cache that cannot be written only means reading again.
  void remember(const FileStatus& status, const std::string& hex) const;

 private:
  struct Line {
    std::string identity;  // the fields before the digest
    std::string hex;
  };
  std::vector<Line> read() const;

  std::u16string file_;
};

#endif  // OVN8_INSTALL_KIT_DIGEST_CACHE_H_
