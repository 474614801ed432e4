// Whether an installation writes a kit entry over what stands at its place:
// the one rule of the run and of the space it is said to need.
//
// A file stays when it is there, is no folder, can be read, and its
// modification time in whole seconds is not earlier than the entry's time
// taken whole: an entry of 10.5 s is newer than a file of 10 s. Everything
// else is written; a folder at the place is an error of the run.
#ifndef OVN8_INSTALL_UP_TO_DATE_H_
#define OVN8_INSTALL_UP_TO_DATE_H_

#include <cstdint>
#include <string>

#include "kit/install_data.h"
#include "platform/file_system.h"

// The time part of the rule, for `status` (following links) of the place.
bool timeIsUpToDate(const FileStatus& status, const _FILETIME& entryTime);

// What a look at the place `path` of an entry found.
struct EntryPlace {
  // The entry must be written.
  bool write = true;
  // The look failed, or a folder stands there: the run cannot write over
  // it and reports this error.
  uint32_t lookError = 0;
  // The file stays because it is newer than the entry (not merely as new).
  bool existingNewer = false;
  // The status (not following a link) of what stands there; kind kMissing
  // when nothing at all, not even a dangling link, does.
  FileStatus seen;
  // The status of the file the rule judged (a link followed).
  FileStatus judged;
};
// Nothing is opened, so a FIFO at the place cannot block the look. A run's
// planning passes its `lookup` to look at many places in few folders, and
// the path's `slot` among those it looks ahead at.
EntryPlace lookAtEntryPlace(const std::u16string& path, const _FILETIME& entryTime,
                            FolderStatusLookup* lookup = nullptr, size_t slot = SIZE_MAX);

// True when a run would leave the file at `path` as it is for `entry`.
inline bool entryIsUpToDate(const std::u16string& path, const config::KitEntry& entry) {
  return !lookAtEntryPlace(path, entry.lastWriteTime).write;
}

#endif  // OVN8_INSTALL_UP_TO_DATE_H_
