#include "install/installation_record.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "install/install_test_util.h"
#include "install/journal_codec.h"
#include "platform/text.h"

namespace {

InstallationRecord sample_record() {
  InstallationRecord record;
  record.kit.product = u"Sales \u0444\u043e\u0440\u043c\u044b\tline\nbreak\\";
  record.kit.vendor = u"Vendor \U0001F600";
  record.kit.size = 123456789;
  record.kit.sha256 = std::string(64, 'a');
  record.kit.version = u"2.1\r";
  record.installedAt = 1796000000;
  record.wizardVersion = "1.0.0";
  record.entries.push_back({u"forms/a.tpl", 10, 0xdeadbeef, 1700000000, RecordAction::kInstalled});
  record.entries.push_back({u"b\\c\u00e9.dot", 0, 0, -5, RecordAction::kTimeUpdated});
  record.entries.push_back({u"x/y/z.xml", 1, 1, 0, RecordAction::kKeptNewer});
  return record;
}

TEST(InstallationRecord, RoundTripsNamesWithEveryAwkwardCharacter) {
  const InstallationRecord written = sample_record();
  const std::string text = encode_record(written);
  // Tabs and newlines inside texts never reach the lines raw.
  EXPECT_EQ(std::string::npos, text.find("Sales \xd1\x84\xd0\xbe\xd1\x80\xd0\xbc\xd1\x8b\t"));
  EXPECT_NE(std::string::npos, text.find("\\tline\\nbreak\\\\"));
  InstallationRecord read;
  ASSERT_TRUE(decode_record(text, read));
  EXPECT_TRUE(same_installation(written, read));
  EXPECT_EQ(written.installedAt, read.installedAt);
  EXPECT_EQ(written.wizardVersion, read.wizardVersion);
  InstallationRecord other = written;
  other.entries[1].action = RecordAction::kUpToDate;
  EXPECT_FALSE(same_installation(written, other));
  other = written;
  other.installedAt += 60;
  EXPECT_TRUE(same_installation(written, other));
}

// A record cut anywhere, or with any byte changed, is refused whole.
TEST(InstallationRecord, RefusesEveryCutAndEveryChangedByte) {
  const std::string text = encode_record(sample_record());
  InstallationRecord read;
  for (size_t length = 0; length < text.size(); ++length)
    EXPECT_FALSE(decode_record(text.substr(0, length), read)) << "cut at " << length;
  for (size_t at = 0; at < text.size(); ++at) {
    for (unsigned char flip : {0x01, 0x20, 0x80}) {
      std::string damaged = text;
      damaged[at] = char(damaged[at] ^ flip);
      EXPECT_FALSE(decode_record(damaged, read)) << "byte " << at << " ^ " << int(flip);
    }
  }
  EXPECT_FALSE(decode_record(text + "\n", read));
  EXPECT_FALSE(decode_record(text + text, read));
}

// Lines that are well formed and summed but say something no writer says:
// a path leading out of the directory or into the wizard's own folders, a
// count beyond the lines, an unknown action.
TEST(InstallationRecord, RefusesSummedLinesNoWriterWrites) {
  const std::string good = encode_record(sample_record());
  // The checksum made right again after a change, as a forger would.
  auto resummed = [](std::string text) {
    text = text.substr(0, text.rfind("end\t"));
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", crc_of(text.data(), text.size()));
    return text + "end\t" + hex + "\n";
  };
  InstallationRecord read;
  ASSERT_TRUE(decode_record(resummed(good), read));
  for (const char* bad : {"../etc/passwd", "/etc/passwd", "a//b", ".n8ctl/record", ".n8stp0/j", "a/./b"}) {
    std::string text = good;
    const size_t at = text.find("forms/a.tpl");
    text.replace(at, 11, bad);
    EXPECT_FALSE(decode_record(resummed(text), read)) << bad;
  }
  std::string counted = good;
  counted.replace(counted.find("entries\t3"), 9, "entries\t4");
  EXPECT_FALSE(decode_record(resummed(counted), read));
  std::string action = good;
  action.replace(action.find("installed\t10"), 9, "removed\t");
  EXPECT_FALSE(decode_record(resummed(action), read));
  std::string escape = good;
  escape.replace(escape.find("\\t"), 2, "\\q");
  EXPECT_FALSE(decode_record(resummed(escape), read));
}

TEST(InstallationRecord, ReadsOnlyTheUsersOwnRecord) {
  install_test::ScratchDir dir;
  const std::u16string target = widen_lib(dir.path() + "/");
  InstallationRecord read;
  EXPECT_EQ(2u, read_installation_record(target, read));
  const std::string folder = dir.path() + "/.n8ctl";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  fs_test::writeText(folder + "/record", encode_record(sample_record()));
  chmod((folder + "/record").c_str(), 0600);
  ASSERT_EQ(0u, read_installation_record(target, read));
  EXPECT_TRUE(same_installation(sample_record(), read));
  chmod((folder + "/record").c_str(), 0666);
  EXPECT_EQ(13u, read_installation_record(target, read));
  chmod((folder + "/record").c_str(), 0600);
  fs_test::writeText(folder + "/record", "ovn8-installation-record 1\n");
  EXPECT_EQ(13u, read_installation_record(target, read));
}

}  // namespace
