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
  // The places noted so far.
  uint32_t places() const { return uint32_t(record_.entries.size()); }
  void setKitSha256(const std::string& hex) { record_.kit.sha256 = hex; }
  // What the run does with entry `index` of `kit`, whose place is `key`. A
  // later entry of the same key replaces the earlier one's content; written
  // again (`action` empty), the file keeps the earlier entry's action.
  uint32_t note(KitReader& kit, uint32_t index, const std::u16string& key, RecordAction action);
  uint32_t noteWrittenAgain(KitReader& kit, uint32_t index, const std::u16string& key);
  // A file the run left in place (newer, or as new as the entry), of
  // `status` as the run looked at it: the record names what stands there,
  // whose checksum finish takes.
  void noteInPlace(const std::u16string& key, RecordAction action, const FileStatus& status);
  // The record of the run, given the directory's present one: a file the
  // run found already as the kit has it keeps the action of the earlier
  // installation that put it there. False when the present record says the
  // same (nothing to write).
  bool finish(const std::u16string& target, const InstallationRecord* present, int64_t now,
              InstallationRecord& record);

 private:
  uint32_t fill(KitReader& kit, uint32_t index, RecordEntry& entry);
  size_t indexOf(const std::u16string& key);
  // Checksum of the file in place: `before`'s (the present record's entry
  // of the place, or null) when it names the same size and time.
  static void describeInPlace(const std::u16string& target, const RecordEntry* before, RecordEntry& entry);

  InstallationRecord record_;
  std::unordered_map<std::u16string, size_t> byKey_;
  std::vector<size_t> inPlace_;  // the entries of files left in place
};

#endif  // OVN8_INSTALL_RECORD_BUILDER_H_
