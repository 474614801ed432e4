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

// Removes the unlocked files in `directory` whose names are `prefix`
// followed by exactly six generated characters (letters and digits), the
// names create_locked_temp_file gives, and that are, as it makes them,
// regular files of this user open to nobody else (mode 0600 at most).
// Returns how many went.
int remove_unlocked_temp_files(const std::u16string& directory, const std::u16string& prefix);

// Removes the unlocked folders of this user in `directory` whose names are
// `prefix` followed by decimal digits, with their content, except those for which
// `keep(path, context)` is true (given the path without a trailing "/").
// Returns how many went.
typedef bool (*KeepLeftover)(const std::u16string& path, void* context);
int remove_unlocked_folders(const std::u16string& directory, const std::u16string& prefix,
                            KeepLeftover keep, void* context);

#endif  // OVN8_PLATFORM_OWNED_LEFTOVERS_H_
