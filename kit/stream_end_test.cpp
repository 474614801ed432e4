// Where a kit's stream ends: whole, cut, followed by other bytes, damaged.
#include <gtest/gtest.h>

#include "kit/container_builder.h"
#include "kit/stream_end.h"
#include "kit/kit_test_support.h"

using config::KitStreamEnd;
using kittest::KitScene;

namespace {

TEST(KitStreamTest, TellsWhereTheStreamEnds) {
  KitScene scene;
  // Large enough for several blocks and several reads of the checker.
  const std::string stream = config::deflateRaw(kittest::patternBytes(300000, 5));
  const struct {
    const char* what;
    std::string bytes;
    KitStreamEnd end;
  } cases[] = {
      {"whole", stream, KitStreamEnd::kWhole},
      {"one byte cut", stream.substr(0, stream.size() - 1), KitStreamEnd::kCutShort},
      {"half cut", stream.substr(0, stream.size() / 2), KitStreamEnd::kCutShort},
      {"one byte appended", stream + "x", KitStreamEnd::kTrailingBytes},
      {"a second stream appended", stream + stream, KitStreamEnd::kTrailingBytes},
      {"empty", "", KitStreamEnd::kCorrupt},
      {"reserved block type", std::string("\x07\x00\x00", 3), KitStreamEnd::kCorrupt},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(config::writeFileBytes(scene.path("k.okd"), c.bytes));
    const config::KitStreamCheck check = config::checkKitStream(scene.wide("k.okd"));
    EXPECT_EQ(int(c.end), int(check.end)) << c.what << ": " << config::describeKitStreamEnd(check);
    EXPECT_EQ(c.bytes.size(), check.fileBytes > c.bytes.size() ? check.fileBytes : c.bytes.size()) << c.what;
    if (c.end == KitStreamEnd::kTrailingBytes) {
      EXPECT_EQ(stream.size(), check.streamBytes) << c.what;
    }
  }
  ASSERT_TRUE(config::writeFileBytes(scene.path("k.okd"), stream + "abc"));
  EXPECT_EQ("3 byte(s) after the end of its stream",
            config::describeKitStreamEnd(config::checkKitStream(scene.wide("k.okd"))));
  const config::KitStreamCheck missing = config::checkKitStream(scene.wide("none.okd"));
  EXPECT_EQ(int(KitStreamEnd::kUnreadable), int(missing.end));
  EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), missing.error);
}

}  // namespace
