// The wizard's own folder in the temporary directory.
//
// The temporary directory is usually shared by every user (/tmp): anyone
// can make a name there beforehand, or watch for it and race its maker.
// The wizard's temporary files therefore lie in a folder of its user alone,
// "ovn8-<uid>" in the temporary directory, made with mode 0700 and kept
// from run to run. Before each use it is checked: a real directory (not a
// link), owned by this user, with no permission for group or others. One
// that fails (made by someone else, or a link in its place) is left alone,
// and the run uses a folder of its own whose name cannot be guessed
// ("ovn8-<uid>-" and six random characters).
#ifndef OVN8_PLATFORM_PRIVATE_TEMP_H_
#define OVN8_PLATFORM_PRIVATE_TEMP_H_

#include <cstdint>
#include <string>

#include "platform/file_system.h"

// The folder, ending in "/", made when missing. 0, or the error of making
// or looking at it with an empty `folder`. Safe on any thread.
uint32_t private_temp_folder(std::u16string& folder);

// Makes a new file named `prefix` and six generated characters in the
// folder and locks it, as create_locked_temp_file does
// (platform/owned_leftovers.h). Only ever there: a folder that went away
// meanwhile gives 1013 rather than a file in the shared directory.
uint32_t create_private_temp_file(const std::u16string& prefix, std::u16string& path,
                                  HANDLE& handle);

// Removes the run's own folder, when one had to be made and is empty.
void remove_run_temp_folder();

// True when `status` (of the path itself, never a link's target) shows a
// folder only this user can enter and change.
bool is_private_folder(const FileStatus& status);

#endif  // OVN8_PLATFORM_PRIVATE_TEMP_H_
