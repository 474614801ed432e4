// The kit tool: packing a tree through the library and through the
// program, listing and checking kits.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "kit/kit_test_support.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"

using kittest::KitReader;
using kittest::KitScene;
using kittest::run;
using kittest::readFile;

namespace {

void makeTree(const std::string& root) {
  ASSERT_EQ(0, system(("mkdir -p '" + root + "/templates/letters' '" + root + "/doc'").c_str()));
  const struct {
    const char* name;
    std::string bytes;
    long nanoseconds;
  } files[] = {
      {"/doc/readme.html", "<html>read me</html>", 0},
      {"/templates/letters/letter.tmpl", kittest::patternBytes(70000, 11), 250000000},
      {"/templates/empty.tmpl", "", 0},
      {"/templates/mib.bin", kittest::patternBytes((1 << 20) + 1, 12), 999999999},
  };
  for (const auto& file : files) {
    const std::string path = root + file.name;
    ASSERT_TRUE(config::writeFileBytes(path, file.bytes));
    const struct timespec times[2] = {{1700000000, file.nanoseconds}, {1700000000, file.nanoseconds}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
  }
}

// Extracts every entry of `kit` below `destination` and compares it with
// the tree at `root`: bytes and whole-second times.
void expectSameTree(const KitScene& scratch, const std::string& kit, const std::string& root,
                    size_t expectedEntries) {
  KitReader reader;
  ASSERT_EQ(0u, reader.open(widen_lib(kit)));
  ASSERT_EQ(expectedEntries, reader.entries.size());
  for (uint32_t i = 0; i < reader.entries.size(); ++i) {
    std::u16string name = reader.entries[i].name;
    replace_all(name, kBadPathSeparator, kPathSeparator);
    const std::string target = scratch.out() + "/" + narrow_lib(name);
    ASSERT_EQ(0u, FileSystem::CreateDirectory(widen_lib(target.substr(0, target.rfind('/')))));
    ASSERT_EQ(0u, reader.copy(i, widen_lib(target)));
    const std::string source = root + "/" + narrow_lib(name);
    EXPECT_EQ(readFile(source), readFile(target)) << source;
    EXPECT_EQ(kittest::modificationTime(source), kittest::modificationTime(target)) << source;
  }
}

TEST(OkdpackTest, LibraryPackingRoundTripsATree) {
  KitScene scratch;
  makeTree(scratch.path("tree"));
  config::KitSpec kit;
  std::string error;
  ASSERT_TRUE(config::listKitTree(scratch.path("tree"), kit.files, &error)) << error;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), kit, config::KitLayout(), &error)) << error;
  expectSameTree(scratch, scratch.path("ovn8.okd"), scratch.path("tree"), 4);
}

TEST(OkdpackTest, ProgramPacksListsAndVerifies) {
  const std::string tool = kittest::okdpackTool();
  if (tool.empty()) GTEST_SKIP() << "okdpack is not built";
  KitScene scratch;
  makeTree(scratch.path("tree"));
  const std::string tree = "'" + scratch.path("tree") + "'";
  int status = -1;

  const std::string perLanguage = " --description en 'Letter templates' 'Vendor' doc/readme.html"
                                  " --description ru 'Шаблоны писем' 'Поставщик' ''";
  run(tool + " " + tree + " -o '" + scratch.path("a.okd") + "'" + perLanguage, &status);
  ASSERT_EQ(0, status);
  run(tool + " " + tree + " -o '" + scratch.path("b.okd") + "'" + perLanguage, &status);
  ASSERT_EQ(0, status);
  EXPECT_EQ(readFile(scratch.path("a.okd")), readFile(scratch.path("b.okd")));
  expectSameTree(scratch, scratch.path("a.okd"), scratch.path("tree"), 4);
  {
    KitReader reader;
    ASSERT_EQ(0u, reader.open(scratch.wide("a.okd")));
    ASSERT_EQ(2u, reader.descriptions.size());
    EXPECT_EQ(u"doc\\readme.html", reader.descriptions[0].descriptionPath);
    EXPECT_EQ(u"Шаблоны писем", reader.descriptions[1].productName);
  }

  run(tool + " " + tree + " -o '" + scratch.path("s.okd") + "' --single Product Vendor doc/readme.html", &status);
  ASSERT_EQ(0, status);
  std::string listing = run(tool + " --list '" + scratch.path("s.okd") + "'", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, listing.find("[en] product \"Product\", vendor \"Vendor\", document \"doc/readme.html\""))
      << listing;
  EXPECT_NE(std::string::npos, listing.find("     1048577  "))
      << listing;
  expectSameTree(scratch, scratch.path("s.okd"), scratch.path("tree"), 4);

  std::string verdict = run(tool + " --verify '" + scratch.path("s.okd") + "'", &status);
  EXPECT_EQ(0, status) << verdict;
  const std::string kit = readFile(scratch.path("s.okd"));
  ASSERT_TRUE(config::writeFileBytes(scratch.path("cut.okd"), kit.substr(0, kit.size() / 2)));
  verdict = run(tool + " --verify '" + scratch.path("cut.okd") + "'", &status);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, verdict.find("damaged")) << verdict;
  // Where: the cut leaves an entry's bytes outside the container.
  EXPECT_NE(std::string::npos, verdict.find("lies outside the container")) << verdict;
  verdict = run(tool + " --verify '" + scratch.path("none.okd") + "'", &status);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, verdict.find("not found")) << verdict;

  // A kit written into its own tree never packs an older copy of itself.
  const std::string inside = scratch.path("tree") + "/ovn8.okd";
  run(tool + " " + tree + " -o '" + inside + "'", &status);
  ASSERT_EQ(0, status);
  run(tool + " " + tree + " -o '" + inside + "'", &status);
  ASSERT_EQ(0, status);
  {
    KitReader reader;
    ASSERT_EQ(0u, reader.open(widen_lib(inside)));
    EXPECT_EQ(4u, reader.entries.size());
  }

  run(tool + " " + tree + " -o '" + scratch.path("x.okd") + "' --single a b", &status);
  EXPECT_NE(0, status);
  EXPECT_TRUE(scratch.tmpFiles().empty());

  // A file whose name holds an escape sequence and a line feed is no kit
  // entry; the refusal shows the name escaped.
  ASSERT_TRUE(config::writeFileBytes(scratch.path("tree") + "/templates/a\x1b[2J\nb", "x"));
  const std::string refusal = run(tool + " " + tree + " -o '" + scratch.path("y.okd") + "'", &status);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, refusal.find("unsafe entry name \"templates\\\\a\\x1b[2J\\nb\"")) << refusal;
  EXPECT_EQ(std::string::npos, refusal.find('\x1b'));
}

}  // namespace
