#include "kit/install_data.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <zlib.h>

#include <vector>

#include "kit/kit_test_support.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "kit/lz_compressor.h"
#include "platform/file_fault_injector.h"
#include "platform/stop_signals.h"

using config::ContainerBuilder;
using config::KitDescription;
using config::KitFileSpec;
using config::KitLayout;
using config::KitSpec;
using kittest::KitReader;
using kittest::KitScene;
using kittest::readFile;

namespace {

const _FILETIME kNoTime = {0, 0};

// 2021-03-04 05:06:07 UTC plus 0.1234567 s.
const int64_t kSeconds = 1614834367;
const _FILETIME kFractionalTime = config::fileTimeFromUnix(kSeconds, 123456700);

std::u16string wideKit(const KitScene& scratch) { return scratch.wide("ovn8.okd"); }

// Opens a hand-made container compressed into a kit.
uint32_t openContainer(const KitScene& scratch, const std::string& container, KitReader& reader) {
  EXPECT_TRUE(config::writeContainerAsKit(scratch.path("ovn8.okd"), container, 1));
  return reader.open(wideKit(scratch));
}

// Extracts every entry below out/ and checks bytes and time against `files`.
void expectRoundTrip(const KitScene& scratch, KitReader& reader,
                     const std::vector<KitFileSpec>& files) {
  ASSERT_EQ(files.size(), reader.entries.size());
  for (uint32_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(files[i].name, reader.entries[i].name);
    std::u16string relative = reader.entries[i].name;
    replace_all(relative, kBadPathSeparator, kPathSeparator);
    const std::string path = scratch.out() + "/" + narrow_lib(relative);
    const std::string parent = path.substr(0, path.rfind('/'));
    ASSERT_EQ(0u, FileSystem::CreateDirectory(widen_lib(parent)));
    ASSERT_EQ(0u, reader.copy(i, widen_lib(path))) << path;
    EXPECT_EQ(files[i].data, readFile(path)) << path;
    EXPECT_EQ(FileTimeToEpoch(files[i].lastWriteTime), kittest::modificationTime(path)) << path;
  }
}

std::vector<KitFileSpec> awkwardFiles() {
  return {
      {u"empty.txt", "", EpochToFileTime(kSeconds)},
      {u"data\\one-mib.bin", kittest::patternBytes(1 << 20, 1), EpochToFileTime(kSeconds + 1)},
      {u"data\\deeper\\one-mib-and-one.bin", kittest::patternBytes((1 << 20) + 1, 2),
       kFractionalTime},
      {u"readme.html", "<html>hello</html>", EpochToFileTime(0)},
  };
}

TEST(InstallDataTest, PerLanguageKitRoundTripsEveryEntryAndRemovesItsContainer) {
  KitScene scratch;
  KitSpec kit;
  kit.descriptions = {{u"en", u"Templates", u"Vendor Ltd", u"doc\\readme.html"},
                      {u"ru", u"Шаблоны", u"Поставщик", u""}};
  kit.files = awkwardFiles();
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), kit));
  std::u16string temporary;
  {
    KitReader reader;
    kittest::useMode(reader, kittest::ContainerMode::kFile);
    ASSERT_EQ(0u, reader.open(wideKit(scratch)));
    EXPECT_FALSE(reader.inMemory());
    EXPECT_TRUE(reader.isOpen());
    ASSERT_EQ(2u, reader.descriptions.size());
    EXPECT_EQ(u"ru", reader.descriptions[1].languageCode);
    EXPECT_EQ(u"Шаблоны", reader.descriptions[1].productName);
    EXPECT_EQ(u"doc\\readme.html", reader.descriptions[0].descriptionPath);
    temporary = reader.temporaryPath();
    EXPECT_EQ(widen_lib(scratch.privateTmp() + "/odk"), temporary.substr(0, temporary.size() - 6));
    EXPECT_EQ(1u, scratch.tmpFiles().size());
    expectRoundTrip(scratch, reader, kit.files);
    // The destination keeps the entry's time truncated to whole seconds,
    // so it stays older than the entry.
    EXPECT_EQ(kSeconds, kittest::modificationTime(scratch.out() + "/data/deeper/one-mib-and-one.bin"));
  }
  EXPECT_TRUE(scratch.tmpFiles().empty()) << "the container outlived its reader";
}

