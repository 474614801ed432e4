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

ConfigWriteResult failure(int code, uint32_t error, const char* step) {
  ConfigWriteResult result;
  result.code = code;
  // A step that fails without a file-layer error (a text that cannot be
  // converted, a name that lands elsewhere) still reports one.
  result.error = error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
  result.step = step;
  return result;
}

ConfigWriteResult cannot_create(uint32_t error, const char* step) {
  return failure(kConfigCannotCreate, error, step);
}

ConfigWriteResult cannot_write(uint32_t error, const char* step) {
  return failure(kConfigCannotWrite, error, step);
}

// Links followed at most, as the kernel does.
const int kMaxLinkHops = 40;

// A link to the launcher's file is kept: its target is replaced, or made
// where the link points when it points to nothing yet. A look that fails
// ends the write: a file that cannot be looked at is not replaced.
ConfigWriteResult resolve_link(const std::u16string& path, std::u16string& resolvedPath) {
  resolvedPath = path;
  FileStatus status;
  if (path.empty()) return ConfigWriteResult();
  uint32_t error = FileSystem::GetFileStatus(path, false, status);
  if (error != ERROR_SUCCESS) return cannot_create(error, "cannot look at the file");
  if (status.kind != FileKind::kSymbolicLink) return ConfigWriteResult();
  std::u16string resolved;
  if (FileSystem::GetFinalPathName(path, resolved) == ERROR_SUCCESS && !resolved.empty()) {
    resolvedPath = resolved;
    return ConfigWriteResult();
  }
  // A dangling link: followed by hand, link after link, to the missing name.
  std::u16string at = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::u16string target;
    if (FileSystem::ReadLink(at, target) != ERROR_SUCCESS || target.empty()) return ConfigWriteResult();
    at = target[0] == u'/' ? target : parent_directory(at) + u"/" + target;
    error = FileSystem::GetFileStatus(at, false, status);
    if (error != ERROR_SUCCESS) return cannot_create(error, "cannot look at the file a link names");
    if (status.kind != FileKind::kSymbolicLink) {
      resolvedPath = at;
      return ConfigWriteResult();
    }
  }
  return ConfigWriteResult();
}

// The mode fopen gives a new file: 0666 less the umask.
mode_t new_file_mode() { return static_cast<mode_t>(0666 & ~process_umask()); }

bool format_lines(const ConfigFile& config, std::vector<std::string>& lines) {
  for (const ConfigFile::Entry& entry : config.entries()) {
    for (const std::u16string& value : entry.values) {
      std::string line;
      if (!narrow_config_text(entry.key, line)) return false;
      line.push_back('=');
      if (!narrow_config_text(value, line)) return false;
      line.push_back('\n');
      lines.push_back(line);
    }
  }
  return true;
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
  ConfigWriteResult create(const std::u16string& directory) {
    directory_ = directory;
    const uint32_t error =
        create_locked_replacement(directory, kLauncherReplacementPrefix, path_, handle_);
    if (error != ERROR_SUCCESS) {
      path_.clear();
      handle_ = INVALID_HANDLE_VALUE;
      return cannot_create(error, "cannot create the new file beside it");
    }
    return path_.empty() ? ConfigWriteResult() : watchName();
  }

  ConfigWriteResult setOwnerAndMode(const FileStatus* old) {
    if (old != nullptr && (old->owner != geteuid() || old->group != getegid())) {
      // Works only with privileges; without them the file becomes ours, as
      // with any editor.
      FileSystem::SetFileOwner(handle_, old->owner, old->group);
    }
    const uint32_t mode = old != nullptr ? old->mode : uint32_t(new_file_mode());
    const uint32_t error = FileSystem::SetFileMode(handle_, mode);
    if (error != ERROR_SUCCESS) return cannot_create(error, "cannot set the new file's mode");
    return ConfigWriteResult();
  }

  ConfigWriteResult write(const std::string& bytes) {
    uint32_t written = 0;
    const uint32_t error = FileSystem::WriteFile(handle_, bytes.data(),
                                                 static_cast<uint32_t>(bytes.size()), &written, nullptr);
    if (error != ERROR_SUCCESS) return cannot_write(error, "cannot write the new file");
    return ConfigWriteResult();
  }

  // Flushes the contents to disk. The file stays open, and locked, until
  // it has its final name.
  ConfigWriteResult commit() {
    const uint32_t error = FileSystem::FlushFileBuffers(handle_);
    if (error != ERROR_SUCCESS) return cannot_write(error, "cannot flush the new file to disk");
    return ConfigWriteResult();
  }

  // Names the file beside its target (if it has no name yet) and renames
  // it over the target.
  ConfigWriteResult moveTo(const std::u16string& target) {
    const bool unnamed = path_.empty();
    uint32_t error = name_locked_replacement(directory_, kLauncherReplacementPrefix, handle_, path_);
    if (error != ERROR_SUCCESS) return cannot_create(error, "cannot name the new file");
    if (unnamed) {
      const ConfigWriteResult watched = watchName();
      if (!watched.ok()) return watched;
    }
    error = FileSystem::MoveFile(path_, target);
    if (error != ERROR_SUCCESS) return cannot_create(error, "cannot put the new file in place");
    kept_ = true;
    forget_temporary_file(signalSlot_);
    signalSlot_ = -1;
    // The contents were flushed before the rename: closing cannot lose them.
    close();
    return ConfigWriteResult();
  }

 private:
  // A name that must lie in the directory itself and go with a stop signal.
  ConfigWriteResult watchName() {
    signalSlot_ = register_temporary_file(path_);
    if (!lies_in_directory(path_, directory_))
      return cannot_create(ERROR_INVALID_NAME, "the new file would lie outside the folder");
    return ConfigWriteResult();
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

// True when the regular file at `path` holds exactly `bytes`: rewriting it
// would change nothing but its inode and times.
bool holds_exactly(const std::u16string& path, const std::string& bytes) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle) != ERROR_SUCCESS) return false;
  std::string held(bytes.size() + 1, '\0');
  uint32_t got = 0;
  const bool read = FileSystem::ReadFile(handle, &held[0], uint32_t(held.size()), &got, nullptr) ==
                    ERROR_SUCCESS;
  FileSystem::CloseHandle(handle);
  return read && got == bytes.size() && held.compare(0, got, bytes) == 0;
}

