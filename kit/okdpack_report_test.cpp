// What okdpack tells: the summary, the listing with its totals, the kit on
// standard output, --verify on cut and extended kits, and the warnings
// about descriptions the wizard would never show as meant.
#include <gtest/gtest.h>

#include "kit/container_builder.h"
#include "kit/gpg_test_support.h"
#include "kit/kit_test_support.h"
#include "kit/kit_writer.h"

using kittest::KitScene;
using kittest::run;
using kittest::readFile;

namespace {

class OkdpackReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tool_ = kittest::okdpackTool();
    if (tool_.empty()) GTEST_SKIP() << "okdpack is not built";
    ASSERT_EQ(0, system(("mkdir -p '" + scene_.path("tree/doc") + "'").c_str()));
    ASSERT_TRUE(config::writeFileBytes(scene_.path("tree/doc/readme.html"), "<html/>"));
    ASSERT_TRUE(config::writeFileBytes(scene_.path("tree/a.tpl"), kittest::patternBytes(100000, 1)));
  }
  // okdpack with `arguments`, its status in `status_`.
  std::string okdpack(const std::string& arguments) { return run(tool_ + " " + arguments, &status_); }
  std::string pack(const std::string& kit, const std::string& options) {
    return okdpack("'" + scene_.path("tree") + "' -o '" + scene_.path(kit) + "' --mtime=@1600000000" + options);
  }

  std::string tool_;
  KitScene scene_;
  int status_ = -1;
};

TEST_F(OkdpackReportTest, SummarisesListsAndWritesToStandardOutput) {
  std::string said = pack("k.okd", " --description en P V doc/readme.html");
  ASSERT_EQ(0, status_) << said;
  const size_t kitSize = readFile(scene_.path("k.okd")).size();
  EXPECT_NE(std::string::npos, said.find("k.okd: 2 entries, 100007 bytes in, " + std::to_string(kitSize) + " bytes out ("))
      << said;
  EXPECT_EQ(std::string::npos, said.find('\r')) << "no progress line when standard error is no terminal";
  EXPECT_EQ("", pack("q.okd", " -q --description en P V doc/readme.html"));

  // "-" is standard output: the same bytes, and the summary stays on
  // standard error.
  said = run("(" + tool_ + " '" + scene_.path("tree") + "' -o - --mtime=@1600000000 --description en P V doc/readme.html > '" +
                 scene_.path("out.okd") + "')",
             &status_);
  ASSERT_EQ(0, status_) << said.size();
  EXPECT_TRUE(readFile(scene_.path("k.okd")) == readFile(scene_.path("out.okd")));
  EXPECT_NE(std::string::npos, said.find("standard output: 2 entries")) << said;
  EXPECT_FALSE(testkit::exists(scene_.path("tree/-")) || testkit::exists("-"));

  ASSERT_TRUE(config::writeFileBytes(scene_.path("tree/tab\tand\\back"), "x"));
  said = pack("n.okd", " -q --description en 'Two\nlines' V ''");
  ASSERT_NE(0, status_) << "a backslash cannot be stored in a name: " << said;
  ASSERT_EQ(0, unlink(scene_.path("tree/tab\tand\\back").c_str()));
  pack("n.okd", " -q --description en 'Two\nlines\\' V ''");
  ASSERT_EQ(0, status_);
  const std::string listing = okdpack("--list '" + scene_.path("n.okd") + "'");
  EXPECT_EQ(0, status_);
  EXPECT_NE(std::string::npos, listing.find("kit version: none\n")) << listing;
  EXPECT_NE(std::string::npos, listing.find("[en] product \"Two\\nlines\\\\\", vendor \"V\"")) << listing;
  EXPECT_NE(std::string::npos, listing.find("  size  crc-32    last written (UTC)            name\n")) << listing;
  char line[200];
  snprintf(line, sizeof line, "        100000  %08x  2020-09-13T12:26:40.0000000Z  a.tpl\n",
           config::crc32Of(kittest::patternBytes(100000, 1)));
  EXPECT_NE(std::string::npos, listing.find(line)) << listing;
  EXPECT_NE(std::string::npos, listing.find("total: 2 entries, 100007 bytes, 2 with a CRC-32\n")) << listing;
}