TEST(InstallDataTest, ContainersKeptInMemoryWriteNoTemporaryFile) {
  KitScene scratch;
  KitSpec kit;
  kit.descriptions = {{u"en", u"Templates", u"Vendor Ltd", u"doc\\readme.html"}};
  kit.files = awkwardFiles();
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), kit));
  for (kittest::ContainerMode mode : {kittest::ContainerMode::kMemoryFastest, kittest::ContainerMode::kMemoryZlib}) {
    SCOPED_TRACE(kittest::modeName(mode));
    KitReader reader;
    kittest::useMode(reader, mode);
    ASSERT_EQ(0u, reader.open(wideKit(scratch)));
    EXPECT_TRUE(reader.inMemory());
    EXPECT_TRUE(reader.temporaryPath().empty());
    EXPECT_TRUE(scratch.tmpFiles().empty());
    EXPECT_EQ(u"Vendor Ltd", reader.descriptions[0].providerName);
    expectRoundTrip(scratch, reader, kit.files);
  }
}

TEST(InstallDataTest, ContainersBeyondTheLimitOrLongerThanTheirEntriesGoToAFile) {
  KitScene scratch;
  std::string container;
  KitSpec kit;
  kit.files = {{u"a.txt", std::string(3000, 'a'), EpochToFileTime(kSeconds)}};
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  {
    KitReader reader;
    reader.setMemoryLimit(container.size() - 1);
    ASSERT_EQ(0u, openContainer(scratch, container, reader));
    EXPECT_FALSE(reader.inMemory());
    EXPECT_EQ(1u, scratch.tmpFiles().size());
    expectRoundTrip(scratch, reader, kit.files);
  }
  {
    KitReader reader;
    reader.setMemoryLimit(container.size() + 1);
    ASSERT_EQ(0u, openContainer(scratch, container, reader));
    EXPECT_TRUE(reader.inMemory());
  }
  // Bytes that no entry uses, after the data area: the size the entry table
  // gives is too small, and the container goes to the file whole.
  for (kittest::ContainerMode mode : {kittest::ContainerMode::kMemoryFastest, kittest::ContainerMode::kMemoryZlib}) {
    SCOPED_TRACE(kittest::modeName(mode));
    KitReader reader;
    kittest::useMode(reader, mode);
    ASSERT_EQ(0u, openContainer(scratch, container + std::string(70000, 'z'), reader));
    EXPECT_FALSE(reader.inMemory());
    EXPECT_EQ(container.size() + 70000, reader.containerSize());
    expectRoundTrip(scratch, reader, kit.files);
  }
}

TEST(InstallDataTest, SingleFormWithDataInAnotherOrderAndOversizeRecords) {
  KitScene scratch;
  KitSpec kit;
  kit.singleForm = true;
  kit.descriptions = {{u"ignored", u"Product", u"Vendor", u"readme.html"}};
  kit.files = awkwardFiles();
  KitLayout layout;
  layout.reverseData = true;
  layout.entryPadding = 7;  // readers skip what follows the fields
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), kit, layout));
  KitReader reader;
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  ASSERT_EQ(1u, reader.descriptions.size());
  EXPECT_EQ(u"en", reader.descriptions[0].languageCode);
  EXPECT_EQ(u"Vendor", reader.descriptions[0].providerName);
  EXPECT_GT(reader.entries[0].offset, reader.entries[3].offset);
  expectRoundTrip(scratch, reader, kit.files);
}

