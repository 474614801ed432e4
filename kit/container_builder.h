// Containers and kits made by hand: the little-endian pieces of a container
// (the kit writer's records, and exact or deliberately damaged containers
// that tests build), raw DEFLATE, and hand-made containers written as kits.
#ifndef OVN8_KIT_CONTAINER_BUILDER_H_
#define OVN8_KIT_CONTAINER_BUILDER_H_

#include <cstdint>
#include <string>

#include "kit/install_data.h"
#include "platform/byte_codec.h"
#include "platform/file_system.h"

namespace config {

// Little-endian pieces of a container.
class ContainerBuilder {
 public:
  ContainerBuilder& u32(uint32_t value);
  ContainerBuilder& string(const std::u16string& value);
  ContainerBuilder& raw(const std::string& bytes);
  // A description record of the per-language form. With a non-empty
  // `kitVersion`, the record carries the extension with that version item,
  // before the padding.
  ContainerBuilder& descriptionRecord(const KitDescription& description, uint32_t padding = 0,
                                      const std::u16string& kitVersion = std::u16string());
  // An entry record; `offset` is relative to the data area. With `crc`,
  // the record carries the extension with that checksum item, before the
  // padding.
  ContainerBuilder& entryRecord(const std::u16string& name, _FILETIME lastWriteTime,
                                uint32_t offset, uint32_t size, uint32_t padding = 0,
                                const uint32_t* crc = nullptr);
  const std::string& bytes() const { return out_.bytes(); }

 private:
  ByteWriter out_;
};

// Raw DEFLATE (no header, no trailer) of `data`.
std::string deflateRaw(const std::string& data, int level = 9);
// Writes `bytes` to `path` as they are (for kits made by hand).
bool writeFileBytes(const std::string& path, const std::string& bytes);
// Compresses a hand-made container into a kit file.
bool writeContainerAsKit(const std::string& path, const std::string& container, int level = 9);

}  // namespace config

#endif  // OVN8_KIT_CONTAINER_BUILDER_H_
