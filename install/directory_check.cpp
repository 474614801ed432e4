#include "install/directory_check.h"

#include <unordered_map>

#include "install/same_content.h"
#include "platform/path.h"

const char* entry_state_code(EntryState state) {
  switch (state) {
    case EntryState::kOk: return "ok";
    case EntryState::kMissing: return "missing";
    case EntryState::kChanged: return "changed";
    case EntryState::kOtherKind: return "kind";
  }
  return "ok";
}

EntryState check_entry(const std::u16string& target, const RecordEntry& entry) {
  const std::u16string path = target + entry.path;
  FileStatus status;
  if (link_status(path, status) != ERROR_SUCCESS || !status.exists()) return EntryState::kMissing;
  if (status.kind != FileKind::kRegular) return EntryState::kOtherKind;
  if (entry.action == RecordAction::kKeptNewer) return EntryState::kOk;
  if (status.size != entry.size) return EntryState::kChanged;
  uint32_t crc = 0;
  if (crc32_of_file(path, crc) != ERROR_SUCCESS || crc != entry.crc32) return EntryState::kChanged;
  return EntryState::kOk;
}

DirectoryCheck check_directory(const std::u16string& target, const std::vector<RecordEntry>& entries) {
  DirectoryCheck check;
  for (const RecordEntry& entry : entries) {
    const EntryState state = check_entry(target, entry);
    switch (state) {
      case EntryState::kOk: ++check.ok; continue;
      case EntryState::kMissing: ++check.missing; break;
      case EntryState::kChanged: ++check.changed; break;
      case EntryState::kOtherKind: ++check.otherKind; break;
    }
    check.differing.push_back({entry.path, state});
  }
  return check;
}

uint32_t record_entries_of_kit(KitReader& kit, std::vector<RecordEntry>& entries) {
  entries.clear();
  std::unordered_map<std::u16string, size_t> byKey;
  for (uint32_t i = 0; i < kit.entries.size(); ++i) {
    std::u16string key;
    if (!relative_path_key(config::entryNameInDirectory(kit.entries[i].name), key))
      return ERROR_INVALID_NAME;
    auto found = byKey.emplace(key, entries.size());
    if (found.second) entries.emplace_back();
    RecordEntry& entry = entries[found.first->second];
    entry.path = key;
    entry.size = kit.entries[i].size;
    entry.writeSeconds = FileTimeToEpoch(kit.entries[i].lastWriteTime);
    const uint32_t result = kit.entryCrc32(i, entry.crc32);
    if (result != ERROR_SUCCESS) return result;
  }
  return ERROR_SUCCESS;
}
