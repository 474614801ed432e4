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
#include <cstdio>
#include <functional>
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
  // Stored in every description record of the per-language form (the
  // single form has no record to carry it); empty: none.
  std::u16string kitVersion;
};

// Longest kit version, in UTF-16 units: its item length is 16 bits.
const size_t kMaxKitVersionUnits = 0x7FFF;

struct KitLayout {
  bool reverseData = false;         // data area in the opposite order of the entry table
  uint32_t descriptionPadding = 0;  // extra bytes at the end of every description record
  uint32_t entryPadding = 0;        // extra bytes at the end of every entry record
  int level = 9;                    // DEFLATE level 0..9
  // Every entry record carries the extension with the CRC-32 of its bytes;
  // false writes the records of kits made before the extension existed.
  bool checksums = true;
};

// The whole unpacked container in memory. False (and a message) when a name
// is unsafe, a source file cannot be read or changed size, or the container
// would reach 4 GiB.
bool buildContainer(const KitSpec& kit, const KitLayout& layout, std::string& container,
                    std::string* error = nullptr);

// Called as the container is compressed, with the container bytes sent so
// far (about once a MiB).
typedef std::function<void(uint64_t containerBytes)> KitProgress;

// What a kit took: its container and the compressed stream, in bytes.
struct KitSizes {
  uint64_t container = 0;
  uint64_t compressed = 0;
};

// Compresses the container of `kit` into the file at `path`, streaming the
// data of source files. On failure no file is left at `path`.
bool writeKit(const std::string& path, const KitSpec& kit, const KitLayout& layout = KitLayout(),
              std::string* error = nullptr, const KitProgress& progress = KitProgress(),
              KitSizes* sizes = nullptr);
// Compresses the container of `kit` into `out` (standard output, say),
// which stays open.
bool writeKitStream(FILE* out, const KitSpec& kit, const KitLayout& layout,
                    const KitProgress& progress, KitSizes* sizes, std::string* error);
// Per-language form with one English description ("Product", "Vendor",
// "readme.html").
bool writeKit(const std::string& path, const std::vector<KitFileSpec>& files,
              std::string* error = nullptr);

// The CRC-32 of `data`, as zlib's crc32 computes it.
uint32_t crc32Of(const std::string& data);

// Lists the regular files below `root` as kit files, sorted bytewise by the
// UTF-8 of their stored names (whatever the locale's collation): names
// relative to `root` with "\" separators, times from the files' modification
// times in whole seconds (what an installed file keeps, so that a second
// installation finds every file up to date), bytes read from the files when
// the kit is written. Directories are followed, symbolic links to
// directories are not; symbolic links to files count as files.
bool listKitTree(const std::string& root, std::vector<KitFileSpec>& files, std::string* error);

// Reproducible kits: every entry time later than `latest` becomes `latest`
// (SOURCE_DATE_EPOCH), or every time becomes `time` (okdpack --mtime).
void clampKitTimes(std::vector<KitFileSpec>& files, _FILETIME latest);
void setKitTimes(std::vector<KitFileSpec>& files, _FILETIME time);

// Seconds and nanoseconds since 1970 as a _FILETIME, to the 100 ns unit.
_FILETIME fileTimeFromUnix(int64_t seconds, long nanoseconds);

}  // namespace config

#endif  // OVN8_KIT_KIT_WRITER_H_
