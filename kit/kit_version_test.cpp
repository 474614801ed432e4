// The kit version in the description records: written, read back, skipped
// by readers that know only the checksum item, and refused when damaged.
#include <gtest/gtest.h>

#include "kit/container_builder.h"
#include "kit/kit_test_support.h"
#include "kit/kit_writer.h"

using kittest::KitReader;
using kittest::KitScene;

namespace {

config::KitSpec versionedKit(const std::u16string& version) {
  config::KitSpec kit;
  kit.descriptions.push_back({u"en", u"Forms", u"Vendor", u"doc\\readme.html"});
  kit.descriptions.push_back({u"ru", u"Формы", u"Поставщик", u""});
  kit.files.push_back(config::KitFileSpec(u"doc\\readme.html", "read me"));
  kit.files.push_back(config::KitFileSpec(u"forms\\a.tpl", "hi"));
  kit.kitVersion = version;
  return kit;
}

// A reader built from the documented rules of kits before the version:
// description records are their four strings and padding, entry records
// their four fields and whatever follows. Returns the descriptions' product
// names and the entries' bytes, or false when it cannot read the container.
bool readAsOlderReader(const std::string& container, std::vector<std::u16string>& products,
                       std::vector<std::string>& files) {
  ByteReader cursor(container.data(), container.size());
  uint32_t marker = 0, count = 0;
  if (!cursor.u32(marker) || marker == 0 || !cursor.u32(count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t size = 0;
    const char* body = nullptr;
    if (!cursor.u32(size) || size < 20 || !cursor.bytes(size - 4, body)) return false;
    ByteReader record(body, size - 4);
    std::u16string code, product;
    if (!record.string(code) || !record.string(product)) return false;
    products.push_back(product);
  }
  std::vector<std::pair<uint32_t, uint32_t>> places;
  if (!cursor.u32(count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t size = 0, low = 0, high = 0, offset = 0, bytes = 0;
    const char* body = nullptr;
    if (!cursor.u32(size) || size < 24 || !cursor.bytes(size - 4, body)) return false;
    ByteReader record(body, size - 4);
    std::u16string name;
    if (!record.string(name) || !record.u32(low) || !record.u32(high) || !record.u32(offset) || !record.u32(bytes))
      return false;
    places.emplace_back(offset, bytes);
  }
  const size_t dataStart = cursor.consumed();
  for (const auto& place : places) files.push_back(container.substr(dataStart + place.first, place.second));
  return true;
}

TEST(KitVersionTest, RoundTripsAndOlderReadersSkipIt) {
  std::string container;
  ASSERT_TRUE(config::buildContainer(versionedKit(u"2.4.1-rc1 (build 7)"), config::KitLayout(), container));
  std::vector<std::u16string> products;
  std::vector<std::string> files;
  ASSERT_TRUE(readAsOlderReader(container, products, files));
  EXPECT_EQ((std::vector<std::u16string>{u"Forms", u"Формы"}), products);
  EXPECT_EQ((std::vector<std::string>{"read me", "hi"}), files);

  KitScene scene;
  config::KitLayout padded;
  padded.descriptionPadding = 3;  // fewer than four bytes behind the items are padding
  for (const config::KitLayout& layout : {config::KitLayout(), padded}) {
    ASSERT_TRUE(config::writeKit(scene.path("v.okd"), versionedKit(u"2.4.1-rc1 (build 7)"), layout));
    KitReader reader;
    ASSERT_EQ(0u, reader.open(scene.wide("v.okd"))) << reader.refusal();
    EXPECT_EQ(u"2.4.1-rc1 (build 7)", reader.kitVersion());
    ASSERT_EQ(2u, reader.descriptions.size());
    EXPECT_EQ(u"doc\\readme.html", reader.descriptions[0].descriptionPath);
    EXPECT_EQ(u"Формы", reader.descriptions[1].productName);
    EXPECT_EQ(2u, reader.entries.size());
  }
  // Reopening another kit forgets the version.
  ASSERT_TRUE(config::writeKit(scene.path("plain.okd"), versionedKit(u"")));
  KitReader reader;
  ASSERT_EQ(0u, reader.open(scene.wide("v.okd")));
  ASSERT_EQ(0u, reader.open(scene.wide("plain.okd")));
  EXPECT_EQ(u"", reader.kitVersion());
}

// Items this reader does not know, in either kind of record, are skipped.
TEST(KitVersionTest, UnknownItemsAreSkipped) {
  config::ContainerBuilder header;
  header.u32(1).u32(1);
  const std::string unknownItem = std::string("OKX1") + std::string("\x07\x00\x02\x00zz", 6);
  header.u32(uint32_t(4 + 4 * 4 + 2 * 2 + unknownItem.size() + 12))
      .string(u"en").string(u"").string(u"").string(u"")
      .raw(unknownItem)
      .raw(std::string("\x02\x00\x04\x00", 4)).raw(std::string("1\x00.\x00", 4)).raw(std::string(4, '\0'));
  header.u32(1);
  const std::string entryItem = std::string("OKX1") + std::string("\x02\x00\x02\x00", 4) + "x" + std::string(1, '\0');
  header.u32(uint32_t(24 + 2 + entryItem.size())).string(u"a").u32(0).u32(0).u32(0).u32(2).raw(entryItem);
  header.raw("hi");
  KitScene scene;
  ASSERT_TRUE(config::writeContainerAsKit(scene.path("k.okd"), header.bytes()));
  KitReader reader;
  ASSERT_EQ(0u, reader.open(scene.wide("k.okd"))) << reader.refusal();
  EXPECT_EQ(u"1.", reader.kitVersion());
  ASSERT_EQ(1u, reader.entries.size());
  EXPECT_FALSE(reader.entries[0].hasCrc32);
}

std::string oneDescriptionContainer(const std::string& items) {
  config::ContainerBuilder header;
  header.u32(1).u32(1);
  header.u32(uint32_t(4 + 4 * 4 + 2 * 2 + 4 + items.size()))
      .string(u"en").string(u"").string(u"").string(u"").raw("OKX1").raw(items);
  header.u32(0);
  return header.bytes();
}

TEST(KitVersionTest, DamagedVersionsAreRefusedAndWritersNeedARecord) {
  const std::string version = std::string("\x02\x00\x02\x00", 4) + std::string("1\x00", 2);
  struct Case {
    const char* what;
    std::string container;
  } cases[] = {
      {"odd length", oneDescriptionContainer(std::string("\x02\x00\x03\x00", 4) + std::string("1\x00\x00", 3))},
      {"two in one record", oneDescriptionContainer(version + version)},
      {"a line feed", oneDescriptionContainer(std::string("\x02\x00\x02\x00", 4) + std::string("\n\x00", 2))},
      {"past the record", oneDescriptionContainer(std::string("\x02\x00\x08\x00", 4) + std::string("1\x00", 2))},
  };
  KitScene scene;
  for (const Case& c : cases) {
    ASSERT_TRUE(config::writeContainerAsKit(scene.path("bad.okd"), c.container));
    KitReader reader;
    EXPECT_EQ(13u, reader.open(scene.wide("bad.okd"))) << c.what;
    EXPECT_NE(std::string::npos, reader.refusal().find("description 1 of 1")) << c.what << ": " << reader.refusal();
  }
  // Two records that disagree.
  config::ContainerBuilder header;
  header.u32(1).u32(2);
  header.descriptionRecord({u"en", u"", u"", u""}, 0, u"1");
  header.descriptionRecord({u"ru", u"", u"", u""}, 0, u"2");
  header.u32(0);
  ASSERT_TRUE(config::writeContainerAsKit(scene.path("bad.okd"), header.bytes()));
  KitReader reader;
  EXPECT_EQ(13u, reader.open(scene.wide("bad.okd")));
  EXPECT_NE(std::string::npos, reader.refusal().find("another kit version")) << reader.refusal();

  config::KitSpec single = versionedKit(u"1");
  single.singleForm = true;
  std::string container, error;
  EXPECT_FALSE(config::buildContainer(single, config::KitLayout(), container, &error));
  EXPECT_NE(std::string::npos, error.find("description record")) << error;
  config::KitSpec none = versionedKit(u"1");
  none.descriptions.clear();
  EXPECT_FALSE(config::buildContainer(none, config::KitLayout(), container, &error));
  EXPECT_FALSE(config::buildContainer(versionedKit(u"1\n"), config::KitLayout(), container, &error));
}

}  // namespace
