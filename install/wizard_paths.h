// Path and size rules of an installation: the proposed directory, the
// checks of a chosen one, the space it needs.
#ifndef OVN8_INSTALL_WIZARD_PATHS_H_
#define OVN8_INSTALL_WIZARD_PATHS_H_

#include <cstdint>
#include <string>

#include "platform/path.h"
#include "platform/target_check.h"

// The temporary directory must hold this many times the kit's size.
const uint64_t kSpaceReg = 3;

// True when `freeBytes` of temporary space hold kSpaceReg times the kit,
// computed without overflow. A free size saturated at 4 GiB - 1 (the file
// layer's limit) only says "at least that much" and never refuses.
bool enoughTemporarySpace(uint32_t kitSize, uint32_t freeBytes);

// The proposed template directory as the wizard offers it: a URL of http,
// https or ftp gives an empty proposal, the first "file://" is removed, and
// line feeds and carriage returns are dropped.
std::u16string cleanProposedDirectory(std::u16string path);

// True when a level of `path` is one of the wizard's own folders (a run's
// private folder, a directory's control folder): those hold what the
// wizard keeps for a directory, never templates.
bool liesInWizardsOwnFolder(const std::u16string& path);

// `directory` and the relative `name` with exactly one separator ("/" or
// "\") between them; an empty directory gives `name` unchanged.
std::u16string joinDirectoryAndName(const std::u16string& directory, const std::u16string& name);

// The absolute, resolved form of `path` when it names an existing file that
// lies inside `directory` (symbolic links and ".." resolved on both); empty
// otherwise.
std::u16string documentInsideDirectory(const std::u16string& path,
                                       const std::u16string& directory);

// A typed directory is made absolute by absolute_path (platform/path.h);
// whether it can be the template directory is checkTargetDirectory
// (platform/target_check.h).

// The space free to this user on the file system of the absolute `path`, or
// of its nearest existing parent. False when it cannot be told.
bool freeSpaceAt(const std::u16string& path, uint64_t& freeBytes);
// Test seam: while set, freeSpaceAt asks this instead of the system.
typedef bool (*FreeSpaceProbe)(const std::u16string& folder, uint64_t& freeBytes);
void set_free_space_probe(FreeSpaceProbe probe);

#endif  // OVN8_INSTALL_WIZARD_PATHS_H_
