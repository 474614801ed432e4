#include "kit/mapped_kit.h"

#include "platform/errors.h"

namespace config {

uint32_t mapKit(const std::u16string& source, MappedKit& kit) {
  // Only a regular file holds a kit: a FIFO would block and a device could
  // stream without end. A dangling link is a missing kit.
  FileStatus status;
  uint32_t looked = FileSystem::GetFileStatus(source, true, status);
  if (looked != ERROR_SUCCESS) return looked;
  if (!status.exists()) return ERROR_FILE_NOT_FOUND;
  if (status.kind != FileKind::kRegular) return ERROR_INVALID_DATA;
  uint32_t result = FileSystem::CreateFile(source, GENERIC_READ, 0, OPEN_EXISTING, kit.handle);
  if (result != ERROR_SUCCESS) return result;

  // The file opened is looked at again: the path may name another by now.
  result = FileSystem::GetHandleStatus(kit.handle, status);
  if (result != ERROR_SUCCESS) return result;
  if (status.kind != FileKind::kRegular) return ERROR_INVALID_DATA;
  kit.length = status.size;
  // An empty file holds no stream at all (and cannot be mapped).
  if (kit.length == 0) return ERROR_INVALID_DATA;

  kit.mapping.reset(new Mapping());
  return kit.mapping->map(kit.handle, kit.length);
}

}  // namespace config
