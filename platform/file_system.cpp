#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sched.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/other_core.h"
#include "platform/path.h"
#include "platform/text.h"

thread_local uint32_t FileSystem::ms_lastError = 0;

namespace {

// Atomic: threads of their own (the kit's decoding, its digest) use the
// file layer while a test sets or clears its hook.
std::atomic<FileFaultHook> g_faultHook{nullptr};
std::atomic<void*> g_faultContext{nullptr};
std::recursive_mutex g_askingHook;

// The path each open descriptor was opened with, so that a fault hook can
// tell which file a handle operation touches.
std::mutex g_handlePathsMutex;
std::unordered_map<int, std::u16string>& handlePaths() {
  static auto* paths = new std::unordered_map<int, std::u16string>();
  return *paths;
}

int toDescriptor(HANDLE handle) {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

HANDLE toHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)); }

bool isInvalid(HANDLE handle) { return handle == INVALID_HANDLE_VALUE; }

std::u16string pathOfHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_handlePathsMutex);
  auto found = handlePaths().find(toDescriptor(handle));
  return found == handlePaths().end() ? std::u16string() : found->second;
}

// Asks the fault hook about an operation; a non-zero answer becomes the
// last error and is the operation's result.
uint32_t injectedFault(FileOp op, const std::u16string& path) {
  if (g_faultHook.load(std::memory_order_acquire) == nullptr) return 0;
  // Hooks, which are tests' code, are asked one at a time (a run's lanes
  // work on threads of their own), and a hook may do file operations itself.
  // Looked up again under the lock: once SetFaultHook has returned, no
  // thread is in the old hook or can still enter it.
  std::lock_guard<std::recursive_mutex> lock(g_askingHook);
  const FileFaultHook hook = g_faultHook.load(std::memory_order_acquire);
  if (hook == nullptr) return 0;
  uint32_t error = hook(op, path, g_faultContext.load(std::memory_order_acquire));
  if (error != 0) FileSystem::ms_lastError = error;
  return error;
}

uint32_t injectedFault(FileOp op, HANDLE handle) {
  if (g_faultHook == nullptr) return 0;
  return injectedFault(op, pathOfHandle(handle));
}

uint32_t failWith(uint32_t error) {
  FileSystem::ms_lastError = error;
  return error;
}

bool isDirectory(const char* path) {
  struct stat64 status;
  return stat64(path, &status) == 0 && S_ISDIR(status.st_mode);
}

bool isDirectory(const std::string& path) { return isDirectory(path.c_str()); }

uint32_t saturate32(uint64_t value) {
  return value > 0xFFFFFFFFULL ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// Writes all of `size` bytes; false with errno set when that fails.
bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// ---- Directory creation ---------------------------------------------------

// Makes one directory unless a directory (or a link to one) is already there.
// 0 or the errno of the failure; something other than a directory in the
// way is EEXIST.
int makeOneDirectory(const char* path) {
  if (isDirectory(path)) return 0;
  if (mkdir(path, 0777) == 0) return 0;
  const int error = errno;
  if (error == EEXIST && isDirectory(path)) return 0;  // made meanwhile by another
  return error;
}

// ---- Tree removal ---------------------------------------------------------

void keepFirstError(int& first, int error) {
  if (first == 0) first = error;
}

std::vector<std::string> entryNames(DIR* dir, int& firstError) {
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent64* entry = readdir64(dir);
    if (entry == nullptr) {
      if (errno != 0) keepFirstError(firstError, errno);
      return names;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names.push_back(entry->d_name);
  }
}

int removeDirectoryContents(int dirFd, bool mayShare);

// Removes `names` [begin, end) of the open directory `dirFd`, each folder
// with its contents. Returns the first errno met, or 0.
int removeNames(int dirFd, const std::vector<std::string>& names, size_t begin, size_t end, bool mayShare) {
  int firstError = 0;
  for (size_t i = begin; i < end; ++i) {
    const char* name = names[i].c_str();
    if (unlinkat(dirFd, name, 0) == 0) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (errno != ENOENT) keepFirstError(firstError, errno);
      continue;
    }
    int child = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      keepFirstError(firstError, errno);
      continue;
    }
    int error = removeDirectoryContents(child, mayShare);
    if (error != 0) keepFirstError(firstError, error);
    if (unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) keepFirstError(firstError, errno);
  }
  return firstError;
}

// Removing a file that held a large original costs the kernel the freeing
// of its pages: a folder of many entries (a run's kept originals, say) is
// shared with one helper thread on another core, the first such folder only.
const size_t kSharedRemovalNames = 16;

// Removes everything inside the open directory `dirFd` (which it closes).
// Links are removed as links: a directory is only ever entered through
// O_NOFOLLOW, so nothing outside the tree is touched. Returns the first
// errno met, or 0.
int removeDirectoryContents(int dirFd, bool mayShare) {
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    int error = errno;
    close(dirFd);
    return error;
  }
  int firstError = 0;
  // Names are collected first: removing entries while the stream reads on
  // could make it skip some.
  std::vector<std::string> names = entryNames(dir, firstError);
  size_t half = names.size();
  int helperError = 0;
  std::thread helper;
  if (mayShare && names.size() >= kSharedRemovalNames && std::thread::hardware_concurrency() > 1) {
    half = names.size() / 2;
    const int starter = current_core();
    helper = std::thread([&, starter] {
      move_away_from_core(starter);
      helperError = removeNames(dirfd(dir), names, half, names.size(), false);
    });
  }
  const int error = removeNames(dirfd(dir), names, 0, half, mayShare && !helper.joinable());
  if (error != 0) keepFirstError(firstError, error);
  if (helper.joinable()) {
    helper.join();
    if (helperError != 0) keepFirstError(firstError, helperError);
  }
  closedir(dir);
  return firstError;
}

