// Collects the installation record while a run plans its entries, and
// gives the record the run writes at its end.
#ifndef OVN8_INSTALL_RECORD_BUILDER_H_
#define OVN8_INSTALL_RECORD_BUILDER_H_

#include <cstdint>
#include <string>
#include <unordered_map>

#include "install/install_process_data.h"
#include "install/installation_record.h"

class RecordBuilder {
 public:
  void start(const KitIdentity& kit);
  // What the run does with entry `index` of `kit`, whose place is `key`. A
  // later entry of the same key replaces the earlier one's content; written
  // again (`action` empty), the file keeps the earlier entry's action.
  uint32_t note(KitReader& kit, uint32_t index, const std::u16string& key, RecordAction action);
  uint32_t noteWrittenAgain(KitReader& kit, uint32_t index, const std::u16string& key);
  // The record of the run, given the directory's present one: a file the
  // run found already as the kit has it keeps the action of the earlier
  // installation that put it there. False when the present record says the
  // same (nothing to write).
  bool finish(const InstallationRecord* present, int64_t now, InstallationRecord& record);

 private:
  uint32_t fill(KitReader& kit, uint32_t index, RecordEntry& entry);

  InstallationRecord record_;
  std::unordered_map<std::u16string, size_t> byKey_;
};

#endif  // OVN8_INSTALL_RECORD_BUILDER_H_
