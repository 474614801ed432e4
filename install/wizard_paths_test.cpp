// The wizard's path and size rules, without a display.
#include "install/wizard_paths.h"

#include <gtest/gtest.h>

#include "platform/file_fault_injector.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "platform/test_toolkit.h"

namespace {

TEST(WizardPathsTest, SpaceCheckNeedsThreeTimesTheKitWithoutOverflow) {
  EXPECT_TRUE(enoughTemporarySpace(1000, 3000));
  EXPECT_FALSE(enoughTemporarySpace(1000, 2999));
  EXPECT_TRUE(enoughTemporarySpace(0, 0));
  // 3 x 0x60000000 wraps to 0x20000000 in 32 bits; it must still fail.
  EXPECT_FALSE(enoughTemporarySpace(0x60000000u, 0x20000000u));
  EXPECT_FALSE(enoughTemporarySpace(0x60000000u, 0xFFFFFFF0u));
  // Free space saturated by the file layer means "at least 4 GiB".
  EXPECT_TRUE(enoughTemporarySpace(0x60000000u, 0xFFFFFFFFu));
}

TEST(WizardPathsTest, ProposedDirectoryIsCleaned) {
  EXPECT_EQ(cleanProposedDirectory(u"/home/u/tpl/"), u"/home/u/tpl/");
  EXPECT_EQ(cleanProposedDirectory(u"ftp://host/t"), u"");
  EXPECT_EQ(cleanProposedDirectory(u"/a/http://b"), u"");
  EXPECT_EQ(cleanProposedDirectory(u"https://h/x"), u"");
  EXPECT_EQ(cleanProposedDirectory(u"file:///home/u/t"), u"/home/u/t");
  EXPECT_EQ(cleanProposedDirectory(u"/x/file://y/file://z"), u"/x/y/file://z");
  EXPECT_EQ(cleanProposedDirectory(u"/home/u\r\n/t\n"), u"/home/u/t");
}

TEST(WizardPathsTest, JoinPutsExactlyOneSeparator) {
  EXPECT_EQ(joinDirectoryAndName(u"/t", u"readme.html"), u"/t/readme.html");
  EXPECT_EQ(joinDirectoryAndName(u"/t/", u"readme.html"), u"/t/readme.html");
  EXPECT_EQ(joinDirectoryAndName(u"/t/", u"/readme.html"), u"/t/readme.html");
  EXPECT_EQ(joinDirectoryAndName(u"/t", u"\\doc\\r.html"), u"/t\\doc\\r.html");
  EXPECT_EQ(joinDirectoryAndName(u"C:\\t\\", u"r.html"), u"C:\\t\\r.html");
  EXPECT_EQ(joinDirectoryAndName(u"", u"r.html"), u"r.html");
}

TEST(WizardPathsTest, DocumentMustLieInsideTheDirectory) {
  const testkit::ScratchDir scratch("/tmp", "ovn8ui_paths");
  const std::string root = scratch.path();
  ASSERT_TRUE(testkit::makeDirs(root + "/t/d"));
  ASSERT_TRUE(testkit::writeFile(root + "/t/d/r.html", ""));
  ASSERT_TRUE(testkit::writeFile(root + "/out.html", ""));
  ASSERT_EQ(symlink((root + "/out.html").c_str(), (root + "/t/link.html").c_str()), 0);
  const std::u16string t = widen_lib(root + "/t");
  EXPECT_EQ(narrow_lib(documentInsideDirectory(t + u"/d/r.html", t)), root + "/t/d/r.html");
  EXPECT_EQ(narrow_lib(documentInsideDirectory(t + u"//d/../d/r.html", t + u"/")),
            root + "/t/d/r.html");
  EXPECT_EQ(documentInsideDirectory(t + u"/../out.html", t), u"");
  EXPECT_EQ(documentInsideDirectory(t + u"/link.html", t), u"");  // leads outside
  EXPECT_EQ(documentInsideDirectory(t + u"/missing.html", t), u"");
  EXPECT_EQ(documentInsideDirectory(t, t), u"");
  EXPECT_EQ(documentInsideDirectory(widen_lib(root + "/tx/r.html"), t), u"");
  // Both paths are resolved through the file layer; one that cannot be
  // resolved shows no document.
  for (uint64_t k : {1, 2}) {
    FileFaultInjector fault(k, ERROR_ACCESS_DENIED);
    fault.only({FileOp::GetFinalPathName});
    EXPECT_EQ(documentInsideDirectory(t + u"/d/r.html", t), u"") << k;
    EXPECT_TRUE(fault.fired());
  }
}

TEST(WizardPathsTest, FreeSpaceIsThatOfTheNearestExistingFolder) {
  uint64_t root = 0, below = 0;
  ASSERT_TRUE(freeSpaceAt(u"/", root));
  EXPECT_GT(root, 0u);
  // A path that is not there yet: the space where its levels would go.
  ASSERT_TRUE(freeSpaceAt(u"/no/such/folder/here", below));
  EXPECT_GT(below, 0u);
  EXPECT_FALSE(freeSpaceAt(u"relative/path", below));
  EXPECT_FALSE(freeSpaceAt(u"", below));
  // The system is asked through the file layer; a look that fails tells
  // nothing, rather than "nothing free".
  FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
  fault.only({FileOp::GetFreeSpace});
  EXPECT_FALSE(freeSpaceAt(u"/", below));
  EXPECT_TRUE(fault.fired());
}

}  // namespace
