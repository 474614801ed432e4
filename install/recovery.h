// Recovery: an installation that a kill, a crash or a power cut stopped is
// put back, exactly as its own rollback would have, by whoever next uses
// its directory: every start visits the directories its run records name,
// and every run first recovers what it finds in its own directory. Only a
// journal the user's own run wrote is trusted: a regular file owned by the
// user, in a private folder owned by the user and writable by nobody else,
// whose header names the directory it lies in (by device and inode). A
// record whose directory is missing, or is another one now (moved,
// unmounted, re-pointed), is kept and acted on never, until the directory
// is back. A kill during recovery leaves the journal in place, so the next
// start recovers again.
#ifndef OVN8_INSTALL_RECOVERY_H_
#define OVN8_INSTALL_RECOVERY_H_

#include <cstdint>
#include <string>
#include <vector>

// What the user is told of one stopped installation.
struct RecoveryNotice {
  enum class Kind {
    // Put back as it was; `paths` are files changed since the run wrote
    // them, kept (empty when none).
    kRestored,
    // The directory is missing or is another one now; nothing was done.
    kPending,
    // Not everything could be put back; `paths` are the files whose
    // originals are kept in `keptIn`.
    kIncomplete,
    // Its journal cannot be read; nothing was done.
    kCannotTell,
    // An installation by an earlier version, whose originals are kept in
    // `keptIn`; nothing was done.
    kEarlierVersion,
  };
  Kind kind = Kind::kRestored;
  std::u16string directory;  // ends with "/"
  std::vector<std::u16string> paths;
  std::u16string keptIn;
};

// Recovers every stopped installation the user's run records name, each
// directory once; returns what to tell the user.
std::vector<RecoveryNotice> recover_stopped_installations();

// Recovers the stopped installations found inside `directory`, taking its
// lock (nothing is done while an installation runs there).
std::vector<RecoveryNotice> recover_directory(const std::u16string& directory);

// The same for a run that holds the directory's lock itself. 0, or 1392
// when a stopped installation there cannot be put right (the run must not
// go on); `notices` gets what happened, and `unstarted` (when given) the
// private folders removed of runs stopped before their journal was whole.
uint32_t recover_runs_in_locked_directory(const std::u16string& directory,
                                          std::vector<RecoveryNotice>& notices,
                                          std::vector<std::u16string>* unstarted = nullptr);

// The notice in the interface language, on one or more lines.
std::u16string recovery_notice_text(const RecoveryNotice& notice);

#endif  // OVN8_INSTALL_RECOVERY_H_
