// What `ovn8setup --help` and `--version` print.
#ifndef OVN8_APP_USAGE_H_
#define OVN8_APP_USAGE_H_

#include <string>

// The usage in the current interface language (UTF-8, ends with a line
// feed): the arguments, the language codes of the table, the long options
// and the exit statuses.
std::string usage_text();

// "ovn8setup 1.0.0" and a line feed.
std::string version_text();

#endif  // OVN8_APP_USAGE_H_
