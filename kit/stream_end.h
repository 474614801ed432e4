// Where a kit's DEFLATE stream ends. The wizard keeps whatever a cut stream
// gave and ignores bytes after the final block, since the container checks
// decide whether a kit can be installed; a vendor checking a kit before it
// ships wants to know that the file is exactly one whole stream.
#ifndef OVN8_KIT_STREAM_END_H_
#define OVN8_KIT_STREAM_END_H_

#include <cstdint>
#include <string>

namespace config {

enum class KitStreamEnd {
  kWhole,          // the final block ends with the file's last byte
  kCutShort,       // the file ends before the final block does
  kTrailingBytes,  // bytes follow the final block
  kCorrupt,        // the stream cannot be inflated
  kUnreadable,     // the file cannot be opened or read (see `error`)
};

struct KitStreamCheck {
  KitStreamEnd end = KitStreamEnd::kUnreadable;
  uint64_t streamBytes = 0;  // bytes of the file that belong to the stream
  uint64_t fileBytes = 0;    // bytes of the file read
  uint32_t error = 0;        // the file layer's number, for kUnreadable
};

// Inflates the kit at `path` to nowhere and tells where its stream ends.
KitStreamCheck checkKitStream(const std::u16string& path);

// What `check` means, in English words for okdpack ("cut short: the file
// ends before the stream does").
std::string describeKitStreamEnd(const KitStreamCheck& check);

}  // namespace config

#endif  // OVN8_KIT_STREAM_END_H_
