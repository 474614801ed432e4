#include "kit/container_builder.h"

#include <zlib.h>

#include <cstdio>

namespace config {

ContainerBuilder& ContainerBuilder::u32(uint32_t value) {
  out_.u32(value);
  return *this;
}

ContainerBuilder& ContainerBuilder::string(const std::u16string& value) {
  out_.string(value);
  return *this;
}

ContainerBuilder& ContainerBuilder::raw(const std::string& bytes) {
  out_.append(bytes);
  return *this;
}

ContainerBuilder& ContainerBuilder::descriptionRecord(const KitDescription& d, uint32_t padding,
                                                      const std::u16string& kitVersion) {
  const size_t fields = 16 + 2 * (d.languageCode.size() + d.productName.size() +
                                  d.providerName.size() + d.descriptionPath.size());
  const size_t extension = kitVersion.empty() ? 0 : 4 + 2 + 2 + 2 * kitVersion.size();
  u32(uint32_t(4 + fields + extension + padding));
  string(d.languageCode).string(d.productName).string(d.providerName).string(d.descriptionPath);
  if (!kitVersion.empty()) {
    raw(std::string(kKitExtensionMagic, 4));
    out_.u16(kKitItemKitVersion);
    out_.u16(uint16_t(2 * kitVersion.size()));
    for (char16_t unit : kitVersion) out_.u16(uint16_t(unit));
  }
  out_.append(std::string(padding, '\0'));
  return *this;
}

ContainerBuilder& ContainerBuilder::entryRecord(const std::u16string& name, _FILETIME lastWriteTime,
                                                uint32_t offset, uint32_t size, uint32_t padding,
                                                const uint32_t* crc) {
  const uint32_t extension = crc != nullptr ? 4 + 2 + 2 + 4 : 0;
  u32(uint32_t(kMinEntryRecordSize + 2 * name.size() + extension + padding));
  string(name).u32(lastWriteTime.dwLowDateTime).u32(lastWriteTime.dwHighDateTime).u32(offset).u32(size);
  if (crc != nullptr) {
    raw(std::string(kKitExtensionMagic, 4));
    out_.u16(kKitItemCrc32);
    out_.u16(4);
    u32(*crc);
  }
  out_.append(std::string(padding, '\0'));
  return *this;
}

std::string deflateRaw(const std::string& data, int level) {
  z_stream stream = z_stream();
  if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
  std::string out(deflateBound(&stream, uLong(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = uInt(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = uInt(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

bool writeFileBytes(const std::string& path, const std::string& bytes) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return fclose(out) == 0 && written;
}

bool writeContainerAsKit(const std::string& path, const std::string& container, int level) {
  return writeFileBytes(path, deflateRaw(container, level));
}

}  // namespace config
