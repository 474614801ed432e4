// Every cut and every flipped header byte of a valid container either opens
// with all entries inside the container, or fails; nothing is left behind.
#include <gtest/gtest.h>

#include "kit/install_data.h"
#include "kit/kit_test_support.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"

using config::KitLayout;
using config::KitSpec;
using kittest::KitReader;
using kittest::KitScene;

namespace {

KitSpec sampleKit() {
  KitSpec kit;
  kit.descriptions = {{u"en", u"Product", u"Vendor", u"doc\\readme.html"}, {u"de", u"Produkt", u"", u""}};
  kit.files = {{u"doc\\readme.html", "<p>read me</p>", EpochToFileTime(1500000000)},
               {u"t\\a.tmpl", "template a", EpochToFileTime(1500000001)},
               {u"empty", "", EpochToFileTime(0)},
               {u"b", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", EpochToFileTime(1600000000)}};
  return kit;
}

size_t headerSize(const KitSpec& kit, const std::string& container) {
  size_t data = 0;
  for (const auto& file : kit.files) data += file.data.size();
  return container.size() - data;
}

// Opens the kit in `mode`; when it opens, every entry is inside it and
// extracts. Nothing is left behind either way.
void checkOpenIn(const KitScene& scratch, const std::string& container, kittest::ContainerMode mode,
                 const std::string& what) {
  {
    KitReader reader;
    kittest::useMode(reader, mode);
    const uint32_t result = reader.open(scratch.wide("k.okd"));
    if (result != 0) {
      // A refused kit always says why.
      EXPECT_FALSE(reader.refusal().empty()) << what;
      EXPECT_FALSE(reader.isOpen()) << what;
      EXPECT_TRUE(reader.entries.empty()) << what;
      EXPECT_TRUE(scratch.tmpFiles().empty()) << what;
      return;
    }
    EXPECT_EQ(container.size(), reader.containerSize()) << what;
    for (uint32_t i = 0; i < reader.entries.size(); ++i) {
      const config::KitEntry& entry = reader.entries[i];
      EXPECT_LE(uint64_t(entry.offset) + entry.size, container.size()) << what;
      EXPECT_TRUE(config::isSafeEntryName(entry.name)) << what;
      ASSERT_EQ(0u, reader.copy(i, scratch.wide("out/x"))) << what;
      EXPECT_EQ(container.substr(entry.offset, entry.size), kittest::readFile(scratch.path("out/x"))) << what;
    }
  }
  EXPECT_TRUE(scratch.tmpFiles().empty()) << what;
}

void checkOpen(const KitScene& scratch, const std::string& container, const std::string& what) {
  ASSERT_TRUE(config::writeContainerAsKit(scratch.path("k.okd"), container, 1));
  for (kittest::ContainerMode mode : kittest::kAllModes)
    checkOpenIn(scratch, container, mode, what + ", " + kittest::modeName(mode));
}

TEST(DamagedContainerTest, EveryCutOpensWholeEntriesOrFails) {
  KitScene scratch;
  for (bool single : {false, true}) {
    KitSpec kit = sampleKit();
    kit.singleForm = single;
    std::string container;
    ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
    for (size_t length = 0; length <= container.size(); ++length)
      checkOpen(scratch, container.substr(0, length), "cut at " + std::to_string(length));
  }
}

TEST(DamagedContainerTest, EveryFlippedHeaderByteOpensWholeEntriesOrFails) {
  KitScene scratch;
  for (bool single : {false, true}) {
    KitSpec kit = sampleKit();
    kit.singleForm = single;
    std::string container;
    KitLayout layout;
    layout.reverseData = true;
    ASSERT_TRUE(config::buildContainer(kit, layout, container));
    const size_t header = headerSize(kit, container);
    for (size_t at = 0; at < header; ++at) {
      for (unsigned char mask : {0x01, 0x80, 0xFF}) {
        std::string damaged = container;
        damaged[at] = char(damaged[at] ^ mask);
        checkOpen(scratch, damaged, "byte " + std::to_string(at) + " ^ " + std::to_string(mask));
      }
    }
  }
}

// The refusal names the part of the kit that is wrong, so that whoever made
// the kit can find it.
TEST(DamagedContainerTest, RefusalSaysWhatIsWrongAndWhere) {
  KitScene scratch;
  const KitSpec kit = sampleKit();
  std::string container;
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  const size_t header = headerSize(kit, container);
  // The words for the log, and the kind (with the entry it is about) for
  // the user's language.
  config::KitRefusal kind = config::KitRefusal::kNone;
  std::u16string subject;
  auto refusalOf = [&](const std::string& bytes) {
    EXPECT_TRUE(config::writeContainerAsKit(scratch.path("k.okd"), bytes, 1));
    KitReader reader;
    EXPECT_EQ(uint32_t(ERROR_INVALID_DATA), reader.open(scratch.wide("k.okd")));
    kind = reader.refusalKind();
    subject = reader.refusalSubject();
    return reader.refusal();
  };
  EXPECT_EQ("entry 4 of 4 is damaged or cut short", refusalOf(container.substr(0, header - 3)));
  EXPECT_EQ(config::KitRefusal::kDataDamaged, kind);
  EXPECT_EQ(u"", subject);
  EXPECT_EQ("entry doc\\readme.html lies outside the container", refusalOf(container.substr(0, header + 5)));
  EXPECT_EQ(config::KitRefusal::kFileDamaged, kind);
  EXPECT_EQ(u"doc\\readme.html", subject);
  EXPECT_EQ("description 1 of 2 is damaged or cut short", refusalOf(container.substr(0, 60)));
  EXPECT_EQ(config::KitRefusal::kDataDamaged, kind);
  // Not a compressed stream at all.
  ASSERT_TRUE(config::writeFileBytes(scratch.path("k.okd"), std::string("\xff\xff\xff\xff not a kit", 14)));
  KitReader reader;
  EXPECT_EQ(uint32_t(ERROR_INVALID_DATA), reader.open(scratch.wide("k.okd")));
  EXPECT_EQ("the compressed stream is damaged or cut short", reader.refusal());
  EXPECT_EQ(config::KitRefusal::kDataDamaged, reader.refusalKind());
  // A kit that opens has nothing to tell.
  ASSERT_TRUE(config::writeContainerAsKit(scratch.path("k.okd"), container, 1));
  EXPECT_EQ(0u, reader.open(scratch.wide("k.okd")));
  EXPECT_TRUE(reader.refusal().empty());
  EXPECT_EQ(config::KitRefusal::kNone, reader.refusalKind());
}

}  // namespace
