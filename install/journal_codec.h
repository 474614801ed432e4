// Little-endian fields of the journal and the run record: 32- and 64-bit
// integers and strings as a 32-bit count of UTF-16LE code units followed by
// the units (the encoding of the kit's strings).
#ifndef OVN8_INSTALL_JOURNAL_CODEC_H_
#define OVN8_INSTALL_JOURNAL_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include <zlib.h>

#include "platform/file_system.h"

class ByteWriter {
 public:
  void u8(uint8_t value) { bytes_.push_back(char(value)); }
  void u32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(char(value >> shift));
  }
  void i64(int64_t value) {
    const uint64_t bits = uint64_t(value);
    u32(uint32_t(bits));
    u32(uint32_t(bits >> 32));
  }
  void u64(uint64_t value) {
    u32(uint32_t(value));
    u32(uint32_t(value >> 32));
  }
  // Access time, then modification time, each seconds and nanoseconds.
  void times(const FileTimes& t) {
    i64(t.accessSeconds);
    i64(t.accessNanoseconds);
    i64(t.writeSeconds);
    i64(t.writeNanoseconds);
  }
  void string(const std::u16string& value) {
    u32(uint32_t(value.size()));
    for (char16_t unit : value) {
      bytes_.push_back(char(unit & 0xFF));
      bytes_.push_back(char(unit >> 8));
    }
  }
  void append(const std::string& bytes) { bytes_ += bytes; }
  std::string& bytes() { return bytes_; }
  size_t size() const { return bytes_.size(); }
  void clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

// Reads fields out of bytes held in memory; every read fails (false) once
// the bytes run out, and stays failed.
class ByteReader {
 public:
  ByteReader(const char* data, size_t size) : data_(data), left_(size) {}

  bool u8(uint8_t& value) {
    if (left_ < 1) return fail();
    value = uint8_t(data_[0]);
    skip(1);
    return true;
  }
  bool u32(uint32_t& value) {
    if (left_ < 4) return fail();
    value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | uint8_t(data_[i]);
    skip(4);
    return true;
  }
  bool i64(int64_t& value) {
    uint32_t low = 0, high = 0;
    if (!u32(low) || !u32(high)) return false;
    value = int64_t(uint64_t(high) << 32 | low);
    return true;
  }
  bool u64(uint64_t& value) {
    uint32_t low = 0, high = 0;
    if (!u32(low) || !u32(high)) return false;
    value = uint64_t(high) << 32 | low;
    return true;
  }
  bool times(FileTimes& t) {
    return i64(t.accessSeconds) && i64(t.accessNanoseconds) && i64(t.writeSeconds) &&
           i64(t.writeNanoseconds);
  }
  bool string(std::u16string& value) {
    uint32_t count = 0;
    if (!u32(count) || count > left_ / 2) return fail();
    value.resize(count);
    for (uint32_t i = 0; i < count; ++i)
      value[i] = char16_t(uint8_t(data_[2 * i]) | uint8_t(data_[2 * i + 1]) << 8);
    skip(2 * size_t(count));
    return true;
  }
  bool bytes(size_t count, const char*& start) {
    if (left_ < count) return fail();
    start = data_;
    skip(count);
    return true;
  }
  size_t left() const { return left_; }

 private:
  bool fail() {
    left_ = 0;
    return false;
  }
  void skip(size_t count) {
    data_ += count;
    left_ -= count;
  }

  const char* data_;
  size_t left_;
};

inline uint32_t crc_of(const char* data, size_t size) {
  return uint32_t(crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), uInt(size)));
}

#endif  // OVN8_INSTALL_JOURNAL_CODEC_H_
