#include "install/record_builder.h"

#include "install/same_content.h"
#include "resources/version.h"

void RecordBuilder::start(const KitIdentity& kit) {
  record_ = InstallationRecord();
  record_.kit = kit;
  byKey_.clear();
  inPlace_.clear();
}

RecordEntry& RecordBuilder::entryAt(const std::u16string& key) {
  auto found = byKey_.find(key);
  if (found == byKey_.end()) {
    found = byKey_.emplace(key, record_.entries.size()).first;
    record_.entries.emplace_back();
    record_.entries.back().path = key;
  }
  return record_.entries[found->second];
}

void RecordBuilder::noteInPlace(const std::u16string& key, RecordAction action, const FileStatus& status) {
  RecordEntry& entry = entryAt(key);
  entry.action = action;
  entry.size = status.size;
  entry.writeSeconds = status.times.writeSeconds;
  inPlace_.push_back(byKey_[key]);
}

// The run holds the directory's lock: the file is still as it was seen.
void RecordBuilder::describeInPlace(const std::u16string& target, const EntriesByPath& earlier,
                                    RecordEntry& entry) {
  const auto found = earlier.find(entry.path);
  if (found != earlier.end() && found->second->size == entry.size &&
      found->second->writeSeconds == entry.writeSeconds) {
    entry.crc32 = found->second->crc32;
    return;
  }
  crc32_of_file(target + entry.path, entry.crc32);
}

uint32_t RecordBuilder::fill(KitReader& kit, uint32_t index, RecordEntry& entry) {
  const config::KitEntry& kitEntry = kit.entries[index];
  entry.size = kitEntry.size;
  entry.writeSeconds = FileTimeToEpoch(kitEntry.lastWriteTime);
  return kit.entryCrc32(index, entry.crc32);
}

uint32_t RecordBuilder::note(KitReader& kit, uint32_t index, const std::u16string& key,
                             RecordAction action) {
  RecordEntry& entry = entryAt(key);
  entry.action = action;
  return fill(kit, index, entry);
}

uint32_t RecordBuilder::noteWrittenAgain(KitReader& kit, uint32_t index, const std::u16string& key) {
  const auto found = byKey_.find(key);
  if (found == byKey_.end()) return note(kit, index, key, RecordAction::kInstalled);
  return fill(kit, index, record_.entries[found->second]);
}

bool RecordBuilder::finish(const std::u16string& target, const InstallationRecord* present,
                           int64_t now, InstallationRecord& record) {
  EntriesByPath earlier;
  if (present != nullptr)
    for (const RecordEntry& entry : present->entries) earlier[entry.path] = &entry;
  for (size_t at : inPlace_)
    if (record_.entries[at].action == RecordAction::kKeptNewer ||
        record_.entries[at].action == RecordAction::kUpToDate)
      describeInPlace(target, earlier, record_.entries[at]);
  inPlace_.clear();
  record = record_;
  record.installedAt = now;
  record.wizardVersion = program_version();
  if (present == nullptr) return true;
  for (RecordEntry& entry : record.entries) {
    if (entry.action != RecordAction::kUpToDate && entry.action != RecordAction::kTimeUpdated)
      continue;
    const auto found = earlier.find(entry.path);
    if (found == earlier.end()) continue;
    const RecordEntry& before = *found->second;
    if (is_put_by_installation(before.action) && before.size == entry.size &&
        before.crc32 == entry.crc32)
      entry.action = before.action;
  }
  return !same_installation(*present, record);
}
