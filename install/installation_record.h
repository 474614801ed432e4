// The installation record: which kit was installed into a template
// directory, when, by which wizard, and for every entry where it went, what
// it held and what the run did with it. It lies in the directory's control
// folder (".n8ctl/record"), is written in the same transaction as the
// files it describes, and is what verify, repair and uninstall work from.
// The text format is described in docs/record-format.md.
#ifndef OVN8_INSTALL_INSTALLATION_RECORD_H_
#define OVN8_INSTALL_INSTALLATION_RECORD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

// What a run did with one entry.
enum class RecordAction {
  kInstalled,    // written where nothing stood
  kReplaced,     // written over an older file
  kKeptNewer,    // a newer file stood there and was left alone
  kUpToDate,     // the file there was already the entry
  kTimeUpdated,  // the file there had the entry's content; only its time was set
};

struct RecordEntry {
  std::u16string path;  // relative to the template directory, "/" separators
  uint64_t size = 0;
  uint32_t crc32 = 0;
  int64_t writeSeconds = 0;
  RecordAction action = RecordAction::kInstalled;
};

// The kit as the record names it.
struct KitIdentity {
  std::u16string product;
  std::u16string vendor;
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits; empty when not known
  std::u16string version;
};

struct InstallationRecord {
  KitIdentity kit;
  int64_t installedAt = 0;  // seconds since 1970, UTC
  std::string wizardVersion;
  std::vector<RecordEntry> entries;
};

// Whether an installation put the entry's file there (written where
// nothing or an older file stood): what an uninstallation removes.
bool is_put_by_installation(RecordAction action);

std::string encode_record(const InstallationRecord& record);
// False, with `record` unspecified, for anything that is not one whole
// record: cut short, a byte changed, a line out of order, a bad escape, a
// path that is not a plain relative one.
bool decode_record(const std::string& bytes, InstallationRecord& record);
// Equal in everything but when and by which wizard: a rerun that would
// write such a record leaves the old one.
bool same_installation(const InstallationRecord& a, const InstallationRecord& b);

// 64 lower-case hex digits, or nothing (a digest that is not known).
bool is_sha256_text(const std::string& text);
// Whether what `status` describes is a `kind` of the user's that nobody
// else may write: the rule for every file the wizard trusts in a folder.
bool is_users_own(const FileStatus& status, FileKind kind);

// Whether `key` (relative to the directory) is the control folder or lies
// in it: no kit entry may go there.
bool is_control_folder_key(const std::u16string& key);

// The control folder of `target` (which ends with "/") and the record in it.
std::u16string control_folder(const std::u16string& target);
std::u16string record_path(const std::u16string& target);
// Reads the record of `target`: 2 when there is none; 13 when it is damaged
// or not trustworthy (not a regular file of this user's, writable by others).
uint32_t read_installation_record(const std::u16string& target, InstallationRecord& record);
// Its first half: the bytes of a record that may be trusted, not decoded.
uint32_t read_installation_record_bytes(const std::u16string& target, std::string& bytes);

#endif  // OVN8_INSTALL_INSTALLATION_RECORD_H_
