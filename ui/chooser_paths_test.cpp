// Where the folder chooser opens, without a display.
#include "ui/chooser_paths.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "platform/test_toolkit.h"

namespace {

TEST(ChooserPathsTest, ChooserStartsAtTheFieldsFolderOrItsNearestParent) {
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

}  // namespace