TEST(InstallDataTest, SmallestContainersOfEachForm) {
  KitScene scratch;
  {
    // Marker 0, three empty strings, no entries.
    KitReader reader;
    ASSERT_EQ(0u, openContainer(scratch, std::string(20, '\0'), reader));
    ASSERT_EQ(1u, reader.descriptions.size());
    EXPECT_EQ(u"en", reader.descriptions[0].languageCode);
    EXPECT_TRUE(reader.descriptions[0].productName.empty());
    EXPECT_TRUE(reader.entries.empty());
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reader.copy(0, scratch.wide("out/x")));
  }
  {
    // Marker 1 with no descriptions.
    KitReader reader;
    ASSERT_EQ(0u, openContainer(scratch, ContainerBuilder().u32(1).u32(0).u32(0).bytes(), reader));
    EXPECT_TRUE(reader.descriptions.empty());
    EXPECT_TRUE(reader.entries.empty());
  }
  EXPECT_TRUE(scratch.tmpFiles().empty());
}

TEST(InstallDataTest, DataAreaStartsAfterTheEntryTable) {
  KitScene scratch;
  const _FILETIME time = EpochToFileTime(kSeconds);
  const std::string container = ContainerBuilder()
                                    .u32(0).u32(0).u32(0).u32(0)
                                    .u32(1).entryRecord(u"a", time, 0, 2)
                                    .raw("xy")
                                    .bytes();
  ASSERT_EQ(48u, container.size());
  KitReader reader;
  ASSERT_EQ(0u, openContainer(scratch, container, reader));
  ASSERT_EQ(1u, reader.entries.size());
  EXPECT_EQ(46u, reader.entries[0].offset);
  EXPECT_EQ(2u, reader.entries[0].size);
  ASSERT_EQ(0u, reader.copy(0, scratch.wide("out/a")));
  EXPECT_EQ("xy", readFile(scratch.path("out/a")));
}

TEST(InstallDataTest, OversizeRecordsAreSkippedAndSharedDataExtractsTwice) {
  KitScene scratch;
  const std::string container = ContainerBuilder()
                                    .u32(7).u32(2)
                                    .descriptionRecord({u"en", u"P", u"V", u"d"}, 5)
                                    .descriptionRecord({u"de", u"", u"", u""}, 0)
                                    .u32(2)
                                    .entryRecord(u"a", kNoTime, 1, 3, 9)
                                    .entryRecord(u"b", kNoTime, 1, 3, 0)
                                    .raw("0123")
                                    .bytes();
  KitReader reader;
  ASSERT_EQ(0u, openContainer(scratch, container, reader));
  ASSERT_EQ(2u, reader.descriptions.size());
  EXPECT_EQ(u"d", reader.descriptions[0].descriptionPath);
  EXPECT_EQ(u"de", reader.descriptions[1].languageCode);
  ASSERT_EQ(2u, reader.entries.size());
  ASSERT_EQ(0u, reader.copy(0, scratch.wide("out/a")));
  ASSERT_EQ(0u, reader.copy(1, scratch.wide("out/b")));
  EXPECT_EQ("123", readFile(scratch.path("out/a")));
  EXPECT_EQ("123", readFile(scratch.path("out/b")));
}

