#include "install/present_record.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "install/install_test_util.h"
#include "platform/text.h"

namespace {

InstallationRecord record_of(int entries) {
  InstallationRecord record;
  record.kit.product = u"Forms";
  record.kit.vendor = u"Vendor";
  record.kit.size = 42;
  record.kit.sha256 = std::string(64, 'b');
  record.installedAt = 1796000000;
  record.wizardVersion = "1.0.0";
  for (int i = 0; i < entries; ++i)
    record.entries.push_back({u"f/" + widen_lib(std::to_string(i)), uint64_t(i), uint32_t(i), 1700000000 + i,
                              RecordAction::kInstalled});
  return record;
}

// The record as it stood when read is what is taken, however it changes
// afterwards; taken once. None, one that is not the user's alone and a
// damaged one are no record.
TEST(PresentRecordTest, TakesTheRecordAsReadOnceAndNoUntrustedOne) {
  install_test::ScratchDir dir;
  const std::u16string target = widen_lib(dir.path() + "/");
  const std::string folder = dir.path() + "/.n8ctl", file = folder + "/record";
  PresentRecord present;
  InstallationRecord taken = record_of(1);
  present.read(target);
  EXPECT_FALSE(present.take(taken));

  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  ASSERT_TRUE(fs_test::writeText(file, encode_record(record_of(20000))));
  chmod(file.c_str(), 0600);
  present.read(target);
  ASSERT_TRUE(fs_test::writeText(file, encode_record(record_of(3))));  // changed after the read
  ASSERT_TRUE(present.take(taken));
  EXPECT_TRUE(same_installation(record_of(20000), taken));
  EXPECT_FALSE(present.take(taken));

  chmod(file.c_str(), 0666);
  present.read(target);
  EXPECT_FALSE(present.take(taken));
  chmod(file.c_str(), 0600);
  const std::string bytes = encode_record(record_of(3));
  ASSERT_TRUE(fs_test::writeText(file, bytes.substr(0, bytes.size() - 1)));
  present.read(target);
  EXPECT_FALSE(present.take(taken));
  // Read again before it was taken, and dropped unread: nothing is left running.
  ASSERT_TRUE(fs_test::writeText(file, bytes));
  present.read(target);
  present.read(target);
  ASSERT_TRUE(present.take(taken));
  EXPECT_TRUE(same_installation(record_of(3), taken));
  PresentRecord dropped;
  dropped.read(target);
}

}  // namespace
