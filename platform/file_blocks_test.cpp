#include "platform/file_blocks.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

std::string bytesOf(const std::string& path, size_t* blocks = nullptr) {
  std::string bytes;
  size_t count = 0;
  const uint32_t result = read_file_blocks(widen_lib(path), [&](const uint8_t* data, size_t size) {
    bytes.append(reinterpret_cast<const char*>(data), size);
    ++count;
  });
  if (blocks != nullptr) *blocks = count;
  return result == ERROR_SUCCESS ? bytes : "error " + std::to_string(result);
}

// Files of every size come whole and in order, one after another through
// the thread's block, and so do files read while another one is.
TEST(FileBlocksTest, EveryFileComesWholeAlsoWhileAnotherIsRead) {
  const testkit::ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  std::string large;
  for (size_t i = 0; large.size() < (600u << 10); ++i) large += std::to_string(i) + ",";
  ASSERT_TRUE(testkit::writeFile(scratch / "large", large));
  ASSERT_TRUE(testkit::writeFile(scratch / "small", "small file"));
  ASSERT_TRUE(testkit::writeFile(scratch / "empty", ""));
  size_t blocks = 0;
  EXPECT_EQ(bytesOf(scratch / "large", &blocks), large);
  EXPECT_EQ(blocks, 3u);
  EXPECT_EQ(bytesOf(scratch / "small"), "small file");
  EXPECT_EQ(bytesOf(scratch / "empty", &blocks), "");
  EXPECT_EQ(blocks, 0u);
  EXPECT_EQ(bytesOf(scratch / "missing"), "error " + std::to_string(ERROR_FILE_NOT_FOUND));
  // A consumer that reads the small file at every block of the large one.
  std::string outer, inner;
  ASSERT_EQ(ERROR_SUCCESS, read_file_blocks(widen_lib(scratch / "large"), [&](const uint8_t* data, size_t size) {
              inner += bytesOf(scratch / "small");
              outer.append(reinterpret_cast<const char*>(data), size);
            }));
  EXPECT_EQ(outer, large);
  EXPECT_EQ(inner, "small filesmall filesmall file");
  EXPECT_EQ(bytesOf(scratch / "large"), large);
}

}  // namespace