// Like rm -rf: the root, "." and ".." are refused, a missing path is fine.
int removeTree(const std::string& givenPath) {
  // Without trailing slashes, a link given as "link/" is removed as the
  // link, not entered.
  std::string path = without_trailing_separator(givenPath);
  std::string last = last_path_component(path);
  if (path.empty() || path == "/" || last == "." || last == "..") return EINVAL;
  struct stat64 status;
  if (lstat64(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(status.st_mode)) return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  int dirFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return errno;
  int error = removeDirectoryContents(dirFd, true);
  if (rmdir(path.c_str()) != 0 && errno != ENOENT && error == 0) error = errno;
  return error;
}

// ---- Moving across file systems -------------------------------------------

// The characters of generated names.
const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// Six random letters and digits for new file names.
std::string randomSuffix() {
  static std::atomic<uint64_t> counter{0};
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
               (static_cast<uint64_t>(getpid()) << 40) ^ (++counter * 0x9E3779B97F4A7C15ULL);
  std::string suffix;
  for (int i = 0; i < 6; ++i) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 29;
    suffix.push_back(kLetters[x % 62]);
  }
  return suffix;
}

// Six letters and digits from the system's random source, for names that
// must not be guessed ahead; the mixed clock only where that source fails.
std::string unpredictableSuffix() {
  unsigned char bytes[6];
  ssize_t got;
  do {
    got = getrandom(bytes, sizeof bytes, GRND_NONBLOCK);
  } while (got < 0 && errno == EINTR);
  if (got != ssize_t(sizeof bytes)) return randomSuffix();
  std::string suffix;
  for (unsigned char byte : bytes) suffix.push_back(kLetters[byte % 62]);
  return suffix;
}

// A new short name in the folder of `target`, where the copy is built
// before it replaces the target in one rename.
std::string siblingTemporaryName(const std::string& target) {
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return folder + ".ovn8mv" + randomSuffix();
}

int createSibling(const std::string& target, mode_t mode, std::string& name) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    name = siblingTemporaryName(target);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

bool copyContents(int from, int to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = read(from, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!writeAll(to, buffer.data(), static_cast<size_t>(n))) return false;
  }
}

// Copies the regular file `source` to `target` with its mode and times;
// the target is replaced only once the copy is complete. errno on failure.
int copyRegularFile(const std::string& source, const std::string& target,
                    const struct stat64& status) {
  int from = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (from < 0) return errno;
  std::string temporary;
  int to = createSibling(target, 0600, temporary);
  if (to < 0) {
    int error = errno;
    close(from);
    return error;
  }
  int error = 0;
  if (!copyContents(from, to)) error = errno;
  if (error == 0 && fchmod(to, status.st_mode & 07777) != 0) error = errno;
  struct timespec times[2] = {status.st_atim, status.st_mtim};
  if (error == 0 && futimens(to, times) != 0) error = errno;
  if (close(to) != 0 && error == 0) error = errno;
  close(from);
  if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) unlink(temporary.c_str());
  return error;
}

int copySymbolicLink(const std::string& source, const std::string& target) {
  std::vector<char> destination(PATH_MAX + 1);
  ssize_t n = readlink(source.c_str(), destination.data(), PATH_MAX);
  if (n < 0) return errno;
  destination[static_cast<size_t>(n)] = '\0';
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string temporary = siblingTemporaryName(target);
    if (symlink(destination.data(), temporary.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    if (rename(temporary.c_str(), target.c_str()) == 0) return 0;
    int error = errno;
    unlink(temporary.c_str());
    return error;
  }
  return EEXIST;
}

// What mv does when a rename crosses file systems, for files and links.
// Directories are not copied: the move fails with EXDEV and nothing changes.
int moveAcrossFileSystems(const std::string& source, const std::string& target) {
  struct stat64 status;
  if (lstat64(source.c_str(), &status) != 0) return errno;
  int error = EXDEV;
  if (S_ISREG(status.st_mode)) error = copyRegularFile(source, target, status);
  else if (S_ISLNK(status.st_mode)) error = copySymbolicLink(source, target);
  if (error != 0) return error;
  if (unlink(source.c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}

// ---- Temporary names ------------------------------------------------------

// At most five characters of the prefix, a surrogate pair never split.
std::u16string shortPrefix(const std::u16string& prefix) {
  size_t length = 0;
  for (size_t characters = 0; characters < 5 && length < prefix.size(); ++characters) {
    char16_t unit = prefix[length];
    bool pair = unit >= 0xD800 && unit <= 0xDBFF && length + 1 < prefix.size();
    length += pair ? 2 : 1;
  }
  return prefix.substr(0, length);
}

// TMPDIR when it names an existing directory, else /tmp; always ending in
// "/". Used inside this file without counting as an operation of its own.
std::u16string temporaryDirectory() {
  const char* tmpdir = getenv("TMPDIR");
  std::u16string result;
  if (tmpdir != nullptr && *tmpdir != '\0' && isDirectory(tmpdir)) result = widen_lib(tmpdir);
  if (result.empty()) result = u"/tmp";
  return with_trailing_separator(result);
}

}  // namespace

// ---- Errors and times -----------------------------------------------------

uint32_t errorFromErrNo(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EPERM:
    case EACCES:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EWOULDBLOCK:
      return ERROR_LOCK_VIOLATION;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EISDIR:
      return ERROR_DIRECTORY;
    case 0:
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      // ENOTDIR among them: ERROR_NOT_A_FOLDER.
      return system_error(errnoValue);
  }
}

uint32_t setLastErrorByErrNo(int errnoValue) {
  return failWith(errorFromErrNo(errnoValue));
}

int64_t FileTimeToEpoch(const _FILETIME& fileTime) {
  uint64_t intervals = (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) |
                       fileTime.dwLowDateTime;
  return static_cast<int64_t>(intervals / kFileTimeIntervalsPerSecond) - kFileTimeEpochOffsetSeconds;
}

_FILETIME EpochToFileTime(const int64_t& seconds) {
  uint64_t intervals = static_cast<uint64_t>(seconds + kFileTimeEpochOffsetSeconds) * kFileTimeIntervalsPerSecond;
  _FILETIME result;
  result.dwLowDateTime = static_cast<uint32_t>(intervals);
  result.dwHighDateTime = static_cast<uint32_t>(intervals >> 32);
  return result;
}

void Sleep(int milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// ---- FileSystem -----------------------------------------------------------

void FileSystem::SetFaultHook(FileFaultHook hook, void* context) {
  std::lock_guard<std::recursive_mutex> lock(g_askingHook);
  // The hook goes last, so that no thread sees it with the old context.
  g_faultHook.store(nullptr, std::memory_order_release);
  g_faultContext.store(context, std::memory_order_release);
  g_faultHook.store(hook, std::memory_order_release);
}

uint32_t FileSystem::GetLastError() { return ms_lastError; }

uint32_t FileSystem::CreateFile(const std::u16string& path, uint32_t access, uint32_t /*share*/,
                                uint32_t creation, HANDLE& handle) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CreateFile, path)) return fault;
  // A terminal opened here never becomes the process's controlling one.
  int flags = O_RDONLY | O_NOCTTY;
  if (access & GENERIC_WRITE) flags = (access & GENERIC_READ) ? O_RDWR : O_WRONLY;
  if (creation == TRUNCATE_EXISTING) flags |= O_TRUNC;
  if (creation == CREATE_ALWAYS) flags |= O_CREAT;
  // Opening for reading never waits: a FIFO in a file's place must not hang
  // the caller (regular files behave the same either way).
  if (!(access & GENERIC_WRITE)) flags |= O_NONBLOCK;
  // A new file only: never an existing one, never through a link.
  if (creation == CREATE_NEW) flags |= O_CREAT | O_EXCL;
  int fd;
  do {
    fd = open(narrow_lib(path).c_str(), flags | O_CLOEXEC, 0660);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return setLastErrorByErrNo(errno);
  {
    std::lock_guard<std::mutex> lock(g_handlePathsMutex);
    handlePaths()[fd] = path;
  }
  handle = toHandle(fd);
  return 0;
}

