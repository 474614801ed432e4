// Recovery at start: every installation that a kill or a power cut stopped
// is found through its run record in the home directory and, once its
// directory's lock shows that it no longer runs, put back exactly as its
// rollback would have (or, when it had committed, only its backups are
// deleted). A kill during recovery leaves the record and the journal in
// place, so the next start recovers again.
#ifndef OVN8_INSTALL_RECOVERY_H_
#define OVN8_INSTALL_RECOVERY_H_

#include <string>
#include <vector>

// Recovers every stopped installation; returns the template directories
// that were rolled back, each once, for telling the user.
std::vector<std::u16string> recover_stopped_installations();

#endif  // OVN8_INSTALL_RECOVERY_H_
