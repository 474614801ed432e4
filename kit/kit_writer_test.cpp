#include "kit/container_builder.h"
#include "kit/kit_writer.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "kit/kit_test_support.h"

using config::ContainerBuilder;
using config::KitFileSpec;
using config::KitLayout;
using config::KitSpec;
using kittest::KitScene;
using kittest::readFile;

namespace {

void makeFile(const std::string& path, const std::string& bytes, int64_t seconds, long nanoseconds) {
  ASSERT_TRUE(config::writeFileBytes(path, bytes));
  const struct timespec times[2] = {{time_t(seconds), nanoseconds}, {time_t(seconds), nanoseconds}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

TEST(KitWriterTest, ContainerBytesFollowTheFormat) {
  KitSpec single;
  single.singleForm = true;
  std::string container;
  ASSERT_TRUE(config::buildContainer(single, KitLayout(), container));
  EXPECT_EQ(std::string(20, '\0'), container);

  KitSpec kit;
  kit.descriptions = {{u"en", u"P", u"", u""}};
  kit.files = {{u"a", "xy", _FILETIME{0x11223344, 0x55667788}}, {u"b", "z", _FILETIME{0, 0}}};
  KitLayout reversed;
  reversed.reverseData = true;
  reversed.checksums = false;  // the records of kits made before the extension
  ASSERT_TRUE(config::buildContainer(kit, reversed, container));
  const std::string expected = ContainerBuilder()
                                   .u32(1).u32(1)
                                   .u32(26).u32(2).raw(std::string("e\0n\0", 4)).u32(1).raw(std::string("P\0", 2)).u32(0).u32(0)
                                   .u32(2)
                                   .u32(26).u32(1).raw(std::string("a\0", 2)).u32(0x11223344).u32(0x55667788).u32(1).u32(2)
                                   .u32(26).u32(1).raw(std::string("b\0", 2)).u32(0).u32(0).u32(0).u32(1)
                                   .raw("zxy")
                                   .bytes();
  EXPECT_EQ(expected, container);
}

TEST(KitWriterTest, RefusesUnsafeNamesAndLeavesNoFile) {
  KitScene scratch;
  std::string error;
  EXPECT_FALSE(config::writeKit(scratch.path("k.okd"), {{u"..\\evil", "x", _FILETIME{0, 0}}}, &error));
  EXPECT_NE(std::string::npos, error.find("unsafe"));
  EXPECT_TRUE(readFile(scratch.path("k.okd")).empty());
  EXPECT_EQ(-1, kittest::modificationTime(scratch.path("k.okd")));
}

TEST(KitWriterTest, TreeListingIsSortedWithBackslashesAndExactTimes) {
  KitScene scratch;
  const std::string root = scratch.path("tree");
  ASSERT_EQ(0, system(("mkdir -p '" + root + "/b/c' '" + root + "/a' '" + root + "/emptydir'").c_str()));
  makeFile(root + "/b/c/deep.txt", "deep", 1600000000, 999999999);
  makeFile(root + "/a/first", "", 1000000000, 0);
  makeFile(root + "/Z", "upper", 1500000000, 500);
  makeFile(root + "/ß.txt", "eszett", 1500000001, 0);
  ASSERT_EQ(0, symlink("b", (root + "/link").c_str()));

  std::vector<KitFileSpec> files;
  std::string error;
  ASSERT_TRUE(config::listKitTree(root, files, &error)) << error;
  ASSERT_EQ(4u, files.size());
  EXPECT_EQ(u"Z", files[0].name);
  EXPECT_EQ(u"a\\first", files[1].name);
  EXPECT_EQ(u"b\\c\\deep.txt", files[2].name);
  EXPECT_EQ(u"ß.txt", files[3].name);
  EXPECT_EQ(4u, files[2].sourceSize);
  // Whole seconds: the fraction an installed file could not keep is dropped.
  const _FILETIME expected = config::fileTimeFromUnix(1600000000, 0);
  EXPECT_EQ(expected.dwLowDateTime, files[2].lastWriteTime.dwLowDateTime);
  EXPECT_EQ(expected.dwHighDateTime, files[2].lastWriteTime.dwHighDateTime);
  EXPECT_EQ(1600000000, FileTimeToEpoch(files[2].lastWriteTime));

  // Same tree, same kit, byte for byte.
  KitSpec kit;
  kit.files = files;
  ASSERT_TRUE(config::writeKit(scratch.path("1.okd"), kit));
  ASSERT_TRUE(config::listKitTree(root, kit.files, &error));
  ASSERT_TRUE(config::writeKit(scratch.path("2.okd"), kit));
  EXPECT_EQ(readFile(scratch.path("1.okd")), readFile(scratch.path("2.okd")));

  // A file that changed size since it was listed makes the kit fail.
  makeFile(root + "/Z", "longer now", 1500000000, 0);
  EXPECT_FALSE(config::writeKit(scratch.path("3.okd"), kit, KitLayout(), &error));
  EXPECT_NE(std::string::npos, error.find("changed size"));
  EXPECT_EQ(-1, kittest::modificationTime(scratch.path("3.okd")));

  EXPECT_FALSE(config::listKitTree(scratch.path("missing"), files, &error));
  ASSERT_TRUE(config::writeFileBytes(root + "/a/back\\slash", ""));
  EXPECT_FALSE(config::listKitTree(root, files, &error));
}

}  // namespace
