// The program version, as the build names it ("1.0.0").
#ifndef OVN8_RESOURCES_VERSION_H_
#define OVN8_RESOURCES_VERSION_H_

const char* program_version();

#endif  // OVN8_RESOURCES_VERSION_H_
