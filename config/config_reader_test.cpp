// The reader against real files, and the normalisation of a read-write cycle.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "config/config_reader.h"
#include "config/config_writer.h"
#include "config/config_test_util.h"
#include "platform/file_fault_injector.h"
#include "platform/file_op_name.h"

namespace {

typedef std::list<std::u16string> Values;

class ConfigReadTest : public testing::Test {
 protected:
  std::string file(const std::string& name) const { return home_ / name; }

  // Writes the bytes, reads them into a fresh ConfigFile, writes that to a
  // second file and returns the second file's bytes.
  std::string cycle(const std::string& bytes, ConfigFile* read = nullptr) {
    write_bytes(file("in.cfg"), bytes);
    ConfigFile config;
    EXPECT_TRUE(read_config_file(wide(file("in.cfg")), config));
    write_config_file(wide(file("out.cfg")), config);
    if (read) *read = config;
    return read_bytes(file("out.cfg"));
  }

  TemporaryHome home_;
};

TEST_F(ConfigReadTest, MissingFileAddsNothingAndEmptyConfigWritesEmptyFile) {
  ConfigFile config;
  config.addValue(u"Kept", u"1");
  EXPECT_TRUE(read_config_file(wide(file("missing.cfg")), config));
  EXPECT_TRUE(read_config_file(wide(file("no/such/dir/x.cfg")), config));
  EXPECT_EQ(1u, config.entries().size());

  write_config_file(wide(file("empty.cfg")), ConfigFile());
  EXPECT_EQ("", read_bytes(file("empty.cfg")));
  EXPECT_EQ("", cycle(""));
}

TEST_F(ConfigReadTest, ReadingAddsToWhatTheConfigHolds) {
  write_bytes(file("a.cfg"), "K=2\nOther=x\n");
  ConfigFile config;
  config.addValue(u"k", u"1");
  read_config_file(wide(file("a.cfg")), config);
  EXPECT_EQ((Values{u"1", u"2"}), config.findValues(u"K"));
  EXPECT_EQ(u"k", config.entries()[0].key);
}

TEST_F(ConfigReadTest, ReadWriteCycleNormalises) {
  const std::string in =
      "A=1\n"
      "\n"
      "other = spaced value \n"
      "a=2\n"
      "NoEquals\n"
      "A=1\n"
      "=starts with equals\n"
      "=\n"
      "a=1\n"
      "Windows=crlf\r\n"
      "key=value=with=equals\n"
      "\tTabbed\t=\t\n"
      "last=no line feed";
  ConfigFile config;
  EXPECT_EQ(
      "A=1\n"
      "A=2\n"
      "other = spaced value \n"
      "NoEquals=\n"
      "=starts with equals\n"
      "Windows=crlf\r\n"
      "key=value=with=equals\n"
      "\tTabbed\t=\t\n"
      "last=no line feed\n",
      cycle(in, &config));
  EXPECT_EQ((Values{u"value=with=equals"}), config.findValues(u"key"));
  EXPECT_EQ((Values{u"crlf\r"}), config.findValues(u"windows"));
  EXPECT_EQ((Values{u" spaced value "}), config.findValues(u"other "));
  EXPECT_TRUE(config.findValues(u"other").empty());  // blanks are part of the key
}

TEST_F(ConfigReadTest, CarriageReturnEndsUpInKeyOfLineWithoutEquals) {
  ConfigFile config;
  EXPECT_EQ("Flag\r=\nX=1\r\n", cycle("Flag\r\nX=1\r\n", &config));
  ASSERT_EQ(2u, config.entries().size());
  EXPECT_EQ(u"Flag\r", config.entries()[0].key);
}

TEST_F(ConfigReadTest, LongLinesAreReadWhole) {
  // Longer than the 2048-unit collecting buffer and several 1024-byte
  // blocks, with two-byte characters so that blocks end mid-character.
  std::string value;
  for (int i = 0; i < 3000; ++i) value += (i % 3 == 0) ? "\xd0\x96" : "v";
  std::string key(2500, 'k');
  ConfigFile config;
  const std::string line = key + "=" + value + "\n";
  EXPECT_EQ(line + "next=1\n", cycle(line + "next=1\n", &config));
  const Values values = config.findValues(wide(key));
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ(wide(value), values.front());
  EXPECT_EQ(3000u, values.front().size());
}

TEST_F(ConfigReadTest, ByteOrderMarkStaysPartOfTheFirstKey) {
  const std::string in = "\xef\xbb\xbfKey=1\nKey=2\n";
  ConfigFile config;
  EXPECT_EQ(in, cycle(in, &config));
  ASSERT_EQ(2u, config.entries().size());
  EXPECT_EQ(u"\ufeffKey", config.entries()[0].key);
  EXPECT_EQ((Values{u"2"}), config.findValues(u"Key"));
}

// A character that the 1024-byte block boundary cuts in two arrives whole.
TEST_F(ConfigReadTest, CharactersCutByTheBlockBoundaryArriveWhole) {
  const struct {
    const char* bytes;
    std::u16string unit;
  } characters[] = {
      {"\xc3\xa9", u"\u00e9"},
      {"\xe2\x82\xac", u"\u20ac"},
      {"\xf0\x9f\x98\x80", u"\U0001F600"},
  };
  for (const auto& character : characters) {
    const std::string c = character.bytes;
    for (size_t before = 1024 - c.size() + 1; before < 1024; ++before) {
      SCOPED_TRACE(testing::Message() << c.size() << "-byte character at " << before);
      // "K=" and filler put the character at byte offset `before`.
      const std::string in = "K=" + std::string(before - 2, 'x') + c + "y\n";
      ConfigFile config;
      EXPECT_EQ(in, cycle(in, &config));
      const Values values = config.findValues(u"K");
      ASSERT_EQ(1u, values.size());
      EXPECT_EQ(std::u16string(before - 2, u'x') + character.unit + u"y", values.front());
    }
  }
}

// Bytes that are not valid UTF-8 come back unchanged: stray Latin-1 bytes,
// a cut sequence, bytes at a block boundary and at the end of the file, and
// zero bytes (which end no line and hide nothing after them).
TEST_F(ConfigReadTest, BytesOutsideTheEncodingSurviveTheCycle) {
  const std::string samples[] = {
      std::string("Caf\xe9=na\xefve\n"),
      std::string("K=\xc3(\n"),
      std::string("K=") + std::string(1020, 'x') + "\xe2\x82" + "Z\nL=1\n",
      std::string("K=") + std::string(1021, 'x') + "\xff\xfe" + "\xd0\x96\n",
      std::string("K=ends in a cut character \xe2\x82\n"),
      std::string("K=before\0after\nL=2\n", 19),  // 19 bytes: the zero included
  };
  for (const std::string& in : samples) {
    SCOPED_TRACE(in.substr(0, 12));
    EXPECT_EQ(in, cycle(in));
  }

  ConfigFile config;
  const char mixed[] = "Z=a\0b\nValid=\xd0\x96\xff\n";
  cycle(std::string(mixed, sizeof mixed - 1), &config);
  EXPECT_EQ((Values{std::u16string(u"a\0b", 3)}), config.findValues(u"z"));
  const Values valid = config.findValues(u"Valid");
  ASSERT_EQ(1u, valid.size());
  EXPECT_EQ(u'\u0416', valid.front()[0]);  // text around a bad byte is decoded
  EXPECT_EQ(2u, valid.front().size());
}

TEST_F(ConfigReadTest, UnreadableFileIsReported) {
  std::filesystem::create_directories(file("dir.cfg"));
  ConfigFile config;
  EXPECT_FALSE(read_config_file(wide(file("dir.cfg")), config));
  EXPECT_TRUE(config.entries().empty());
  // The file is read through the file layer: a refused open, a failed look
  // or a failed read is a file that exists but cannot be read, and adds
  // nothing; only a missing one reads as empty.
  write_bytes(file("in.cfg"), "A=1\nB=2\n");
  for (FileOp op : {FileOp::CreateFile, FileOp::GetHandleStatus, FileOp::ReadFile}) {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({op});
    EXPECT_FALSE(read_config_file(wide(file("in.cfg")), config)) << file_op_name(op);
    EXPECT_TRUE(fault.fired());
    EXPECT_TRUE(config.entries().empty()) << file_op_name(op);
  }
  {
    FileFaultInjector fault(1, ERROR_FILE_NOT_FOUND);
    fault.only({FileOp::CreateFile});
    EXPECT_TRUE(read_config_file(wide(file("in.cfg")), config));
    EXPECT_TRUE(config.entries().empty());
  }
  EXPECT_TRUE(read_config_file(wide(file("in.cfg")), config));
  EXPECT_EQ(2u, config.entries().size());
}

// Runs read_config_file in a child that an alarm ends after `seconds`; the
// child's status tells whether the read returned and what it said: 1 read
// whole, 0 refused with nothing added, 2 refused after adding lines.
int read_in_child(const std::string& path, unsigned seconds = 5) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(seconds);
    ConfigFile config;
    const bool whole = read_config_file(wide(path), config);
    _exit(whole ? 1 : config.entries().empty() ? 0 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// A reader that compares each line with every line before it needs minutes
// for these files (20,000 values of one key took 104 s, 40,000 over 300 s,
// 1 MB of random bytes 43 s); hashing what it has seen reads the values file
// in a fraction of a second (a few seconds under the sanitizers), so a
// watchdog of 150 s catches the quadratic reader on any machine.
TEST_F(ConfigReadTest, HugeFilesAreReadInTimeLinearInTheirSize) {
  std::string text = "DefaultVersion=8.3\n";
  for (int i = 0; i < 40000; ++i)
    text += "ConfigurationTemplatesLocation=/srv/templates/" + std::to_string(i) + "\n";
  for (int i = 0; i < 40000; ++i) text += "Key" + std::to_string(i) + "=x\n";
  write_bytes(file("values.cfg"), text);
  EXPECT_EQ(1, read_in_child(file("values.cfg"), 150));

  std::mt19937 random(12);
  std::string noise(1 << 20, '\0');
  for (char& c : noise) c = char(random());
  write_bytes(file("noise.cfg"), noise);
  EXPECT_EQ(1, read_in_child(file("noise.cfg"), 150));

  ConfigFile config;
  ASSERT_TRUE(read_config_file(wide(file("values.cfg")), config));
  EXPECT_EQ(40000u, config.findValues(kConfigFileFieldTemplatesLocation).size());
  EXPECT_EQ(Values{u"x"}, config.findValues(u"KEY39999"));
  // Equal values in another letter case are still duplicates.
  EXPECT_FALSE(config.addValue(u"CONFIGURATIONTEMPLATESLOCATION", u"/SRV/templates/7"));
  EXPECT_TRUE(config.removeValue(u"key5", u"X"));
  EXPECT_TRUE(config.findValues(u"Key5").empty());
  EXPECT_EQ(Values{u"x"}, config.findValues(u"Key6"));
  EXPECT_TRUE(config.addValue(u"Key5", u"y"));
  EXPECT_EQ(u"Key5", config.entries().back().key);
}

TEST_F(ConfigReadTest, OnlyRegularFilesAreRead) {
  ASSERT_EQ(0, mkfifo(file("fifo.cfg").c_str(), 0600));
  EXPECT_EQ(0, read_in_child(file("fifo.cfg")));  // refused at once, nothing added
  ASSERT_EQ(0, symlink("/dev/zero", file("zero.cfg").c_str()));
  EXPECT_EQ(0, read_in_child(file("zero.cfg")));
  ASSERT_EQ(0, symlink("/dev/null", file("null.cfg").c_str()));
  EXPECT_EQ(0, read_in_child(file("null.cfg")));
  std::filesystem::create_directories(file("dir.cfg"));
  EXPECT_EQ(0, read_in_child(file("dir.cfg")));
  // A link to a regular file is read.
  write_bytes(file("real.cfg"), "A=1\n");
  ASSERT_EQ(0, symlink(file("real.cfg").c_str(), file("link.cfg").c_str()));
  EXPECT_EQ(1, read_in_child(file("link.cfg")));
  // A file too large to be a launcher file (sparse, so it costs no disk).
  {
    std::ofstream huge(file("huge.cfg"));
    huge << "A=1\n";
  }
  ASSERT_EQ(0, truncate(file("huge.cfg").c_str(), off_t(65) << 20));
  EXPECT_EQ(0, read_in_child(file("huge.cfg")));
}

}  // namespace
