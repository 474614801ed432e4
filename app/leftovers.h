// What wizards that no longer run left behind: unpacked kits ("odk..."),
// replacements of the launcher's file (".ovst...") and backup folders
// ("n8stp<N>"). Each is locked by its process while that runs (see
// platform/owned_leftovers.h), so a running wizard's files are never taken.
#ifndef OVN8_APP_LEFTOVERS_H_
#define OVN8_APP_LEFTOVERS_H_

#include <string>

// True when the folder or anything below it holds a file, link or other
// non-directory entry.
bool folder_holds_a_file(const std::u16string& folder);

// Removes, at start, the unlocked containers and backup folders in the
// temporary directory and the unlocked replacements in the launcher's
// configuration folders. A backup folder that still holds a file may hold
// the only copy of a user's original and is kept.
void remove_leftovers_of_ended_runs();

#endif  // OVN8_APP_LEFTOVERS_H_
