// A file API in the style of the Win32 file functions, on POSIX.
//
// FileSystem is a collection of static operations so that it can serve as
// the policy type of the kit reader. Operations return 0 on success or a
// Win32 error number (see platform/errors.h), which callers take from the
// result; the last one of the calling thread is also kept in
// FileSystem::ms_lastError for SetFilePointer, whose result is a position.
// No operation runs a shell.
#ifndef OVN8_PLATFORM_FILE_SYSTEM_H_
#define OVN8_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"

typedef void* HANDLE;
// The invalid handle is all ones.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// 100-nanosecond intervals since 1601-01-01 UTC, low word first.
struct _FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};
// Seconds from 1601-01-01 to 1970-01-01, and _FILETIME intervals a second.
constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600LL;
constexpr uint64_t kFileTimeIntervalsPerSecond = 10000000ULL;

// Opaque; only ever passed as a pointer and never read.
struct _OVERLAPPED;

// Access rights, creation dispositions and move methods.
enum : uint32_t {
  GENERIC_READ = 0x80000000u,
  GENERIC_WRITE = 0x40000000u,
};
enum : uint32_t {
  CREATE_NEW = 1,
  CREATE_ALWAYS = 2,
  OPEN_EXISTING = 3,
  OPEN_ALWAYS = 4,
  TRUNCATE_EXISTING = 5,
};
enum : uint32_t {
  FILE_BEGIN = 0,
  FILE_CURRENT = 1,
  FILE_END = 2,
};
// Attribute bit that FileFinder::attributes reports for directories.
enum : uint32_t { FILE_ATTRIBUTE_DIRECTORY = 16 };
// LockFileEx flags.
enum : uint32_t {
  LOCKFILE_FAIL_IMMEDIATELY = 1,
  LOCKFILE_EXCLUSIVE_LOCK = 2,
};
// MoveFileEx flags. Without MOVEFILE_REPLACE_EXISTING an existing
// destination is never replaced; without MOVEFILE_COPY_ALLOWED a move
// between file systems fails instead of copying.
enum : uint32_t {
  MOVEFILE_REPLACE_EXISTING = 1,
  MOVEFILE_COPY_ALLOWED = 2,
};
// Access checks of CheckAccess (the values of access(2)); SEARCH is
// entering a directory.
enum : uint32_t {
  FILE_ACCESS_EXISTS = 0,
  FILE_ACCESS_SEARCH = 1,
  FILE_ACCESS_WRITE = 2,
  FILE_ACCESS_READ = 4,
};

// What stands at a path. Times are seconds since 1970 and nanoseconds.
enum class FileKind { kMissing, kRegular, kDirectory, kSymbolicLink, kOther };
struct FileTimes {
  int64_t accessSeconds = 0;
  int64_t accessNanoseconds = 0;
  int64_t writeSeconds = 0;
  int64_t writeNanoseconds = 0;
};
struct FileStatus {
  FileKind kind = FileKind::kMissing;
  uint32_t mode = 0;  // permission bits (07777)
  uint32_t owner = 0;
  uint32_t group = 0;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  FileTimes times;
  // The status-change time: moved by every write, rename or change of mode,
  // and never set by a user.
  int64_t changeSeconds = 0;
  int64_t changeNanoseconds = 0;
  bool exists() const { return kind != FileKind::kMissing; }
  bool isDirectory() const { return kind == FileKind::kDirectory; }
};

// A name in a directory's listing and what stands there (a link itself).
struct DirectoryEntry {
  std::u16string name;
  FileKind kind = FileKind::kOther;
};

// The operations a fault hook can fail (see FileSystem::SetFaultHook).
enum class FileOp {
  CreateFile,
  ReadFile,
  WriteFile,
  SetFilePointer,
  SetEndOfFile,
  GetFileTime,
  SetFileTime,
  CloseHandle,
  GetFileSize,
  GetTempPath,
  GetTempFileName,
  GetFreeSpaceTmpDir,
  CreateDirectory,
  RemoveDirectory,
  MoveFile,
  DeleteFile,
  LockFileEx,
  UnlockFileEx,
  FlushFileBuffers,
  FlushDirectory,
  FlushFileSystem,
  MoveFileEx,
  GetFileStatus,
  CreateOneDirectory,
  RemoveEmptyDirectory,
  SetPathTimes,
  CheckAccess,
  SetFileMode,
  SetFileOwner,
  CreateHardLink,
  GetFinalPathName,
  CreateTempDirectory,
  CreateUnnamedFile,
  LinkUnnamedFile,
  GetHandleStatus,
  ReadLink,
  GetFreeSpace,
  MapFile,
  ListDirectory,
  GetCurrentDirectory,
  SetPathMode,
  StartWriteBack,
};

