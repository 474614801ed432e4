#include "platform/existing_level.h"

#include "platform/path.h"

uint32_t climb_to_level(std::u16string& level, const LevelTest& isEnd) {
  for (;;) {
    bool end = false;
    const uint32_t result = isEnd(level, end);
    if (result != ERROR_SUCCESS) return result;
    if (end) return ERROR_SUCCESS;
    if (level == u"/" || !path_up_one_level(level)) return ERROR_PATH_NOT_FOUND;
  }
}

uint32_t nearest_existing_level(const std::u16string& path, std::u16string& level,
                                FileStatus& status) {
  const LevelTest exists = [&status](const std::u16string& at, bool& end) {
    const uint32_t looked = file_status(at, status);
    // "a/file/b": the look fails below the file, which the next level finds.
    if (looked == ERROR_NOT_A_FOLDER) return uint32_t(ERROR_SUCCESS);
    end = looked == ERROR_SUCCESS && status.exists();
    return looked;
  };
  level = without_trailing_separator(path);
  const uint32_t result = climb_to_level(level, exists);
  // A relative name lies in the current directory.
  if (result != ERROR_PATH_NOT_FOUND || level.empty() || level[0] == u'/' || level == u".")
    return result;
  level.assign(1, u'.');
  return climb_to_level(level, exists);
}
