#include "install/kit_digest_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "install/kit_digest.h"
#include "platform/file_fault_injector.h"
#include "platform/file_system_test_util.h"
#include "platform/sha256.h"
#include "platform/text.h"

using namespace fs_test;

namespace {

uint32_t modeOf(const std::string& path) {
  struct stat status = {};
  return stat(path.c_str(), &status) == 0 ? uint32_t(status.st_mode) : 0;
}

bool present(const std::string& path) {
  struct stat status = {};
  return lstat(path.c_str(), &status) == 0;
}

std::string hex_of(int n) {
  Sha256 digest;
  const std::string text = std::to_string(n);
  digest.update(text.data(), text.size());
  return digest.finishHex();
}

FileStatus kit_status(uint64_t inode) {
  FileStatus status;
  status.kind = FileKind::kRegular;
  status.device = 2049;
  status.inode = inode;
  status.size = 58585741;
  status.times.writeSeconds = 1600000000;
  status.times.writeNanoseconds = 5;
  status.changeSeconds = 1700000000;
  status.changeNanoseconds = 123456789;
  return status;
}

class KitDigestCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_EQ(0, mkdir(folder_.c_str(), 0700));
  }
  std::u16string file() const { return wide(folder_ + "/kit-digests"); }

  ScratchDir dir_;
  const std::string folder_ = dir_ / "state";
};

// A file is known again only while every part of its status is the same;
// the newest comes first and the oldest go beyond the limit.
TEST_F(KitDigestCacheTest, KnowsAFileOnlyWhileItsStatusIsTheSame) {
  const KitDigestCache cache(file());
  EXPECT_EQ("", cache.find(kit_status(1)));
  cache.remember(kit_status(1), hex_of(1));
  EXPECT_EQ(hex_of(1), cache.find(kit_status(1)));
  FileStatus changed = kit_status(1);
  changed.changeNanoseconds += 1;
  EXPECT_EQ("", cache.find(changed));
  changed = kit_status(1);
  changed.size -= 1;
  EXPECT_EQ("", cache.find(changed));
  EXPECT_EQ("", cache.find(kit_status(2)));
  // A digest that is no digest is not remembered.
  cache.remember(kit_status(2), "not hex");
  EXPECT_EQ("", cache.find(kit_status(2)));

  for (int i = 2; i <= int(kMaxKitDigests) + 1; ++i) cache.remember(kit_status(uint64_t(i)), hex_of(i));
  EXPECT_EQ("", cache.find(kit_status(1)));
  EXPECT_EQ(hex_of(2), cache.find(kit_status(2)));
  // Remembered again, a file moves to the front and is not there twice.
  cache.remember(kit_status(2), hex_of(2));
  cache.remember(kit_status(100), hex_of(100));
  EXPECT_EQ(hex_of(2), cache.find(kit_status(2)));
  EXPECT_EQ("", cache.find(kit_status(3)));
  EXPECT_EQ(0600u, modeOf(folder_ + "/kit-digests") & 0777);
}

// Cut at any length or with any byte changed, the cache gives the right
// digest or none, never a wrong one.
TEST_F(KitDigestCacheTest, ACutOrChangedCacheNeverGivesAWrongDigest) {
  const KitDigestCache cache(file());
  cache.remember(kit_status(7), hex_of(7));
  cache.remember(kit_status(8), hex_of(8));
  const std::string path = folder_ + "/kit-digests";
  const std::string whole = readText(path);
  for (size_t length = 0; length <= whole.size(); ++length) {
    ASSERT_TRUE(writeText(path, whole.substr(0, length)));
    const std::string seven = cache.find(kit_status(7)), eight = cache.find(kit_status(8));
    EXPECT_TRUE(seven.empty() || seven == hex_of(7)) << length;
    EXPECT_TRUE(eight.empty() || eight == hex_of(8)) << length;
  }
  for (size_t at = 0; at < whole.size(); ++at) {
    for (const char flip : {char(0x01), char(0x20)}) {
      std::string changed = whole;
      changed[at] = char(changed[at] ^ flip);
      ASSERT_TRUE(writeText(path, changed));
      const std::string seven = cache.find(kit_status(7)), eight = cache.find(kit_status(8));
      EXPECT_TRUE(seven.empty() || seven == hex_of(7)) << at;
      EXPECT_TRUE(eight.empty() || eight == hex_of(8)) << at;
    }
  }
}

// A cache others could have written, or a link, is not believed, and
// nothing is written into a folder others may write.
TEST_F(KitDigestCacheTest, ACacheOthersCouldWriteIsIgnored) {
  const KitDigestCache cache(file());
  cache.remember(kit_status(7), hex_of(7));
  const std::string path = folder_ + "/kit-digests";
  ASSERT_EQ(0, chmod(path.c_str(), 0620));
  EXPECT_EQ("", cache.find(kit_status(7)));
  ASSERT_EQ(0, chmod(path.c_str(), 0600));
  ASSERT_EQ(0, rename(path.c_str(), (dir_ / "elsewhere").c_str()));
  ASSERT_EQ(0, symlink((dir_ / "elsewhere").c_str(), path.c_str()));
  EXPECT_EQ("", cache.find(kit_status(7)));
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_EQ(0, chmod(folder_.c_str(), 0777));
  cache.remember(kit_status(7), hex_of(7));
  EXPECT_FALSE(present(path));
}

// A kit read once by an installation is not read again while it is
// unchanged; changed (the same bytes written again), it is.
TEST_F(KitDigestCacheTest, AnUnchangedKitIsNotReadAgain) {
  const std::string kit = dir_ / "ovn8.okd";
  ASSERT_TRUE(writeText(kit, std::string(100000, 'k')));
  Sha256 expected;
  expected.update(std::string(100000, 'k').data(), 100000);
  const std::string hex = expected.finishHex();
  {
    KitDigest digest(file());
    digest.start(wide(kit));
    ASSERT_EQ(hex, digest.hex());
    // Not yet remembered: only an installation does that.
    KitDigest unremembered(file());
    unremembered.start(wide(kit));
    EXPECT_EQ(hex, unremembered.hex());
    EXPECT_FALSE(present(folder_ + "/kit-digests"));
    digest.remember();
  }
  FileFaultInjector fault(1, 5);
  fault.only({FileOp::ReadFile}).below(wide(kit)).persistent();
  {
    KitDigest digest(file());
    digest.start(wide(kit));
    EXPECT_EQ(hex, digest.hex());
  }
  EXPECT_FALSE(fault.fired());
  usleep(10000);
  ASSERT_TRUE(writeText(kit, std::string(100000, 'k')));
  {
    KitDigest digest(file());
    digest.start(wide(kit));
    EXPECT_EQ("", digest.hex());
  }
  EXPECT_TRUE(fault.fired());
}

}  // namespace
