// The reader of a distribution kit.
//
// A kit (ovn8.okd) is one raw DEFLATE stream. openStreamed() inflates only
// its head (descriptions and entry table) when the entries lie in table
// order, and the entries are then copied in one pass over the rest of the
// stream (kit/entry_stream.h). open(), and openStreamed() for other
// layouts, inflates the whole stream once (the unpacked container), reads
// the per-language descriptions and the entry table from it, and keeps it;
// copy() then extracts single entries from it. A container that fits well within the free memory is
// kept in memory, so its bytes are written only once, into their
// destinations; a larger one goes to a temporary file that stays open, in
// the user's private temporary folder (platform/private_temp.h). The
// container layout is described byte by byte in docs/kit-format.md.
//
// The reader trusts nothing in the container: every count, record size and
// string length is checked against the bytes that remain, every entry must
// lie inside the container, every entry name must stay below the directory
// it is installed into and hold only characters that can be printed, and
// every entry that carries a checksum must match it. A kit that breaks any
// of this fails open() with ERROR_INVALID_DATA, leaving no temporary file
// behind.
#ifndef OVN8_KIT_INSTALL_DATA_H_
#define OVN8_KIT_INSTALL_DATA_H_

#include <libdeflate.h>

#include <algorithm>
#include <functional>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kit/entry_stream.h"
#include "kit/kit_stream.h"
#include "kit/lz_compressor.h"
#include "platform/byte_codec.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/private_temp.h"
#include "platform/run_log.h"
#include "platform/text.h"
#include "platform/stop_signals.h"

namespace config {

// Why a kit was refused, for a text in the user's language (the English
// refusal() says it in more detail for the log).
enum class KitRefusal {
  kNone,
  kDataDamaged,     // the stream, the container or its tables are damaged or cut short
  kFileDamaged,     // one entry's data: a checksum that does not match, or outside the container
  kNameNotAllowed,  // an entry's name that cannot be a file in the template directory
  kUnreadable,      // the kit or the temporary container could not be read or written
};

// One description record: what the wizard shows for one interface language.
struct KitDescription {
  std::u16string languageCode;
  std::u16string productName;
  std::u16string providerName;
  std::u16string descriptionPath;  // relative to the template directory, "\" separators
};

// One file of the kit.
struct KitEntry {
  std::u16string name;  // relative path as stored, "\" separators
  _FILETIME lastWriteTime;
  uint32_t offset;  // after open(): absolute position in the unpacked container
  uint32_t size;
  // From the record's extension (item kKitItemCrc32): the CRC-32 of the
  // entry's bytes, as zlib's crc32 computes it.
  bool hasCrc32 = false;
  uint32_t crc32 = 0;
};

// An entry record may carry an extension behind its four fields: the magic
// "OKX1", then items (16-bit tag, 16-bit length, that many bytes, all
// little-endian) up to the end of the record. Bytes that do not begin with
// the magic are padding. Unknown tags are skipped, so newer writers can add
// items that this reader ignores. A description record may carry one the
// same way, behind its four strings.
const char kKitExtensionMagic[4] = {'O', 'K', 'X', '1'};
enum : uint16_t {
  kKitItemCrc32 = 1,       // entry records: CRC-32 of the entry's bytes
  kKitItemKitVersion = 2,  // description records: the kit's version, UTF-16LE units
};

// Smallest sizes a record can have: its size field plus its fields with
// empty strings.
enum : uint32_t {
  kMinDescriptionRecordSize = 4 + 4 * 4,
  kMinEntryRecordSize = 4 + 4 + 4 * 4,
};

// True when `name` holds a character that is never printed as it is: a
// control character (U+0000-U+001F, U+007F-U+009F) or a surrogate that is
// not half of a pair. Wherever such a name were shown (the per-file lines,
// messages, the log) it could forge lines or send escape sequences to a
// terminal, and no user types it.
inline bool hasUnprintableCharacter(const std::u16string& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) return true;
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    const bool high = unit <= 0xDBFF;
    if (!high || i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return true;
    ++i;  // a whole pair
  }
  return false;
}

// True when `name` (with "\\" or "/" separators) is a relative path whose
// components are all real names: not empty, not absolute, no empty, "." or
// ".." component, no control character or unpaired surrogate. Only such
// names can be installed below a directory without escaping it, and shown.
inline bool isSafeEntryName(const std::u16string& name) {
  std::u16string normal;
  // Only dropping an empty or "." name shortens it.
  return !hasUnprintableCharacter(name) &&
         normal_relative_path(name, PathSeparators::kSlashAndBackslash, u'\\', normal) &&
         normal.size() == name.size();
}

// The place of an entry below the directory, with "/" separators, in one
// pass: entryNameInDirectory of a name that isSafeEntryName accepts, which
// is also its journal key. False for a name isSafeEntryName refuses.
inline bool safeEntryPlace(const std::u16string& name, std::u16string& place) {
  return !hasUnprintableCharacter(name) &&
         normal_relative_path(name, PathSeparators::kSlashAndBackslash, u'/', place) &&
         place.size() == name.size();
}

