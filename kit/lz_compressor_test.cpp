#include "kit/lz_compressor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "kit/kit_test_support.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "platform/file_fault_injector.h"
#include "platform/file_op_name.h"

using kittest::KitScene;
using kittest::readFile;

namespace {

TEST(LZCompressorTest, UnpacksWholeStreamsAndIgnoresWhatFollowsThem) {
  KitScene scratch;
  const std::string data = kittest::patternBytes(200000, 7);
  ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), config::deflateRaw(data) + "trailing junk"));
  // An older, longer file at the destination is replaced whole.
  ASSERT_TRUE(config::writeFileBytes(scratch.path("out/c"), std::string(300000, 'z')));
  FileFaultInjector counter;
  counter.only({FileOp::WriteFile});
  EXPECT_EQ(0u, LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c")));
  EXPECT_EQ(data, readFile(scratch.path("out/c")));
  // One write per full 32 KiB chunk, one for the rest.
  EXPECT_EQ((data.size() + LZCompressor::kBufferSize - 1) / LZCompressor::kBufferSize, counter.count());
}

TEST(LZCompressorTest, CutStreamKeepsWhatCouldBeDecompressed) {
  KitScene scratch;
  const std::string data = kittest::patternBytes(100000, 8);
  const std::string packed = config::deflateRaw(data, 1);
  ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), packed.substr(0, packed.size() / 2)));
  EXPECT_EQ(0u, LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c")));
  const std::string got = readFile(scratch.path("out/c"));
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), data.size());
  EXPECT_EQ(data.substr(0, got.size()), got);
}

// The kit is fed to inflate in slices whose pages are given back behind
// it: a kit of several slices comes out whole, and cut inside a later
// slice keeps all that came before the cut.
TEST(LZCompressorTest, KitOfSeveralReleasedSlicesUnpacksWhole) {
  KitScene scratch;
  const std::string data = kittest::patternBytes(36u << 20, 11);
  const std::string packed = config::deflateRaw(data, 1);
  ASSERT_GT(packed.size(), 2 * (8u << 20));
  ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), packed));
  EXPECT_EQ(0u, LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c")));
  EXPECT_TRUE(data == readFile(scratch.path("out/c")));

  ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), packed.substr(0, packed.size() - 1000)));
  EXPECT_EQ(0u, LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c")));
  const std::string got = readFile(scratch.path("out/c"));
  EXPECT_GT(got.size(), data.size() - 4000);
  EXPECT_LT(got.size(), data.size());
  EXPECT_TRUE(data.compare(0, got.size(), got) == 0);
}

TEST(LZCompressorTest, MissingEmptyAndCorruptKits) {
  KitScene scratch;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, LZCompressor::unpack(scratch.wide("none"), scratch.wide("out/c")));
  ASSERT_TRUE(config::writeFileBytes(scratch.path("empty"), ""));
  EXPECT_EQ(ERROR_INVALID_DATA, LZCompressor::unpack(scratch.wide("empty"), scratch.wide("out/c")));
  // Reserved block type 3.
  ASSERT_TRUE(config::writeFileBytes(scratch.path("bad"), std::string("\x07\x11\x22", 3)));
  EXPECT_EQ(ERROR_INVALID_DATA, LZCompressor::unpack(scratch.wide("bad"), scratch.wide("out/c")));
  // Good start, then a distance reaching back before the first byte.
  std::string packed = config::deflateRaw(kittest::patternBytes(70000, 9), 1);
  ASSERT_TRUE(config::writeFileBytes(scratch.path("garbled"), packed.substr(0, 40) + std::string(4000, '\xff')));
  EXPECT_EQ(ERROR_INVALID_DATA, LZCompressor::unpack(scratch.wide("garbled"), scratch.wide("out/c")));
  // The destination's directory does not exist.
  ASSERT_TRUE(config::writeFileBytes(scratch.path("good"), packed));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, LZCompressor::unpack(scratch.wide("good"), scratch.wide("no/dir/c")));
  // A directory is not a kit.
  EXPECT_NE(0u, LZCompressor::unpack(widen_lib(scratch.out()), scratch.wide("c")));
}

TEST(LZCompressorTest, EveryFailedWriteFailsTheUnpacking) {
  KitScene scratch;
  ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), config::deflateRaw(kittest::patternBytes(150000, 5))));
  for (uint64_t k = 1;; ++k) {
    FileFaultInjector fault(k, ERROR_INVALID_PARAMETER);
    fault.only({FileOp::WriteFile, FileOp::SetEndOfFile, FileOp::CloseHandle}).below(widen_lib(scratch.out()));
    const uint32_t result = LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c"));
    if (!fault.fired()) {
      EXPECT_EQ(0u, result);
      break;
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, result) << k;
  }
}

std::string bytesOf(const UnpackedContainer& container) {
  return std::string(reinterpret_cast<const char*>(container.bytes.get()), size_t(container.size));
}