// Each of these containers is damaged; open must refuse it with 13 and
// leave nothing behind.
TEST(InstallDataTest, DamagedContainersFailWithInvalidData) {
  KitScene scratch;
  const std::string table = ContainerBuilder().u32(0).u32(0).u32(0).u32(0).bytes();
  struct Case {
    const char* what;
    std::string container;
  };
  std::vector<Case> cases = {
      {"empty container", ""},
      {"ends inside the marker", std::string(3, '\0')},
      {"ends inside a string count", std::string(6, '\0')},
      {"string count past the end", ContainerBuilder().u32(0).u32(1000).bytes()},
      {"no entry count", std::string(16, '\0')},
      {"description count past the end", ContainerBuilder().u32(1).u32(0xFFFFFFFF).bytes()},
      {"description record below its fields",
       ContainerBuilder().u32(1).u32(1).u32(19).raw(std::string(40, '\0')).bytes()},
      {"description string past its record",
       ContainerBuilder().u32(1).u32(1).u32(20).u32(9).raw(std::string(40, '\0')).bytes()},
      {"entry count past the end", ContainerBuilder().raw(table).u32(0x10000000).bytes()},
      {"entry record below its fields",
       ContainerBuilder().raw(table).u32(1).u32(23).raw(std::string(40, '\0')).bytes()},
      {"entry record past the end", ContainerBuilder().raw(table).u32(1).u32(400).raw(std::string(40, '\0')).bytes()},
      {"entry name past its record",
       ContainerBuilder().raw(table).u32(1).u32(26).u32(2).u32('a').raw(std::string(40, '\0')).bytes()},
      {"entry data past the end",
       ContainerBuilder().raw(table).u32(1).entryRecord(u"a", kNoTime, 0, 3).raw("xy").bytes()},
      {"entry offset past the end",
       ContainerBuilder().raw(table).u32(1).entryRecord(u"a", kNoTime, 2, 1).raw("xy").bytes()},
      {"entry position wraps 32 bits",
       ContainerBuilder().raw(table).u32(1).entryRecord(u"a", kNoTime, 0xFFFFFFF0u, 1).raw("xy").bytes()},
  };
  for (const Case& c : cases) {
    KitReader reader;
    EXPECT_EQ(ERROR_INVALID_DATA, openContainer(scratch, c.container, reader)) << c.what;
    EXPECT_FALSE(reader.isOpen()) << c.what;
    EXPECT_TRUE(reader.entries.empty()) << c.what;
    EXPECT_TRUE(reader.temporaryPath().empty()) << c.what;
    EXPECT_TRUE(scratch.tmpFiles().empty()) << c.what;
  }
}

std::string oneEntryContainer(const std::u16string& name, uint32_t offset = 0) {
  return ContainerBuilder().u32(0).u32(0).u32(0).u32(0).u32(1).entryRecord(name, kNoTime, offset, 0).bytes();
}

// A name made of `count` components `component`, joined by "\".
std::u16string repeatedComponents(const std::u16string& component, size_t count) {
  std::u16string name;
  for (size_t i = 0; i < count; ++i) name += (i ? u"\\" : u"") + component;
  return name;
}

TEST(InstallDataTest, EntryNamesMustStayBelowTheTemplateDirectory) {
  KitScene scratch;
  const std::u16string unsafe[] = {
      u"", u"\\", u"\\\\.\\", u"..", u".", u"a\\..\\..\\b", u"a/../b", u"\\..\\x",
      std::u16string(u"a\0b", 3), u"..\\x",
      // Longer than a file system allows: one component of 256 bytes (128
      // two-byte letters), a whole name of 4096 bytes, and a name of 40,000
      // levels that would make 40,000 directories.
      std::u16string(256, u'n'), std::u16string(128, u'я'),
      repeatedComponents(std::u16string(255, u'n'), 17), repeatedComponents(u"a", 40000),
  };
  for (const std::u16string& name : unsafe) {
    KitReader reader;
    EXPECT_EQ(ERROR_INVALID_DATA, openContainer(scratch, oneEntryContainer(name), reader))
        << utf16_to_utf8(name.substr(0, 40));
    EXPECT_TRUE(scratch.tmpFiles().empty());
  }
  // The destination is the directory followed by the name: leading,
  // doubled and trailing separators and "." components add nothing.
  const std::pair<std::u16string, std::u16string> safe[] = {
      {u"a", u"a"},
      {u"..a", u"..a"},
      {u"a..", u"a.."},
      {u".hidden\\x", u".hidden\\x"},
      {u"dir\\sub\\file.txt", u"dir\\sub\\file.txt"},
      {u"d/f", u"d\\f"},
      {u"\\forms\\a.tpl", u"forms\\a.tpl"},
      {u".\\b.tpl", u"b.tpl"},
      {u"forms\\\\c.tpl", u"forms\\c.tpl"},
      {u"/etc/passwd", u"etc\\passwd"},
      {u"a\\.\\b\\", u"a\\b"},
      {std::u16string(255, u'n'), std::u16string(255, u'n')},
      {repeatedComponents(u"a", 2048), repeatedComponents(u"a", 2048)},
  };
  for (const auto& name : safe) {
    KitReader reader;
    ASSERT_EQ(0u, openContainer(scratch, oneEntryContainer(name.first), reader))
        << utf16_to_utf8(name.first.substr(0, 40));
    EXPECT_EQ(name.second, reader.entries[0].name);
  }
}

