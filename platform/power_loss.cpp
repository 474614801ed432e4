#include "platform/power_loss.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <map>
#include <tuple>

#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

const uint64_t kAnyDevice = UINT64_MAX;

enum class Kind { kFile, kFolder, kLink, kOther };

// A file, folder or link: a reused inode number has another birth time.
struct NodeId {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t bornSeconds = 0;
  uint32_t bornNanoseconds = 0;
  bool operator<(const NodeId& other) const {
    return std::tie(device, inode, bornSeconds, bornNanoseconds) <
           std::tie(other.device, other.inode, other.bornSeconds, other.bornNanoseconds);
  }
};

struct Status {
  mode_t mode = 0;
  struct timespec accessed = {0, 0};
  struct timespec modified = {0, 0};
};

// What stands at a path now.
struct Seen {
  NodeId id;
  Kind kind = Kind::kOther;
  Status status;
};

// A file, folder or link as the medium holds it.
struct DurableNode {
  Kind kind = Kind::kOther;
  Status status;
  std::string data;                       // a file's bytes, a link's target
  std::map<std::string, NodeId> entries;  // a folder's listing
};

Kind kindOf(mode_t mode) {
  if (S_ISREG(mode)) return Kind::kFile;
  if (S_ISDIR(mode)) return Kind::kFolder;
  if (S_ISLNK(mode)) return Kind::kLink;
  return Kind::kOther;
}

struct timespec timeOf(const struct statx_timestamp& stamp) {
  return {time_t(stamp.tv_sec), long(stamp.tv_nsec)};
}

bool look(const std::string& path, bool followLink, Seen& seen) {
  struct statx found;
  const int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
  if (statx(AT_FDCWD, path.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &found) != 0)
    return false;
  seen.id.device = makedev(found.stx_dev_major, found.stx_dev_minor);
  seen.id.inode = found.stx_ino;
  const bool born = (found.stx_mask & STATX_BTIME) != 0;
  seen.id.bornSeconds = born ? found.stx_btime.tv_sec : 0;
  seen.id.bornNanoseconds = born ? found.stx_btime.tv_nsec : 0;
  seen.kind = kindOf(found.stx_mode);
  seen.status.mode = found.stx_mode & 07777;
  seen.status.accessed = timeOf(found.stx_atime);
  seen.status.modified = timeOf(found.stx_mtime);
  return true;
}

std::string linkTarget(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t size = readlink(path.c_str(), target, sizeof target);
  return size > 0 ? std::string(target, size_t(size)) : std::string();
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

// "/proc/self/fd/N" for a descriptor of this process open on `id`, which
// reaches the file whatever has happened to its names; empty when none is.
std::string openedPathOf(const NodeId& id) {
  const std::string descriptors = "/proc/self/fd";
  for (const std::string& name : testkit::entryNames(descriptors)) {
    Seen seen;
    const std::string path = joined(descriptors, name);
    if (look(path, true, seen) && !(seen.id < id) && !(id < seen.id)) return path;
  }
  return std::string();
}

void restoreStatus(const std::string& path, const DurableNode& node) {
  if (node.kind != Kind::kLink) chmod(path.c_str(), node.status.mode);
  const struct timespec times[2] = {node.status.accessed, node.status.modified};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void makeFile(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote <= 0) break;
    done += size_t(wrote);
  }
  close(fd);
}

}  // namespace

// The picture of the medium: every node that a synced listing names (or
// that a sync or the start met), as it was synced last.
class PowerLoss::Medium {
 public:
  explicit Medium(const std::vector<std::string>& roots) {
    for (const std::string& path : roots) roots_.push_back({path, NodeId()});
    start();
  }

  // Everything below the roots as it is now is on the medium.
  void start() {
    durable_.clear();
    handles_.clear();
    openedPath_.clear();
    for (Root& root : roots_) {
      Seen seen;
      if (!look(root.path, true, seen) || seen.kind != Kind::kFolder) continue;
      root.id = seen.id;
      syncTree(root.path, seen, kAnyDevice);
    }
  }

  // An opening is learnt at the next operation, once it has run.
  void opening(const std::string& path) { openedPath_ = path; }
  void learnOpening() {
    Seen seen;
    if (!openedPath_.empty() && look(openedPath_, true, seen)) handles_[openedPath_] = seen.id;
    openedPath_.clear();
  }

  void syncHandle(const std::string& handlePath) {
    Seen seen;
    const auto known = handles_.find(handlePath);
    if (known != handles_.end()) {
      seen.id = known->second;
    } else if (!look(handlePath, true, seen)) {
      return;
    }
    const std::string path = openedPathOf(seen.id);
    if (path.empty() || !look(path, true, seen)) return;
    if (seen.kind == Kind::kFolder)
      syncFolder(path);
    else
      keep(path, seen, true);
  }

