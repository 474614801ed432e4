// What wizards that no longer run left behind: unpacked kits ("odk...") in
// the wizard's private temporary folder and replacements of the launcher's
// file (".ovst" and their inode number) beside it. Each is locked by its
// process while that runs (see platform/owned_leftovers.h), so a running
// wizard's files are never taken, and nothing else in the temporary
// directory or the launcher's folders is ever looked at.
#ifndef OVN8_INSTALL_LEFTOVERS_H_
#define OVN8_INSTALL_LEFTOVERS_H_

// Removes, at start, the unlocked containers in the private temporary
// folder and the unlocked replacements in the launcher's configuration
// folders.
void remove_leftovers_of_ended_runs();

#endif  // OVN8_INSTALL_LEFTOVERS_H_
