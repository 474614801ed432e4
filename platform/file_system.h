// A file API in the style of the Win32 file functions, on POSIX.
//
// FileSystem is a collection of static operations so that it can serve as
// the policy type of the kit reader. Operations return 0 on success or a
// Win32 error number (see platform/errors.h) and keep the last one in
// FileSystem::ms_lastError. No operation runs a shell.
#ifndef OVN8_PLATFORM_FILE_SYSTEM_H_
#define OVN8_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <string>

#include "platform/errors.h"

typedef void* HANDLE;
// The invalid handle is all ones.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// 100-nanosecond intervals since 1601-01-01 UTC, low word first.
struct _FILETIME {
  uint32_t dwLowDateTime;
  uint32_t dwHighDateTime;
};

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
};

// A fault hook is asked before each operation runs; a non-zero answer is
// returned as that operation's error (and becomes the last error) without
// touching the file system. Tests use it to fail the k-th operation.
typedef uint32_t (*FileFaultHook)(FileOp op, const std::u16string& path, void* context);

class FileSystem {
 public:
  static uint32_t CreateFile(const std::u16string& path, uint32_t access, uint32_t share,
                             uint32_t creation, HANDLE& handle);
  static uint32_t ReadFile(HANDLE handle, void* buffer, uint32_t toRead, uint32_t* read,
                           _OVERLAPPED* overlapped);
  static uint32_t WriteFile(HANDLE handle, const void* data, uint32_t toWrite,
                            uint32_t* written, _OVERLAPPED* overlapped);
  // Returns the low 32 bits of the new position, or 0xFFFFFFFF on failure.
  static uint32_t SetFilePointer(HANDLE handle, long distance, long* distanceHigh,
                                 uint32_t moveMethod);
  static uint32_t SetEndOfFile(HANDLE handle);
  static uint32_t GetFileTime(HANDLE handle, _FILETIME* creation, _FILETIME* lastAccess,
                              _FILETIME* lastWrite);
  static uint32_t SetFileTime(HANDLE handle, const _FILETIME* creation,
                              const _FILETIME* lastAccess, const _FILETIME* lastWrite);
  static uint32_t CloseHandle(HANDLE handle);
  // Sizes of 4 GiB and more saturate at 0xFFFFFFFF.
  static uint32_t GetFileSize(const std::u16string& path, uint32_t* size);
  // The temporary directory, always ending in "/".
  static uint32_t GetTempPath(std::u16string& result);
  static uint32_t GetTempFileName(const std::u16string& directory, const std::u16string& prefix,
                                  std::u16string& result);
  static uint32_t GetFreeSpaceTmpDir(uint32_t* freeBytes);
  static uint32_t CreateDirectory(const std::u16string& path);
  static uint32_t RemoveDirectory(const std::u16string& path);
  static uint32_t MoveFile(const std::u16string& existing, const std::u16string& target);
  static uint32_t DeleteFile(const std::u16string& path);
  static uint32_t GetLastError();

  // Installs (or, with nullptr, removes) the fault hook. Test seam.
  static void SetFaultHook(FileFaultHook hook, void* context);

  static uint32_t ms_lastError;
};

// Maps an errno value to its error number, stores and returns it.
uint32_t setLastErrorByErrNo(int errnoValue);

// Seconds since 1970 <-> _FILETIME; 64-bit, exact for whole seconds.
int64_t FileTimeToEpoch(const _FILETIME& fileTime);
_FILETIME EpochToFileTime(const int64_t& seconds);

// Suspends the calling thread.
void Sleep(int milliseconds);

#endif  // OVN8_PLATFORM_FILE_SYSTEM_H_