  void syncFolder(const std::string& path) {
    Seen seen;
    if (!look(path, true, seen) || seen.kind != Kind::kFolder) return;
    DurableNode& folder = keep(path, seen, false);
    folder.entries.clear();
    for (const std::string& name : testkit::entryNames(path)) {
      Seen child;
      if (!look(joined(path, name), false, child)) continue;
      folder.entries[name] = child.id;
      // A new name for a file whose data was never synced: empty.
      if (durable_.count(child.id) == 0) keep(joined(path, name), child, false);
    }
  }

  void syncFileSystem(const std::string& anyPath) {
    Seen seen;
    if (!look(anyPath, true, seen)) return;
    for (const Root& root : roots_) {
      Seen top;
      if (look(root.path, true, top)) syncTree(root.path, top, seen.id.device);
    }
  }

  // The roots' content is made again from the picture; a node met a second
  // time is a second hard link (a folder is not made twice).
  void cut() const {
    std::map<NodeId, std::string> made;
    for (const Root& root : roots_) {
      for (const std::string& name : testkit::entryNames(root.path))
        testkit::removeTree(joined(root.path, name));
      made[root.id] = root.path;
    }
    for (const Root& root : roots_) makeFolderContent(root.path, root.id, made);
  }

 private:
  struct Root {
    std::string path;
    NodeId id;
  };

  // Records what stands at `path` as synced; a file's bytes only `withData`.
  DurableNode& keep(const std::string& path, const Seen& seen, bool withData) {
    DurableNode& node = durable_[seen.id];
    node.kind = seen.kind;
    node.status = seen.status;
    if (seen.kind == Kind::kLink) node.data = linkTarget(path);
    if (seen.kind == Kind::kFile && withData) node.data = testkit::readFile(path);
    return node;
  }

  void syncTree(const std::string& path, const Seen& seen, uint64_t device) {
    if (device != kAnyDevice && seen.id.device != device) return;
    DurableNode& node = keep(path, seen, true);
    if (seen.kind != Kind::kFolder) return;
    node.entries.clear();
    for (const std::string& name : testkit::entryNames(path)) {
      Seen child;
      if (!look(joined(path, name), false, child)) continue;
      node.entries[name] = child.id;
      syncTree(joined(path, name), child, device);
    }
  }

  void makeFolderContent(const std::string& path, const NodeId& id,
                         std::map<NodeId, std::string>& made) const {
    const auto found = durable_.find(id);
    if (found == durable_.end()) return;
    for (const auto& entry : found->second.entries)
      makeNode(joined(path, entry.first), entry.second, made);
    restoreStatus(path, found->second);
  }

  void makeNode(const std::string& path, const NodeId& id,
                std::map<NodeId, std::string>& made) const {
    const auto found = durable_.find(id);
    if (found == durable_.end()) return;
    const DurableNode& node = found->second;
    const auto twin = made.find(id);
    if (twin != made.end()) {
      if (node.kind != Kind::kFolder) linkat(AT_FDCWD, twin->second.c_str(), AT_FDCWD, path.c_str(), 0);
      return;
    }
    made[id] = path;
    switch (node.kind) {
      case Kind::kFolder:
        if (mkdir(path.c_str(), 0700) == 0) makeFolderContent(path, id, made);
        return;
      case Kind::kFile:
        makeFile(path, node.data);
        break;
      case Kind::kLink:
        if (symlink(node.data.c_str(), path.c_str()) != 0) return;
        break;
      case Kind::kOther:
        return;
    }
    restoreStatus(path, node);
  }

  std::vector<Root> roots_;
  std::map<NodeId, DurableNode> durable_;
  // The file each handle's path was opened on.
  std::map<std::string, NodeId> handles_;
  std::string openedPath_;
};

PowerLoss::PowerLoss(const std::vector<std::string>& roots, uint64_t cutAt, int exitStatus)
    : medium_(new Medium(roots)), cutAt_(cutAt), exitStatus_(exitStatus) {
  FileSystem::SetFaultHook(&PowerLoss::hook, this);
}

PowerLoss::~PowerLoss() { FileSystem::SetFaultHook(nullptr, nullptr); }

uint64_t PowerLoss::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

void PowerLoss::cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  medium_->cut();
  medium_->start();
}

uint32_t PowerLoss::hook(FileOp op, const std::u16string& path, void* context) {
  static_cast<PowerLoss*>(context)->see(op, path);
  return 0;
}

void PowerLoss::see(FileOp op, const std::u16string& widePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  medium_->learnOpening();
  if (++count_ == cutAt_) {
    medium_->cut();
    _exit(exitStatus_);
  }
  const std::string path = narrow_lib(widePath);
  switch (op) {
    case FileOp::CreateFile:
      medium_->opening(path);
      break;
    case FileOp::FlushFileBuffers:
      medium_->syncHandle(path);
      break;
    case FileOp::FlushDirectory:
      medium_->syncFolder(path);
      break;
    case FileOp::FlushFileSystem:
      medium_->syncFileSystem(path);
      break;
    default:
      break;
  }
}
