// The paths a rollback journal keeps, as keys relative to the target
// directory (see relative_path_key), in the order they were added, with a
// compact hash index that holds positions, not copies, and costs two 32-bit
// slots per key at most. A key added twice is kept twice (size counts both).
#ifndef OVN8_INSTALL_JOURNAL_KEYS_H_
#define OVN8_INSTALL_JOURNAL_KEYS_H_

#include <cstdint>
#include <string>
#include <vector>

class JournalKeys {
 public:
  void add(const std::u16string& key);
  bool contains(const std::u16string& key) const;
  // Forgets the first occurrence of `key`; false when there is none.
  bool removeFirst(const std::u16string& key);

  size_t size() const { return keys_.size(); }
  const std::u16string& operator[](size_t i) const { return keys_[i]; }
  std::vector<std::u16string>::const_iterator begin() const { return keys_.begin(); }
  std::vector<std::u16string>::const_iterator end() const { return keys_.end(); }

 private:
  static uint32_t hashOf(const std::u16string& key);
  void insertIndex(uint32_t index);
  void rebuildIndex(size_t slotCount);

  std::vector<std::u16string> keys_;
  // Open addressing over keys_: 0 is a free slot, otherwise index + 1.
  std::vector<uint32_t> slots_;
};

#endif  // OVN8_INSTALL_JOURNAL_KEYS_H_
