// The maintenance verbs of the command line, run without a window against
// a directory an installation wrote: --verify (read-only),
// --uninstall and --repair.
#ifndef OVN8_INSTALL_MAINTENANCE_H_
#define OVN8_INSTALL_MAINTENANCE_H_

#include <cstdio>
#include <string>

struct MaintenanceSettings {
  std::u16string target;   // absolute; required
  std::u16string kitPath;  // absolute; empty: work from the record
  bool json = false;       // one JSON object on standard output instead of lines
};

// Compares the directory with its record, or with the kit when one is
// given. Prints one line per entry that is not ok ("missing  a/b.xml") and
// a summary, or the JSON object. Returns the exit status: 0 all ok, 5 some
// entry differs, 1 nothing to compare with (no record and no kit, a record
// that cannot be trusted, a kit that cannot be opened).
int run_verify(const MaintenanceSettings& settings, FILE* out, FILE* err);

// Removes what the directory's installation put there and is unchanged
// since (size and CRC-32 as recorded), the record, and the folders that are
// then empty; keeps and names every changed file and leaves every file the
// installation did not write. One transaction with the installation's
// journal: a failure, a kill or a power cut ends as before or as after.
// When nothing is left in the directory the launcher's list loses it.
// Returns 0, 1 (no trustworthy record, directory busy) or 2 (failed,
// rolled back).
int run_uninstall(const MaintenanceSettings& settings, FILE* out, FILE* err);

// Installs again, from the kit given, every recorded entry that is missing
// or differs; a changed file is first kept beside it under a visible name.
// One transaction. Returns 0, 1 (no kit, no trustworthy record, another
// kit than the recorded one, busy) or 2 (failed, rolled back).
int run_repair(const MaintenanceSettings& settings, FILE* out, FILE* err);

#endif  // OVN8_INSTALL_MAINTENANCE_H_
