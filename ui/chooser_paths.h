// Where the directory page's folder chooser opens, and whether it shows
// hidden folders.
#ifndef OVN8_UI_CHOOSER_PATHS_H_
#define OVN8_UI_CHOOSER_PATHS_H_

#include <string>

// Where the folder chooser starts for the text of the path field: the
// folder it names, else its nearest existing parent, else the home
// directory. Only absolute paths count; "~" stands for `home`.
std::u16string chooserStartFolder(const std::u16string& field, const std::u16string& home);

// True when a component of the absolute `path` is hidden (begins with ".").
bool hasHiddenComponent(const std::u16string& path);

#endif  // OVN8_UI_CHOOSER_PATHS_H_
