// The streamed reading of a kit: the head alone at open, then the data
// area in one pass in table order, each entry checked as it goes by.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit/container_builder.h"
#include "kit/kit_test_support.h"
#include "kit/kit_writer.h"

using config::KitFileSpec;
using config::KitLayout;
using config::KitRefusal;
using config::KitSpec;
using config::StreamDecoder;
using kittest::KitReader;
using kittest::KitScene;
using kittest::patternBytes;

namespace {

const StreamDecoder kDecoders[] = {StreamDecoder::kFastest, StreamDecoder::kZlib};

KitSpec threeEntries() {
  KitSpec kit;
  kit.descriptions.push_back({u"en", u"Product", u"Vendor", u"readme.html"});
  kit.files = {KitFileSpec(u"a\\one.txt", patternBytes(300000, 1), _FILETIME{1, 2}),
               KitFileSpec(u"empty.txt", "", _FILETIME{3, 4}),
               KitFileSpec(u"b\\two.bin", patternBytes(700000, 2), _FILETIME{5, 6})};
  return kit;
}

// The container of `kit` with its last data byte changed: the last entry
// no longer matches its checksum.
std::string withLastByteFlipped(const KitSpec& kit) {
  std::string container;
  EXPECT_TRUE(config::buildContainer(kit, KitLayout(), container));
  container.back() ^= 0x5A;
  return container;
}

// Copies entry `index` to `name` in the scene's output folder.
uint32_t copyOut(KitReader& reader, const KitScene& scene, uint32_t index, const std::string& name) {
  return reader.copyToNewFile(index, widen_lib(scene.out() + "/" + name));
}

}  // namespace

TEST(EntryStreamTest, StreamedKitOpensFromItsHeadAndCopiesEveryEntryWhole) {
  for (StreamDecoder decoder : kDecoders) {
    KitScene scene;
    const KitSpec spec = threeEntries();
    ASSERT_TRUE(config::writeKit(scene.path("k.okd"), spec));
    KitReader reader;
    reader.setStreamDecoder(decoder);
    ASSERT_EQ(0u, reader.openStreamed(scene.wide("k.okd")));
    ASSERT_TRUE(reader.streamed());
    ASSERT_EQ(1u, reader.descriptions.size());
    EXPECT_EQ(u"Vendor", reader.descriptions[0].providerName);
    ASSERT_EQ(3u, reader.entries.size());
    EXPECT_EQ(u"b\\two.bin", reader.entries[2].name);
    // Nothing was unpacked anywhere.
    EXPECT_TRUE(scene.tmpFiles().empty());
    EXPECT_TRUE(reader.temporaryPath().empty());

    // Entry 1 is passed over (and checked) on the way to entry 2.
    ASSERT_EQ(0u, copyOut(reader, scene, 0, "one"));
    ASSERT_EQ(0u, copyOut(reader, scene, 2, "two"));
    EXPECT_EQ(0u, reader.finishStream());
    EXPECT_EQ(spec.files[0].data, kittest::readFile(scene.out() + "/one"));
    EXPECT_EQ(spec.files[2].data, kittest::readFile(scene.out() + "/two"));

    // A second installation with the same reader decodes the kit again.
    ASSERT_EQ(0u, copyOut(reader, scene, 0, "again"));
    EXPECT_EQ(spec.files[0].data, kittest::readFile(scene.out() + "/again"));
    reader.endStream();
    EXPECT_EQ(0u, reader.verifyStream());
  }
}

TEST(EntryStreamTest, OpeningNeedsNoDataAndDamageShowsWhenTheBytesPass) {
  KitScene scene;
  const KitSpec spec = threeEntries();
  ASSERT_TRUE(config::writeContainerAsKit(scene.path("flipped.okd"), withLastByteFlipped(spec), 6));
  KitReader reader;
  ASSERT_EQ(0u, reader.openStreamed(scene.wide("flipped.okd")));
  ASSERT_TRUE(reader.streamed());
  ASSERT_EQ(0u, copyOut(reader, scene, 0, "one"));
  EXPECT_EQ(spec.files[0].data, kittest::readFile(scene.out() + "/one"));
  EXPECT_EQ(13u, copyOut(reader, scene, 2, "two"));
  EXPECT_EQ(KitRefusal::kFileDamaged, reader.refusalKind());
  EXPECT_EQ(u"b\\two.bin", reader.damagedEntry());
  EXPECT_EQ(13u, reader.finishStream());
  // The whole reading refuses the same kit at once.
  KitReader whole;
  EXPECT_EQ(13u, whole.open(scene.wide("flipped.okd")));

  // A stream cut inside the data: the head is there, the last entry is not.
  std::string container;
  ASSERT_TRUE(config::buildContainer(spec, KitLayout(), container));
  const std::string deflated = config::deflateRaw(container, 0);
  ASSERT_TRUE(config::writeFileBytes(scene.path("cut.okd"), deflated.substr(0, deflated.size() * 2 / 3)));
  KitReader cut;
  ASSERT_EQ(0u, cut.openStreamed(scene.wide("cut.okd")));
  ASSERT_EQ(3u, cut.entries.size());
  ASSERT_EQ(0u, copyOut(cut, scene, 0, "cut-one"));
  EXPECT_EQ(13u, cut.finishStream());
  EXPECT_EQ(KitRefusal::kFileDamaged, cut.refusalKind());
  EXPECT_EQ(u"b\\two.bin", cut.refusalSubject());
  // A kit whose entries were all up to date reads nothing past its head.
  KitReader untouched;
  ASSERT_EQ(0u, untouched.openStreamed(scene.wide("cut.okd")));
  EXPECT_EQ(0u, untouched.finishStream());
  EXPECT_EQ(0u, untouched.peakStreamBufferBytes());
}

