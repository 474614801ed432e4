#include "platform/target_check.h"

#include "platform/existing_level.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace {

// The permissions first, which make nothing; then a file without a name,
// which also meets what they do not tell (a read-only mount, a quota). A
// kill at any moment of the probe leaves nothing behind.
bool can_write_in(const std::u16string& folder) {
  if (FileSystem::CheckAccess(folder, FILE_ACCESS_WRITE | FILE_ACCESS_SEARCH) != ERROR_SUCCESS)
    return false;
  HANDLE probe = INVALID_HANDLE_VALUE;
  const uint32_t made = FileSystem::CreateUnnamedFile(folder, probe);
  if (made == ERROR_SUCCESS) FileSystem::CloseHandle(probe);
  return made == ERROR_SUCCESS || made == ERROR_NOT_SUPPORTED;
}

}  // namespace

TargetCheck checkTargetDirectory(const std::u16string& path) {
  if (path.empty() || narrow_lib(path).empty()) return TargetCheck::kNotWritable;
  std::u16string level;
  FileStatus status;
  if (nearest_existing_level(path, level, status) != ERROR_SUCCESS)
    return TargetCheck::kNotWritable;
  if (!status.isDirectory()) return TargetCheck::kNotAFolder;
  return can_write_in(level) ? TargetCheck::kUsable : TargetCheck::kNotWritable;
}
