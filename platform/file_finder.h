// Directory enumeration in the manner of the Win32 find functions.
//
//   FileFinder finder;
//   for (bool found = finder.reset(directory + u"/*"); found; found = finder.next())
//     use(finder.name(), finder.attributes());
//
// The last component of the path given to reset is an fnmatch pattern
// (FNM_PATHNAME; a backslash quotes the next character) that also matches
// ".", ".." and hidden entries, in the order the directory delivers them.
// An entry whose name equals the pattern literally matches as well, so an
// existing file is found by its exact path whatever characters its name
// holds. Entries whose names cannot be converted to wide text are skipped.
// The directory is read whole by FileSystem::ListDirectory when the
// enumeration starts, so removing entries meanwhile skips none.
#ifndef OVN8_PLATFORM_FILE_FINDER_H_
#define OVN8_PLATFORM_FILE_FINDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

class FileFinder {
 public:
  FileFinder();
  ~FileFinder();
  FileFinder(const FileFinder&) = delete;
  FileFinder& operator=(const FileFinder&) = delete;

  // Starts a new enumeration of `path` (directory, "/", pattern); true when
  // a first matching entry was found.
  bool reset(const std::u16string& path);
  // True when a further matching entry was found; false at the end, which
  // also closes the enumeration.
  bool next();
  // The current entry's name; empty when no enumeration is open.
  std::u16string name() const;
  // 16 (FILE_ATTRIBUTE_DIRECTORY) for a directory, else 0; a symbolic link
  // is reported as 0 even when it points to a directory, so that recursive
  // removal never follows it out of the tree.
  uint32_t attributes() const;
  // Ends the enumeration; always 0.
  int close();
  // Why the last reset found nothing when the directory could not be read
  // (the listing's error number); 0 when it was read.
  uint32_t error() const { return m_error; }

 private:
  bool isOpen() const { return m_next != 0; }

  std::string m_pattern;
  std::vector<DirectoryEntry> m_entries;
  // One past the current entry; 0 when no enumeration is open.
  size_t m_next = 0;
  uint32_t m_error = 0;
};

// True when FileFinder finds `path`: its last component names an entry
// literally or matches one as a pattern.
bool file_exists(const std::u16string& path);

#endif  // OVN8_PLATFORM_FILE_FINDER_H_