// A name that holds a control character or half a surrogate pair is
// refused as a damaged kit, naming only the entry's number; names in any
// language and script open.
TEST(InstallDataTest, NamesWithControlCharactersOrLoneSurrogatesAreRefusedByNumber) {
  KitScene scratch;
  auto secondOfThree = [](const std::u16string& name) {
    return ContainerBuilder().u32(0).u32(0).u32(0).u32(0).u32(3)
        .entryRecord(u"first", kNoTime, 0, 0)
        .entryRecord(name, kNoTime, 0, 0)
        .entryRecord(u"third", kNoTime, 0, 0)
        .bytes();
  };
  const std::u16string hostile[] = {
      u"a\x01" u"b", u"forms\\\x1b[31mred.tpl", u"line\nforged", u"cr\r", u"\x1f", u"del\x7f",
      u"c1\x80", u"csi\x9b" u"2J", u"\x9f", u"lone\xd800", u"lone\xd800" u"x", u"low\xdc00",
      u"swapped\xdc00\xd800", std::u16string(u"nul\0", 4),
  };
  for (const std::u16string& name : hostile) {
    SCOPED_TRACE(narrow_lib(printable(name)));
    KitReader reader;
    EXPECT_EQ(ERROR_INVALID_DATA, openContainer(scratch, secondOfThree(name), reader));
    EXPECT_EQ("entry 2 of 3 has a name with a control character or an unpaired surrogate", reader.refusal());
    // Such a name is never handed on to be shown.
    EXPECT_EQ(config::KitRefusal::kNameNotAllowed, reader.refusalKind());
    EXPECT_TRUE(reader.refusalSubject().empty());
    EXPECT_TRUE(reader.entries.empty());
    EXPECT_TRUE(scratch.tmpFiles().empty());
    EXPECT_FALSE(config::isSafeEntryName(name));
  }
  const std::u16string ordinary[] = {
      u"Шаблоны\\отчёт.tpl", u"表格\\模板.tpl", u"tilde~", u"nbsp\xa0" u"and\xa1", u"emoji\U0001F600.tpl",
      u"replacement\xfffd", u"Türkçe şablon.tpl", u"ქართული.tpl", u"Tiếng Việt.tpl",
  };
  for (const std::u16string& name : ordinary) {
    SCOPED_TRACE(utf16_to_utf8(name));
    KitReader reader;
    ASSERT_EQ(0u, openContainer(scratch, secondOfThree(name), reader));
    EXPECT_EQ(name, reader.entries[1].name);
    EXPECT_TRUE(config::isSafeEntryName(name));
  }
}

// The place the installer takes in one pass is the name below the
// directory that the two-step rule gives, and refused where it refuses.
TEST(InstallDataTest, SafeEntryPlaceAgreesWithTheNameBelowTheDirectory) {
  const std::u16string names[] = {
      u"a", u"forms\\a.tpl", u"forms/a.tpl", u"forms\\deep/b", u"\\lead", u"trail\\", u"a\\\\b", u"a\\.\\b",
      u".\\a", u"..\\a", u"a\\..", u"a\\..\\b", u"..", u".", u"", u"\\", u"...", u"a..b", u"line\nx",
      u"lone\xd800", u"Шаблоны\\отчёт.tpl", u"emoji\U0001F600", u"a//b", std::u16string(u"nul\0", 4)};
  for (const std::u16string& name : names) {
    SCOPED_TRACE(narrow_lib(printable(name)));
    std::u16string place = u"left over";
    const bool safe = config::safeEntryPlace(name, place);
    EXPECT_EQ(config::isSafeEntryName(name), safe);
    if (safe) {
      EXPECT_EQ(config::entryNameInDirectory(name), place);
    }
  }
}

