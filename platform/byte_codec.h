// Little-endian fields, the one encoding of the kit's container, the
// journal and the run record: 8-, 16-, 32- and 64-bit integers, file times,
// and strings as a 32-bit count of UTF-16LE code units followed by the
// units.
#ifndef OVN8_PLATFORM_BYTE_CODEC_H_
#define OVN8_PLATFORM_BYTE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_system.h"

class ByteWriter {
 public:
  void u8(uint8_t value) { bytes_.push_back(char(value)); }
  void u16(uint16_t value) {
    bytes_.push_back(char(value & 0xFF));
    bytes_.push_back(char(value >> 8));
  }
  void u32(uint32_t value) {
    u16(uint16_t(value));
    u16(uint16_t(value >> 16));
  }
  void u64(uint64_t value) {
    u32(uint32_t(value));
    u32(uint32_t(value >> 32));
  }
  void i64(int64_t value) { u64(uint64_t(value)); }
  // Access time, then modification time, each seconds and nanoseconds.
  void times(const FileTimes& t) {
    i64(t.accessSeconds);
    i64(t.accessNanoseconds);
    i64(t.writeSeconds);
    i64(t.writeNanoseconds);
  }
  void string(const std::u16string& value) {
    u32(uint32_t(value.size()));
    for (char16_t unit : value) u16(uint16_t(unit));
  }
  void append(const std::string& bytes) { bytes_ += bytes; }
  std::string& bytes() { return bytes_; }
  const std::string& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  void clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

// Reads fields out of bytes held in memory; every read fails (false) once
// the bytes run out, and stays failed.
class ByteReader {
 public:
  ByteReader(const char* data, size_t size) : data_(data), left_(size), size_(size) {}
  ByteReader(const uint8_t* data, size_t size)
      : ByteReader(reinterpret_cast<const char*>(data), size) {}

  bool u8(uint8_t& value) {
    if (left_ < 1) return fail();
    value = uint8_t(data_[0]);
    skip(1);
    return true;
  }
  bool u16(uint16_t& value) {
    if (left_ < 2) return fail();
    value = uint16_t(uint8_t(data_[0]) | uint8_t(data_[1]) << 8);
    skip(2);
    return true;
  }
  bool u32(uint32_t& value) {
    uint16_t low = 0, high = 0;
    if (!u16(low) || !u16(high)) return false;
    value = uint32_t(high) << 16 | low;
    return true;
  }
  bool u64(uint64_t& value) {
    uint32_t low = 0, high = 0;
    if (!u32(low) || !u32(high)) return false;
    value = uint64_t(high) << 32 | low;
    return true;
  }
  bool i64(int64_t& value) {
    uint64_t bits = 0;
    if (!u64(bits)) return false;
    value = int64_t(bits);
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
  // A string whose units are not needed.
  bool skipString() {
    uint32_t count = 0;
    return u32(count) && skipBytes(uint64_t(count) * 2);
  }
  bool bytes(size_t count, const char*& start) {
    if (left_ < count) return fail();
    start = data_;
    skip(count);
    return true;
  }
  bool skipBytes(uint64_t count) {
    if (count > left_) return fail();
    skip(size_t(count));
    return true;
  }
  // The bytes not read yet.
  const char* data() const { return data_; }
  size_t left() const { return left_; }
  // How far the reading has come (all of it once a read failed).
  size_t consumed() const { return size_ - left_; }

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
  size_t size_;
};

#endif  // OVN8_PLATFORM_BYTE_CODEC_H_
