#include "install/record_builder.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "install/same_content.h"
#include "resources/version.h"

void RecordBuilder::start(const KitIdentity& kit) {
  record_ = InstallationRecord();
  record_.kit = kit;
  byKey_.clear();
  inPlace_.clear();
  places_ = 0;
}

size_t RecordBuilder::PlaceIndex::hashOf(const std::u16string& path) {
  return std::hash<std::u16string_view>()(path);
}

size_t RecordBuilder::PlaceIndex::slotOf(const std::vector<RecordEntry>& entries,
                                         const std::u16string& path, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  const uint32_t tag = uint32_t(hash >> 32);
  size_t slot = hash & mask;
  while (slots_[slot].entry != 0 && (slots_[slot].tag != tag || entries[slots_[slot].entry - 1].path != path))
    slot = (slot + 1) & mask;
  return slot;
}

void RecordBuilder::PlaceIndex::rebuild(const std::vector<RecordEntry>& entries, size_t slots) {
  slots_.assign(slots, Slot());
  for (size_t i = 0; i < taken_; ++i) {
    const size_t hash = hashOf(entries[i].path);
    slots_[slotOf(entries, entries[i].path, hash)] = {uint32_t(i + 1), uint32_t(hash >> 32)};
  }
}

void RecordBuilder::PlaceIndex::reserve(const std::vector<RecordEntry>& entries, size_t places) {
  size_t slots = 16;
  while (slots < places * 2) slots *= 2;
  if (slots > slots_.size()) rebuild(entries, slots);
}

size_t RecordBuilder::PlaceIndex::find(const std::vector<RecordEntry>& entries, const std::u16string& path,
                                       size_t hash) const {
  if (slots_.empty()) return entries.size();
  const uint32_t found = slots_[slotOf(entries, path, hash)].entry;
  return found == 0 ? entries.size() : found - 1;
}

void RecordBuilder::PlaceIndex::addLast(const std::vector<RecordEntry>& entries, size_t hash) {
  ++taken_;
  if (taken_ * 2 > slots_.size()) {
    rebuild(entries, std::max<size_t>(16, slots_.size() * 2));
    return;
  }
  slots_[slotOf(entries, entries.back().path, hash)] = {uint32_t(entries.size()), uint32_t(hash >> 32)};
}

void RecordBuilder::reserve(size_t entries) {
  record_.entries.reserve(entries);
  byKey_.reserve(record_.entries, entries);
}

size_t RecordBuilder::indexOf(const std::u16string& key) {
  const size_t hash = PlaceIndex::hashOf(key);
  const size_t found = byKey_.find(record_.entries, key, hash);
  if (found < record_.entries.size()) return found;
  return addPlace(std::u16string(key), hash);
}

size_t RecordBuilder::indexOf(std::u16string&& key) {
  const size_t hash = PlaceIndex::hashOf(key);
  const size_t found = byKey_.find(record_.entries, key, hash);
  if (found < record_.entries.size()) return found;
  return addPlace(std::move(key), hash);
}

size_t RecordBuilder::addPlace(std::u16string&& key, size_t hash) {
  record_.entries.emplace_back();
  record_.entries.back().path = std::move(key);
  byKey_.addLast(record_.entries, hash);
  ++places_;
  return record_.entries.size() - 1;
}

void RecordBuilder::noteInPlace(std::u16string&& key, RecordAction action, const FileStatus& status) {
  const size_t index = indexOf(std::move(key));
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
  const size_t found = byKey_.find(record_.entries, key, PlaceIndex::hashOf(key));
  if (found == record_.entries.size()) return note(kit, index, key, RecordAction::kInstalled);
  return fill(kit, index, record_.entries[found]);
}

bool RecordBuilder::finish(const std::u16string& target, const InstallationRecord* present,
                           int64_t now, InstallationRecord& record) {
  EarlierEntries earlier(present);
  for (size_t at : inPlace_)
    if (record_.entries[at].action == RecordAction::kKeptNewer ||
        record_.entries[at].action == RecordAction::kUpToDate)
      describeInPlace(target, earlier.find(at, record_.entries[at].path), record_.entries[at]);
  inPlace_.clear();
  // The run's last use of the builder: its entries move, not copied.
  record = std::move(record_);
  record_ = InstallationRecord();
  byKey_.clear();
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
