// Kits that do not depend on the checkout: the same tree with other times,
// in another folder, gives the same kit under the same SOURCE_DATE_EPOCH;
// --mtime sets every time; the kit version goes through okdpack.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "kit/container_builder.h"
#include "kit/kit_test_support.h"
#include "kit/kit_writer.h"

using kittest::KitReader;
using kittest::KitScene;
using kittest::run;
using kittest::readFile;

namespace {

// The same names and bytes, created in another order, with times `seconds`.
void makeTree(const std::string& root, int64_t seconds, bool reversed) {
  ASSERT_EQ(0, system(("mkdir -p '" + root + "/forms/b' '" + root + "/doc'").c_str()));
  std::vector<std::pair<std::string, std::string>> files = {
      {"/doc/readme.html", "<html>read me</html>"},
      {"/forms/a.tpl", kittest::patternBytes(70000, 3)},
      {"/forms/b/z.tpl", "z"},
      {"/forms/B.tpl", "upper case sorts first"},
      {"/forms/\xc3\xa9.tpl", "e acute"},
  };
  if (reversed) std::reverse(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string path = root + file.first;
    ASSERT_TRUE(config::writeFileBytes(path, file.second));
    const struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
  }
}

std::vector<std::u16string> entryNames(const std::string& kit) {
  KitReader reader;
  std::vector<std::u16string> names;
  if (reader.open(widen_lib(kit)) != 0) return names;
  for (const config::KitEntry& entry : reader.entries) names.push_back(entry.name);
  return names;
}

TEST(OkdpackReproducibleTest, SameTreeGivesTheSameKitWhateverItsTimes) {
  const std::string tool = kittest::okdpackTool();
  if (tool.empty()) GTEST_SKIP() << "okdpack is not built";
  KitScene scene;
  makeTree(scene.path("one/tree"), 1700000000, false);
  makeTree(scene.path("two/checkout"), 1800000000, true);
  const std::string options = " --description en Forms Vendor doc/readme.html --kit-version=3.1";
  int status = -1;
  for (const char* folder : {"one/tree", "two/checkout"}) {
    run("cd '" + scene.path(folder) + "' && SOURCE_DATE_EPOCH=1600000000 '" + tool + "' . -o ../ovn8.okd" + options,
        &status);
    ASSERT_EQ(0, status) << folder;
  }
  const std::string kit = readFile(scene.path("one/ovn8.okd"));
  EXPECT_EQ(kit, readFile(scene.path("two/ovn8.okd")));
  // Sorted by the bytes of the names, not by the locale.
  EXPECT_EQ((std::vector<std::u16string>{u"doc\\readme.html", u"forms\\B.tpl", u"forms\\a.tpl", u"forms\\b\\z.tpl",
                                         u"forms\\é.tpl"}),
            entryNames(scene.path("one/ovn8.okd")));
  const std::string listing = run(tool + " --list '" + scene.path("one/ovn8.okd") + "'", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, listing.find("kit version: \"3.1\"\n")) << listing;
  EXPECT_NE(std::string::npos, listing.find("2020-09-13T12:26:40.0000000Z  doc/readme.html")) << listing;

  // Times before SOURCE_DATE_EPOCH stay; without it every kit keeps its own.
  run("SOURCE_DATE_EPOCH=1750000000 " + tool + " '" + scene.path("one/tree") + "' -o '" + scene.path("keep.okd") +
          "'",
      &status);
  ASSERT_EQ(0, status);
  KitReader reader;
  ASSERT_EQ(0u, reader.open(scene.wide("keep.okd")));
  EXPECT_EQ(config::fileTimeFromUnix(1700000000, 0).dwLowDateTime, reader.entries[0].lastWriteTime.dwLowDateTime);
  run("SOURCE_DATE_EPOCH= " + tool + " '" + scene.path("two/checkout") + "' -o '" + scene.path("own.okd") + "'" +
          options,
      &status);
  ASSERT_EQ(0, status);
  EXPECT_NE(kit, readFile(scene.path("own.okd")));

  // --mtime sets every time, whatever SOURCE_DATE_EPOCH says.
  for (const char* mtime : {"@1600000000", "2020-09-13T12:26:40Z", "2020-09-13 12:26:40"}) {
    run("SOURCE_DATE_EPOCH=1 " + tool + " '" + scene.path("two/checkout") + "' -o '" + scene.path("m.okd") + "'" +
            options + " --mtime='" + std::string(mtime) + "'",
        &status);
    ASSERT_EQ(0, status) << mtime;
    EXPECT_EQ(kit, readFile(scene.path("m.okd"))) << mtime;
  }
  std::string refusal = run(tool + " '" + scene.path("one/tree") + "' -o '" + scene.path("x.okd") +
                                "' --mtime=yesterday", &status);
  EXPECT_EQ(2, WEXITSTATUS(status)) << refusal;
  refusal = run("SOURCE_DATE_EPOCH=soon " + tool + " '" + scene.path("one/tree") + "' -o '" + scene.path("x.okd") + "'",
                &status);
  EXPECT_EQ(2, WEXITSTATUS(status)) << refusal;
  EXPECT_NE(std::string::npos, refusal.find("SOURCE_DATE_EPOCH")) << refusal;
  // The version needs a description record to carry it.
  refusal = run(tool + " '" + scene.path("one/tree") + "' -o '" + scene.path("x.okd") + "' --kit-version 1", &status);
  EXPECT_EQ(2, WEXITSTATUS(status)) << refusal;
  EXPECT_NE(std::string::npos, refusal.find("--description")) << refusal;
}

}  // namespace