// A fault hook is asked before each operation runs; a non-zero answer is
// returned as that operation's error (and becomes the last error) without
// touching the file system; SetFilePointer then returns 0xFFFFFFFF. Tests
// use it to fail the k-th operation (see platform/file_fault_injector.h).
// `path` is the operation's path: the source for MoveFile, the directory for
// GetTempFileName, CreateTempDirectory and CreateUnnamedFile, the new name
// for LinkUnnamedFile, the path a handle was opened with for operations on
// a handle (the directory for an unnamed file), and empty for GetTempPath,
// GetFreeSpaceTmpDir and GetCurrentDirectory. Operations of several threads
// ask the hook one at a time.
typedef uint32_t (*FileFaultHook)(FileOp op, const std::u16string& path, void* context);

class FileSystem {
 public:
  // Access GENERIC_WRITE opens for writing (with GENERIC_READ for both),
  // otherwise for reading. TRUNCATE_EXISTING empties the file; CREATE_ALWAYS
  // creates a missing file but keeps an existing one's contents (writers cut
  // it with SetEndOfFile); CREATE_NEW creates a file that must not exist yet
  // (183 when anything, a link included, has that name); the other
  // dispositions open existing files only.
  // The share mode is ignored. New files get mode 0660 before the umask.
  // Opening for reading only never blocks (a FIFO opens at once).
  static uint32_t CreateFile(const std::u16string& path, uint32_t access, uint32_t share,
                             uint32_t creation, HANDLE& handle);
  // Reads until `toRead` bytes arrived or the file ended; a short count at
  // the end of the file is success. A null `read` with a non-null
  // `overlapped` reads nothing and returns 0; both null give 87.
  static uint32_t ReadFile(HANDLE handle, void* buffer, uint32_t toRead, uint32_t* read,
                           _OVERLAPPED* overlapped);
  // Writes the whole count or reports an error; `written` tells how many
  // bytes reached the file.
  static uint32_t WriteFile(HANDLE handle, const void* data, uint32_t toWrite,
                            uint32_t* written, _OVERLAPPED* overlapped);
  // Returns the low 32 bits of the new position, or 0xFFFFFFFF on failure
  // (the last error tells the reason). With `distanceHigh` the offset is
  // the 64-bit value high:low (low = the low 32 bits of `distance`) and the
  // high part of the new position is stored back; without it `distance` is
  // the offset.
  static uint32_t SetFilePointer(HANDLE handle, long distance, long* distanceHigh,
                                 uint32_t moveMethod);
  static uint32_t SetEndOfFile(HANDLE handle);
  // Whole seconds; "creation" is the status-change time. Null outputs are
  // skipped.
  static uint32_t GetFileTime(HANDLE handle, _FILETIME* creation, _FILETIME* lastAccess,
                              _FILETIME* lastWrite);
  // Sets both the access and the modification time to `lastWrite` (whole
  // seconds); the other two are ignored. Without `lastWrite`: 87.
  static uint32_t SetFileTime(HANDLE handle, const _FILETIME* creation,
                              const _FILETIME* lastAccess, const _FILETIME* lastWrite);
  static uint32_t CloseHandle(HANDLE handle);
  // Sizes of 4 GiB and more saturate at 0xFFFFFFFF. Returns 1 on any
  // failure and leaves the last error alone.
  static uint32_t GetFileSize(const std::u16string& path, uint32_t* size);
  // The temporary directory: TMPDIR when it names an existing directory,
  // else /tmp; always ending in "/".
  static uint32_t GetTempPath(std::u16string& result);
  // Creates a new empty file (mode 0600) named by at most five characters of
  // `prefix` and six generated ones, in `directory` when that is an existing
  // directory, else in the directory of GetTempPath. Never reuses an
  // existing name. 1013 (and an empty result) when no file could be made.
  static uint32_t GetTempFileName(const std::u16string& directory, const std::u16string& prefix,
                                  std::u16string& result);
  // Creates a new directory with mode 0700 in the existing `directory`,
  // named `prefix` and six characters drawn from the system's random
  // source, so that nobody can make its name beforehand; an existing name
  // is never taken. 0 with the path (no trailing "/") in `result`;
  // otherwise the error and an empty `result`.
  static uint32_t CreateTempDirectory(const std::u16string& directory,
                                      const std::u16string& prefix, std::u16string& result);
  // Creates a file without a name (O_TMPFILE, mode 0600) on the file
  // system of `directory`, open for reading and writing: it vanishes with
  // its last handle unless LinkUnnamedFile names it, so a crash leaves
  // nothing. 50 (ERROR_NOT_SUPPORTED) where the file system or the kernel
  // cannot make one; otherwise the error of creating a file there.
  static uint32_t CreateUnnamedFile(const std::u16string& directory, HANDLE& handle);
  // Gives the unnamed file of `handle` the name `newName` in the directory
  // it was made for (183 when `newName` exists).
  static uint32_t LinkUnnamedFile(HANDLE handle, const std::u16string& newName);
  // The status of the open file (fstat).
  static uint32_t GetHandleStatus(HANDLE handle, FileStatus& status);
  // Maps the first `size` bytes of the open file read-only and private;
  // `data` is their address until UnmapFile. A size of 0 gives 87 (nothing
  // can be mapped); on failure `data` is null.
  static uint32_t MapFile(HANDLE handle, uint64_t size, const uint8_t*& data);
  // Ends a mapping made by MapFile (of the same size); null does nothing.
  static void UnmapFile(const uint8_t* data, uint64_t size);
  // Bytes an ordinary user may still write in the temporary directory,
  // saturating at 0xFFFFFFFF. Null: 87; a file system that cannot be asked
  // gives its error (and 0 bytes).
  static uint32_t GetFreeSpaceTmpDir(uint32_t* freeBytes);
  // Bytes an ordinary user may still write on the file system that holds
  // the existing `path` (statvfs; blocks kept for the superuser are not
  // counted). On failure the error and 0 bytes.
  static uint32_t GetFreeSpace(const std::u16string& path, uint64_t& freeBytes);
  // Creates the directory and its missing parents; an existing directory is
  // success. A failure gives the errno-mapped error of the level that could
  // not be made (183 when something other than a directory is in the way).
  static uint32_t CreateDirectory(const std::u16string& path);
  // Removes the file, link or whole directory tree at `path` without ever
  // following a symbolic link; "/", "." and ".." are refused. 0 when nothing
  // is left (a missing path is success); otherwise the first error met, after
  // removing what could be removed.
  static uint32_t RemoveDirectory(const std::u16string& path);
  // Renames, replacing an existing destination file; across file systems a
  // file or link is copied (mode and times kept) and the source removed.
  // 2 when the source is missing, 3 when the destination's folder is;
  // otherwise the errno-mapped error.
  static uint32_t MoveFile(const std::u16string& existing, const std::u16string& target);
  // Removes a file or link (never a directory). 0 when it is gone (a missing
  // file is success); otherwise the errno-mapped error.
  static uint32_t DeleteFile(const std::u16string& path);
  // The last error of the calling thread's operations (0 after a success).
  static uint32_t GetLastError();