TEST(EntryStreamTest, OtherLayoutsAreReadWhole) {
  KitScene scene;
  const KitSpec spec = threeEntries();
  KitLayout reversed;
  reversed.reverseData = true;
  ASSERT_TRUE(config::writeKit(scene.path("reversed.okd"), spec, reversed));
  KitReader reader;
  ASSERT_EQ(0u, reader.openStreamed(scene.wide("reversed.okd")));
  EXPECT_FALSE(reader.streamed());
  ASSERT_EQ(0u, copyOut(reader, scene, 2, "two"));
  ASSERT_EQ(0u, copyOut(reader, scene, 0, "one"));
  EXPECT_EQ(spec.files[0].data, kittest::readFile(scene.out() + "/one"));

  // A kit the streamed reading cannot take is refused with open()'s words.
  ASSERT_TRUE(config::writeFileBytes(scene.path("junk.okd"), "not a deflate stream at all"));
  KitReader junk;
  EXPECT_EQ(13u, junk.openStreamed(scene.wide("junk.okd")));
  EXPECT_FALSE(junk.refusal().empty());
  EXPECT_EQ(2u, junk.openStreamed(scene.wide("missing.okd")));
}

TEST(EntryStreamTest, BuffersStayWithinTheBudget) {
  KitScene scene;
  KitSpec spec;
  for (uint32_t i = 0; i < 8; ++i)
    spec.files.push_back(KitFileSpec(u"f" + widen_lib(std::to_string(i)), patternBytes(200000 + i, i), _FILETIME{1, 1}));
  ASSERT_TRUE(config::writeKit(scene.path("k.okd"), spec));
  for (uint64_t budget : {uint64_t(16384), uint64_t(100000)}) {
    KitReader reader;
    reader.setStreamBudget(budget);
    ASSERT_EQ(0u, reader.openStreamed(scene.wide("k.okd")));
    for (uint32_t i = 0; i < spec.files.size(); ++i)
      ASSERT_EQ(0u, copyOut(reader, scene, i, std::to_string(budget) + "-" + std::to_string(i)));
    EXPECT_EQ(0u, reader.finishStream());
    EXPECT_GT(reader.peakStreamBufferBytes(), 0u);
    EXPECT_LE(reader.peakStreamBufferBytes(), budget);
    EXPECT_EQ(spec.files[7].data, kittest::readFile(scene.out() + "/" + std::to_string(budget) + "-7"));
  }
}

// The decoding thread sums the entries as they pass, across the seams of
// small buffers: one byte changed anywhere in any entry (its first, a
// middle or its last byte) stops the copy at that entry and names it,
// while the entries before it copy whole.
TEST(EntryStreamTest, EveryEntryIsCheckedAcrossBufferSeams) {
  KitScene scene;
  KitSpec spec;
  for (uint32_t i = 0; i < 4; ++i)
    spec.files.push_back(KitFileSpec(u"f" + widen_lib(std::to_string(i)), patternBytes(20000 + 7 * i, i + 3),
                                     _FILETIME{1, 1}));
  std::string container;
  ASSERT_TRUE(config::buildContainer(spec, KitLayout(), container));
  ASSERT_TRUE(config::writeContainerAsKit(scene.path("sound.okd"), container, 6));
  KitReader sound;
  ASSERT_EQ(0u, sound.openStreamed(scene.wide("sound.okd")));
  ASSERT_TRUE(sound.streamed());
  for (uint32_t damaged = 0; damaged < spec.files.size(); ++damaged) {
    const config::KitEntry& entry = sound.entries[damaged];
    for (uint64_t at : {uint64_t(entry.offset), uint64_t(entry.offset) + entry.size / 2,
                        uint64_t(entry.offset) + entry.size - 1}) {
      std::string changed = container;
      changed[at] ^= 0x01;
      const std::string name = "k" + std::to_string(damaged) + "-" + std::to_string(at) + ".okd";
      ASSERT_TRUE(config::writeContainerAsKit(scene.path(name), changed, 6));
      KitReader reader;
      reader.setStreamBudget(16384);
      ASSERT_EQ(0u, reader.openStreamed(scene.wide(name)));
      for (uint32_t i = 0; i < damaged; ++i)
        ASSERT_EQ(0u, copyOut(reader, scene, i, name + std::to_string(i))) << name;
      EXPECT_EQ(13u, copyOut(reader, scene, damaged, name + "-damaged")) << name;
      EXPECT_EQ(spec.files[damaged].name, reader.damagedEntry()) << name;
      EXPECT_EQ(13u, reader.finishStream());
    }
  }
}
