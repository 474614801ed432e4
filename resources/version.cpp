#include "resources/version.h"

// OVN8_VERSION comes from the project's version in the build files; only this
// file is compiled with it, so a new version rebuilds one file.
const char* program_version() { return OVN8_VERSION; }
