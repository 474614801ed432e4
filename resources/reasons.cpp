#include "resources/reasons.h"

#include <cerrno>

#include "platform/errors.h"
#include "platform/text.h"
#include "resources/lang.h"

const char* reason_key(uint32_t error) {
  switch (error) {
    case ERROR_DISK_FULL: return "IDS_REASON_DISKFULL";
    case ERROR_WRITE_PROTECT: return "IDS_REASON_READONLY";
    case ERROR_ACCESS_DENIED: return "IDS_REASON_ACCESSDENIED";
    case ERROR_NOT_A_FOLDER: return "IDS_REASON_NOTFOLDER";
    case ERROR_LINKED_FOLDER: return "IDS_REASON_LINKEDFOLDER";
    case ERROR_DIRECTORY: return "IDS_REASON_FOLDERINPLACE";
    case ERROR_FILENAME_EXCED_RANGE: return "IDS_REASON_NAMETOOLONG";
    case ERROR_INVALID_DATA: return "IDS_REASON_KITDAMAGED";
    case ERROR_ALREADY_EXISTS: return "IDS_REASON_NAMETAKEN";
    case ERROR_LOCK_VIOLATION: return "IDS_REASON_BUSY";
    case ERROR_FILE_CORRUPT: return "IDS_REASON_STOPPEDRUN";
    case ERROR_INVALID_NAME: return "IDS_REASON_OWNNAME";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "IDS_REASON_NOTFOUND";
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
    case ERROR_NOT_SAME_DEVICE: return "IDS_REASON_NOTSUPPORTED";
    case system_error(EIO): return "IDS_REASON_IO";
    default: return nullptr;
  }
}

// A cause without a text of its own still reads in the interface language,
// with its number for whoever looks into it (the system's errno, or ours).
std::u16string failure_reason(uint32_t error) {
  if (const char* key = reason_key(error)) return LoadResString(key);
  const uint32_t number = is_system_error(error) ? uint32_t(errno_of_system_error(error)) : error;
  return FormatResString("IDS_REASON_OTHER", {widen_lib(std::to_string(number))});
}