uint32_t FileSystem::ReadFile(HANDLE handle, void* buffer, uint32_t toRead, uint32_t* read,
                              _OVERLAPPED* overlapped) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::ReadFile, handle)) return fault;
  if (read == nullptr && overlapped == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (read == nullptr) return 0;
  *read = 0;
  char* bytes = static_cast<char*>(buffer);
  while (*read < toRead) {
    ssize_t n = ::read(toDescriptor(handle), bytes + *read, toRead - *read);
    if (n < 0) {
      if (errno == EINTR) continue;
      return setLastErrorByErrNo(errno);
    }
    if (n == 0) break;
    *read += static_cast<uint32_t>(n);
  }
  return 0;
}

uint32_t FileSystem::WriteFile(HANDLE handle, const void* data, uint32_t toWrite,
                               uint32_t* written, _OVERLAPPED* overlapped) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::WriteFile, handle)) return fault;
  if (written == nullptr && overlapped == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  if (written == nullptr) return 0;
  *written = 0;
  const char* bytes = static_cast<const char*>(data);
  while (*written < toWrite) {
    ssize_t n = write(toDescriptor(handle), bytes + *written, toWrite - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return setLastErrorByErrNo(errno);
    }
    // A write that makes no progress would loop for ever.
    if (n == 0) return failWith(ERROR_INVALID_PARAMETER);
    *written += static_cast<uint32_t>(n);
  }
  return 0;
}

uint32_t FileSystem::SetFilePointer(HANDLE handle, long distance, long* distanceHigh,
                                    uint32_t moveMethod) {
  const uint32_t kFailed = 0xFFFFFFFFu;
  ms_lastError = 0;
  if (injectedFault(FileOp::SetFilePointer, handle) != 0) return kFailed;
  if (isInvalid(handle)) {
    failWith(ERROR_INVALID_HANDLE);
    return kFailed;
  }
  int whence = SEEK_SET;
  if (moveMethod == FILE_CURRENT) whence = SEEK_CUR;
  if (moveMethod == FILE_END) whence = SEEK_END;
  int64_t offset = distance;
  if (distanceHigh != nullptr) {
    uint64_t high = static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32;
    offset = static_cast<int64_t>(high | static_cast<uint32_t>(distance));
  }
  off64_t position = lseek64(toDescriptor(handle), offset, whence);
  if (position < 0) {
    setLastErrorByErrNo(errno);
    if (distanceHigh != nullptr) *distanceHigh = -1;
    return kFailed;
  }
  if (distanceHigh != nullptr)
    *distanceHigh = static_cast<long>(static_cast<int32_t>(static_cast<uint64_t>(position) >> 32));
  return static_cast<uint32_t>(position);
}

uint32_t FileSystem::SetEndOfFile(HANDLE handle) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::SetEndOfFile, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  int fd = toDescriptor(handle);
  off64_t position = lseek64(fd, 0, SEEK_CUR);
  if (position < 0) return setLastErrorByErrNo(errno);
  int result;
  do {
    result = ftruncate64(fd, position);
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : setLastErrorByErrNo(errno);
}

uint32_t FileSystem::GetFileTime(HANDLE handle, _FILETIME* creation, _FILETIME* lastAccess,
                                 _FILETIME* lastWrite) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::GetFileTime, handle)) return fault;
  struct stat64 status;
  if (isInvalid(handle) || fstat64(toDescriptor(handle), &status) != 0)
    return failWith(ERROR_INVALID_HANDLE);
  if (creation != nullptr) *creation = EpochToFileTime(status.st_ctim.tv_sec);
  if (lastAccess != nullptr) *lastAccess = EpochToFileTime(status.st_atim.tv_sec);
  if (lastWrite != nullptr) *lastWrite = EpochToFileTime(status.st_mtim.tv_sec);
  return 0;
}

