#include "platform/owned_leftovers.h"

#include <unistd.h>

#include <vector>

#include "platform/file_finder.h"

namespace {

const int kCreateTries = 16;
const size_t kGeneratedLength = 6;

uint32_t lock_now(HANDLE handle) {
  return FileSystem::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                0xFFFFFFFFu, 0xFFFFFFFFu, nullptr);
}

bool same_node(const FileStatus& a, const FileStatus& b) {
  return a.exists() && b.exists() && a.device == b.device && a.inode == b.inode &&
         a.kind == b.kind;
}

// A fresh entry that someone else holds locked was taken over meanwhile:
// the maker tries another name.
uint32_t open_and_lock_fresh(const std::u16string& path, uint32_t access, HANDLE& handle) {
  const uint32_t result = open_and_lock(path, access, handle);
  return result == ERROR_LOCK_VIOLATION ? uint32_t(ERROR_ALREADY_EXISTS) : result;
}

bool is_generated_name(const std::u16string& name, const std::u16string& prefix) {
  if (name.size() != prefix.size() + kGeneratedLength || name.compare(0, prefix.size(), prefix) != 0)
    return false;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    const char16_t c = name[i];
    if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')))
      return false;
  }
  return true;
}

// Made by a process of this user: its own, of the kind expected, with no
// permission bit beyond `widestMode`. Another user's entry of such a name,
// or a link, is never this program's leftover.
bool made_by_this_user(const std::u16string& path, FileKind kind, uint32_t widestMode) {
  FileStatus status;
  return link_status(path, status) == ERROR_SUCCESS && status.kind == kind &&
         status.owner == uint32_t(geteuid()) && (status.mode & ~widestMode) == 0;
}

std::u16string with_separator(const std::u16string& directory) {
  if (!directory.empty() && directory.back() == u'/') return directory;
  return directory + u"/";
}

// The names of the files in `directory` that begin with `prefix`, read
// before anything is removed: removing while the directory is being read
// could skip entries.
std::vector<std::u16string> files_named(const std::u16string& directory, const std::u16string& prefix) {
  std::vector<std::u16string> names;
  FileFinder finder;
  for (bool found = finder.reset(with_separator(directory) + prefix + u"*"); found;
       found = finder.next()) {
    if ((finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(finder.name());
  }
  return names;
}

// Removes `path` when no other handle holds its lock; true when it went.
bool remove_if_unlocked(const std::u16string& path) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (open_and_lock(path, GENERIC_READ, handle) != ERROR_SUCCESS) return false;
  const bool removed = FileSystem::DeleteFile(path) == ERROR_SUCCESS;
  FileSystem::CloseHandle(handle);
  return removed;
}

// True when the regular file at `path`, named `name`, bears its inode name.
bool bears_inode_name(const std::u16string& path, const std::u16string& name,
                      const std::u16string& prefix) {
  FileStatus status;
  return link_status(path, status) == ERROR_SUCCESS && status.kind == FileKind::kRegular &&
         name == inode_file_name(prefix, status.inode);
}

// Gives the open file its inode name in `directory`: a file without a name
// is linked there, one with a name (`path`) renamed.
uint32_t give_inode_name(const std::u16string& directory, const std::u16string& prefix,
                         HANDLE handle, std::u16string& path) {
  FileStatus status;
  uint32_t result = FileSystem::GetHandleStatus(handle, status);
  if (result != ERROR_SUCCESS) return result;
  const std::u16string named = with_separator(directory) + inode_file_name(prefix, status.inode);
  result = path.empty() ? FileSystem::LinkUnnamedFile(handle, named)
                        : FileSystem::MoveFileEx(path, named, 0);
  if (result == ERROR_SUCCESS) path = named;
  return result;
}

}  // namespace

