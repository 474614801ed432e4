// Error numbers with their Win32 meanings; 0 is success.
#ifndef OVN8_PLATFORM_ERRORS_H_
#define OVN8_PLATFORM_ERRORS_H_

#include <cerrno>
#include <cstdint>

enum : uint32_t {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_INVALID_DATA = 13,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_WRITE_PROTECT = 19,
  ERROR_LOCK_VIOLATION = 33,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_DISK_FULL = 112,
  ERROR_INVALID_NAME = 123,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_DIRECTORY = 267,
  ERROR_CANTWRITE = 1013,
  ERROR_CANCELLED = 1223,
  ERROR_FILE_CORRUPT = 1392,
};

// A system error without a Win32 meaning of its own is carried with the
// application bit of the Win32 numbering set and its errno value below it,
// so that its own message can still be told.
constexpr uint32_t kSystemErrorBase = 0x20000000u;
constexpr uint32_t system_error(int errnoValue) { return kSystemErrorBase | uint32_t(errnoValue); }
constexpr bool is_system_error(uint32_t error) { return (error & 0xF0000000u) == kSystemErrorBase; }
constexpr int errno_of_system_error(uint32_t error) { return int(error & ~kSystemErrorBase); }
// A part of the path that must be a folder is something else (ENOTDIR).
constexpr uint32_t ERROR_NOT_A_FOLDER = system_error(ENOTDIR);
// A level between the template directory and a file is a link: following
// it would reach outside the directory (as the system's ELOOP says of a
// link met where none may be).
constexpr uint32_t ERROR_LINKED_FOLDER = system_error(ELOOP);

#endif  // OVN8_PLATFORM_ERRORS_H_