// A container whose entry table gives its size, and the same after a cut.
TEST(LZCompressorTest, UnpacksIntoMemoryWithEitherDecoderAsIntoAFile) {
  KitScene scratch;
  config::KitSpec kit;
  kit.files = {{u"a", kittest::patternBytes(300000, 9), {0, 0}}, {u"b", std::string(100000, 'b'), {0, 0}}};
  std::string container;
  ASSERT_TRUE(config::buildContainer(kit, config::KitLayout(), container));
  const std::string packed = config::deflateRaw(container, 6);
  for (Inflater inflater : {Inflater::kFastest, Inflater::kZlib}) {
    ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), packed + "trailing junk"));
    UnpackedContainer unpacked;
    bool fits = false;
    EXPECT_EQ(0u, LZCompressor::unpackToMemory(scratch.wide("kit"), 1 << 30, inflater, unpacked, fits));
    ASSERT_TRUE(fits);
    EXPECT_EQ(container, bytesOf(unpacked));

    // Too little memory allowed: left to the file, nothing kept.
    EXPECT_EQ(0u, LZCompressor::unpackToMemory(scratch.wide("kit"), container.size() - 1, inflater, unpacked, fits));
    EXPECT_FALSE(fits);
    EXPECT_EQ(nullptr, unpacked.bytes);

    // A cut stream keeps what zlib could decompress, as in a file.
    ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), packed.substr(0, packed.size() / 2)));
    ASSERT_EQ(0u, LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c")));
    EXPECT_EQ(0u, LZCompressor::unpackToMemory(scratch.wide("kit"), 1 << 30, inflater, unpacked, fits));
    ASSERT_TRUE(fits);
    EXPECT_EQ(readFile(scratch.path("out/c")), bytesOf(unpacked));

    // Corrupt data after a sound header.
    std::string corrupt = packed;
    for (size_t i = packed.size() / 2; i < packed.size() / 2 + 64; ++i) corrupt[i] = char(0xFF);
    ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), corrupt));
    const uint32_t toFile = LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c"));
    EXPECT_EQ(toFile, LZCompressor::unpackToMemory(scratch.wide("kit"), 1 << 30, inflater, unpacked, fits));
    if (toFile == 0) {
      EXPECT_EQ(readFile(scratch.path("out/c")), bytesOf(unpacked));
    }

    ASSERT_TRUE(config::writeFileBytes(scratch.path("bad"), std::string("\x07\x00\x00\x00", 4)));
    EXPECT_EQ(ERROR_INVALID_DATA, LZCompressor::unpackToMemory(scratch.wide("bad"), 1 << 30, inflater, unpacked, fits));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, LZCompressor::unpackToMemory(scratch.wide("none"), 1 << 30, inflater, unpacked, fits));
  }
}

TEST(LZCompressorTest, EveryFailedLookAtTheKitFailsTheUnpackingWithItsOwnError) {
  KitScene scratch;
  const std::string bytes = kittest::patternBytes(150000, 5);
  ASSERT_TRUE(config::writeFileBytes(scratch.path("kit"), config::deflateRaw(bytes)));
  // Looking at the kit, opening it, looking at the open file and mapping
  // it: each failure is the unpacking's result, and nothing is written.
  for (FileOp op : {FileOp::GetFileStatus, FileOp::CreateFile, FileOp::GetHandleStatus, FileOp::MapFile}) {
    for (bool toMemory : {false, true}) {
      FileFaultInjector fault(1, ERROR_LOCK_VIOLATION);
      fault.only({op}).below(scratch.wide("kit"));
      UnpackedContainer unpacked;
      bool fits = true;
      const uint32_t result =
          toMemory ? LZCompressor::unpackToMemory(scratch.wide("kit"), 1 << 30, Inflater::kFastest, unpacked, fits)
                   : LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c"));
      EXPECT_TRUE(fault.fired()) << file_op_name(op);
      EXPECT_EQ(ERROR_LOCK_VIOLATION, result) << file_op_name(op);
      EXPECT_FALSE(toMemory && fits);
      EXPECT_EQ(nullptr, unpacked.bytes.get());
      EXPECT_EQ("<none>", readFile(scratch.path("out/c"), "<none>")) << file_op_name(op);
    }
  }
  ASSERT_EQ(0u, LZCompressor::unpack(scratch.wide("kit"), scratch.wide("out/c")));
  EXPECT_EQ(bytes, readFile(scratch.path("out/c")));
}

TEST(LZCompressorTest, MemoryLimitIsAQuarterOfWhatIsAvailable) {
  const uint64_t limit = LZCompressor::memoryLimit();
  EXPECT_GT(limit, 0u);
  long pages = sysconf(_SC_PHYS_PAGES);
  EXPECT_LE(limit, uint64_t(pages) * uint64_t(sysconf(_SC_PAGESIZE)) / 4);
  // The system's report is read through the file layer; when it cannot be
  // read nothing is known, and no container is kept in memory.
  FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
  fault.below(u"/proc/meminfo");
  EXPECT_EQ(0u, LZCompressor::memoryLimit());
  EXPECT_TRUE(fault.fired());
}

TEST(LZCompressorTest, PackDoesNothing) {
  KitScene scratch;
  EXPECT_EQ(1u, LZCompressor::pack(scratch.wide("a"), scratch.wide("b")));
  EXPECT_TRUE(testkit::entryNames(scratch.root()).size() == 2);  // tmp and out only
}

}  // namespace
