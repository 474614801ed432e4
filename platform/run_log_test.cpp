// The run's log: file mode, appending, one line per event, and a log that
// cannot be written.
#include "platform/run_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/test_toolkit.h"

namespace {

class RunLogTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_.path();
    path_ = dir_ + "/run.log";
  }

  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

  testkit::ScratchDir scratch_{"/tmp", "ovn8log"};
  std::string dir_, path_;
};

const std::regex kStamped(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d pid=\d+ run=[0-9a-f]{8} (.*)$)");

std::string event_of(const std::string& line) {
  std::smatch match;
  return std::regex_match(line, match, kStamped) ? match[1].str() : "unstamped: " + line;
}

TEST_F(RunLogTest, CreatesPrivateFileAppendsAndKeepsEveryEventOnOneLine) {
  const mode_t old = umask(0);
  {
    RunLog log;
    ASSERT_EQ(log.open(path_), 0u);
    EXPECT_TRUE(log.isOpen());
    log.write("first");
    log.write("a name with\na line feed\r, \x1b[31m, a \\ and \xff");
  }
  umask(old);
  struct stat status;
  ASSERT_EQ(stat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  {
    RunLog log;
    ASSERT_EQ(log.open(path_), 0u);
    log.write("second run");
    log.close();
    log.write("after close: dropped");
    EXPECT_FALSE(log.failed());
  }
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(event_of(got[0]), "first");
  EXPECT_EQ(event_of(got[1]), "a name with\\na line feed\\r, \\x1b[31m, a \\\\ and \\xff");
  EXPECT_EQ(event_of(got[2]), "second run");
}

TEST_F(RunLogTest, FailureIsReportedOnceAndLaterLinesAreDropped) {
  for (const std::string& path : {std::string("/dev/full"), dir_, dir_ + "/missing/run.log"}) {
    SCOPED_TRACE(path);
    std::vector<std::string> reports;
    RunLog log;
    log.setFailureReporter([&](const std::string& file, const std::string& reason) {
      reports.push_back(file + ": " + reason);
    });
    const uint32_t opened = log.open(path);
    for (int i = 0; i < 3; ++i) log.write("event");
    EXPECT_TRUE(log.failed());
    EXPECT_FALSE(log.isOpen());
    ASSERT_EQ(reports.size(), 1u);
    if (path == "/dev/full") {
      EXPECT_EQ(opened, 0u);
      EXPECT_EQ(reports[0], "/dev/full: No space left on device");
    } else {
      EXPECT_NE(opened, 0u);
    }
  }
}

TEST_F(RunLogTest, LinesFromTwoThreadsStayWhole) {
  RunLog log;
  ASSERT_EQ(log.open(path_), 0u);
  const std::string a(300, 'a'), b(300, 'b');
  std::thread other([&] {
    for (int i = 0; i < 200; ++i) log.write(a);
  });
  for (int i = 0; i < 200; ++i) log.write(b);
  other.join();
  log.close();
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 400u);
  for (const std::string& line : got) {
    const std::string event = event_of(line);
    EXPECT_TRUE(event == a || event == b) << line;
  }
}

TEST(RunLogEvents, ProcessLogIsSilentWhileClosedAndErrorsCarryTheirNumber) {
  log_event("nothing is open: no effect");
  log_event(u"nor here");
  EXPECT_FALSE(run_log().isOpen());
  EXPECT_EQ(error_event("error /t/a", 2), "error /t/a: file not found (error 2)");
  EXPECT_EQ(error_event("x", 4711), "x: error (error 4711)");
}

}  // namespace
