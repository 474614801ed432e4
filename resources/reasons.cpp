#include "resources/reasons.h"

#include "platform/errors.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "resources/lang.h"

const char* reason_key(uint32_t error) {
  switch (error) {
    case ERROR_DISK_FULL: return "IDS_REASON_DISKFULL";
    case ERROR_WRITE_PROTECT: return "IDS_REASON_READONLY";
    case ERROR_ACCESS_DENIED: return "IDS_REASON_ACCESSDENIED";
    case ERROR_NOT_A_FOLDER: return "IDS_REASON_NOTFOLDER";
    case ERROR_DIRECTORY: return "IDS_REASON_FOLDERINPLACE";
    case ERROR_FILENAME_EXCED_RANGE: return "IDS_REASON_NAMETOOLONG";
    case ERROR_INVALID_DATA: return "IDS_REASON_KITDAMAGED";
    case ERROR_ALREADY_EXISTS: return "IDS_REASON_NAMETAKEN";
    case ERROR_LOCK_VIOLATION: return "IDS_REASON_BUSY";
    case ERROR_FILE_CORRUPT: return "IDS_REASON_STOPPEDRUN";
    case ERROR_INVALID_NAME: return "IDS_REASON_OWNNAME";
    default: return nullptr;
  }
}

std::u16string failure_reason(uint32_t error) {
  if (const char* key = reason_key(error)) return LoadResString(key);
  if (is_system_error(error)) {
    const int number = errno_of_system_error(error);
    return widen_lib(system_message(number) + " (errno " + std::to_string(number) + ")");
  }
  return widen_lib(error_text(error) + " (error " + std::to_string(error) + ")");
}
