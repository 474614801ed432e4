// Checksummed entries: okdpack's writer puts the extension on every entry,
// the reader checks each sum before anything is installed, and kits without
// the extension (or with padding in its place) open as they always did.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "kit/install_data.h"
#include "kit/kit_test_support.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"

using config::ContainerBuilder;
using config::KitLayout;
using config::KitSpec;
using kittest::KitReader;
using kittest::KitScene;
using kittest::run;

namespace {

KitSpec sampleKit() {
  KitSpec kit;
  kit.descriptions = {{u"en", u"Product", u"Vendor", u"doc\\readme.html"}};
  kit.files = {{u"doc\\readme.html", "<p>read me</p>", EpochToFileTime(1500000000)},
               {u"t\\a.tmpl", "template a", EpochToFileTime(1500000001)},
               {u"empty", "", EpochToFileTime(0)},
               {u"b", kittest::patternBytes(300, 5), EpochToFileTime(1600000000)}};
  return kit;
}

size_t dataSize(const KitSpec& kit) {
  size_t size = 0;
  for (const auto& file : kit.files) size += file.data.size();
  return size;
}

// Opens `kit` (a kit file's bytes). When it opens, every entry that carries
// a checksum must hold exactly the bytes of the sample's file at its place
// in the table (the sum covers the bytes, not the name or the time); when
// it does not open, nothing may be left behind. Returns the result of open.
uint32_t openAndCheck(const KitScene& scratch, const std::string& kitBytes, const KitSpec& sample,
                      const std::string& what, std::u16string* damaged = nullptr) {
  EXPECT_TRUE(config::writeFileBytes(scratch.path("k.okd"), kitBytes));
  KitReader reader;
  const uint32_t result = reader.open(scratch.wide("k.okd"));
  if (damaged != nullptr) *damaged = reader.damagedEntry();
  if (result != 0) {
    EXPECT_TRUE(reader.entries.empty()) << what;
    EXPECT_TRUE(scratch.tmpFiles().empty()) << what;
    return result;
  }
  EXPECT_TRUE(reader.damagedEntry().empty()) << what;
  for (uint32_t i = 0; i < reader.entries.size() && i < sample.files.size(); ++i) {
    if (!reader.entries[i].hasCrc32) continue;
    EXPECT_EQ(0u, reader.copy(i, scratch.wide("out/x"))) << what;
    EXPECT_TRUE(kittest::readFile(scratch.path("out/x")) == sample.files[i].data) << what << " entry " << i;
  }
  return result;
}

TEST(KitChecksumTest, WriterPutsTheExtensionOnEveryEntryInTheDocumentedBytes) {
  KitScene scratch;
  const KitSpec kit = sampleKit();
  std::string container;
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  ASSERT_TRUE(config::writeContainerAsKit(scratch.path("k.okd"), container));
  KitReader reader;
  ASSERT_EQ(0u, reader.open(scratch.wide("k.okd")));
  ASSERT_EQ(kit.files.size(), reader.entries.size());
  for (size_t i = 0; i < kit.files.size(); ++i) {
    EXPECT_TRUE(reader.entries[i].hasCrc32);
    EXPECT_EQ(config::crc32Of(kit.files[i].data), reader.entries[i].crc32);
  }
  // The first entry record, byte by byte: its four fields, then "OKX1",
  // tag 1, length 4 and the sum, all little-endian; the record size counts
  // the 12 extension bytes.
  const std::u16string& name = kit.files[0].name;
  const uint32_t crc = config::crc32Of(kit.files[0].data);
  std::string expected;
  ContainerBuilder record;
  record.u32(uint32_t(24 + 2 * name.size() + 12)).string(name).u32(kit.files[0].lastWriteTime.dwLowDateTime)
      .u32(kit.files[0].lastWriteTime.dwHighDateTime).u32(0).u32(uint32_t(kit.files[0].data.size()))
      .raw(std::string("OKX1\x01\x00\x04\x00", 8)).u32(crc);
  EXPECT_NE(std::string::npos, container.find(record.bytes()));
  // The zlib value of a known text, so that the sum is the common CRC-32.
  EXPECT_EQ(0xCBF43926u, config::crc32Of("123456789"));
}

TEST(KitChecksumTest, EveryDamagedDataByteFailsTheOpenAndNamesItsEntry) {
  KitScene scratch;
  const KitSpec kit = sampleKit();
  std::string container;
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  const size_t dataStart = container.size() - dataSize(kit);
  for (size_t at = dataStart; at < container.size(); ++at) {
    // Which entry the byte belongs to (the data area follows the table).
    size_t offset = at - dataStart, index = 0;
    while (offset >= kit.files[index].data.size()) offset -= kit.files[index++].data.size();
    for (unsigned char mask : {0x80}) {
      std::string damaged = container;
      damaged[at] = char(damaged[at] ^ mask);
      std::u16string entry;
      const std::string what = "data byte " + std::to_string(at);
      EXPECT_EQ(uint32_t(ERROR_INVALID_DATA),
                openAndCheck(scratch, config::deflateRaw(damaged), kit, what, &entry))
          << what;
      EXPECT_EQ(kit.files[index].name, entry) << what;
    }
  }
}

TEST(KitChecksumTest, EveryFlippedHeaderByteAndEveryCutOfTheKitOpensSoundBytesOrFails) {
  KitScene scratch;
  const KitSpec kit = sampleKit();
  std::string container;
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  const size_t header = container.size() - dataSize(kit);
  for (size_t at = 0; at < header; ++at) {
    for (unsigned char mask : {0x01, 0x80, 0xFF}) {
      std::string damaged = container;
      damaged[at] = char(damaged[at] ^ mask);
      openAndCheck(scratch, config::deflateRaw(damaged), kit, "header byte " + std::to_string(at));
    }
  }
  // The kit file itself cut at every length: a stream that stops early
  // leaves a shorter container, which must not pass with wrong bytes.
  const std::string kitBytes = config::deflateRaw(container);
  int opened = 0;
  for (size_t length = 0; length <= kitBytes.size(); ++length)
    opened += openAndCheck(scratch, kitBytes.substr(0, length), kit, "cut at " + std::to_string(length)) == 0;
  EXPECT_GE(opened, 1);  // the whole kit at least
  // A flipped byte anywhere in the kit file: inflate fails, or the sums or
  // the container checks catch it, or the bytes are sound.
  for (size_t at = 0; at < kitBytes.size(); ++at) {
    std::string damaged = kitBytes;
    damaged[at] = char(damaged[at] ^ 0x10);
    openAndCheck(scratch, damaged, kit, "kit byte " + std::to_string(at));
  }
}

TEST(KitChecksumTest, KitsWithoutTheExtensionAndWithPaddingOpenAsBefore) {
  KitScene scratch;
  const KitSpec kit = sampleKit();
  struct Case {
    bool checksums;
    uint32_t padding;
  } cases[] = {{false, 0}, {false, 7}, {true, 0}, {true, 3}, {true, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.checksums) + "/" + std::to_string(c.padding));
    KitLayout layout;
    layout.checksums = c.checksums;
    layout.entryPadding = c.padding;
    layout.reverseData = true;
    std::string container;
    ASSERT_TRUE(config::buildContainer(kit, layout, container));
    ASSERT_TRUE(config::writeContainerAsKit(scratch.path("k.okd"), container));
    KitReader reader;
    ASSERT_EQ(0u, reader.open(scratch.wide("k.okd")));
    ASSERT_EQ(kit.files.size(), reader.entries.size());
    for (const config::KitEntry& entry : reader.entries) EXPECT_EQ(c.checksums, entry.hasCrc32);
  }