// Limits of the file system on names, in bytes of the narrowed (UTF-8) text:
// a component of at most 255 bytes, a whole path below 4096.
enum : size_t {
  kMaxNameComponentBytes = 255,
  kMaxPathBytes = 4095,
};

// Bytes of `units` once narrowed to UTF-8 (a lone surrogate counts as the
// three bytes of its replacement).
inline size_t narrowedLength(const char16_t* units, size_t count) {
  size_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const char16_t unit = units[i];
    if (unit < 0x80) {
      bytes += 1;
    } else if (unit < 0x800) {
      bytes += 2;
    } else if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count && units[i + 1] >= 0xDC00 &&
               units[i + 1] < 0xE000) {
      bytes += 4;
      ++i;
    } else {
      bytes += 3;
    }
  }
  return bytes;
}

// An entry's name as it lies below the template directory: every "\\"
// turned into "/". The installer writes the entry to the directory followed
// by this name.
inline std::u16string entryNameInDirectory(const std::u16string& storedName) {
  std::u16string name = storedName;
  std::replace(name.begin(), name.end(), u'\\', u'/');
  return name;
}

// The name under which an entry is installed: the destination is the
// template directory followed by the name, so a leading separator, a doubled
// one and "." components add nothing and are dropped ("\\forms\\.\\a.tpl"
// becomes "forms\\a.tpl"; "/" counts as a separator too). False when nothing
// is left, or a component is "..", holds a NUL or is longer than the file
// system allows, or the name alone is longer than a path may be: such a
// name cannot be installed below the directory.
inline bool normalizeEntryName(const std::u16string& stored, std::u16string& name) {
  if (!normal_relative_path(stored, PathSeparators::kSlashAndBackslash, u'\\', name) ||
      narrowedLength(name.data(), name.size()) > kMaxPathBytes)
    return false;
  for (size_t start = 0; start <= name.size();) {
    const size_t end = std::min(name.find(u'\\', start), name.size());
    if (narrowedLength(name.data() + start, end - start) > kMaxNameComponentBytes) return false;
    start = end + 1;
  }
  return true;
}

namespace detail {

// Walks the items of an extension that starts at `cursor` (nothing when the
// bytes there do not begin with the magic), handing each to
// `item(tag, length, cursor)`, which must consume exactly `length` bytes
// or return false. False when an item runs past the record or is refused.
// Fewer than four bytes left behind the last item are padding.
template <class Item>
bool readExtension(ByteReader& cursor, Item item) {
  if (cursor.left() < 4 || std::memcmp(cursor.data(), kKitExtensionMagic, 4) != 0) return true;
  cursor.skipBytes(4);
  while (cursor.left() >= 4) {
    uint16_t tag = 0;
    uint16_t length = 0;
    cursor.u16(tag);
    cursor.u16(length);
    if (length > cursor.left() || !item(tag, length, cursor)) return false;
  }
  return true;
}

// The extension of an entry record. A checksum item of another length than
// 4, or a second one, is damage.
inline bool readEntryExtension(ByteReader& cursor, KitEntry& entry) {
  return readExtension(cursor, [&entry](uint16_t tag, uint16_t length, ByteReader& item) {
    if (tag != kKitItemCrc32) return item.skipBytes(length);
    if (length != 4 || entry.hasCrc32) return false;
    entry.hasCrc32 = true;
    return item.u32(entry.crc32);
  });
}

// The extension of a description record. The version is shown and logged,
// so an odd length, a second version item in one record or a character
// that is never printed is damage.
inline bool readDescriptionExtension(ByteReader& cursor, std::u16string& version, bool& hasVersion) {
  return readExtension(cursor, [&](uint16_t tag, uint16_t length, ByteReader& item) {
    if (tag != kKitItemKitVersion) return item.skipBytes(length);
    if (length % 2 != 0 || hasVersion) return false;
    hasVersion = true;
    version.resize(length / 2);
    for (char16_t& unit : version) {
      uint16_t value = 0;
      if (!item.u16(value)) return false;
      unit = char16_t(value);
    }
    return !hasUnprintableCharacter(version);
  });
}

}  // namespace detail

// Compressor: a policy with static unpack(kitPath, containerPath),
// unpackToMemory(...) and memoryLimit(), as LZCompressor.
// FS: the file API policy (FileSystem, or a test double derived from it).
template <class Compressor, class FS>
class InstallData {
 public:
  std::vector<KitDescription> descriptions;  // in file order
  std::vector<KitEntry> entries;             // in file order

  static const uint32_t kCopyBufferSize = 1048576;
  // Entries of at least this many bytes start their write-back as soon as
  // they are written (see copyTo).
  static const uint32_t kWriteBackFromSize = 65536;
  // The memory limit is asked of the compressor when the kit is opened.
  static const uint64_t kAutomaticLimit = UINT64_MAX;
  static const uint64_t kMinStreamBudget = 4096;

  InstallData() : handle_(INVALID_HANDLE_VALUE), copyBuffer_(new uint8_t[kCopyBufferSize]) {}
  ~InstallData() { release(); }
  InstallData(const InstallData&) = delete;
  InstallData& operator=(const InstallData&) = delete;

