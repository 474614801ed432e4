#include "install/kit_digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/sha256.h"
#include "platform/text.h"

namespace {

std::string write_file(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), file);
  fclose(file);
  return path;
}

std::string digest_of(const std::string& bytes) {
  Sha256 digest;
  digest.update(bytes.data(), bytes.size());
  return digest.finishHex();
}

// The digest is of the file that was there when it began, whatever is
// renamed over it since; a missing file has none; a second start forgets
// the first.
TEST(KitDigest, NamesTheFileOpenWhenItBegan) {
  const std::string kit = write_file(testing::TempDir() + "kit_digest_kit", std::string(300000, 'k'));
  const std::string other = write_file(testing::TempDir() + "kit_digest_other", "another kit");
  remove((testing::TempDir() + "kit_digest_cache").c_str());
  KitDigest digest(widen_lib(testing::TempDir() + "kit_digest_cache"));
  EXPECT_EQ("", digest.hex());
  digest.start(widen_lib(kit));
  ASSERT_EQ(0, rename(other.c_str(), kit.c_str()));
  EXPECT_EQ(digest_of(std::string(300000, 'k')), digest.hex());
  EXPECT_EQ(digest.hex(), digest.hex());
  digest.start(widen_lib(kit));
  EXPECT_EQ(digest_of("another kit"), digest.hex());
  remove(kit.c_str());
  digest.start(widen_lib(kit));
  EXPECT_EQ("", digest.hex());
}

}  // namespace