  // Locks the whole file of `handle` (the byte range is ignored) with flock:
  // LOCKFILE_EXCLUSIVE_LOCK for an exclusive lock, else a shared one;
  // with LOCKFILE_FAIL_IMMEDIATELY a lock held elsewhere gives 33 at once,
  // else the call waits. The lock belongs to the open handle and ends with
  // UnlockFileEx, CloseHandle or the process. A directory can be locked.
  static uint32_t LockFileEx(HANDLE handle, uint32_t flags, uint32_t reserved,
                             uint32_t lowBytes, uint32_t highBytes, _OVERLAPPED* overlapped);
  static uint32_t UnlockFileEx(HANDLE handle, uint32_t reserved, uint32_t lowBytes,
                               uint32_t highBytes, _OVERLAPPED* overlapped);
  // Puts the file's data and status on the medium (fsync).
  static uint32_t FlushFileBuffers(HANDLE handle);
  // Starts writing the file's data to the medium without waiting for it
  // (sync_file_range, SYNC_FILE_RANGE_WRITE): a later sync of the file
  // system finds little left to do. Promises nothing about durability.
  static uint32_t StartWriteBack(HANDLE handle);
  // Puts a directory's listing on the medium: created, renamed and deleted
  // names in it survive a power cut once this returns 0.
  static uint32_t FlushDirectory(const std::u16string& path);
  // Puts everything written to the file system holding `path` on the medium
  // (syncfs): one call instead of one per file for a batch.
  static uint32_t FlushFileSystem(const std::u16string& path);
  // Renames in one step. Without MOVEFILE_REPLACE_EXISTING an existing
  // destination gives 183 and stays; without MOVEFILE_COPY_ALLOWED a move
  // between file systems gives 17 and changes nothing (with it, files and
  // links are copied as MoveFile does). A missing source gives 2.
  static uint32_t MoveFileEx(const std::u16string& existing, const std::u16string& target,
                             uint32_t flags);
  // Gives what stands at `existing` (a link itself, never its target) the
  // second name `newName` on the same file system. 183 when `newName`
  // exists, 2 when `existing` does not, 17 across file systems; a file
  // system without hard links, or one that refuses a link to another
  // user's file, gives its own error.
  static uint32_t CreateHardLink(const std::u16string& existing, const std::u16string& newName);
  // The status of what stands at `path`, a link itself unless `followLink`.
  // 0 with kind kMissing when nothing is there (a dangling link is there);
  // otherwise 0 or an error number.
  static uint32_t GetFileStatus(const std::u16string& path, bool followLink, FileStatus& status);
  // Creates exactly the directory `path` with `mode` (before the umask);
  // its parent must exist (else 2). 183 when anything of that name exists.
  static uint32_t CreateOneDirectory(const std::u16string& path, uint32_t mode);
  // Removes the directory `path` only when it is empty (145 when it is not)
  // and a real directory, never a link. A missing path gives 2.
  static uint32_t RemoveEmptyDirectory(const std::u16string& path);
  // Sets the access and modification times of `path` itself, never of the
  // target of a link.
  static uint32_t SetPathTimes(const std::u16string& path, const FileTimes& times);
  // The absolute path of `path` with every link and "." or ".." resolved
  // (realpath); the path must exist.
  static uint32_t GetFinalPathName(const std::u16string& path, std::u16string& resolved);
  // What the symbolic link at `path` points to, as written in the link.
  static uint32_t ReadLink(const std::u16string& path, std::u16string& target);
  // The names in the directory `path`, "." and ".." among them, in the
  // order the directory delivers them, each with the kind of what stands
  // there (a link itself, never its target). A name with no wide form is
  // left out: callers could not name it back. On failure the error and no
  // entries.
  static uint32_t ListDirectory(const std::u16string& path, std::vector<DirectoryEntry>& entries);
  // The absolute path of the process's current directory.
  static uint32_t GetCurrentDirectory(std::u16string& path);
  // 0 when the user may use `path` as `mode` asks (FILE_ACCESS_* bits).
  static uint32_t CheckAccess(const std::u16string& path, uint32_t mode);
  // CheckAccess(path, FILE_ACCESS_READ) for the file `seen` there: a file
  // the user owns with the owner's read bit set is readable without asking
  // the system (no permission list narrows the owner's bits).
  static uint32_t CheckReadAccess(const std::u16string& path, const FileStatus& seen);
  // Permission bits (0777) of the file at `path` (links followed).
  static uint32_t SetPathMode(const std::u16string& path, uint32_t mode);
  // Permission bits (07777) and owner of an open file.
  static uint32_t SetFileMode(HANDLE handle, uint32_t mode);
  static uint32_t SetFileOwner(HANDLE handle, uint32_t owner, uint32_t group);

