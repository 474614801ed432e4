// write_config_file: the file is replaced, never rewritten in place. The
// lines go to a temporary file beside it, which is flushed to disk and then
// renamed over the old file, so that at every moment the path holds either
// the whole old file or the whole new one: the launcher's settings survive a
// full disk, a failing write or a crash.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/config_writer.h"
#include "config/config_text.h"
#include "config/directory_util.h"
#include "platform/file_system.h"
#include "platform/owned_leftovers.h"
#include "platform/path.h"
#include "platform/regular_file.h"
#include "platform/stop_signals.h"
#include "platform/text.h"

const char16_t kLauncherReplacementPrefix[] = u".ovst";

namespace {

enum : int {
  kCannotCreate = 1,  // the file cannot be created or put in place
  kCannotWrite = 2,   // a line cannot be converted or written
};

// The status of `path` (following links); a look that fails ends the
// write: a file that cannot be looked at is not replaced.
FileStatus status_of(const std::u16string& path, bool followLink) {
  FileStatus status;
  if (FileSystem::GetFileStatus(path, followLink, status) != 0)
    throw static_cast<int>(kCannotCreate);
  return status;
}

// The process's status file is a few lines long.
const uint64_t kMaxStatusBytes = 64 << 10;

// Links followed at most, as the kernel does.
const int kMaxLinkHops = 40;

// A link to the launcher's file is kept: its target is replaced, or made
// where the link points when it points to nothing yet.
std::u16string resolve_link(const std::u16string& path) {
  if (path.empty() || status_of(path, false).kind != FileKind::kSymbolicLink) return path;
  std::u16string resolved;
  if (FileSystem::GetFinalPathName(path, resolved) == ERROR_SUCCESS && !resolved.empty())
    return resolved;
  // A dangling link: followed by hand, link after link, to the missing name.
  std::u16string at = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::u16string target;
    if (FileSystem::ReadLink(at, target) != ERROR_SUCCESS || target.empty()) return path;
    at = target[0] == u'/' ? target : parent_directory(at) + u"/" + target;
    if (status_of(at, false).kind != FileKind::kSymbolicLink) return at;
  }
  return path;
}

// The mode fopen gives a new file: 0666 less the umask, which the process
// tells in its status file (022 when that cannot be read).
mode_t new_file_mode() {
  mode_t mask = 022;
  std::string status;
  read_regular_file(u"/proc/self/status", kMaxStatusBytes, status);
  const size_t at = status.find("\nUmask:");
  unsigned value = 0;
  if (at != std::string::npos && sscanf(status.c_str() + at + 1, "Umask: %o", &value) == 1)
    mask = static_cast<mode_t>(value);
  return 0666 & ~mask;
}

std::vector<std::string> format_lines(const ConfigFile& config) {
  std::vector<std::string> lines;
  for (const ConfigFile::Entry& entry : config.entries()) {
    for (const std::u16string& value : entry.values) {
      std::string line;
      if (!narrow_config_text(entry.key, line)) throw static_cast<int>(kCannotWrite);
      line.push_back('=');
      if (!narrow_config_text(value, line)) throw static_cast<int>(kCannotWrite);
      line.push_back('\n');
      lines.push_back(line);
    }
  }
  return lines;
}

// The temporary file: closed and removed on every way out but success.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!path_.empty() && !kept_) FileSystem::DeleteFile(path_);
    forget_temporary_file(signalSlot_);
    close();
  }

  // Creates the file in `directory` itself, never elsewhere, without a
  // name where the file system allows it (see
  // platform/owned_leftovers.h). Its lock marks it as this process's until
  // it is renamed (a start-up clean-up removes only unlocked ones); a stop
  // signal removes a named one before the process ends.
  void create(const std::u16string& directory) {
    directory_ = directory;
    if (create_locked_replacement(directory, kLauncherReplacementPrefix, path_, handle_) != 0) {
      path_.clear();
      handle_ = INVALID_HANDLE_VALUE;
      throw static_cast<int>(kCannotCreate);
    }
    if (!path_.empty()) watchName();
  }

  void setOwnerAndMode(const FileStatus* old) {
    if (old != nullptr && (old->owner != geteuid() || old->group != getegid())) {
      // Works only with privileges; without them the file becomes ours, as
      // with any editor.
      FileSystem::SetFileOwner(handle_, old->owner, old->group);
    }
    const uint32_t mode = old != nullptr ? old->mode : uint32_t(new_file_mode());
    if (FileSystem::SetFileMode(handle_, mode) != 0) throw static_cast<int>(kCannotCreate);
  }

  void write(const std::string& bytes) {
    uint32_t written = 0;
    if (FileSystem::WriteFile(handle_, bytes.data(), static_cast<uint32_t>(bytes.size()),
                              &written, nullptr) != 0) {
      throw static_cast<int>(kCannotWrite);
    }
  }

  // Flushes the contents to disk. The file stays open, and locked, until
  // it has its final name.
  void commit() {
    if (FileSystem::FlushFileBuffers(handle_) != 0) throw static_cast<int>(kCannotWrite);
  }

  // Names the file beside its target (if it has no name yet) and renames
  // it over the target.
  void moveTo(const std::u16string& target) {
    const bool unnamed = path_.empty();
    if (name_locked_replacement(directory_, kLauncherReplacementPrefix, handle_, path_) != 0)
      throw static_cast<int>(kCannotCreate);
    if (unnamed) watchName();
    if (FileSystem::MoveFile(path_, target) != 0) throw static_cast<int>(kCannotCreate);
    kept_ = true;
    forget_temporary_file(signalSlot_);
    signalSlot_ = -1;
    // The contents were flushed before the rename: closing cannot lose them.
    close();
  }

 private:
  // A name that must lie in the directory itself and go with a stop signal.
  void watchName() {
    signalSlot_ = register_temporary_file(path_);
    if (!lies_in_directory(path_, directory_)) throw static_cast<int>(kCannotCreate);
  }

  void close() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    FileSystem::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  std::u16string directory_;
  std::u16string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool kept_ = false;
  int signalSlot_ = -1;
};

}  // namespace

void write_config_file(const std::u16string& path, const ConfigFile& config) {
  // Converted first: a text that cannot be written changes nothing on disk.
  const std::vector<std::string> lines = format_lines(config);

  const std::u16string target = resolve_link(path);
  // A relative name without "/" lies in the current directory.
  const std::u16string parent = parent_directory(target);
  const std::u16string directory = parent.empty() ? u"." : parent;
  const FileStatus old = status_of(target, true);
  const bool exists = old.exists();
  if (exists) {
    // Renaming would bypass a read-only file's protection; respect it as
    // opening the file for writing would.
    if (old.kind != FileKind::kRegular ||
        FileSystem::CheckAccess(target, FILE_ACCESS_WRITE) != 0) {
      throw static_cast<int>(kCannotCreate);
    }
  }
  if (!status_of(directory, true).isDirectory()) {
    throw static_cast<int>(kCannotCreate);
  }

  TempFile temp;
  temp.create(directory);
  temp.setOwnerAndMode(exists ? &old : nullptr);
  for (const std::string& line : lines) temp.write(line);
  temp.commit();
  temp.moveTo(target);
  // The rename itself reaches the disk only with the directory's listing.
  FileSystem::FlushDirectory(directory);
}
