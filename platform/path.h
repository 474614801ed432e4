// Operations on path strings; none of them looks at the file system.
//
// Paths separate their names with "/". A "\" is an ordinary character of a
// file name on this system; kit entry names and the launcher's stored lists
// may use it as a separator, so the functions that can meet those take a
// PathSeparators argument, and only with kSlashAndBackslash does "\" count.
// Repeated separators ("a//b") are kept as they are: they name the same
// place as one.
#ifndef OVN8_PLATFORM_PATH_H_
#define OVN8_PLATFORM_PATH_H_

#include <string>

enum class PathSeparators { kSlash, kSlashAndBackslash };

// `path` without the separators at its end. A path made of separators only
// keeps its first one ("/" and "//" give "/"); "" stays "".
std::u16string without_trailing_separator(const std::u16string& path,
                                          PathSeparators separators = PathSeparators::kSlash);
std::string without_trailing_separator(const std::string& path,
                                       PathSeparators separators = PathSeparators::kSlash);

// `path` ending in a separator: "/" is appended unless the path is empty or
// already ends in one.
std::u16string with_trailing_separator(const std::u16string& path,
                                       PathSeparators separators = PathSeparators::kSlash);
std::string with_trailing_separator(const std::string& path,
                                    PathSeparators separators = PathSeparators::kSlash);

// The directory that holds `path`: everything before its last separator,
// "/" when that separator is the first unit, and "" when `path` holds no
// separator (a caller that opens it takes "" as the current directory).
// Separators at the end are not dropped first: the parent of "/a/b/" is
// "/a/b".
std::u16string parent_directory(const std::u16string& path,
                                PathSeparators separators = PathSeparators::kSlash);

// The last name of `path`: everything after its last "/" (all of `path`
// when it holds none; "" when it ends in "/").
std::string last_path_component(const std::string& path);

// `path` made absolute against the directory `cwd`, so that a directory
// does not depend on where the wizard was started: "~" and "~/..." stand
// for `home` (unless `home` is empty), leading "./" and a lone "." name
// `cwd` itself, any other relative path lies below it. Absolute paths, and
// relative ones when `cwd` is empty, stay as they are.
std::u16string absolute_path(const std::u16string& path, const std::u16string& home,
                             const std::u16string& cwd);
// The same for a name as the command line gave it (no "~" there: the shell
// has expanded it), kept narrow so that bytes the locale cannot read reach
// the message that refuses them.
std::string absolute_path(const std::string& path, const std::string& cwd);

// Walking one path level by level in place, so that a deep path costs as
// much as its length. path_up_one_level shortens `level` to its parent
// directory ("/" for "/name") and is false, leaving it alone, when it holds
// no "/". path_down_one_level lengthens `level`, which must be the first
// level.size() units of `full`, by the separators and the name that follow
// in `full`; false when nothing but separators is left.
bool path_up_one_level(std::u16string& level);
bool path_down_one_level(const std::u16string& full, std::u16string& level);

// The names of the relative `path` joined by one `joiner`, with empty and
// "." names dropped: "a//b", "./a/b" and "a/b" give "a/b". False when a
// name is ".." (the path could leave the folder it is relative to) or holds
// a NUL, or when nothing is left. Kit entry names and journal keys both
// follow this rule.
bool normal_relative_path(const std::u16string& path, PathSeparators separators, char16_t joiner,
                          std::u16string& normal);

// The form under which the journal knows a path relative to the target
// directory: normal_relative_path with "/" only.
bool relative_path_key(const std::u16string& relative, std::u16string& key);

#endif  // OVN8_PLATFORM_PATH_H_
