#include "install/file_lanes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/file_fault_injector.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

using testkit::ScratchDir;

const int64_t kTime = 1600000000;

FileJob writeJob(size_t tag, const std::string& path, const std::string& bytes, uint32_t mode = 0) {
  FileJob job;
  job.tag = tag;
  job.path = widen_lib(path);
  job.bytes.assign(bytes.begin(), bytes.end());
  job.time = EpochToFileTime(kTime);
  job.mode = mode;
  return job;
}

FileJob placeJob(size_t tag, const std::string& from, const std::string& to, uint32_t flags = 0) {
  FileJob job;
  job.kind = FileJob::Kind::kPlace;
  job.tag = tag;
  job.path = widen_lib(from);
  job.destination = widen_lib(to);
  job.moveFlags = flags;
  return job;
}

class FileLanesTest : public testing::TestWithParam<size_t> {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch.ok()); }
  std::u16string folder(int i) const { return widen_lib(scratch / ("d" + std::to_string(i))); }
  std::string file(int i, const std::string& name) const {
    return scratch / ("d" + std::to_string(i) + "/" + name);
  }
  ScratchDir scratch{testkit::temporaryBase()};
};

// Many small files in many folders, each written under one name and then
// renamed, and a file of one name placed twice: the later copy stands,
// with its time and its permission bits.
TEST_P(FileLanesTest, EachFolderKeepsTheOrderItsWorkWasGivenIn) {
  const int kFolders = 13, kFiles = 400;
  for (int d = 0; d < kFolders; ++d) ASSERT_EQ(0, mkdir((scratch / ("d" + std::to_string(d))).c_str(), 0755));
  {
    FileLanes lanes(GetParam(), 4096);
    for (int i = 0; i < kFiles; ++i) {
      const int d = i % kFolders;
      const std::string name = "f" + std::to_string(i);
      lanes.submit(folder(d), writeJob(size_t(i), file(d, "." + name), std::string(size_t(50 + i), char('a' + i % 26))));
      lanes.submit(folder(d), placeJob(size_t(i), file(d, "." + name), file(d, name)));
    }
    lanes.submit(folder(0), writeJob(kFiles, file(0, ".again"), "second copy", 0600));
    lanes.submit(folder(0), placeJob(kFiles, file(0, ".again"), file(0, "f0"), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(lanes.settle().empty());
    EXPECT_FALSE(lanes.failed());
  }
  for (int i = 1; i < kFiles; ++i) {
    const std::string path = file(i % kFolders, "f" + std::to_string(i));
    ASSERT_EQ(std::string(size_t(50 + i), char('a' + i % 26)), testkit::readFile(path)) << path;
    EXPECT_EQ(kTime, testkit::modificationTime(path));
    EXPECT_FALSE(testkit::exists(file(i % kFolders, ".f" + std::to_string(i))));
  }
  EXPECT_EQ("second copy", testkit::readFile(file(0, "f0")));
  struct stat status;
  ASSERT_EQ(0, stat(file(0, "f0").c_str(), &status));
  EXPECT_EQ(0600u, status.st_mode & 0777);
}

// Failures come back by their tags, whatever lane met them: a write whose
// name is taken leaves what stands there and keeps its bytes to be written
// again; one that fails later leaves no file; a rename onto a taken name
// without leave to replace it fails. The work beside them is done, and
// settle() starts a new count.
TEST_P(FileLanesTest, FailuresComeBackByTagAndLeaveNoPartOfAFile) {
  for (int d = 0; d < 3; ++d) ASSERT_EQ(0, mkdir((scratch / ("d" + std::to_string(d))).c_str(), 0755));
  ASSERT_TRUE(testkit::writeFile(file(2, "taken"), "someone's"));
  ASSERT_TRUE(testkit::writeFile(file(1, "stands"), "standing"));
  ASSERT_TRUE(testkit::writeFile(file(1, "moving"), "moving"));
  FileFaultInjector fault;
  fault.answering([](FileOp op, const std::u16string& path) -> uint32_t {
    return op == FileOp::WriteFile && path.find(u"full") != std::u16string::npos ? errorFromErrNo(ENOSPC) : 0;
  });
  FileLanes lanes(GetParam());
  lanes.submit(folder(0), writeJob(0, file(0, "fine"), "fine"));
  lanes.submit(folder(1), placeJob(5, file(1, "moving"), file(1, "stands")));
  lanes.submit(folder(2), writeJob(7, file(2, "taken"), "ours"));
  lanes.submit(folder(0), writeJob(3, file(0, "full"), std::string(1000, 'x')));
  lanes.submit(folder(1), writeJob(4, file(1, "also fine"), "also"));
  const std::vector<FileJobFailure> failures = lanes.settle();
  ASSERT_EQ(3u, failures.size());
  EXPECT_EQ(3u, failures[0].tag);
  EXPECT_EQ(uint32_t(errorFromErrNo(ENOSPC)), failures[0].code);
  EXPECT_EQ(5u, failures[1].tag);
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS), failures[1].code);
  EXPECT_EQ(7u, failures[2].tag);
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS), failures[2].code);
  EXPECT_EQ("ours", std::string(failures[2].job.bytes.begin(), failures[2].job.bytes.end()));
  EXPECT_FALSE(testkit::exists(file(0, "full")));
  EXPECT_EQ("someone's", testkit::readFile(file(2, "taken")));
  EXPECT_EQ("standing", testkit::readFile(file(1, "stands")));
  EXPECT_EQ("moving", testkit::readFile(file(1, "moving")));
  EXPECT_EQ("fine", testkit::readFile(file(0, "fine")));
  EXPECT_EQ("also", testkit::readFile(file(1, "also fine")));
  EXPECT_FALSE(lanes.failed());
  EXPECT_TRUE(lanes.settle().empty());
}

// Files larger than the whole budget still go, one at a time, and the
// submitter waits for room instead of holding more.
TEST_P(FileLanesTest, FilesLargerThanTheBudgetStillGo) {
  ASSERT_EQ(0, mkdir((scratch / "d0").c_str(), 0755));
  FileLanes lanes(GetParam(), 1000);
  for (int i = 0; i < 20; ++i)
    lanes.submit(folder(0), writeJob(size_t(i), file(0, std::to_string(i)), std::string(3000 + i, 'b')));
  EXPECT_TRUE(lanes.settle().empty());
  EXPECT_LE(lanes.peakQueuedBytes(), 3019u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(std::string(3000 + i, 'b'), testkit::readFile(file(0, std::to_string(i))));
  // Within the budget, files wait together.
  for (int i = 0; i < 200; ++i)
    lanes.submit(folder(0), writeJob(size_t(i), file(0, "small" + std::to_string(i)), std::string(10, 'c')));
  EXPECT_TRUE(lanes.settle().empty());
  EXPECT_LE(lanes.peakQueuedBytes(), 3019u);
}

INSTANTIATE_TEST_SUITE_P(Lanes, FileLanesTest, testing::Values(size_t(0), size_t(1), size_t(2), size_t(3)));

}  // namespace