uint32_t FileSystem::SetFileTime(HANDLE handle, const _FILETIME* /*creation*/,
                                 const _FILETIME* /*lastAccess*/, const _FILETIME* lastWrite) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::SetFileTime, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  if (lastWrite == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  struct timespec time = {static_cast<time_t>(FileTimeToEpoch(*lastWrite)), 0};
  struct timespec times[2] = {time, time};
  if (futimens(toDescriptor(handle), times) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::CloseHandle(HANDLE handle) {
  if (uint32_t fault = injectedFault(FileOp::CloseHandle, handle)) return fault;
  int fd = toDescriptor(handle);
  {
    std::lock_guard<std::mutex> lock(g_handlePathsMutex);
    handlePaths().erase(fd);
  }
  // Never retried: on Linux the descriptor is gone even when close reports
  // EINTR, and a retry could close a descriptor another thread just opened.
  if (close(fd) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::GetFileSize(const std::u16string& path, uint32_t* size) {
  if (uint32_t fault = injectedFault(FileOp::GetFileSize, path)) return fault;
  if (size == nullptr) return 1;
  struct stat64 status;
  if (stat64(narrow_lib(path).c_str(), &status) != 0) return 1;
  *size = saturate32(static_cast<uint64_t>(status.st_size));
  return 0;
}

uint32_t FileSystem::GetTempPath(std::u16string& result) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::GetTempPath, std::u16string())) return fault;
  result = temporaryDirectory();
  return 0;
}

uint32_t FileSystem::GetTempFileName(const std::u16string& directory, const std::u16string& prefix,
                                     std::u16string& result) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::GetTempFileName, directory)) return fault;
  std::string folder = narrow_lib(directory);
  if (folder.empty() || !isDirectory(folder)) folder = narrow_lib(temporaryDirectory());
  std::string start = with_trailing_separator(folder) + narrow_lib(shortPrefix(prefix));
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = start + randomSuffix();
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      result = widen_lib(name);
      return 0;
    }
    if (errno != EEXIST && errno != EINTR) break;
  }
  // No name is handed out: the caller must not delete a file it did not make.
  result.clear();
  return failWith(ERROR_CANTWRITE);
}

uint32_t FileSystem::CreateTempDirectory(const std::u16string& directory,
                                         const std::u16string& prefix, std::u16string& result) {
  ms_lastError = 0;
  result.clear();
  if (uint32_t fault = injectedFault(FileOp::CreateTempDirectory, directory)) return fault;
  const std::string folder = narrow_lib(directory);
  if (folder.empty()) return failWith(ERROR_INVALID_NAME);
  const std::string start = with_trailing_separator(folder) + narrow_lib(prefix);
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && (error == EEXIST || error == EINTR); ++attempt) {
    const std::string name = start + unpredictableSuffix();
    if (mkdir(name.c_str(), 0700) == 0) {
      result = widen_lib(name);
      return 0;
    }
    error = errno;
  }
  return setLastErrorByErrNo(error);
}

uint32_t FileSystem::CreateUnnamedFile(const std::u16string& directory, HANDLE& handle) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CreateUnnamedFile, directory)) return fault;
  const std::string narrow = narrow_lib(directory);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  int fd;
  do {
    fd = open(narrow.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A kernel that predates O_TMPFILE opens the directory itself, which it
    // refuses for writing (EISDIR).
    if (errno == EOPNOTSUPP || errno == EISDIR) return failWith(ERROR_NOT_SUPPORTED);
    return setLastErrorByErrNo(errno);
  }
  {
    std::lock_guard<std::mutex> lock(g_handlePathsMutex);
    handlePaths()[fd] = directory;
  }
  handle = toHandle(fd);
  return 0;
}

uint32_t FileSystem::LinkUnnamedFile(HANDLE handle, const std::u16string& newName) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::LinkUnnamedFile, newName)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  const std::string name = narrow_lib(newName);
  if (name.empty()) return failWith(ERROR_INVALID_NAME);
  const int fd = toDescriptor(handle);
  // The file's entry under /proc names it without a privilege; where /proc
  // is not mounted, the descriptor itself (which needs one).
  const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  int error = errno;
  if (error == ENOENT && access("/proc/self/fd", F_OK) != 0) {
    if (linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    error = errno;
  }
  return setLastErrorByErrNo(error);
}

namespace {

// Bytes an ordinary user may still write on the file system of `path`:
// blocks reserved for the superuser are not counted, as the wizard runs as
// an ordinary user. 0 or the errno of statvfs.
int freeBytesAt(const std::string& path, uint64_t& freeBytes) {
  freeBytes = 0;
  struct statvfs64 status;
  if (statvfs64(path.c_str(), &status) != 0) return errno;
  const unsigned __int128 bytes = static_cast<unsigned __int128>(status.f_frsize) * status.f_bavail;
  freeBytes = bytes > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(bytes);
  return 0;
}

}  // namespace

uint32_t FileSystem::GetFreeSpaceTmpDir(uint32_t* freeBytes) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::GetFreeSpaceTmpDir, std::u16string())) return fault;
  if (freeBytes == nullptr) return failWith(ERROR_INVALID_PARAMETER);
  *freeBytes = 0;
  std::string directory = narrow_lib(temporaryDirectory());
  if (directory.empty()) return failWith(ERROR_INVALID_NAME);
  uint64_t bytes = 0;
  // A file system that cannot be asked is an error, never "0 bytes free".
  if (const int error = freeBytesAt(directory, bytes)) return setLastErrorByErrNo(error);
  *freeBytes = saturate32(bytes);
  return 0;
}

