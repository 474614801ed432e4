// Compares a template directory with what an installation put there: each
// entry of the record (or of a kit) is looked up in place, by kind, size
// and CRC-32. Read-only.
#ifndef OVN8_INSTALL_DIRECTORY_CHECK_H_
#define OVN8_INSTALL_DIRECTORY_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "install/install_process_data.h"
#include "install/installation_record.h"

enum class EntryState {
  kOk,
  kMissing,    // nothing stands there
  kChanged,    // a file with other bytes
  kOtherKind,  // a folder, a link or anything else where a file was
};

// The short stable code of a state: "ok", "missing", "changed", "kind".
const char* entry_state_code(EntryState state);

// The file of `entry` below `target` (which ends with "/"). An entry the
// installation left as a newer file is only looked for, not compared.
EntryState check_entry(const std::u16string& target, const RecordEntry& entry);

struct CheckedEntry {
  std::u16string path;
  EntryState state = EntryState::kOk;
};

struct DirectoryCheck {
  // The entries that are not ok, in record order.
  std::vector<CheckedEntry> differing;
  uint32_t ok = 0;
  uint32_t missing = 0;
  uint32_t changed = 0;
  uint32_t otherKind = 0;
  bool allOk() const { return differing.empty(); }
};

DirectoryCheck check_directory(const std::u16string& target, const std::vector<RecordEntry>& entries);

// The entries of `kit` as a record names them: one per place, the last
// entry of a name deciding, all as installed.
uint32_t record_entries_of_kit(KitReader& kit, std::vector<RecordEntry>& entries);

#endif  // OVN8_INSTALL_DIRECTORY_CHECK_H_
