// How large an unpacked container must be, judged from its first bytes: the
// end of its entry table or of its farthest entry, whichever lies later.
// Lets a whole-buffer inflater get a buffer of the right size before the
// container has been unpacked.
#ifndef OVN8_KIT_CONTAINER_EXTENT_H_
#define OVN8_KIT_CONTAINER_EXTENT_H_

#include <cstddef>
#include <cstdint>

namespace config {

enum class ExtentResult {
  kNeedMore,  // the entry table goes on past the bytes given
  kKnown,     // `extent` holds the size
  kUnknown,   // the header makes no sense; only a full reading can tell
};

// `tableEnd`, when given, gets where the entry table ends (the data area
// begins) with kKnown.
ExtentResult containerExtent(const uint8_t* data, size_t size, uint64_t& extent,
                             uint64_t* tableEnd = nullptr);

}  // namespace config

#endif  // OVN8_KIT_CONTAINER_EXTENT_H_
