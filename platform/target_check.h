// Whether a path can be the template directory: the one probe behind the
// wizard's proposal and its check of a typed directory.
#ifndef OVN8_PLATFORM_TARGET_CHECK_H_
#define OVN8_PLATFORM_TARGET_CHECK_H_

#include <string>

enum class TargetCheck {
  kUsable,       // a folder that may be written, or one that can be made
  kNotAFolder,   // a file stands at the path or at one of its parents
  kNotWritable,  // the folder, or the nearest existing parent, may not be written
};

// Probes `path`, or, when it does not exist yet, its nearest existing
// parent (the installer makes the missing levels). A level that cannot be
// searched, a name the locale cannot express and an empty path are not
// writable. The folder's permissions (write and search) must allow it, and
// a file without a name must be possible in it: it never appears in the
// folder and leaves its times alone (where the file system cannot make
// one, the permissions alone answer).
TargetCheck checkTargetDirectory(const std::u16string& path);

#endif  // OVN8_PLATFORM_TARGET_CHECK_H_