TEST(InstallDataTest, AnEmptyEntryMayPointAnywhere) {
  KitScene scratch;
  for (uint32_t offset : {0u, 1000u, 0xFFFFFFF0u}) {
    KitReader reader;
    ASSERT_EQ(0u, openContainer(scratch, oneEntryContainer(u"empty", offset), reader)) << offset;
    ASSERT_TRUE(config::writeFileBytes(scratch.path("out/empty"), "old contents"));
    ASSERT_EQ(0u, reader.copy(0, scratch.wide("out/empty")));
    EXPECT_EQ("", readFile(scratch.path("out/empty")));
  }
}

TEST(InstallDataTest, BadKitFilesFailWithoutLeavingAContainer) {
  KitScene scratch;
  KitReader missing;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.open(scratch.wide("nothing.okd")));

  ASSERT_TRUE(config::writeFileBytes(scratch.path("empty.okd"), ""));
  KitReader empty;
  EXPECT_EQ(ERROR_INVALID_DATA, empty.open(scratch.wide("empty.okd")));

  // A final block of the reserved type 3.
  ASSERT_TRUE(config::writeFileBytes(scratch.path("corrupt.okd"), std::string("\x07\x00\x00\x00", 4)));
  KitReader corrupt;
  EXPECT_EQ(ERROR_INVALID_DATA, corrupt.open(scratch.wide("corrupt.okd")));
  EXPECT_FALSE(corrupt.isOpen());
  EXPECT_TRUE(scratch.tmpFiles().empty());
}

TEST(InstallDataTest, StreamWithoutEndMarkerIsAcceptedWhenTheContainerIsWhole) {
  KitScene scratch;
  std::string container;
  KitSpec kit;
  kit.files = {{u"a.txt", "hello", EpochToFileTime(kSeconds)}};
  ASSERT_TRUE(config::buildContainer(kit, KitLayout(), container));
  // Flushed but never finished: all bytes are there, the final block is not.
  z_stream stream = z_stream();
  ASSERT_EQ(Z_OK, deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
  std::string kitBytes(1024, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(&container[0]);
  stream.avail_in = uInt(container.size());
  stream.next_out = reinterpret_cast<Bytef*>(&kitBytes[0]);
  stream.avail_out = uInt(kitBytes.size());
  ASSERT_EQ(Z_OK, deflate(&stream, Z_SYNC_FLUSH));
  kitBytes.resize(stream.total_out);
  deflateEnd(&stream);
  ASSERT_TRUE(config::writeFileBytes(scratch.path("ovn8.okd"), kitBytes));

  KitReader reader;
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  expectRoundTrip(scratch, reader, kit.files);
}

TEST(InstallDataTest, UnwritableTemporaryDirectoryAndFailedDecompressionWritesLeaveNothing) {
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), awkwardFiles()));
  {
    FileFaultInjector fault(1, ERROR_CANTWRITE);
    fault.only({FileOp::GetTempFileName});
    KitReader reader;
    EXPECT_EQ(ERROR_CANTWRITE, reader.open(wideKit(scratch)));
    EXPECT_TRUE(fault.fired());
  }
  // The disk fills up after a few chunks, and stays full.
  for (uint64_t k : {1, 2, 5}) {
    FileFaultInjector fault(k, ERROR_INVALID_PARAMETER);
    fault.only({FileOp::WriteFile}).below(widen_lib(scratch.tmp())).persistent();
    KitReader reader;
    kittest::useMode(reader, kittest::ContainerMode::kFile);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, reader.open(wideKit(scratch))) << k;
    EXPECT_FALSE(reader.isOpen());
    EXPECT_TRUE(scratch.tmpFiles().empty()) << k;
  }
  // Any single failing file operation during open fails it cleanly.
  for (kittest::ContainerMode mode : kittest::kAllModes) {
  for (uint64_t k = 1;; ++k) {
    const size_t descriptors = kittest::openDescriptors();
    KitReader reader;
    kittest::useMode(reader, mode);
    uint32_t result;
    {
      FileFaultInjector fault(k, ERROR_INVALID_PARAMETER);
      fault.only({FileOp::GetTempPath, FileOp::CreateOneDirectory, FileOp::GetFileStatus,
                  FileOp::GetTempFileName, FileOp::CreateFile,
                  FileOp::ReadFile, FileOp::WriteFile, FileOp::SetFilePointer, FileOp::SetEndOfFile});
      result = reader.open(wideKit(scratch));
      if (!fault.fired()) {
        EXPECT_EQ(0u, result);
        break;
      }
    }
    EXPECT_NE(0u, result) << k;
    EXPECT_TRUE(scratch.tmpFiles().empty()) << k;
    EXPECT_EQ(descriptors, kittest::openDescriptors()) << k;
  }
  }
}