  // Installs (or, with nullptr, removes) the fault hook. Test seam.
  static void SetFaultHook(FileFaultHook hook, void* context);

  // One per thread: the installation's worker and the window never read
  // each other's.
  static thread_local uint32_t ms_lastError;
};

// GetFileStatus for many paths below one folder, as a run's planning looks
// at its entries: the folder stays open, and so do the folders below it
// that hold what is looked at (up to `maxOpenFolders` of them), so that
// each look is one name in an open folder instead of a walk of the whole
// path. For one pass over a tree that does not move under it: a folder
// renamed meanwhile is still seen where it was opened.
class FolderStatusLookup {
 public:
  // A quarter of the descriptors the process may have, at most 1024 (and
  // as many for the thread that looks ahead): the run's other files always
  // find one.
  static size_t defaultMaxOpenFolders();
  explicit FolderStatusLookup(const std::u16string& folder = std::u16string(),
                              size_t maxOpenFolders = defaultMaxOpenFolders());
  FolderStatusLookup(const FolderStatusLookup&) = delete;
  FolderStatusLookup& operator=(const FolderStatusLookup&) = delete;
  ~FolderStatusLookup();
  // Paths below `folder` are looked up from it; others as GetFileStatus does.
  void setFolder(const std::u16string& folder);
  uint32_t status(const std::u16string& path, bool followLink, FileStatus& status);
  // The same for the path that lookAheadAt was given as number `slot`.
  uint32_t status(const std::u16string& path, bool followLink, FileStatus& status, size_t slot);
  // Looks, on a thread of its own, at `paths` below the folder (links not
  // followed), from the last one back, while status() with a slot answers
  // from the first on: each is looked at once, by one of the two, and the
  // two cores share the work. The fault hook is asked by status(), in its
  // order, as without looking ahead. Until forget() or the next call.
  void lookAheadAt(std::vector<std::u16string> paths);
  // Ends the looking ahead; the folders stay open.
  void stopLookingAhead();
  // Closes the folders: the next look below them opens them again.
  void forget();

