#include "install/record_builder.h"

#include "install/same_content.h"
#include "resources/version.h"

void RecordBuilder::start(const KitIdentity& kit) {
  record_ = InstallationRecord();
  record_.kit = kit;
  byKey_.clear();
  inPlace_.clear();
}

void RecordBuilder::reserve(size_t entries) {
  record_.entries.reserve(entries);
  byKey_.reserve(entries);
}

size_t RecordBuilder::indexOf(const std::u16string& key) {
  const auto placed = byKey_.emplace(key, record_.entries.size());
  if (placed.second) {
    record_.entries.emplace_back();
    record_.entries.back().path = key;
  }
  return placed.first->second;
}

void RecordBuilder::noteInPlace(const std::u16string& key, RecordAction action, const FileStatus& status) {
  const size_t index = indexOf(key);
  RecordEntry& entry = record_.entries[index];
  entry.action = action;
  entry.size = status.size;
  entry.writeSeconds = status.times.writeSeconds;
  inPlace_.push_back(index);
}

namespace {

// The present record's entries by place. A run of the same kit names the
// same places in the same order, so the entry at the same position is
// tried before a map of every path is made.
class EarlierEntries {
 public:
  explicit EarlierEntries(const InstallationRecord* present) : present_(present) {}
  const RecordEntry* find(size_t position, const std::u16string& path) {
    if (present_ == nullptr) return nullptr;
    if (position < present_->entries.size() && present_->entries[position].path == path)
      return &present_->entries[position];
    if (byPath_.empty())
      for (const RecordEntry& entry : present_->entries) byPath_[entry.path] = &entry;
    const auto found = byPath_.find(path);
    return found == byPath_.end() ? nullptr : found->second;
  }

 private:
  const InstallationRecord* present_;
  std::unordered_map<std::u16string, const RecordEntry*> byPath_;
};

}  // namespace

// The run holds the directory's lock: the file is still as it was seen.
void RecordBuilder::describeInPlace(const std::u16string& target, const RecordEntry* before,
                                    RecordEntry& entry) {
  if (before != nullptr && before->size == entry.size && before->writeSeconds == entry.writeSeconds) {
    entry.crc32 = before->crc32;
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
  RecordEntry& entry = record_.entries[indexOf(key)];
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
  EarlierEntries earlier(present);
  for (size_t at : inPlace_)
    if (record_.entries[at].action == RecordAction::kKeptNewer ||
        record_.entries[at].action == RecordAction::kUpToDate)
      describeInPlace(target, earlier.find(at, record_.entries[at].path), record_.entries[at]);
  inPlace_.clear();
  record = record_;
  record.installedAt = now;
  record.wizardVersion = program_version();
  if (present == nullptr) return true;
  for (size_t at = 0; at < record.entries.size(); ++at) {
    RecordEntry& entry = record.entries[at];
    if (entry.action != RecordAction::kUpToDate && entry.action != RecordAction::kTimeUpdated)
      continue;
    const RecordEntry* before = earlier.find(at, entry.path);
    if (before != nullptr && is_put_by_installation(before->action) && before->size == entry.size &&
        before->crc32 == entry.crc32)
      entry.action = before->action;
  }
  return !same_installation(*present, record);
}
