#include "kit/kit_reader.h"

namespace config {

template class InstallData<LZCompressor, FileSystem>;

}  // namespace config
