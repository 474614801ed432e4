#include "app/leftovers.h"

#include "config/config_paths.h"
#include "platform/file_finder.h"
#include "platform/file_system.h"
#include "platform/owned_leftovers.h"

namespace {

bool keep_backup_folder(const std::u16string& folder, void*) { return folder_holds_a_file(folder); }

}  // namespace

bool folder_holds_a_file(const std::u16string& folder) {
  FileFinder finder;
  for (bool found = finder.reset(folder + u"/*"); found; found = finder.next()) {
    const std::u16string name = finder.name();
    if (name == u"." || name == u"..") continue;
    if ((finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) == 0) return true;
    if (folder_holds_a_file(folder + u"/" + name)) return true;
  }
  return false;
}

void remove_leftovers_of_ended_runs() {
  std::u16string temp;
  if (FileSystem::GetTempPath(temp) == ERROR_SUCCESS) {
    remove_unlocked_temp_files(temp, u"odk");
    remove_unlocked_folders(temp, u"n8stp", keep_backup_folder, nullptr);
  }
  remove_unlocked_temp_files(get_local_config_file_dir(), u".ovst");
  remove_unlocked_temp_files(get_local_config_file_dir_base(), u".ovst");
}