  // Inflates the kit into a new temporary file and reads its header.
  // 0 on success; otherwise the error number (13: damaged container or
  // stream, 1013: no temporary file, 2/87: kit or temporary file not
  // readable), with no temporary file left and no entries.
  uint32_t open(const std::u16string& kitPath) {
    release();
    resetRefusal();
    const uint32_t result = openContainer(kitPath);
    if (result != ERROR_SUCCESS) failedOpen(result);
    return result;
  }

  // Like open(), but decodes the kit only up to the end of its entry table
  // when every entry lies behind the one before it (the kits okdpack
  // makes): the descriptions and entries are there at once, whatever the
  // kit's size, and the data area is decoded later, once, as the entries
  // are copied in table order (see copy()). Entries lying in another
  // order, and kits this reading refuses, are opened by open(), which
  // also says why a kit is refused. In a streamed kit, damage to the data
  // area (a checksum that does not match, a stream that is corrupt or ends
  // inside an entry) shows only when the entries are copied: copy() and
  // finishStream() then return 13 and refusal() says why.
  uint32_t openStreamed(const std::u16string& kitPath) {
    release();
    resetRefusal();
    std::unique_ptr<KitStream> stream(new KitStream());
    std::vector<uint8_t> head;
    const uint32_t opened = stream->openHead(kitPath, streamDecoder_, head);
    if (opened == ERROR_INVALID_DATA) return open(kitPath);
    if (opened != ERROR_SUCCESS) return failedOpen(opened);
    memory_.bytes.reset(new uint8_t[std::max<size_t>(head.size(), 1)]);
    std::copy(head.begin(), head.end(), memory_.bytes.get());
    containerSize_ = head.size();
    position_ = 0;
    const bool read = readDescriptions() == ERROR_SUCCESS && readEntries() == ERROR_SUCCESS &&
                      entriesInTableOrder() && everyEntryCarriesCrc32() && placeStreamedEntries();
    memory_ = UnpackedContainer();
    if (!read) return open(kitPath);
    dataStart_ = containerSize_;
    stream_ = std::move(stream);
    return ERROR_SUCCESS;
  }

  // True when the kit was opened by openStreamed() for a single pass.
  bool streamed() const { return stream_ != nullptr; }

  // In a streamed kit whose data has begun to be read: reads what is left,
  // checking every entry not yet copied and the stream's end. 0 when all
  // of it is sound (and when no entry was copied: then nothing was read,
  // and nothing checked); 13 when it is damaged. 0 for a kit opened whole.
  // In either, 13 when the source check (setSourceCheck) finds the kit's
  // file written to since its signature was checked.
  uint32_t finishStream() {
    if (entryStream_ != nullptr) {
      uint32_t result = passStreamedEntries(entries.size());
      if (result == ERROR_SUCCESS) result = entryStream_->finish();
      if (result == ERROR_INVALID_DATA) return refuseStreamed(nextStreamed_);
      if (result != ERROR_SUCCESS) return result;
    }
    if (sourceCheck_ && !sourceCheck_())
      return refuse(KitRefusal::kDataDamaged, "the kit was written to after its signature was checked");
    return ERROR_SUCCESS;
  }

  // `unchanged` tells whether the kit's file is still as it was when its
  // signature was checked; finishStream() refuses a kit for which it says
  // no, once all that is installed from it has been read.
  void setSourceCheck(std::function<bool()> unchanged) { sourceCheck_ = std::move(unchanged); }

  // Reads every entry of a streamed kit and checks it, as the installation
  // would; 13 when the data is damaged. For a kit opened whole, which was
  // checked when it was opened, 0.
  uint32_t verifyStream() {
    if (!streamed()) return ERROR_SUCCESS;
    endStream();
    const uint32_t result = startStream();
    return result != ERROR_SUCCESS ? result : finishStream();
  }

  // Stops reading a streamed kit's data (its decoding thread ends); the
  // next copy decodes it again from the start. Every installation ends so,
  // so that no decoding thread outlives it.
  void endStream() { entryStream_.reset(); }

  // Buffers a streamed kit keeps at most while its data is read (from the
  // next copy on).
  void setStreamBudget(uint64_t bytes) { streamBudget_ = std::max<uint64_t>(bytes, kMinStreamBudget); }
  uint64_t peakStreamBufferBytes() const {
    return entryStream_ != nullptr ? entryStream_->peakBufferBytes() : 0;
  }
  // The decoder of streamed kits.
  void setStreamDecoder(StreamDecoder decoder) { streamDecoder_ = decoder; }

  // Writes entry `index` to `destinationPath` (created or overwritten and
  // cut to the entry's size) and gives it the entry's last-write time. In a
  // streamed kit entries are copied in table order, each at most once:
  // the entries passed over on the way are checked, not written.
  uint32_t copy(uint32_t index, const std::u16string& destinationPath) {
    return copyTo(index, destinationPath, CREATE_ALWAYS);
  }

