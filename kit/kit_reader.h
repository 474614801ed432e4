// The kit reader the wizard uses: zlib decompression over the real file API.
#ifndef OVN8_KIT_KIT_READER_H_
#define OVN8_KIT_KIT_READER_H_

#include "kit/install_data.h"
#include "kit/lz_compressor.h"
#include "platform/file_system.h"

namespace config {

typedef InstallData<LZCompressor, FileSystem> KitReader;

// Compiled once, in kit/kit_reader.cpp.
extern template class InstallData<LZCompressor, FileSystem>;

}  // namespace config

#endif  // OVN8_KIT_KIT_READER_H_
