#include "install/leftovers.h"

#include "config/config_paths.h"
#include "config/config_writer.h"
#include "platform/owned_leftovers.h"
#include "platform/private_temp.h"

void remove_leftovers_of_ended_runs() {
  std::u16string folder;
  if (private_temp_folder(folder) == ERROR_SUCCESS) remove_unlocked_temp_files(folder, u"odk");
  remove_unlocked_replacements(get_local_config_file_dir(), kLauncherReplacementPrefix);
  remove_unlocked_replacements(get_local_config_file_dir_base(), kLauncherReplacementPrefix);
}
