#include "kit/container_extent.h"

#include <gtest/gtest.h>

#include "kit/container_builder.h"
#include "kit/kit_writer.h"

namespace {

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(ContainerExtentTest, KnownOnceTheEntryTableIsWholeAndNotBefore) {
  for (bool single : {false, true}) {
    config::KitSpec kit;
    kit.singleForm = single;
    kit.descriptions = {{u"en", u"P", u"V", u"d"}, {u"de", u"", u"", u""}};
    kit.files = {{u"x\\a", std::string(5000, 'a'), {0, 0}}, {u"e", "", {0, 0}}, {u"b", "bb", {0, 0}}};
    config::KitLayout layout;
    layout.reverseData = true;  // the farthest entry is not the last one
    layout.entryPadding = 3;
    std::string container;
    ASSERT_TRUE(config::buildContainer(kit, layout, container));
    const size_t table = container.size() - 5002;
    uint64_t extent = 0;
    for (size_t length = 0; length < table; ++length)
      EXPECT_EQ(config::ExtentResult::kNeedMore, config::containerExtent(bytes(container), length, extent)) << length;
    ASSERT_EQ(config::ExtentResult::kKnown, config::containerExtent(bytes(container), table, extent));
    EXPECT_EQ(container.size(), extent);
  }
  // A record too small for its fields cannot be walked past.
  const std::string broken = config::ContainerBuilder().u32(0).u32(0).u32(0).u32(0).u32(1).u32(23).bytes();
  uint64_t extent = 0;
  EXPECT_EQ(config::ExtentResult::kUnknown, config::containerExtent(bytes(broken), broken.size(), extent));
}

}  // namespace
