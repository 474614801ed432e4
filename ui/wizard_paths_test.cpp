// The wizard's path and size rules, without a display.
#include "ui/wizard_paths.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "ui/ui_test_support.h"

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
}

TEST(WizardPathsTest, ChooserStartsAtTheFieldsFolderOrItsNearestParent) {
  const testkit::ScratchDir scratch("/tmp", "ovn8chooser");
  const std::u16string root = widen_lib(scratch.path());
  ASSERT_TRUE(testkit::makeDirs(scratch / "home/.ovn8/tmplts"));
  ASSERT_TRUE(testkit::writeFile(scratch / "file", ""));
  const std::u16string home = root + u"/home";
  EXPECT_EQ(chooserStartFolder(home + u"/.ovn8/tmplts/", home), home + u"/.ovn8/tmplts");
  // Not made yet: its nearest parent that exists.
  EXPECT_EQ(chooserStartFolder(home + u"/.ovn8/Ovan/ovn8/tmplts/", home), home + u"/.ovn8");
  EXPECT_EQ(chooserStartFolder(u"~/.ovn8/tmplts", home), home + u"/.ovn8/tmplts");
  EXPECT_EQ(chooserStartFolder(root + u"/file", home), root);  // a file: its folder
  EXPECT_EQ(chooserStartFolder(u"relative/path", home), home);
  EXPECT_EQ(chooserStartFolder(u"", home), home);
  EXPECT_EQ(chooserStartFolder(u"/", home), u"/");
  EXPECT_EQ(chooserStartFolder(u"/no-such-folder-here/x", home), u"/");
  EXPECT_TRUE(hasHiddenComponent(home + u"/.ovn8/tmplts"));
  EXPECT_FALSE(hasHiddenComponent(home + u"/tmplts"));
  EXPECT_FALSE(hasHiddenComponent(u"/a/./b/../c"));
  EXPECT_TRUE(hasHiddenComponent(u"/a/..b"));
}

TEST(WizardPathsTest, TypedTargetIsMadeAbsolute) {
  EXPECT_EQ(absoluteTargetPath(u"~/tpl", u"/home/u", u"/work"), u"/home/u/tpl");
  EXPECT_EQ(absoluteTargetPath(u"~", u"/home/u", u"/work"), u"/home/u");
  EXPECT_EQ(absoluteTargetPath(u"~other/tpl", u"/home/u", u"/work"), u"/work/~other/tpl");
  EXPECT_EQ(absoluteTargetPath(u"tpl/", u"/home/u", u"/work"), u"/work/tpl/");
  EXPECT_EQ(absoluteTargetPath(u"tpl", u"/home/u", u"/"), u"/tpl");
  EXPECT_EQ(absoluteTargetPath(u"/abs/t", u"/home/u", u"/work"), u"/abs/t");
  // Whether it can be the directory is platform/target_check_test.cpp's.
}

TEST(WizardPathsTest, SizesReadInWholeUnitsOfTheInterfaceLanguage) {
  EXPECT_EQ(u"0 KB", sizeText(0, true));
  EXPECT_EQ(u"1 KB", sizeText(1, true));
  EXPECT_EQ(u"0 KB", sizeText(1, false));
  EXPECT_EQ(u"1023 KB", sizeText(1023 * 1024 + 1, false));
  EXPECT_EQ(u"2 MB", sizeText(1536 * 1024, true));
  EXPECT_EQ(u"1 MB", sizeText(1536 * 1024, false));
  EXPECT_EQ(u"10239 MB", sizeText((10ull << 30) - 1, false));
  EXPECT_EQ(u"20 GB", sizeText(20ull << 30, true));
  set_resource_lang(LANG_RU);
  EXPECT_EQ(u"12 МБ", sizeText(12ull << 20, true));
  set_resource_lang(LANG_EN);
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
}

}  // namespace
