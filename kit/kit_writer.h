// Builds distribution kits: the vendor's side of the kit reader.
//
// A kit is the unpacked container (descriptions, entry table, data area;
// see docs/kit-format.md) compressed as one raw DEFLATE stream. The output
// depends only on the input (names, bytes, times, descriptions, layout,
// level), so the same tree always gives the same kit byte for byte.
//
// Typical use in a test:
//   config::writeKit("/tmp/x/ovn8.okd", {{u"dir\\a.txt", "hello", time}});
#ifndef OVN8_KIT_KIT_WRITER_H_
#define OVN8_KIT_KIT_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "kit/install_data.h"
#include "platform/file_system.h"

namespace config {

// One file to put into a kit.
struct KitFileSpec {
  std::u16string name;      // relative path, "\" separators
  std::string data;         // the bytes, unless sourcePath is set
  _FILETIME lastWriteTime;  // given to the installed file
  std::string sourcePath;   // when set, the bytes are read from this file...
  uint64_t sourceSize;      // ...which must still have this size

  KitFileSpec(std::u16string name_ = std::u16string(), std::string data_ = std::string(),
              _FILETIME time = _FILETIME{0, 0})
      : name(std::move(name_)), data(std::move(data_)), lastWriteTime(time), sourceSize(0) {}
};

struct KitSpec {
  // The single form has one description without a language code (readers
  // take it as English): productName, providerName and descriptionPath of
  // descriptions[0], or empty strings when there is none. The per-language
  // form stores every description (possibly none).
  bool singleForm = false;
  std::vector<KitDescription> descriptions;
  std::vector<KitFileSpec> files;  // entry table order
};

struct KitLayout {
  bool reverseData = false;         // data area in the opposite order of the entry table
  uint32_t descriptionPadding = 0;  // extra bytes at the end of every description record
  uint32_t entryPadding = 0;        // extra bytes at the end of every entry record
  int level = 9;                    // DEFLATE level 0..9
  // Every entry record carries the extension with the CRC-32 of its bytes;
  // false writes the records of kits made before the extension existed.
  bool checksums = true;
};

// Little-endian pieces of a container, for building exact (also damaged)
// containers in tests.
class ContainerBuilder {
 public:
  ContainerBuilder& u32(uint32_t value);
  ContainerBuilder& string(const std::u16string& value);
  ContainerBuilder& raw(const std::string& bytes);
  // A description record of the per-language form.
  ContainerBuilder& descriptionRecord(const KitDescription& description, uint32_t padding = 0);
  // An entry record; `offset` is relative to the data area. With `crc`,
  // the record carries the extension with that checksum item, before the
  // padding.
  ContainerBuilder& entryRecord(const std::u16string& name, _FILETIME lastWriteTime,
                                uint32_t offset, uint32_t size, uint32_t padding = 0,
                                const uint32_t* crc = nullptr);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// The whole unpacked container in memory. False (and a message) when a name
// is unsafe, a source file cannot be read or changed size, or the container
// would reach 4 GiB.
bool buildContainer(const KitSpec& kit, const KitLayout& layout, std::string& container,
                    std::string* error = nullptr);

// Compresses the container of `kit` into the file at `path`, streaming the
// data of source files. On failure no file is left at `path`.
bool writeKit(const std::string& path, const KitSpec& kit, const KitLayout& layout = KitLayout(),
              std::string* error = nullptr);
// Per-language form with one English description ("Product", "Vendor",
// "readme.html").
bool writeKit(const std::string& path, const std::vector<KitFileSpec>& files,
              std::string* error = nullptr);

// The CRC-32 of `data`, as zlib's crc32 computes it.
uint32_t crc32Of(const std::string& data);

// Raw DEFLATE (no header, no trailer) of `data`.
std::string deflateRaw(const std::string& data, int level = 9);
// Writes `bytes` to `path` as they are (for kits made by hand).
bool writeFileBytes(const std::string& path, const std::string& bytes);
// Compresses a hand-made container into a kit file.
bool writeContainerAsKit(const std::string& path, const std::string& container, int level = 9);

// Lists the regular files below `root` as kit files, sorted by name: names
// relative to `root` with "\" separators, times from the files' modification
// times in whole seconds (what an installed file keeps, so that a second
// installation finds every file up to date), bytes read from the files when
// the kit is written. Directories are followed, symbolic links to
// directories are not; symbolic links to files count as files.
bool listKitTree(const std::string& root, std::vector<KitFileSpec>& files, std::string* error);

// Seconds and nanoseconds since 1970 as a _FILETIME, to the 100 ns unit.
_FILETIME fileTimeFromUnix(int64_t seconds, long nanoseconds);

}  // namespace config

#endif  // OVN8_KIT_KIT_WRITER_H_