  // Padding that merely looks like an extension: "OKX0", "okx1", "OKX".
  for (const std::string& padding : {std::string("OKX0\x01\x00\x04\x00zzzz", 12), std::string("okx1\x01\x00\x04\x00zzzz", 12),
                                     std::string("OKX")}) {
    ContainerBuilder c;
    c.u32(0).string(u"").string(u"").string(u"").u32(1);
    c.u32(uint32_t(24 + 2 + padding.size())).string(u"a").u32(0).u32(0).u32(0).u32(2).raw(padding);
    c.raw("hi");
    EXPECT_EQ(0u, openAndCheck(scratch, config::deflateRaw(c.bytes()), kit, padding)) << padding;
  }
}

// One entry "a" holding "hi" whose record ends with `extension`.
std::string withExtension(const std::string& extension) {
  ContainerBuilder c;
  c.u32(0).string(u"").string(u"").string(u"").u32(1);
  c.u32(uint32_t(24 + 2 + extension.size())).string(u"a").u32(0).u32(0).u32(0).u32(2).raw(extension);
  return c.raw("hi").bytes();
}

std::string item(uint16_t tag, const std::string& bytes) {
  std::string out;
  out += char(tag & 0xFF);
  out += char(tag >> 8);
  out += char(bytes.size() & 0xFF);
  out += char(bytes.size() >> 8);
  return out + bytes;
}