ConfigWriteResult write_lines(const std::u16string& directory, const FileStatus* old,
                              const std::vector<std::string>& lines, const std::u16string& target) {
  TempFile temp;
  ConfigWriteResult result = temp.create(directory);
  if (result.ok()) result = temp.setOwnerAndMode(old);
  for (size_t i = 0; result.ok() && i < lines.size(); ++i) result = temp.write(lines[i]);
  if (result.ok()) result = temp.commit();
  if (result.ok()) result = temp.moveTo(target);
  return result;
}

}  // namespace

ConfigWriteResult save_config_file(const std::u16string& path, const ConfigFile& config,
                                   bool dryRun) {
  // Converted first: a text that cannot be written changes nothing on disk.
  std::vector<std::string> lines;
  if (!format_lines(config, lines))
    return cannot_write(ERROR_INVALID_DATA, "a line cannot be written in the file's encoding");

  std::u16string target;
  ConfigWriteResult result = resolve_link(path, target);
  if (!result.ok()) return result;
  // A relative name without "/" lies in the current directory.
  const std::u16string parent = parent_directory(target);
  const std::u16string directory = parent.empty() ? u"." : parent;
  FileStatus old;
  uint32_t error = FileSystem::GetFileStatus(target, true, old);
  if (error != ERROR_SUCCESS) return cannot_create(error, "cannot look at the file");
  const bool exists = old.exists();
  if (exists) {
    // Renaming would bypass a read-only file's protection; respect it as
    // opening the file for writing would.
    if (old.kind != FileKind::kRegular) return cannot_create(ERROR_ACCESS_DENIED, "not a regular file");
    error = FileSystem::CheckAccess(target, FILE_ACCESS_WRITE);
    if (error != ERROR_SUCCESS) return cannot_create(error, "the file may not be written");
  }
  std::string bytes;
  for (const std::string& line : lines) bytes += line;
  ConfigWriteResult unchanged;
  unchanged.changed = false;
  if (exists && bytes.size() < 0xFFFFFFFFu && holds_exactly(target, bytes)) return unchanged;
  if (dryRun) return ConfigWriteResult();
  FileStatus folder;
  error = FileSystem::GetFileStatus(directory, true, folder);
  if (error != ERROR_SUCCESS) return cannot_create(error, "cannot look at its folder");
  if (!folder.isDirectory()) return cannot_create(ERROR_PATH_NOT_FOUND, "its folder is missing");

  result = write_lines(directory, exists ? &old : nullptr, lines, target);
  if (!result.ok()) return result;
  // The rename itself reaches the disk only with the directory's listing.
  FileSystem::FlushDirectory(directory);
  return result;
}

void write_config_file(const std::u16string& path, const ConfigFile& config) {
  const ConfigWriteResult result = save_config_file(path, config);
  if (!result.ok()) throw result.code;
}