  // Open folders below the folder, by their path from it.
  class Holders {
   public:
    explicit Holders(size_t most) : most_(most) {}
    ~Holders() { close(); }
    // The open folder (below `folder`) that holds `relative`, and in `name`
    // what to look up there; `folder` itself when none of its own is or
    // can be open.
    int holderOf(int folder, const std::string& relative, const char*& name);
    void close();

   private:
    const size_t most_;
    // Open, or -1 when it could not be opened (the look from the folder
    // then gives the answer).
    std::unordered_map<std::string, int> open_;
    size_t count_ = 0;
  };

 private:
  struct LookAhead;
  // Whether `path` lies below the folder, and the part below it.
  bool isBelow(const std::u16string& path, std::u16string_view& relative) const;
  bool openFolder();
  // isBelow, with the folder open (false when it cannot be).
  bool below(const std::u16string& path, std::u16string_view& relative);

  int folder_ = -1;
  std::string folderPath_;  // without a trailing '/'
  std::u16string wideFolder_;  // the same, as given
  const size_t maxOpenFolders_;
  Holders holders_;
  std::string relative_;  // kept between looks for its buffer
  std::unique_ptr<LookAhead> ahead_;
};

// The status of `path` itself (link_status) or of what a link there names
// (file_status): FileSystem::GetFileStatus. 0 with kind kMissing when
// nothing is there; otherwise 0 or the error number of a look that failed,
// which callers must not take for "missing".
inline uint32_t link_status(const std::u16string& path, FileStatus& status) {
  return FileSystem::GetFileStatus(path, false, status);
}
inline uint32_t file_status(const std::u16string& path, FileStatus& status) {
  return FileSystem::GetFileStatus(path, true, status);
}

// The one mapping from errno values to error numbers: ENOENT gives 2, EPERM
// and EACCES 5, EBADF 6, EXDEV 17, EROFS 19, EWOULDBLOCK 33, EINVAL 87,
// ENOSPC and EDQUOT 112, ENOTEMPTY 145, EEXIST 183, ENAMETOOLONG 206,
// EISDIR 267; every other value keeps its errno as system_error(errno)
// (ENOTDIR is ERROR_NOT_A_FOLDER).
uint32_t errorFromErrNo(int errnoValue);
// Maps an errno value with errorFromErrNo, stores it as the last error and
// returns it.
uint32_t setLastErrorByErrNo(int errnoValue);

// Seconds since 1970 <-> _FILETIME; 64-bit, exact for whole seconds.
int64_t FileTimeToEpoch(const _FILETIME& fileTime);
_FILETIME EpochToFileTime(const int64_t& seconds);

// Suspends the calling thread.
void Sleep(int milliseconds);

#endif  // OVN8_PLATFORM_FILE_SYSTEM_H_
