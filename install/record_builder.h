// Collects the installation record while a run plans its entries, and
// gives the record the run writes at its end.
#ifndef OVN8_INSTALL_RECORD_BUILDER_H_
#define OVN8_INSTALL_RECORD_BUILDER_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "install/install_process_data.h"
#include "install/installation_record.h"

class RecordBuilder {
 public:
  void start(const KitIdentity& kit);
  // Room for the entries of a kit of `entries`.
  void reserve(size_t entries);
  // The places noted since the start, also once finished.
  uint32_t places() const { return places_; }
  void setKitSha256(const std::string& hex) { record_.kit.sha256 = hex; }
  // What the run does with entry `index` of `kit`, whose place is `key`. A
  // later entry of the same key replaces the earlier one's content; written
  // again (`action` empty), the file keeps the earlier entry's action.
  uint32_t note(KitReader& kit, uint32_t index, const std::u16string& key, RecordAction action);
  uint32_t noteWrittenAgain(KitReader& kit, uint32_t index, const std::u16string& key);
  // A file the run left in place (newer, or as new as the entry), of
  // `status` as the run looked at it: the record names what stands there,
  // whose checksum finish takes.
  void noteInPlace(std::u16string&& key, RecordAction action, const FileStatus& status);
  // The record of the run, given the directory's present one: a file the
  // run found already as the kit has it keeps the action of the earlier
  // installation that put it there. False when the present record says the
  // same (nothing to write). The builder is empty afterwards.
  bool finish(const std::u16string& target, const InstallationRecord* present, int64_t now,
              InstallationRecord& record);

 private:
  uint32_t fill(KitReader& kit, uint32_t index, RecordEntry& entry);
  // The entry of the place `key`, made when there is none yet.
  size_t indexOf(const std::u16string& key);
  size_t indexOf(std::u16string&& key);
  size_t addPlace(std::u16string&& key, size_t hash);
  // Checksum of the file in place: `before`'s (the present record's entry
  // of the place, or null) when it names the same size and time.
  static void describeInPlace(const std::u16string& target, const RecordEntry* before, RecordEntry& entry);

  // The entries of record_ by their paths, without a copy of any path:
  // open addressing, each slot an entry's number + 1 (0 is free) and bits
  // of its path's hash, so that a probe rarely reads another entry's path;
  // at most half of the slots taken.
  class PlaceIndex {
   public:
    static size_t hashOf(const std::u16string& path);
    void clear() { slots_.clear(), taken_ = 0; }
    void reserve(const std::vector<RecordEntry>& entries, size_t places);
    // The number of the entry of `path` (whose hash is `hash`), or
    // entries.size() when none is.
    size_t find(const std::vector<RecordEntry>& entries, const std::u16string& path, size_t hash) const;
    // Adds the last of `entries`, whose path (of hash `hash`) no other has.
    void addLast(const std::vector<RecordEntry>& entries, size_t hash);

   private:
    struct Slot {
      uint32_t entry = 0;  // the entry's number + 1; 0: free
      uint32_t tag = 0;    // the hash's high bits
    };
    size_t slotOf(const std::vector<RecordEntry>& entries, const std::u16string& path, size_t hash) const;
    void rebuild(const std::vector<RecordEntry>& entries, size_t slots);
    std::vector<Slot> slots_;
    size_t taken_ = 0;
  };

  InstallationRecord record_;
  PlaceIndex byKey_;
  std::vector<size_t> inPlace_;  // the entries of files left in place
  uint32_t places_ = 0;
};

#endif  // OVN8_INSTALL_RECORD_BUILDER_H_
