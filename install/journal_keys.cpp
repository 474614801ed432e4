#include "install/journal_keys.h"

uint32_t JournalKeys::hashOf(const std::u16string& key) {
  uint32_t hash = 2166136261u;  // FNV-1a over the code units
  for (char16_t unit : key) {
    hash = (hash ^ (unit & 0xFF)) * 16777619u;
    hash = (hash ^ (unit >> 8)) * 16777619u;
  }
  return hash;
}

void JournalKeys::insertIndex(uint32_t index) {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hashOf(keys_[index]) & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot] == 0) {
      slots_[slot] = index + 1;
      return;
    }
  }
}

void JournalKeys::rebuildIndex(size_t slotCount) {
  slots_.assign(slotCount, 0);
  for (uint32_t i = 0; i < keys_.size(); ++i) insertIndex(i);
}

void JournalKeys::add(const std::u16string& key) {
  keys_.push_back(key);
  // At most half the slots in use keeps the probe sequences short.
  if (keys_.size() * 2 > slots_.size())
    rebuildIndex(slots_.empty() ? 16 : slots_.size() * 2);
  else
    insertIndex(uint32_t(keys_.size() - 1));
}

bool JournalKeys::contains(const std::u16string& key) const {
  if (slots_.empty()) return false;
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hashOf(key) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
    if (keys_[slots_[slot] - 1] == key) return true;
  }
  return false;
}

bool JournalKeys::removeFirst(const std::u16string& key) {
  for (auto it = keys_.begin(); it != keys_.end(); ++it) {
    if (*it != key) continue;
    keys_.erase(it);
    rebuildIndex(slots_.size());  // indices behind it moved; rare
    return true;
  }
  return false;
}