TEST(InstallDataTest, CopyCutsLongerDestinationsAndReportsEveryFailure) {
  KitScene scratch;
  const std::string big = kittest::patternBytes(3 << 20, 3);
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"),
                               {{u"short", "abc", EpochToFileTime(kSeconds)},
                                {u"big", big, EpochToFileTime(kSeconds)}}));
  KitReader reader;
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));

  ASSERT_TRUE(config::writeFileBytes(scratch.path("out/short"), std::string(5000, 'z')));
  ASSERT_EQ(0u, reader.copy(0, scratch.wide("out/short")));
  EXPECT_EQ("abc", readFile(scratch.path("out/short")));

  EXPECT_EQ(ERROR_FILE_NOT_FOUND, reader.copy(0, scratch.wide("out/no/such/dir/x")));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, reader.copy(2, scratch.wide("out/x")));

  // Every operation of a copy may fail; the failure is reported and the
  // destination is closed all the same.
  for (uint64_t k = 1;; ++k) {
    const size_t descriptors = kittest::openDescriptors();
    uint32_t result;
    bool fired;
    {
      FileFaultInjector fault(k, ERROR_INVALID_PARAMETER);
      fault.only({FileOp::CreateFile, FileOp::ReadFile, FileOp::WriteFile, FileOp::SetFilePointer});
      result = reader.copy(1, scratch.wide("out/big"));
      fired = fault.fired();
    }
    EXPECT_EQ(descriptors, kittest::openDescriptors()) << k;
    if (!fired) {
      EXPECT_EQ(0u, result);
      break;
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, result) << k;
  }
  EXPECT_EQ(big, readFile(scratch.path("out/big")));
}

TEST(InstallDataTest, CopyIgnoresARefusedCutOrTimeStamp) {
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), {{u"a", "new", EpochToFileTime(kSeconds)}}));
  KitReader reader;
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  for (FileOp op : {FileOp::SetEndOfFile, FileOp::SetFileTime}) {
    unlink(scratch.path("out/a").c_str());
    FileFaultInjector fault(1, ERROR_INVALID_PARAMETER);
    fault.only({op});
    EXPECT_EQ(0u, reader.copy(0, scratch.wide("out/a")));
    EXPECT_TRUE(fault.fired());
    EXPECT_EQ("new", readFile(scratch.path("out/a")));
  }
}

// A file API that records how much each read asks for.
struct CountingFileSystem : FileSystem {
  static std::vector<uint32_t> requests;
  static uint32_t ReadFile(HANDLE handle, void* buffer, uint32_t toRead, uint32_t* read,
                           _OVERLAPPED* overlapped) {
    requests.push_back(toRead);
    return FileSystem::ReadFile(handle, buffer, toRead, read, overlapped);
  }
};
std::vector<uint32_t> CountingFileSystem::requests;

TEST(InstallDataTest, CopyReadsOnlyWhatTheEntryNeeds) {
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"),
                               {{u"small", std::string(100, 's'), kNoTime},
                                {u"empty", "", kNoTime},
                                {u"large", kittest::patternBytes((2 << 20) + 5, 4), kNoTime}}));
  config::InstallData<LZCompressor, CountingFileSystem> reader;
  kittest::useMode(reader, kittest::ContainerMode::kFile);
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  const std::vector<std::vector<uint32_t>> expected = {{100}, {}, {1 << 20, 1 << 20, 5}};
  for (uint32_t i = 0; i < 3; ++i) {
    CountingFileSystem::requests.clear();
    ASSERT_EQ(0u, reader.copy(i, scratch.wide("out/x")));
    EXPECT_EQ(expected[i], CountingFileSystem::requests) << i;
  }
}