std::string le32(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += char(value >> (8 * i));
  return out;
}

TEST(KitChecksumTest, ItemsAreReadToTheEndOfTheRecord) {
  KitScene scratch;
  const uint32_t good = config::crc32Of("hi");
  struct Case {
    std::string extension;
    uint32_t result;
    bool hasCrc;
  } cases[] = {
      {"OKX1", 0, false},                                              // magic, no items
      {"OKX1" + item(7, "abc") + item(1, le32(good)), 0, true},       // unknown tag skipped
      {"OKX1" + item(1, le32(good)) + item(0, ""), 0, true},          // empty item behind
      {"OKX1" + item(1, le32(good)) + "xy", 0, true},                 // short tail: padding
      {"OKX1" + item(1, le32(good ^ 1)), ERROR_INVALID_DATA, true},   // wrong sum
      {"OKX1" + item(1, le32(good) + "z"), ERROR_INVALID_DATA, false},  // sum of 5 bytes
      {"OKX1" + item(1, le32(good)) + item(1, le32(good)), ERROR_INVALID_DATA, false},
      {"OKX1" + item(9, "abc").substr(0, 6), ERROR_INVALID_DATA, false},  // runs past the record
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(config::writeContainerAsKit(scratch.path("k.okd"), withExtension(c.extension)));
    KitReader reader;
    EXPECT_EQ(c.result, reader.open(scratch.wide("k.okd"))) << c.extension.size();
    if (c.result == 0) {
      ASSERT_EQ(1u, reader.entries.size());
      EXPECT_EQ(c.hasCrc, reader.entries[0].hasCrc32);
    } else {
      EXPECT_TRUE(scratch.tmpFiles().empty());
    }
  }
}

TEST(KitChecksumTest, OkdpackVerifyChecksTheSumsAndNamesTheDamagedEntry) {
  const char* buildDir = getenv("OVN8_BUILD_DIR");
  const std::string tool = std::string(buildDir != nullptr ? buildDir : ".") + "/okdpack";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " is not built";
  KitScene scratch;
  ASSERT_EQ(0, system(("mkdir -p '" + scratch.path("tree/t") + "'").c_str()));
  ASSERT_TRUE(config::writeFileBytes(scratch.path("tree/t/a.tmpl"), "template a"));
  ASSERT_TRUE(config::writeFileBytes(scratch.path("tree/b"), kittest::patternBytes(5000, 3)));
  int status = -1;
  run(tool + " '" + scratch.path("tree") + "' -o '" + scratch.path("k.okd") + "'", &status);
  ASSERT_EQ(0, status);
  std::string verdict = run(tool + " --verify '" + scratch.path("k.okd") + "'", &status);
  EXPECT_EQ(0, status) << verdict;
  EXPECT_NE(std::string::npos, verdict.find("2 entries, 2 with checksums")) << verdict;
  {
    KitReader reader;
    ASSERT_EQ(0u, reader.open(scratch.wide("k.okd")));
    for (const config::KitEntry& entry : reader.entries) EXPECT_TRUE(entry.hasCrc32);
  }

  // The same tree with one byte of t\a.tmpl changed in the container.
  config::KitSpec kit;
  std::string error;
  ASSERT_TRUE(config::listKitTree(scratch.path("tree"), kit.files, &error)) << error;
  std::string container;
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  const size_t at = container.find("template a");
  ASSERT_NE(std::string::npos, at);
  container[at] = 'T';
  ASSERT_TRUE(config::writeContainerAsKit(scratch.path("bad.okd"), container));
  verdict = run(tool + " --verify '" + scratch.path("bad.okd") + "'", &status);
  EXPECT_NE(0, status);
  EXPECT_NE(std::string::npos, verdict.find("entry t\\a.tmpl does not match its checksum")) << verdict;
  EXPECT_TRUE(scratch.tmpFiles().empty());
}

}  // namespace
