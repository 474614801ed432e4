#include "config/config_paths.h"

#include "platform/file_system.h"
#include "platform/target_check.h"
#include "platform/text.h"

const std::u16string kStartFileName = u"ovanstart.cfg";
const std::u16string kStartrDir = u".Ovan/ovanstart";
const std::u16string kStartrDirt = u".Ovan/ovanstartt";

std::u16string get_local_config_file_dir() { return home_dir() + kPathSeparator + kStartrDir; }

std::u16string get_local_config_file_path() {
  return get_local_config_file_dir() + kPathSeparator + kStartFileName;
}

// app_data_dir() ends in "/", so the path holds "//"; it names the same
// directory, and the launcher's files have always been found there.
std::u16string get_allusers_config_file_dir() {
  return app_data_dir() + kPathSeparator + kStartrDir;
}

std::u16string get_allusers_config_file_path() {
  return get_allusers_config_file_dir() + kPathSeparator + kStartFileName;
}

std::u16string get_local_config_file_dir_base() {
  return home_dir() + kPathSeparator + kStartrDirt;
}

std::u16string get_local_config_file_path_base() {
  return get_local_config_file_dir_base() + kPathSeparator + kStartFileName;
}

std::u16string get_allusers_config_file_path_base() {
  return get_local_config_file_dir() + kPathSeparator + kStartFileName;
}

std::u16string n8_app_data_dir(bool flag) {
  return app_data_dir(flag) + u"Ovan" + kPathSeparator + u"ovn" + string_ito(8, 10) +
         kPathSeparator;
}

bool isWritePermitted(const std::u16string& dir) {
  return checkTargetDirectory(dir) == TargetCheck::kUsable;
}