// A file API that counts the files whose write-back was started.
struct WriteBackCountingFileSystem : FileSystem {
  static int started;
  static uint32_t StartWriteBack(HANDLE handle) {
    ++started;
    return FileSystem::StartWriteBack(handle);
  }
};
int WriteBackCountingFileSystem::started = 0;

// A large file's bytes go to the disk while the run goes on; small ones
// wait for the run's final sync, which writes them together.
TEST(InstallDataTest, OnlyLargeEntriesStartTheirWriteBackAsTheyAreWritten) {
  typedef config::InstallData<LZCompressor, WriteBackCountingFileSystem> Reader;
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"),
                               {{u"small", std::string(100, 's'), kNoTime},
                                {u"almost", kittest::patternBytes(Reader::kWriteBackFromSize - 1, 3), kNoTime},
                                {u"large", kittest::patternBytes(Reader::kWriteBackFromSize, 4), kNoTime}}));
  for (kittest::ContainerMode mode : kittest::kAllModes) {
    SCOPED_TRACE(kittest::modeName(mode));
    Reader reader;
    kittest::useMode(reader, mode);
    ASSERT_EQ(0u, reader.open(wideKit(scratch)));
    for (uint32_t i = 0; i < 3; ++i) {
      WriteBackCountingFileSystem::started = 0;
      ASSERT_EQ(0u, reader.copy(i, scratch.wide("out/x")));
      EXPECT_EQ(i == 2 ? 1 : 0, WriteBackCountingFileSystem::started) << i;
    }
  }
}

TEST(InstallDataTest, CopyFailsWhenTheContainerWasCutAfterOpening) {
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), {{u"a", std::string(5000, 'a'), kNoTime}}));
  KitReader reader;
  kittest::useMode(reader, kittest::ContainerMode::kFile);
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  ASSERT_EQ(0, truncate(narrow_lib(reader.temporaryPath()).c_str(), reader.entries[0].offset + 10));
  EXPECT_EQ(ERROR_INVALID_DATA, reader.copy(0, scratch.wide("out/a")));
}

TEST(InstallDataTest, ReopeningReleasesTheFirstContainer) {
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"), {{u"a", "1", kNoTime}}));
  KitReader reader;
  kittest::useMode(reader, kittest::ContainerMode::kFile);
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  ASSERT_EQ(0u, reader.open(wideKit(scratch)));
  EXPECT_EQ(1u, scratch.tmpFiles().size());
  EXPECT_EQ(1u, reader.entries.size());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, reader.open(scratch.wide("gone.okd")));
  EXPECT_TRUE(scratch.tmpFiles().empty());
}

}  // namespace

namespace {

// Ends the process with a stop signal at the second write of the unpacking.
uint32_t stop_during_unpacking(FileOp op, const std::u16string& path, void* writes) {
  if (op == FileOp::WriteFile && path.find(u"/odk") != std::u16string::npos &&
      ++*static_cast<int*>(writes) == 2)
    raise(SIGHUP);
  return 0;
}

}  // namespace

TEST(InstallDataTest, AStopSignalDuringTheUnpackingRemovesTheContainer) {
  KitScene scratch;
  ASSERT_TRUE(config::writeKit(scratch.path("ovn8.okd"),
                               {{u"large", kittest::patternBytes(3 << 20, 9), kNoTime}}));
  const pid_t child = fork();
  if (child == 0) {
    install_stop_signal_handlers();
    int writes = 0;
    FileSystem::SetFaultHook(stop_during_unpacking, &writes);
    KitReader reader;
    kittest::useMode(reader, kittest::ContainerMode::kFile);
    reader.open(wideKit(scratch));
    _exit(0);  // not reached: the signal ends the process
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(kStoppedBySignalStatus, WEXITSTATUS(status));
  EXPECT_TRUE(scratch.tmpFiles().empty());
}