  // Like copy(), into a file that must not exist yet (183 when something
  // stands at `destinationPath`, which is left alone; a link is never
  // followed). Nothing can be left over from an older file, so there is
  // nothing to cut.
  uint32_t copyToNewFile(uint32_t index, const std::u16string& destinationPath) {
    return copyTo(index, destinationPath, CREATE_NEW);
  }
  // The CRC-32 of entry `index`'s bytes: the one it carries (checked when
  // the kit was opened), else read from the container.
  uint32_t entryCrc32(uint32_t index, uint32_t& crc) {
    const KitEntry& entry = entries[index];
    if (!entry.hasCrc32) return crcOfEntry(entry, crc);
    crc = entry.crc32;
    return ERROR_SUCCESS;
  }

  // In a streamed kit, entry `index`'s bytes into `bytes` (replaced), with
  // the same checks and in the same order as copy(); for a file that
  // another thread writes.
  uint32_t readStreamedEntry(uint32_t index, std::vector<uint8_t>& bytes) {
    if (index >= entries.size()) return ERROR_INVALID_PARAMETER;
    if (!streamed()) return ERROR_INVALID_HANDLE;
    bytes.clear();
    bytes.reserve(entries[index].size);
    return takeStreamed(index, [&bytes](const uint8_t* data, uint32_t size) {
      bytes.insert(bytes.end(), data, data + size);
      return uint32_t(ERROR_SUCCESS);
    });
  }

  // Containers of more than `bytes` go to a temporary file (0: always).
  void setMemoryLimit(uint64_t bytes) { memoryLimit_ = bytes; }
  // The decoder of containers kept in memory.
  void setInflater(Inflater inflater) { inflater_ = inflater; }
  bool inMemory() const { return memory_.bytes != nullptr; }