uint32_t FileSystem::GetFreeSpace(const std::u16string& path, uint64_t& freeBytes) {
  ms_lastError = 0;
  freeBytes = 0;
  if (uint32_t fault = injectedFault(FileOp::GetFreeSpace, path)) return fault;
  const std::string narrow = narrow_lib(path);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  if (const int error = freeBytesAt(narrow, freeBytes)) return setLastErrorByErrNo(error);
  return 0;
}

uint32_t FileSystem::CreateDirectory(const std::u16string& path) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CreateDirectory, path)) return fault;
  std::string narrow = narrow_lib(path);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  // Every prefix ending before a "/" is a parent; repeated slashes are
  // skipped, and the whole path comes last. Each prefix is the path itself,
  // cut for the moment by a terminating zero: no copy per level.
  for (size_t end = 1; end <= narrow.size(); ++end) {
    if (end < narrow.size() && narrow[end] != '/') continue;
    if (narrow[end - 1] == '/') continue;
    const char saved = narrow[end];
    narrow[end] = '\0';
    const int error = makeOneDirectory(narrow.c_str());
    narrow[end] = saved;
    if (error != 0) return setLastErrorByErrNo(error);
  }
  return 0;
}

uint32_t FileSystem::RemoveDirectory(const std::u16string& path) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::RemoveDirectory, path)) return fault;
  std::string narrow = narrow_lib(path);
  if (narrow.empty()) return 0;
  const int error = removeTree(narrow);
  return error != 0 ? setLastErrorByErrNo(error) : 0;
}

uint32_t FileSystem::MoveFile(const std::u16string& existing, const std::u16string& target) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::MoveFile, existing)) return fault;
  std::string source = narrow_lib(existing);
  std::string destination = narrow_lib(target);
  int error = 0;
  if (rename(source.c_str(), destination.c_str()) != 0) error = errno;
  if (error == EXDEV) error = moveAcrossFileSystems(source, destination);
  if (error == 0) return 0;
  // 2 means "the source is missing" (callers take it as nothing to back up),
  // never a missing destination directory.
  struct stat64 status;
  const bool sourceMissing = lstat64(source.c_str(), &status) != 0 && errno == ENOENT;
  if (sourceMissing) return failWith(ERROR_FILE_NOT_FOUND);
  // The destination's folder is missing.
  if (error == ENOENT) return failWith(ERROR_PATH_NOT_FOUND);
  return setLastErrorByErrNo(error);
}

uint32_t FileSystem::DeleteFile(const std::u16string& path) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::DeleteFile, path)) return fault;
  std::string narrow = narrow_lib(path);
  if (narrow.empty()) return 0;
  if (unlink(narrow.c_str()) != 0 && errno != ENOENT) return setLastErrorByErrNo(errno);
  return 0;
}

// ---- Locks, syncs and single-step operations ------------------------------

namespace {

FileKind kindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISLNK(mode)) return FileKind::kSymbolicLink;
  return FileKind::kOther;
}

FileStatus statusOf(const struct stat64& found) {
  FileStatus status;
  status.kind = kindOf(found.st_mode);
  status.mode = static_cast<uint32_t>(found.st_mode & 07777);
  status.owner = static_cast<uint32_t>(found.st_uid);
  status.group = static_cast<uint32_t>(found.st_gid);
  status.size = static_cast<uint64_t>(found.st_size);
  status.device = static_cast<uint64_t>(found.st_dev);
  status.inode = static_cast<uint64_t>(found.st_ino);
  status.times.accessSeconds = found.st_atim.tv_sec;
  status.times.accessNanoseconds = found.st_atim.tv_nsec;
  status.times.writeSeconds = found.st_mtim.tv_sec;
  status.times.writeNanoseconds = found.st_mtim.tv_nsec;
  status.changeSeconds = found.st_ctim.tv_sec;
  status.changeNanoseconds = found.st_ctim.tv_nsec;
  return status;
}

// Runs `call` again while it is interrupted by a signal.
template <typename Call>
int retryInterrupted(Call call) {
  int result;
  do {
    result = call();
  } while (result != 0 && errno == EINTR);
  return result;
}

// Opens a directory for syncing; -1 with errno on failure.
int openDirectory(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

uint32_t FileSystem::LockFileEx(HANDLE handle, uint32_t flags, uint32_t /*reserved*/,
                                uint32_t /*lowBytes*/, uint32_t /*highBytes*/,
                                _OVERLAPPED* /*overlapped*/) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::LockFileEx, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  int operation = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? LOCK_EX : LOCK_SH;
  if (flags & LOCKFILE_FAIL_IMMEDIATELY) operation |= LOCK_NB;
  int fd = toDescriptor(handle);
  if (retryInterrupted([&] { return flock(fd, operation); }) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::UnlockFileEx(HANDLE handle, uint32_t /*reserved*/, uint32_t /*lowBytes*/,
                                  uint32_t /*highBytes*/, _OVERLAPPED* /*overlapped*/) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::UnlockFileEx, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  int fd = toDescriptor(handle);
  if (retryInterrupted([&] { return flock(fd, LOCK_UN); }) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::FlushFileBuffers(HANDLE handle) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::FlushFileBuffers, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  int fd = toDescriptor(handle);
  if (retryInterrupted([&] { return fsync(fd); }) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::StartWriteBack(HANDLE handle) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::StartWriteBack, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  if (retryInterrupted([&] { return sync_file_range(toDescriptor(handle), 0, 0, SYNC_FILE_RANGE_WRITE); }) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::FlushDirectory(const std::u16string& path) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::FlushDirectory, path)) return fault;
  int fd = openDirectory(narrow_lib(path));
  if (fd < 0) return setLastErrorByErrNo(errno);
  int error = retryInterrupted([&] { return fsync(fd); }) != 0 ? errno : 0;
  close(fd);
  // Some file systems cannot sync a directory at all; their listing is as
  // durable as it gets.
  if (error == EINVAL || error == EROFS) error = 0;
  return error == 0 ? 0 : setLastErrorByErrNo(error);
}

uint32_t FileSystem::FlushFileSystem(const std::u16string& path) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::FlushFileSystem, path)) return fault;
  std::string narrow = narrow_lib(path);
  int fd;
  do {
    fd = open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return setLastErrorByErrNo(errno);
  int error = retryInterrupted([&] { return syncfs(fd); }) != 0 ? errno : 0;
  close(fd);
  return error == 0 ? 0 : setLastErrorByErrNo(error);
}