TEST_F(OkdpackReportTest, VerifyRefusesACutOrExtendedStream) {
  pack("k.okd", " -q");
  ASSERT_EQ(0, status_);
  const std::string kit = readFile(scene_.path("k.okd"));
  std::string said = okdpack("--verify '" + scene_.path("k.okd") + "'");
  EXPECT_EQ(0, status_) << said;
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"cut.okd", kit.substr(0, kit.size() - 1), "cut short"},
      {"long.okd", kit + std::string(1, '\0'), "1 byte(s) after the end of its stream"},
      {"twice.okd", kit + kit, "after the end of its stream"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(config::writeFileBytes(scene_.path(c.name), c.bytes));
    said = okdpack("--verify '" + scene_.path(c.name) + "'");
    EXPECT_EQ(1, WEXITSTATUS(status_)) << c.name << ": " << said;
    EXPECT_NE(std::string::npos, said.find(c.reason)) << c.name << ": " << said;
  }
}

TEST_F(OkdpackReportTest, WarnsOfDescriptionsTheWizardWouldNotShowAndStrictRefuses) {
  const std::string options = " --description EN P V doc/readme.html --description ru P V doc/missing.html"
                              " --description ru P2 V ''";
  std::string said = pack("w.okd", options);
  EXPECT_EQ(0, status_) << said;
  EXPECT_TRUE(testkit::exists(scene_.path("w.okd")));
  EXPECT_NE(std::string::npos, said.find("warning: language code \"EN\" is not one the wizard knows")) << said;
  EXPECT_NE(std::string::npos, said.find("warning: [ru] document \"doc/missing.html\" is not in the tree")) << said;
  EXPECT_NE(std::string::npos, said.find("warning: language \"ru\" is described twice")) << said;
  EXPECT_EQ(std::string::npos, said.find("\"doc/readme.html\" is not in the tree")) << said;

  said = pack("s.okd", options + " --strict");
  EXPECT_EQ(1, WEXITSTATUS(status_)) << said;
  EXPECT_NE(std::string::npos, said.find("error: language code \"EN\"")) << said;
  EXPECT_FALSE(testkit::exists(scene_.path("s.okd")));

  said = pack("s.okd", " --strict --description en P V ./doc/readme.html --description de P V ''");
  EXPECT_EQ(0, status_) << said;
  EXPECT_EQ(std::string::npos, said.find("warning")) << said;
}

// --sign has gpg write KIT.sig; --verify has gpgv check it: a good one is
// named, a changed kit fails, an unknown key is told but passes.
TEST_F(OkdpackReportTest, SignsAndVerifiesTheSignature) {
  if (!gpgtest::gpgAvailable()) GTEST_SKIP() << "gpg and gpgv are not installed";
  gpgtest::SigningKey vendor(scene_.root(), "Example Vendor <kits@example.com>");
  ASSERT_TRUE(vendor.ready());
  const std::string kit = scene_.path("s.okd");
  std::string said = run(vendor.environment() + tool_ + " '" + scene_.path("tree") + "' -o '" + kit + "' -q --sign",
                         &status_);
  ASSERT_EQ(0, status_) << said;
  ASSERT_TRUE(testkit::exists(kit + ".sig"));
  said = okdpack("--verify '" + kit + "' --keyring='" + vendor.keyring() + "'");
  EXPECT_EQ(0, status_) << said;
  EXPECT_NE(std::string::npos, said.find(".sig: good signature by \"Example Vendor <kits@example.com>\"")) << said;
  said = okdpack("--verify '" + kit + "'");
  EXPECT_EQ(0, status_) << said;
  EXPECT_NE(std::string::npos, said.find("which is in no trusted keyring")) << said;

  // Packing again without --sign leaves the old signature, and says so.
  said = pack("s.okd", "");
  EXPECT_EQ(0, status_) << said;
  EXPECT_NE(std::string::npos, said.find("s.okd.sig is from an earlier kit")) << said;
  said = okdpack("--verify '" + kit + "' --keyring '" + vendor.keyring() + "'");
  EXPECT_EQ(1, WEXITSTATUS(status_)) << said;
  EXPECT_NE(std::string::npos, said.find("the signature does not match the kit")) << said;

  said = okdpack("'" + scene_.path("tree") + "' -o - --sign");
  EXPECT_EQ(2, WEXITSTATUS(status_)) << said;
  said = okdpack("--verify '" + kit + "' --keyring");
  EXPECT_EQ(2, WEXITSTATUS(status_)) << said;
}

}  // namespace