  // Path of the unpacked container; empty when none exists (or it is kept
  // in memory).
  const std::u16string& temporaryPath() const { return tempFilePath; }
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE || inMemory() || streamed(); }
  // The version the vendor gave the kit (okdpack --kit-version); empty
  // when it names none.
  const std::u16string& kitVersion() const { return kitVersion_; }
  // Size of the unpacked container after a successful open().
  uint64_t containerSize() const { return containerSize_; }
  // After open() failed because an entry's bytes do not match its
  // checksum: that entry's name as stored. Empty otherwise.
  const std::u16string& damagedEntry() const { return damagedEntry_; }
  // After open() failed: why, in English words that say where ("entry 3
  // (forms\\a.tpl) lies outside the container"). Empty otherwise.
  const std::string& refusal() const { return refusal_; }
  // The same as a stable identifier for the user's language, with the
  // entry's name as stored when the refusal is about one entry (empty
  // otherwise, and for a name that must not be printed).
  KitRefusal refusalKind() const { return refusalKind_; }
  const std::u16string& refusalSubject() const { return refusalSubject_; }

 private:
  // Notes why opening failed, unless the reason is known, and drops what
  // was read; returns `result`.
  uint32_t failedOpen(uint32_t result) {
    if (refusal_.empty()) {
      refusal_ = result == ERROR_INVALID_DATA ? stage_ + " is damaged or cut short"
                                              : stage_ + ": " + error_event("cannot be read", result);
      refusalKind_ = result == ERROR_INVALID_DATA ? KitRefusal::kDataDamaged : KitRefusal::kUnreadable;
    }
    release();
    return result;
  }

  void resetRefusal() {
    descriptions.clear();
    kitVersion_.clear();
    hasKitVersion_ = false;
    damagedEntry_.clear();
    refusal_.clear();
    refusalKind_ = KitRefusal::kNone;
    refusalSubject_.clear();
    stage_ = "the compressed stream";
  }

  // True when every entry with bytes begins at or after the end of the one
  // with bytes before it, so that one pass over the data area meets them
  // all in table order.
  bool entriesInTableOrder() const {
    uint64_t end = 0;
    for (const KitEntry& entry : entries) {
      if (entry.size == 0) continue;
      if (entry.offset < end) return false;
      end = uint64_t(entry.offset) + entry.size;
    }
    return true;
  }

  // Offsets become absolute positions, which must fit the 32-bit field;
  // whether an entry lies inside the container shows when it is read.
  // Kits made before entries carried their CRC-32 are read whole: a
  // streamed kit cannot go back to an entry's bytes to sum them for the
  // up-to-date comparison and the installation record.
  bool everyEntryCarriesCrc32() const {
    for (const KitEntry& entry : entries)
      if (!entry.hasCrc32) return false;
    return true;
  }

  bool placeStreamedEntries() {
    for (KitEntry& entry : entries) {
      const uint64_t begin = containerSize_ + entry.offset;
      if (begin > 0xFFFFFFFFu) return false;
      entry.offset = uint32_t(begin);
    }
    return true;
  }

  // A stream read before (by an earlier installation with the same
  // reader) is decoded again from the kit's start, from the same mapping.
  uint32_t startStream() {
    if (entryStream_ != nullptr) return ERROR_SUCCESS;
    if (streamUsed_) {
      if (!stream_->rewind()) return refuse(KitRefusal::kDataDamaged, "the kit changed while it was open");
      nextStreamed_ = 0;
    }
    const uint64_t chunk = std::min(streamBudget_, uint64_t(DataPump::kDefaultChunk));
    std::vector<EntryExtent> extents;
    for (const KitEntry& entry : entries)
      if (entry.size > 0 && entry.hasCrc32) extents.push_back({entry.offset, entry.size, entry.crc32});
    entryStream_.reset(new EntryStream(*stream_, dataStart_, streamBudget_, chunk, std::move(extents)));
    streamUsed_ = true;
    return ERROR_SUCCESS;
  }

  uint32_t takeStreamedEntry(uint32_t index, const EntryStream::Consume& consume) {
    const KitEntry& entry = entries[index];
    return entryStream_->take(entry.offset, entry.size, entry.hasCrc32, entry.crc32, consume);
  }

  // Checks the entries from the next one up to `end` without writing them.
  uint32_t passStreamedEntries(size_t end) {
    const EntryStream::Consume nothing = [](const uint8_t*, uint32_t) { return uint32_t(ERROR_SUCCESS); };
    for (; nextStreamed_ < end; ++nextStreamed_) {
      const uint32_t result = takeStreamedEntry(uint32_t(nextStreamed_), nothing);
      if (result != ERROR_SUCCESS) return result;
    }
    return ERROR_SUCCESS;
  }

  // The entry stream found the data damaged at entry `index` (or after the
  // last one): the refusal says how, as open() would have.
  uint32_t refuseStreamed(size_t index) {
    const std::u16string name = index < entries.size() ? entries[index].name : std::u16string();
    switch (entryStream_->fault()) {
      case StreamFault::kChecksum:
        damagedEntry_ = name;
        return refuse(KitRefusal::kFileDamaged, "entry " + narrow_lib(name) + " does not match its checksum",
                      name);
      case StreamFault::kCut:
        return refuse(KitRefusal::kFileDamaged, "entry " + narrow_lib(name) + " lies outside the container",
                      name);
      default:
        return refuse(KitRefusal::kDataDamaged, "the compressed stream is damaged");
    }
  }

  uint32_t copyStreamedEntry(uint32_t index, HANDLE destination) {
    return takeStreamed(index, [destination](const uint8_t* data, uint32_t size) {
      uint32_t written = 0;
      return FS::WriteFile(destination, data, size, &written, nullptr);
    });
  }

  // A streamed entry: the entries before it are checked on the way.
  uint32_t takeStreamed(uint32_t index, const EntryStream::Consume& consume) {
    if (index < nextStreamed_) endStream();
    uint32_t result = startStream();
    if (result != ERROR_SUCCESS) return result;
    result = passStreamedEntries(index);
    if (result == ERROR_SUCCESS) {
      result = takeStreamedEntry(index, consume);
      nextStreamed_ = index + 1;
    }
    if (result == ERROR_INVALID_DATA && entryStream_->fault() != StreamFault::kNone)
      return refuseStreamed(std::min<size_t>(nextStreamed_, index));
    return result;
  }

  uint32_t openContainer(const std::u16string& kitPath) {
    // In the user's private temporary folder, where nobody else can make
    // or watch its name. The container is locked from its creation for as
    // long as it is open: the start-up clean-up removes only containers of
    // processes that have ended. A stop signal removes it before the
    // process ends. It is made even when the container is kept in memory,
    // so that a temporary directory that cannot be written is reported the
    // same way.
    uint32_t result = create_private_temp_file(u"odk", tempFilePath, handle_);
    if (result != ERROR_SUCCESS) {
      handle_ = INVALID_HANDLE_VALUE;
      stage_ = "the temporary container";
      return result;
    }
    signalSlot_ = register_temporary_file(tempFilePath);
    const uint64_t limit = memoryLimit_ == kAutomaticLimit ? Compressor::memoryLimit() : memoryLimit_;
    bool fits = false;
    if (limit > 0) result = Compressor::unpackToMemory(kitPath, limit, inflater_, memory_, fits);
    if (result != ERROR_SUCCESS) return result;
    if (fits) {
      removeTemporaryFile();
      containerSize_ = memory_.size;
      position_ = 0;
    } else {
      // Unpacked into the same file: the open handle sees what was written.
      result = Compressor::unpack(kitPath, tempFilePath);
      if (result == ERROR_SUCCESS) result = measureContainer();
    }
    if (result == ERROR_SUCCESS) {
      stage_ = "the descriptions";
      result = readDescriptions();
    }
    if (result == ERROR_SUCCESS) {
      stage_ = "the entry table";
      result = readEntries();
    }
    if (result == ERROR_SUCCESS) result = placeEntries();
    if (result == ERROR_SUCCESS) result = checkEntries();
    return result;
  }

  // Every entry that carries a checksum is read once and compared before
  // the installer may write anything. The bytes were written a moment ago,
  // so the pass reads from the page cache; bench/kit_bench.cpp measures it.
  uint32_t checkEntries() {
    for (const KitEntry& entry : entries) {
      if (!entry.hasCrc32) continue;
      uint32_t crc = 0;
      const uint32_t result = crcOfEntry(entry, crc);
      if (result != ERROR_SUCCESS) return result;
      if (crc != entry.crc32) {
        damagedEntry_ = entry.name;
        return refuse(KitRefusal::kFileDamaged, "entry " + narrow_lib(entry.name) + " does not match its checksum",
                      entry.name);
      }
    }
    return ERROR_SUCCESS;
  }

  // The same CRC-32 as zlib's, computed several times faster.
  uint32_t crcOfEntry(const KitEntry& entry, uint32_t& crc) {
    stage_ = "the data of entry " + narrow_lib(entry.name);
    crc = 0;
    return readEntryData(entry, [&crc](const uint8_t* data, uint32_t size) {
      crc = libdeflate_crc32(crc, data, size);
      return uint32_t(ERROR_SUCCESS);
    });
  }


  // Takes the container's size and returns to its start.
  uint32_t measureContainer() {
    long high = 0;
    const uint32_t low = FS::SetFilePointer(handle_, 0, &high, FILE_END);
    if (low == 0xFFFFFFFFu && FS::GetLastError() != ERROR_SUCCESS) return FS::GetLastError();
    containerSize_ = uint64_t(uint32_t(high)) << 32 | low;
    high = 0;
    if (FS::SetFilePointer(handle_, 0, &high, FILE_BEGIN) != 0) {
      const uint32_t error = FS::GetLastError();
      return error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
    }
    position_ = 0;
    return ERROR_SUCCESS;
  }

  uint64_t remaining() const { return containerSize_ - position_; }

  // Reads exactly `size` bytes; a container that ends first is damaged.
  uint32_t readExact(void* buffer, uint32_t size) {
    if (size > remaining()) return ERROR_INVALID_DATA;
    if (inMemory()) {
      std::copy_n(memory_.bytes.get() + position_, size, static_cast<uint8_t*>(buffer));
      position_ += size;
      return ERROR_SUCCESS;
    }
    uint32_t got = 0;
    const uint32_t result = FS::ReadFile(handle_, buffer, size, &got, nullptr);
    if (result != ERROR_SUCCESS) return result;
    if (got != size) return ERROR_INVALID_DATA;
    position_ += size;
    return ERROR_SUCCESS;
  }

  uint32_t readU32(uint32_t& value) {
    uint8_t bytes[4];
    const uint32_t result = readExact(bytes, 4);
    if (result == ERROR_SUCCESS) ByteReader(bytes, 4).u32(value);
    return result;
  }

  uint32_t readString(std::u16string& value) {
    uint32_t count = 0;
    uint32_t result = readU32(count);
    if (result != ERROR_SUCCESS) return result;
    if (count > remaining() / 2 || count > 0x7FFFFFFFu) return ERROR_INVALID_DATA;
    std::vector<uint8_t> bytes(size_t(count) * 2);
    result = readExact(bytes.data(), count * 2);
    if (result != ERROR_SUCCESS) return result;
    value.resize(count);
    for (uint32_t i = 0; i < count; ++i) value[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return ERROR_SUCCESS;
  }

  // A record: its size S (at least `minimumSize`, at most what remains),
  // then the other S - 4 bytes read in one request.
  uint32_t readRecord(uint32_t minimumSize, std::vector<uint8_t>& body) {
    uint32_t size = 0;
    const uint32_t result = readU32(size);
    if (result != ERROR_SUCCESS) return result;
    if (size < minimumSize || size - 4 > remaining()) return ERROR_INVALID_DATA;
    body.resize(size - 4);
    return readExact(body.data(), size - 4);
  }

  // Each further record needs at least `minimumSize` bytes, so a count that
  // cannot fit is rejected before anything is reserved for it.
  bool countFits(uint32_t count, uint32_t minimumSize) const {
    return count <= remaining() / minimumSize;
  }

  uint32_t readDescriptions() {
    uint32_t marker = 0;
    uint32_t result = readU32(marker);
    if (result != ERROR_SUCCESS) return result;
    if (marker == 0) return readSingleDescription();

    uint32_t count = 0;
    result = readU32(count);
    if (result != ERROR_SUCCESS) return result;
    if (!countFits(count, kMinDescriptionRecordSize))
      return refuse(KitRefusal::kDataDamaged, std::to_string(count) + " descriptions cannot fit in the container");
    descriptions.reserve(count);
    std::vector<uint8_t> body;
    for (uint32_t i = 0; i < count; ++i) {
      stage_ = "description " + std::to_string(i + 1) + " of " + std::to_string(count);
      result = readRecord(kMinDescriptionRecordSize, body);
      if (result != ERROR_SUCCESS) return result;
      ByteReader cursor(body.data(), body.size());
      KitDescription description;
      if (!cursor.string(description.languageCode) || !cursor.string(description.productName) ||
          !cursor.string(description.providerName) || !cursor.string(description.descriptionPath))
        return refuse(KitRefusal::kDataDamaged, stage_ + " is damaged");
      result = takeKitVersion(cursor);
      if (result != ERROR_SUCCESS) return result;
      descriptions.push_back(std::move(description));
    }
    return ERROR_SUCCESS;
  }

  // okdpack gives every description record the same version; records that
  // disagree leave no version to tell, so they are damage.
  uint32_t takeKitVersion(ByteReader& cursor) {
    std::u16string version;
    bool hasVersion = false;
    if (!detail::readDescriptionExtension(cursor, version, hasVersion))
      return refuse(KitRefusal::kDataDamaged, stage_ + " has a damaged extension");
    if (!hasVersion) return ERROR_SUCCESS;
    if (hasKitVersion_ && version != kitVersion_)
      return refuse(KitRefusal::kDataDamaged, stage_ + " names another kit version than the first");
    kitVersion_ = std::move(version);
    hasKitVersion_ = true;
    return ERROR_SUCCESS;
  }

  // The single form carries one description, taken to be English.
  uint32_t readSingleDescription() {
    KitDescription description;
    description.languageCode = u"en";
    uint32_t result = readString(description.productName);
    if (result == ERROR_SUCCESS) result = readString(description.providerName);
    if (result == ERROR_SUCCESS) result = readString(description.descriptionPath);
    if (result != ERROR_SUCCESS) return result;
    descriptions.push_back(std::move(description));
    return ERROR_SUCCESS;
  }

  uint32_t readEntries() {
    uint32_t count = 0;
    uint32_t result = readU32(count);
    if (result != ERROR_SUCCESS) return result;
    if (!countFits(count, kMinEntryRecordSize))
      return refuse(KitRefusal::kDataDamaged, std::to_string(count) + " entries cannot fit in the container");
    entries.reserve(count);
    std::vector<uint8_t> body;
    // The stage is named only when something goes wrong: a kit of many
    // entries would spend its opening on the words.
    const auto stageOf = [count](uint32_t i) {
      return "entry " + std::to_string(i + 1) + " of " + std::to_string(count);
    };
    if (count > 0) stage_ = stageOf(count - 1);
    for (uint32_t i = 0; i < count; ++i) {
      result = readRecord(kMinEntryRecordSize, body);
      if (result != ERROR_SUCCESS) {
        stage_ = stageOf(i);
        return result;
      }
      ByteReader cursor(body.data(), body.size());
      KitEntry entry;
      if (!cursor.string(entry.name) || !cursor.u32(entry.lastWriteTime.dwLowDateTime) ||
          !cursor.u32(entry.lastWriteTime.dwHighDateTime) || !cursor.u32(entry.offset) ||
          !cursor.u32(entry.size) || !detail::readEntryExtension(cursor, entry))
        return refuse(KitRefusal::kDataDamaged, (stage_ = stageOf(i)) + " is damaged");
      // Only the entry's number is told: its name must not be printed.
      if (hasUnprintableCharacter(entry.name))
        return refuse(KitRefusal::kNameNotAllowed,
                      (stage_ = stageOf(i)) + " has a name with a control character or an unpaired surrogate");
      std::u16string name;
      if (!normalizeEntryName(entry.name, name))
        return refuse(KitRefusal::kNameNotAllowed,
                      (stage_ = stageOf(i)) + " has a name that leaves the template directory or is not allowed: " +
                          narrow_lib(entry.name),
                      entry.name);
      entry.name = std::move(name);
      entries.push_back(std::move(entry));
    }
    return ERROR_SUCCESS;
  }

  // The data area starts right after the entry table. Offsets become
  // absolute positions; every entry must lie inside the container and its
  // position must fit the 32-bit offset field. An empty entry reads nothing,
  // so wherever its offset points it is placed at the container's end.
  uint32_t placeEntries() {
    const uint64_t dataStart = position_;
    for (KitEntry& entry : entries) {
      uint64_t begin = dataStart + entry.offset;
      if (entry.size == 0 && begin > containerSize_) begin = std::min<uint64_t>(containerSize_, 0xFFFFFFFFu);
      if (begin > 0xFFFFFFFFu || begin + entry.size > containerSize_)
        return refuse(KitRefusal::kFileDamaged, "entry " + narrow_lib(entry.name) + " lies outside the container",
                      entry.name);
      entry.offset = uint32_t(begin);
    }
    return ERROR_SUCCESS;
  }

  // Moves the entry's bytes, reading no more than the entry still needs.
  uint32_t copyTo(uint32_t index, const std::u16string& destinationPath, uint32_t creation) {
    if (index >= entries.size()) return ERROR_INVALID_PARAMETER;
    if (!isOpen()) return ERROR_INVALID_HANDLE;
    const KitEntry& entry = entries[index];

    HANDLE destination = INVALID_HANDLE_VALUE;
    uint32_t result = FS::CreateFile(destinationPath, GENERIC_WRITE, 0, creation, destination);
    if (destination == INVALID_HANDLE_VALUE) return result != 0 ? result : ERROR_INVALID_HANDLE;

    result = streamed() ? copyStreamedEntry(index, destination) : copyEntryData(entry, destination);
    // A longer old file keeps its tail unless cut here. The cut and the time
    // are best effort: a file system that refuses time stamps must not make
    // every installation fail; the bytes written are what counts.
    if (result == ERROR_SUCCESS) {
      if (creation != CREATE_NEW) FS::SetEndOfFile(destination);
      FS::SetFileTime(destination, nullptr, nullptr, &entry.lastWriteTime);
      // The installation's final sync then finds a large file's bytes on
      // their way. Small files are left to that sync: started one by one,
      // each makes the file system place and write it alone, which made a
      // durable run of thousands of templates on ext4 a fifth slower.
      if (entry.size >= kWriteBackFromSize) FS::StartWriteBack(destination);
    }
    const uint32_t closed = FS::CloseHandle(destination);
    return result != ERROR_SUCCESS ? result : closed;
  }

  uint32_t copyEntryData(const KitEntry& entry, HANDLE destination) {
    return readEntryData(entry, [destination](const uint8_t* data, uint32_t size) {
      uint32_t written = 0;
      return FS::WriteFile(destination, data, size, &written, nullptr);
    });
  }

  // Reads the entry's bytes in blocks of the copy buffer and hands each
  // block to `consume(data, size)`, which returns 0 or an error number.
  template <class Consume>
  uint32_t readEntryData(const KitEntry& entry, Consume consume) {
    if (entry.size == 0) return ERROR_SUCCESS;
    if (inMemory()) return readEntryFromMemory(entry, consume);
    long high = 0;
    if (FS::SetFilePointer(handle_, long(entry.offset), &high, FILE_BEGIN) == 0xFFFFFFFFu &&
        FS::GetLastError() != ERROR_SUCCESS)
      return FS::GetLastError();
    uint32_t left = entry.size;
    while (left > 0) {
      const uint32_t wanted = std::min(left, kCopyBufferSize);
      uint32_t got = 0;
      uint32_t result = FS::ReadFile(handle_, copyBuffer_.get(), wanted, &got, nullptr);
      if (result != ERROR_SUCCESS) return result;
      if (got == 0) return ERROR_INVALID_DATA;  // the container ends inside the entry
      result = consume(copyBuffer_.get(), got);
      if (result != ERROR_SUCCESS) return result;
      left -= got;
    }
    return ERROR_SUCCESS;
  }

  // A container in memory hands its blocks over where they lie.
  template <class Consume>
  uint32_t readEntryFromMemory(const KitEntry& entry, Consume consume) {
    const uint8_t* from = memory_.bytes.get() + entry.offset;
    uint32_t left = entry.size;
    while (left > 0) {
      const uint32_t chunk = std::min(left, kCopyBufferSize);
      const uint32_t result = consume(from, chunk);
      if (result != ERROR_SUCCESS) return result;
      from += chunk;
      left -= chunk;
    }
    return ERROR_SUCCESS;
  }

  // Notes why the kit is refused (the first reason found counts).
  uint32_t refuse(KitRefusal kind, const std::string& why, const std::u16string& subject = u"") {
    if (refusal_.empty()) {
      refusal_ = why;
      refusalKind_ = kind;
      refusalSubject_ = subject;
    }
    return ERROR_INVALID_DATA;
  }

  // The container goes while its lock is still held.
  void removeTemporaryFile() {
    if (!tempFilePath.empty()) {
      FS::DeleteFile(tempFilePath);
      tempFilePath.clear();
    }
    forget_temporary_file(signalSlot_);
    signalSlot_ = -1;
    if (handle_ != INVALID_HANDLE_VALUE) {
      FS::CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
  }

  // Back to the constructed state: no entries, no handle, no temporary file.
  void release() {
    entryStream_.reset();
    stream_.reset();
    nextStreamed_ = 0;
    dataStart_ = 0;
    streamUsed_ = false;
    entries.clear();
    removeTemporaryFile();
    memory_ = UnpackedContainer();
    containerSize_ = 0;
    position_ = 0;
  }

  std::u16string tempFilePath;
  std::u16string kitVersion_;
  bool hasKitVersion_ = false;
  std::u16string damagedEntry_;
  std::string refusal_;
  std::function<bool()> sourceCheck_;
  KitRefusal refusalKind_ = KitRefusal::kNone;
  std::u16string refusalSubject_;
  // The part of the kit being read, for a refusal that has no words of its
  // own (a container that ends early, a read that fails).
  std::string stage_;
  HANDLE handle_;
  int signalSlot_ = -1;
  Compressor compressor_;
  uint64_t containerSize_ = 0;
  uint64_t position_ = 0;
  uint64_t memoryLimit_ = kAutomaticLimit;
  Inflater inflater_ = Inflater::kFastest;
  UnpackedContainer memory_;
  std::unique_ptr<uint8_t[]> copyBuffer_;
  // A streamed kit: the decoder positioned at the data area, and the pass
  // over the entries once one has been copied.
  std::unique_ptr<KitStream> stream_;
  std::unique_ptr<EntryStream> entryStream_;
  uint64_t dataStart_ = 0;
  size_t nextStreamed_ = 0;  // the first entry not yet taken from the stream
  bool streamUsed_ = false;  // stream_ has been read past the head
  uint64_t streamBudget_ = DataPump::kDefaultBudget;
  StreamDecoder streamDecoder_ = StreamDecoder::kFastest;
};

template <class Compressor, class FS>
const uint32_t InstallData<Compressor, FS>::kCopyBufferSize;
template <class Compressor, class FS>
const uint64_t InstallData<Compressor, FS>::kAutomaticLimit;
template <class Compressor, class FS>
const uint64_t InstallData<Compressor, FS>::kMinStreamBudget;

}  // namespace config

#endif  // OVN8_KIT_INSTALL_DATA_H_
