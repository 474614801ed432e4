// Where the launcher's configuration files lie, and two directory functions
// of the wizard's start-up: the writability probe and the default location.
//
// There are two sets of files. In the normal set the per-user file lies in
// ~/.Ovan/ovanstart and the all-users file in ~/.ovn8//.Ovan/ovanstart. In
// the alternate set (the "_base" accessors) the per-user file lies in
// ~/.Ovan/ovanstartt, and its all-users file is the normal per-user file.
// Paths are plain concatenations; nothing is normalised.
#ifndef OVN8_CONFIG_CONFIG_PATHS_H_
#define OVN8_CONFIG_CONFIG_PATHS_H_

#include <string>

extern const std::u16string kStartFileName;  // "ovanstart.cfg"
extern const std::u16string kStartrDir;      // ".Ovan/ovanstart"
extern const std::u16string kStartrDirt;     // ".Ovan/ovanstartt"

std::u16string get_local_config_file_dir();         // ~/.Ovan/ovanstart
std::u16string get_local_config_file_path();        // ~/.Ovan/ovanstart/ovanstart.cfg
std::u16string get_allusers_config_file_dir();      // ~/.ovn8//.Ovan/ovanstart
std::u16string get_allusers_config_file_path();     // ~/.ovn8//.Ovan/ovanstart/ovanstart.cfg
std::u16string get_local_config_file_dir_base();    // ~/.Ovan/ovanstartt
std::u16string get_local_config_file_path_base();   // ~/.Ovan/ovanstartt/ovanstart.cfg
std::u16string get_allusers_config_file_path_base();  // ~/.Ovan/ovanstart/ovanstart.cfg

// True when `dir` can be the template directory (checkTargetDirectory of
// platform/target_check.h): a file can be created in it, or, when it does
// not exist yet, in its nearest existing ancestor.
bool isWritePermitted(const std::u16string& dir);

// ~/.ovn8/Ovan/ovn8/, the wizard's fallback location. The argument is passed
// on to app_data_dir.
std::u16string n8_app_data_dir(bool flag);

#endif  // OVN8_CONFIG_CONFIG_PATHS_H_
