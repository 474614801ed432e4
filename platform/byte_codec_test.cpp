// The little-endian codec shared by the kit, the journal and the run record.
#include "platform/byte_codec.h"

#include <gtest/gtest.h>

namespace {

TEST(ByteCodecTest, FieldsAreLittleEndianAndReadBackAsWritten) {
  ByteWriter out;
  out.u8(0x81);
  out.u16(0x0201);
  out.u32(0x06050403);
  out.u64(0x0E0D0C0B0A090807ull);
  out.i64(-2);
  out.string(u"Aé\U0001F600");
  EXPECT_EQ(std::string("\x81\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E", 15),
            out.bytes().substr(0, 15));
  // The count is of UTF-16 units; each unit low byte first.
  EXPECT_EQ(std::string("\x04\0\0\0A\0\xE9\0\x3D\xD8\x00\xDE", 12), out.bytes().substr(23));

  ByteReader in(out.bytes().data(), out.size());
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  int64_t i64 = 0;
  std::u16string text;
  ASSERT_TRUE(in.u8(u8) && in.u16(u16) && in.u32(u32) && in.u64(u64) && in.i64(i64) &&
              in.string(text));
  EXPECT_EQ(0x81, u8);
  EXPECT_EQ(0x0201, u16);
  EXPECT_EQ(0x06050403u, u32);
  EXPECT_EQ(0x0E0D0C0B0A090807ull, u64);
  EXPECT_EQ(-2, i64);
  EXPECT_EQ(u"Aé\U0001F600", text);
  EXPECT_EQ(0u, in.left());
  EXPECT_EQ(out.size(), in.consumed());
}

TEST(ByteCodecTest, AReadPastTheEndFailsAndEveryLaterReadFailsToo) {
  ByteWriter out;
  out.u32(1000);  // a string count far beyond the bytes that follow
  out.u16(7);
  const std::string bytes = out.bytes();
  ByteReader in(bytes.data(), bytes.size());
  std::u16string text;
  EXPECT_FALSE(in.string(text));
  uint16_t value = 0;
  EXPECT_FALSE(in.u16(value));  // the 2 bytes are not read as a field after a failure
  EXPECT_EQ(bytes.size(), in.consumed());

  ByteReader shortOne(bytes.data(), 3);
  uint32_t u32 = 0;
  EXPECT_FALSE(shortOne.u32(u32));
  ByteReader skipping(bytes.data(), bytes.size());
  EXPECT_TRUE(skipping.skipBytes(4));
  EXPECT_FALSE(skipping.skipBytes(3));
  EXPECT_FALSE(skipping.skipString());
  ByteReader huge(bytes.data(), bytes.size());
  EXPECT_FALSE(huge.skipBytes(uint64_t(1) << 40));
}

}  // namespace
