// Test support: a power cut at a chosen file operation.
//
// A PowerLoss watches root folders and keeps a picture of what of them is on
// the medium, under the strict model of a file system without a metadata
// journal. When it starts, everything below the roots is on the medium. It
// sees every FileSystem operation before it runs (through the fault hook),
// and only the syncs move the picture on:
//
//  - FlushFileBuffers(handle): the data, mode and times of the file the
//    handle was opened on, whatever its names are by now;
//  - FlushDirectory(folder): the folder's listing (its names, and which
//    file, folder or link each one names) and the folder's mode and times.
//    A file that gets a name on the medium this way but whose data was
//    never synced is empty there; a folder whose listing was never synced
//    is empty there;
//  - FlushFileSystem(path): both, for every file and folder of the watched
//    trees that lies on the file system of `path`.
//
// Nothing else reaches the medium: written data, new, renamed and removed
// names, and changed modes and times are lost at a cut unless a sync has
// covered them since. A file's mode and times come back as they were at its
// last sync (or at the start), like its data.
//
// At the cut (before the `cutAt`-th operation runs) the watched trees are
// rewritten as the medium holds them: the content below each root is
// removed and made again from the picture, which keeps copies of all
// synced data, so that files deleted or overwritten since come back whole.
// The process then ends with `exitStatus`, as after a power cut. Files are
// known by device, inode and birth time (a reused inode number is another
// file), so two names that the medium holds for one file come back as two
// hard links of one file, across roots too.
//
// Limits: the roots themselves stay (their own names are not watched) and
// must not lie inside each other; FIFOs, sockets and devices are not made
// again; a folder that the medium lists twice (moved, with both parents
// synced) comes back once, under the name found first; a sync is taken as
// done before it runs, even if it then fails. A handle is known by its
// path: its file is the one the path named after its last opening.
#ifndef OVN8_PLATFORM_POWER_LOSS_H_
#define OVN8_PLATFORM_POWER_LOSS_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

class PowerLoss {
 public:
  // Takes the trees below `roots` (absolute paths) as they are now as on
  // the medium and installs the fault hook. With `cutAt` 0 the power never
  // fails by itself (tests call cut()).
  explicit PowerLoss(const std::vector<std::string>& roots, uint64_t cutAt = 0,
                     int exitStatus = 77);
  ~PowerLoss();
  PowerLoss(const PowerLoss&) = delete;
  PowerLoss& operator=(const PowerLoss&) = delete;

  // Operations seen so far, the one that was cut included.
  uint64_t count() const;
  // Rewrites the watched trees as the medium holds them now; the process
  // goes on (what a cut leaves can then be looked at in place), and what
  // the cut left is the medium of what follows.
  void cut();

 private:
  class Medium;

  static uint32_t hook(FileOp op, const std::u16string& path, void* context);
  void see(FileOp op, const std::u16string& path);

  std::unique_ptr<Medium> medium_;
  const uint64_t cutAt_;
  const int exitStatus_;
  uint64_t count_ = 0;
  mutable std::mutex mutex_;
};

#endif  // OVN8_PLATFORM_POWER_LOSS_H_