uint32_t FileSystem::MoveFileEx(const std::u16string& existing, const std::u16string& target,
                                uint32_t flags) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::MoveFileEx, existing)) return fault;
  std::string source = narrow_lib(existing);
  std::string destination = narrow_lib(target);
  int error = 0;
  if (flags & MOVEFILE_REPLACE_EXISTING) {
    if (rename(source.c_str(), destination.c_str()) != 0) error = errno;
  } else if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(),
                       RENAME_NOREPLACE) != 0) {
    error = errno;
  }
  if (error == EXDEV && (flags & MOVEFILE_COPY_ALLOWED)) {
    struct stat64 status;
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && lstat64(destination.c_str(), &status) == 0)
      error = EEXIST;
    else
      error = moveAcrossFileSystems(source, destination);
  }
  return error == 0 ? 0 : setLastErrorByErrNo(error);
}

uint32_t FileSystem::CreateHardLink(const std::u16string& existing, const std::u16string& newName) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CreateHardLink, existing)) return fault;
  if (linkat(AT_FDCWD, narrow_lib(existing).c_str(), AT_FDCWD, narrow_lib(newName).c_str(), 0) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::GetFileStatus(const std::u16string& path, bool followLink,
                                   FileStatus& status) {
  ms_lastError = 0;
  status = FileStatus();
  if (uint32_t fault = injectedFault(FileOp::GetFileStatus, path)) return fault;
  std::string narrow = narrow_lib(path);
  if (narrow.empty()) return 0;
  struct stat64 found;
  int result = followLink ? stat64(narrow.c_str(), &found) : lstat64(narrow.c_str(), &found);
  if (result != 0) {
    // A missing entry (or a link to one, when following) is an answer.
    if (errno == ENOENT) return 0;
    return setLastErrorByErrNo(errno);
  }
  status = statusOf(found);
  return 0;
}

// The looking ahead of one batch: each slot is taken by the planner (from
// the front) or the helper (from the back), whichever comes first.
struct FolderStatusLookup::LookAhead {
  enum : uint8_t { kFree, kPlanner, kHelper, kDone };
  struct Answer {
    int error = 0;  // errno of the look, 0 when it found something
    struct stat64 found;
  };
  LookAhead(std::vector<std::u16string> looked, size_t most)
      : paths(std::move(looked)), states(new std::atomic<uint8_t>[paths.size()]()), answers(paths.size()),
        holders(most) {}
  std::vector<std::u16string> paths;
  std::unique_ptr<std::atomic<uint8_t>[]> states;
  std::vector<Answer> answers;
  Holders holders;  // the helper's own
  std::atomic<bool> stop{false};
  std::thread helper;
};

FolderStatusLookup::FolderStatusLookup(const std::u16string& folder, size_t maxOpenFolders)
    : maxOpenFolders_(maxOpenFolders), holders_(maxOpenFolders) {
  setFolder(folder);
}

FolderStatusLookup::~FolderStatusLookup() { forget(); }

void FolderStatusLookup::setFolder(const std::u16string& folder) {
  forget();
  wideFolder_ = folder;
  while (wideFolder_.size() > 1 && wideFolder_.back() == u'/') wideFolder_.pop_back();
  folderPath_ = narrow_lib(wideFolder_);
}

void FolderStatusLookup::stopLookingAhead() {
  if (ahead_ == nullptr) return;
  ahead_->stop = true;
  if (ahead_->helper.joinable()) ahead_->helper.join();
  ahead_.reset();
}

void FolderStatusLookup::forget() {
  stopLookingAhead();
  holders_.close();
  if (folder_ >= 0) close(folder_);
  folder_ = -1;
}

size_t FolderStatusLookup::defaultMaxOpenFolders() {
  static const size_t most = [] {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return size_t(1024);
    return std::min<size_t>(1024, size_t(limit.rlim_cur / 4));
  }();
  return most;
}

void FolderStatusLookup::Holders::close() {
  for (const auto& holder : open_)
    if (holder.second >= 0) ::close(holder.second);
  open_.clear();
  count_ = 0;
}

int FolderStatusLookup::Holders::holderOf(int folder, const std::string& relative, const char*& name) {
  name = relative.c_str();
  const size_t slash = relative.rfind('/');
  // A name right in the folder, or a path ending in "/" (a folder's own
  // look, which the walk from the folder answers).
  if (slash == std::string::npos || slash + 1 == relative.size()) return folder;
  const std::string parent = relative.substr(0, slash);
  auto known = open_.find(parent);
  if (known == open_.end()) {
    if (count_ >= most_) return folder;
    // Opened as the walk would pass it: links followed, a file or a
    // missing folder refused (and then answered by the walk itself).
    const int opened = openat(folder, parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (opened >= 0) ++count_;
    known = open_.emplace(parent, opened).first;
  }
  if (known->second < 0) return folder;
  name = relative.c_str() + slash + 1;
  return known->second;
}

bool FolderStatusLookup::isBelow(const std::u16string& path, std::u16string_view& relative) const {
  const size_t base = wideFolder_.size();
  if (base <= 1 || path.size() <= base + 1 || path[base] != u'/' || path[base + 1] == u'/' ||
      path.compare(0, base, wideFolder_) != 0)
    return false;
  relative = std::u16string_view(path).substr(base + 1);
  return true;
}

bool FolderStatusLookup::openFolder() {
  if (folder_ < 0 && wideFolder_.size() > 1) folder_ = open(folderPath_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return folder_ >= 0;
}

bool FolderStatusLookup::below(const std::u16string& path, std::u16string_view& relative) {
  // Should the folder not open, the whole path gives the answer and error.
  return isBelow(path, relative) && openFolder();
}

namespace {

uint32_t status_answer(int result, int error, const struct stat64& found, FileStatus& status) {
  if (result != 0) {
    // A missing entry (or a link to one, when following) is an answer.
    if (error == ENOENT) return 0;
    return setLastErrorByErrNo(error);
  }
  status = statusOf(found);
  return 0;
}

}  // namespace

uint32_t FolderStatusLookup::status(const std::u16string& path, bool followLink, FileStatus& status) {
  FileSystem::ms_lastError = 0;
  status = FileStatus();
  if (uint32_t fault = injectedFault(FileOp::GetFileStatus, path)) return fault;
  std::u16string_view relative;
  const bool fromFolder = below(path, relative);
  narrow_into(fromFolder ? relative : std::u16string_view(path), relative_);
  const char* name = relative_.c_str();
  const int holder = fromFolder ? holders_.holderOf(folder_, relative_, name) : AT_FDCWD;
  struct stat64 found;
  const int result = fstatat64(holder, name, &found, followLink ? 0 : AT_SYMLINK_NOFOLLOW);
  return status_answer(result, errno, found, status);
}

uint32_t FolderStatusLookup::status(const std::u16string& path, bool followLink, FileStatus& status,
                                    size_t slot) {
  LookAhead* ahead = ahead_.get();
  if (followLink || ahead == nullptr || slot >= ahead->paths.size() || ahead->paths[slot] != path)
    return this->status(path, followLink, status);
  uint8_t state = LookAhead::kFree;
  if (ahead->states[slot].compare_exchange_strong(state, LookAhead::kPlanner) || state == LookAhead::kPlanner)
    return this->status(path, false, status);
  // The helper has it (a single look): its answer, after the fault hook.
  while (state != LookAhead::kDone) {
    sched_yield();
    state = ahead->states[slot].load(std::memory_order_acquire);
  }
  FileSystem::ms_lastError = 0;
  status = FileStatus();
  if (uint32_t fault = injectedFault(FileOp::GetFileStatus, path)) return fault;
  const LookAhead::Answer& answer = ahead->answers[slot];
  return status_answer(answer.error == 0 ? 0 : -1, answer.error, answer.found, status);
}

void FolderStatusLookup::lookAheadAt(std::vector<std::u16string> paths) {
  stopLookingAhead();
  if (paths.empty() || !openFolder()) return;
  ahead_.reset(new LookAhead(std::move(paths), maxOpenFolders_));
  LookAhead* ahead = ahead_.get();
  const int folder = folder_;
  const int starter = current_core();
  ahead->helper = std::thread([this, ahead, folder, starter] {
    move_away_from_core(starter);
    std::string relative;
    for (size_t slot = ahead->paths.size(); slot-- > 0 && !ahead->stop.load(std::memory_order_relaxed);) {
      uint8_t state = LookAhead::kFree;
      if (!ahead->states[slot].compare_exchange_strong(state, LookAhead::kHelper)) break;  // met the planner
      LookAhead::Answer& answer = ahead->answers[slot];
      const std::u16string& path = ahead->paths[slot];
      std::u16string_view below;
      const bool under = isBelow(path, below);
      narrow_into(under ? below : std::u16string_view(path), relative);
      const char* name = relative.c_str();
      const int holder = under ? ahead->holders.holderOf(folder, relative, name) : AT_FDCWD;
      answer.error = fstatat64(holder, name, &answer.found, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
      ahead->states[slot].store(LookAhead::kDone, std::memory_order_release);
    }
  });
}

uint32_t FileSystem::GetHandleStatus(HANDLE handle, FileStatus& status) {
  ms_lastError = 0;
  status = FileStatus();
  if (uint32_t fault = injectedFault(FileOp::GetHandleStatus, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  struct stat64 found;
  if (fstat64(toDescriptor(handle), &found) != 0) return setLastErrorByErrNo(errno);
  status = statusOf(found);
  return 0;
}

uint32_t FileSystem::MapFile(HANDLE handle, uint64_t size, const uint8_t*& data) {
  ms_lastError = 0;
  data = nullptr;
  if (uint32_t fault = injectedFault(FileOp::MapFile, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  if (size == 0 || size > SIZE_MAX) return failWith(ERROR_INVALID_PARAMETER);
  void* address = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, toDescriptor(handle), 0);
  if (address == MAP_FAILED) return setLastErrorByErrNo(errno);
  data = static_cast<const uint8_t*>(address);
  return 0;
}

void FileSystem::UnmapFile(const uint8_t* data, uint64_t size) {
  if (data != nullptr) munmap(const_cast<uint8_t*>(data), size_t(size));
}

namespace {

// What stands at `name` in the open directory: the listing's own word when
// the file system gives one, else a look at the entry itself. kMissing when
// it went meanwhile.
FileKind entryKind(DIR* dir, const struct dirent64& entry) {
  switch (entry.d_type) {
    case DT_REG:
      return FileKind::kRegular;
    case DT_DIR:
      return FileKind::kDirectory;
    case DT_LNK:
      return FileKind::kSymbolicLink;
    case DT_UNKNOWN:
      break;
    default:
      return FileKind::kOther;
  }
  struct stat64 status;
  if (fstatat64(dirfd(dir), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
    return FileKind::kMissing;
  return kindOf(status.st_mode);
}

}  // namespace

uint32_t FileSystem::ListDirectory(const std::u16string& path,
                                   std::vector<DirectoryEntry>& entries) {
  ms_lastError = 0;
  entries.clear();
  if (uint32_t fault = injectedFault(FileOp::ListDirectory, path)) return fault;
  const std::string narrow = narrow_lib(path);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  DIR* dir = opendir(narrow.c_str());
  if (dir == nullptr) return setLastErrorByErrNo(errno);
  int error = 0;
  for (;;) {
    errno = 0;
    const struct dirent64* entry = readdir64(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    DirectoryEntry found;
    found.name = widen_lib(entry->d_name);
    found.kind = entryKind(dir, *entry);
    if (found.name.empty() || found.kind == FileKind::kMissing) continue;
    entries.push_back(found);
  }
  closedir(dir);
  if (error == 0) return 0;
  entries.clear();
  return setLastErrorByErrNo(error);
}

uint32_t FileSystem::GetCurrentDirectory(std::u16string& path) {
  ms_lastError = 0;
  path.clear();
  if (uint32_t fault = injectedFault(FileOp::GetCurrentDirectory, std::u16string())) return fault;
  char* current = getcwd(nullptr, 0);
  if (current == nullptr) return setLastErrorByErrNo(errno);
  path = widen_lib(current);
  free(current);
  // A folder whose name has no wide form cannot be named back.
  return path.empty() ? failWith(ERROR_INVALID_NAME) : 0;
}

uint32_t FileSystem::GetFinalPathName(const std::u16string& path, std::u16string& resolved) {
  ms_lastError = 0;
  resolved.clear();
  if (uint32_t fault = injectedFault(FileOp::GetFinalPathName, path)) return fault;
  const std::string narrow = narrow_lib(path);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  char* real = realpath(narrow.c_str(), nullptr);
  if (real == nullptr) return setLastErrorByErrNo(errno);
  resolved = widen_lib(real);
  free(real);
  return 0;
}

uint32_t FileSystem::ReadLink(const std::u16string& path, std::u16string& target) {
  ms_lastError = 0;
  target.clear();
  if (uint32_t fault = injectedFault(FileOp::ReadLink, path)) return fault;
  const std::string narrow = narrow_lib(path);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  std::string buffer(PATH_MAX, '\0');
  const ssize_t length = readlink(narrow.c_str(), &buffer[0], buffer.size());
  if (length < 0) return setLastErrorByErrNo(errno);
  if (size_t(length) >= buffer.size()) return failWith(ERROR_FILENAME_EXCED_RANGE);
  buffer.resize(size_t(length));
  target = widen_lib(buffer);
  return 0;
}

uint32_t FileSystem::CreateOneDirectory(const std::u16string& path, uint32_t mode) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CreateOneDirectory, path)) return fault;
  std::string narrow = narrow_lib(path);
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  if (mkdir(narrow.c_str(), static_cast<mode_t>(mode & 07777)) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::RemoveEmptyDirectory(const std::u16string& path) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::RemoveEmptyDirectory, path)) return fault;
  std::string narrow = without_trailing_separator(narrow_lib(path));
  if (narrow.empty()) return failWith(ERROR_FILE_NOT_FOUND);
  // rmdir of "link/" would remove the directory the link points to.
  struct stat64 status;
  if (lstat64(narrow.c_str(), &status) != 0) return setLastErrorByErrNo(errno);
  if (!S_ISDIR(status.st_mode)) return failWith(ERROR_INVALID_PARAMETER);
  if (rmdir(narrow.c_str()) != 0) {
    // Linux may say EEXIST for a directory that is not empty.
    return failWith(errno == EEXIST || errno == ENOTEMPTY ? uint32_t(ERROR_DIR_NOT_EMPTY)
                                                          : errorFromErrNo(errno));
  }
  return 0;
}

uint32_t FileSystem::SetPathTimes(const std::u16string& path, const FileTimes& times) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::SetPathTimes, path)) return fault;
  struct timespec values[2];
  values[0].tv_sec = static_cast<time_t>(times.accessSeconds);
  values[0].tv_nsec = static_cast<long>(times.accessNanoseconds);
  values[1].tv_sec = static_cast<time_t>(times.writeSeconds);
  values[1].tv_nsec = static_cast<long>(times.writeNanoseconds);
  if (utimensat(AT_FDCWD, narrow_lib(path).c_str(), values, AT_SYMLINK_NOFOLLOW) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::CheckAccess(const std::u16string& path, uint32_t mode) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CheckAccess, path)) return fault;
  int wanted = F_OK;
  if (mode & FILE_ACCESS_READ) wanted |= R_OK;
  if (mode & FILE_ACCESS_WRITE) wanted |= W_OK;
  if (mode & FILE_ACCESS_SEARCH) wanted |= X_OK;
  if (access(narrow_lib(path).c_str(), wanted) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::CheckReadAccess(const std::u16string& path, const FileStatus& seen) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::CheckAccess, path)) return fault;
  // access(2) answers for the real user; so does this.
  // The process never changes its user: asked once, not for every entry.
  static const uint32_t self = uint32_t(getuid());
  if (seen.exists() && seen.owner == self && (seen.mode & S_IRUSR) != 0) return 0;
  if (access(narrow_lib(path).c_str(), R_OK) != 0) return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::SetPathMode(const std::u16string& path, uint32_t mode) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::SetPathMode, path)) return fault;
  if (chmod(narrow_lib(path).c_str(), static_cast<mode_t>(mode & 0777)) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::SetFileMode(HANDLE handle, uint32_t mode) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::SetFileMode, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  if (fchmod(toDescriptor(handle), static_cast<mode_t>(mode & 07777)) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}

uint32_t FileSystem::SetFileOwner(HANDLE handle, uint32_t owner, uint32_t group) {
  ms_lastError = 0;
  if (uint32_t fault = injectedFault(FileOp::SetFileOwner, handle)) return fault;
  if (isInvalid(handle)) return failWith(ERROR_INVALID_HANDLE);
  if (fchown(toDescriptor(handle), static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0)
    return setLastErrorByErrNo(errno);
  return 0;
}