uint32_t open_and_lock(const std::u16string& path, uint32_t access, HANDLE& handle, bool followLink) {
  handle = INVALID_HANDLE_VALUE;
  FileStatus before;
  uint32_t result = FileSystem::GetFileStatus(path, followLink, before);
  if (result != ERROR_SUCCESS) return result;
  if (!before.exists()) return ERROR_ALREADY_EXISTS;
  result = FileSystem::CreateFile(path, access, 0, OPEN_EXISTING, handle);
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_ALREADY_EXISTS;
  if (result != ERROR_SUCCESS) {
    handle = INVALID_HANDLE_VALUE;
    return result;
  }
  result = lock_now(handle);
  FileStatus after;
  if (result == ERROR_SUCCESS) result = FileSystem::GetFileStatus(path, followLink, after);
  if (result == ERROR_SUCCESS && !same_node(before, after)) result = ERROR_ALREADY_EXISTS;
  if (result != ERROR_SUCCESS) {
    FileSystem::CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  return result;
}

uint32_t create_locked_temp_file(const std::u16string& directory, const std::u16string& prefix,
                                 std::u16string& path, HANDLE& handle) {
  handle = INVALID_HANDLE_VALUE;
  uint32_t result = ERROR_CANTWRITE;
  for (int attempt = 0; attempt < kCreateTries; ++attempt) {
    path.clear();
    result = FileSystem::GetTempFileName(directory, prefix, path);
    if (result != ERROR_SUCCESS) {
      path.clear();
      return result;
    }
    result = open_and_lock_fresh(path, GENERIC_READ | GENERIC_WRITE, handle);
    if (result == ERROR_SUCCESS) return result;
    // Ours, unless a clean-up took it: then the name is free again.
    if (result != ERROR_ALREADY_EXISTS) {
      FileSystem::DeleteFile(path);
      break;
    }
  }
  path.clear();
  return result == ERROR_ALREADY_EXISTS ? ERROR_CANTWRITE : result;
}

uint32_t create_locked_directory(const std::u16string& path, uint32_t mode, HANDLE& handle) {
  handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateOneDirectory(path, mode);
  if (result != ERROR_SUCCESS) return result;
  result = open_and_lock_fresh(path, GENERIC_READ, handle);
  // Ours and still empty, unless a clean-up took it; a folder that another
  // wizard made under the freed name holds its lock and soon its files, and
  // it notices when its folder goes before it is locked.
  if (result != ERROR_SUCCESS) FileSystem::RemoveEmptyDirectory(path);
  return result;
}

int remove_unlocked_temp_files(const std::u16string& directory, const std::u16string& prefix) {
  int removed = 0;
  for (const std::u16string& name : files_named(directory, prefix)) {
    const std::u16string path = with_separator(directory) + name;
    // GetTempFileName makes its files 0600: a file of the same name with
    // wider permissions, or another user's, is not this program's.
    if (is_generated_name(name, prefix) && made_by_this_user(path, FileKind::kRegular, 0600) &&
        remove_if_unlocked(path))
      ++removed;
  }
  return removed;
}

std::u16string inode_file_name(const std::u16string& prefix, uint64_t inode) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), kDigits[inode % 16]);
    inode /= 16;
  } while (inode != 0);
  return prefix + digits;
}

uint32_t create_locked_replacement(const std::u16string& directory, const std::u16string& prefix,
                                   std::u16string& path, HANDLE& handle) {
  path.clear();
  handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateUnnamedFile(directory, handle);
  if (result == ERROR_NOT_SUPPORTED) {
    result = create_locked_temp_file(directory, prefix, path, handle);
    if (result != ERROR_SUCCESS) return result;
    result = give_inode_name(directory, prefix, handle, path);
  } else if (result == ERROR_SUCCESS) {
    // Nobody else can reach a file without a name: the lock is free.
    result = lock_now(handle);
  }
  if (result != ERROR_SUCCESS && handle != INVALID_HANDLE_VALUE) {
    if (!path.empty()) FileSystem::DeleteFile(path);
    FileSystem::CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  if (result != ERROR_SUCCESS) path.clear();
  return result;
}

uint32_t name_locked_replacement(const std::u16string& directory, const std::u16string& prefix,
                                 HANDLE handle, std::u16string& path) {
  return path.empty() ? give_inode_name(directory, prefix, handle, path) : uint32_t(ERROR_SUCCESS);
}

int remove_unlocked_replacements(const std::u16string& directory, const std::u16string& prefix) {
  int removed = 0;
  for (const std::u16string& name : files_named(directory, prefix)) {
    const std::u16string path = with_separator(directory) + name;
    if (bears_inode_name(path, name, prefix) && remove_if_unlocked(path)) ++removed;
  }
  return removed;
}
