#include "install/up_to_date.h"

namespace {

uint64_t as_uint64(const _FILETIME& time) {
  return uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

uint64_t file_time(const FileStatus& status) {
  return as_uint64(EpochToFileTime(status.times.writeSeconds));
}

}  // namespace

bool timeIsUpToDate(const FileStatus& status, const _FILETIME& entryTime) {
  return status.exists() && !status.isDirectory() && as_uint64(entryTime) <= file_time(status);
}

EntryPlace lookAtEntryPlace(const std::u16string& path, const _FILETIME& entryTime,
                            FolderStatusLookup* lookup, size_t slot) {
  EntryPlace place;
  FileStatus status;
  const auto look = [&](bool followLink) {
    return lookup != nullptr ? lookup->status(path, followLink, status, slot)
                             : FileSystem::GetFileStatus(path, followLink, status);
  };
  place.lookError = look(false);
  if (place.lookError != ERROR_SUCCESS || !status.exists()) return place;
  place.seen = status;
  if (status.kind == FileKind::kSymbolicLink) {
    place.lookError = look(true);
    if (place.lookError != ERROR_SUCCESS || !status.exists()) return place;
  }
  // A folder where the entry's file goes can never be brought up to date,
  // whatever its time: skipping it would report a file as installed that
  // is not there.
  if (status.isDirectory()) {
    place.lookError = ERROR_DIRECTORY;
    return place;
  }
  place.judged = status;
  if (!timeIsUpToDate(status, entryTime)) return place;
  place.existingNewer = as_uint64(entryTime) < file_time(status);
  place.write = FileSystem::CheckReadAccess(path, status) != ERROR_SUCCESS;
  return place;
}
