// Temporary files and folders tied to the process that made them.
//
// The maker keeps an open handle with an exclusive flock on each of them for
// as long as it needs them; the lock ends with the process, however it ends.
// At the next start a leftover whose lock can be taken belongs to a process
// that no longer runs and is removed, while holding the lock; one that is
// locked belongs to a running wizard and is left alone.
//
// Making and locking are two steps. A clean-up that removes a fresh,
// not-yet-locked entry in between cannot harm its maker: the maker checks
// after locking that the path still names what it locked, and makes another
// one otherwise.
#ifndef OVN8_PLATFORM_OWNED_LEFTOVERS_H_
#define OVN8_PLATFORM_OWNED_LEFTOVERS_H_

#include <cstdint>
#include <string>

#include "platform/file_system.h"

// Opens what stands at `path` and takes an exclusive flock on it without
// waiting, then checks that the path still names what was locked. 0 with
// `handle` holding the lock until it is closed; 33 when another handle
// holds the lock; 183 when the path went away or now names something else;
// otherwise the file layer's error, with `handle` invalid. With
// `followLink`, a link is judged by what it points to.
uint32_t open_and_lock(const std::u16string& path, uint32_t access, HANDLE& handle,
                       bool followLink = false);

// Makes a new empty file as GetTempFileName does (`prefix` and six generated
// characters, in `directory`) and locks it; `handle` is open for reading and
// writing and holds the lock until it is closed. On failure `path` is empty
// and `handle` invalid.
uint32_t create_locked_temp_file(const std::u16string& directory, const std::u16string& prefix,
                                 std::u16string& path, HANDLE& handle);

// Creates exactly the new directory `path` with `mode` and locks it through
// `handle`. 183 when anything of that name exists, or when the directory was
// taken away before it was locked (the caller tries the next name).
uint32_t create_locked_directory(const std::u16string& path, uint32_t mode, HANDLE& handle);

// A file that is written and then renamed over another (the launcher's
// file) is made without a name where the file system allows it (O_TMPFILE),
// so that a crash while it is written leaves nothing, and is named only
// for the rename. Its name is `prefix` followed by its own inode number in
// lower-case hexadecimal: a leftover names the file it is, which a file of
// the user's that merely has a similar name never does by chance, so the
// start-up clean-up removes only files a wizard made. Where the file system
// cannot make unnamed files it is made under a generated name and renamed
// to its inode name at once (only a crash in between leaves a file that is
// never removed).

// `prefix` followed by the inode number in lower-case hexadecimal.
std::u16string inode_file_name(const std::u16string& prefix, uint64_t inode);

// Makes the replacement file in `directory`, open for reading and writing,
// and locks it. `path` is empty while it has no name (see
// name_locked_replacement). On failure `path` is empty and `handle` invalid.
uint32_t create_locked_replacement(const std::u16string& directory, const std::u16string& prefix,
                                   std::u16string& path, HANDLE& handle);

// Gives a replacement that has no name yet its inode name in `directory`
// (the one it was made in) and sets `path`; one with a name keeps it.
uint32_t name_locked_replacement(const std::u16string& directory, const std::u16string& prefix,
                                 HANDLE handle, std::u16string& path);

// Removes the unlocked regular files in `directory` that bear the inode
// name of `prefix`. Returns how many went.
int remove_unlocked_replacements(const std::u16string& directory, const std::u16string& prefix);

// Removes the unlocked files in `directory` whose names are `prefix`
// followed by exactly six generated characters (letters and digits), the
// names create_locked_temp_file gives. Returns how many went. Only for a
// folder of the wizard's own (platform/private_temp.h): anyone's file of
// such a name would go too.
int remove_unlocked_temp_files(const std::u16string& directory, const std::u16string& prefix);

#endif  // OVN8_PLATFORM_OWNED_LEFTOVERS_H_
