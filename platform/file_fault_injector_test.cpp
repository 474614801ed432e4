#include "platform/file_fault_injector.h"

#include <errno.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

class FileFaultInjectorTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  std::u16string path(const std::string& name) { return wide(dir_ / name); }
  ScratchDir dir_;
};

TEST_F(FileFaultInjectorTest, FailsTheKthOperationWithoutTouchingTheDisk) {
  FileFaultInjector fault(2, 1013);
  EXPECT_EQ(0u, FileSystem::CreateDirectory(path("first")));
  EXPECT_EQ(1013u, FileSystem::CreateDirectory(path("second")));
  EXPECT_EQ(1013u, FileSystem::GetLastError());
  EXPECT_EQ(0u, FileSystem::CreateDirectory(path("third")));
  EXPECT_TRUE(isDir(dir_ / "first"));
  EXPECT_FALSE(exists(dir_ / "second"));
  EXPECT_TRUE(isDir(dir_ / "third"));
  EXPECT_TRUE(fault.fired());
  EXPECT_EQ(3u, fault.count());
}

TEST_F(FileFaultInjectorTest, AnAnswerSeesTheChosenOperationsAndMayRefuseThem) {
  std::vector<std::u16string> asked;
  FileFaultInjector fault(2, 1013);
  fault.only({FileOp::CreateDirectory}).answering([&](FileOp, const std::u16string& path) {
    asked.push_back(path);
    return path == this->path("refused") ? uint32_t(ERROR_ACCESS_DENIED) : 0u;
  });
  EXPECT_EQ(0u, FileSystem::CreateDirectory(path("a")));
  EXPECT_FALSE(fault.fired());
  // A refusal is the system's answer, not the injected fault: not counted.
  EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), FileSystem::CreateDirectory(path("refused")));
  EXPECT_FALSE(fault.fired());
  EXPECT_EQ(1u, fault.count());
  EXPECT_EQ(1013u, FileSystem::CreateDirectory(path("third")));
  EXPECT_TRUE(fault.fired());
  FileStatus status;
  EXPECT_EQ(0u, FileSystem::GetFileStatus(path("a"), true, status));  // not counted, not asked
  EXPECT_EQ((std::vector<std::u16string>{path("a"), path("refused"), path("third")}), asked);
  EXPECT_FALSE(exists(dir_ / "refused"));
}

TEST_F(FileFaultInjectorTest, EveryOperationConsultsTheHook) {
  ASSERT_TRUE(writeText(dir_ / "f", "keep"));
  HANDLE h = INVALID_HANDLE_VALUE;
  ASSERT_EQ(0u, FileSystem::CreateFile(path("f"), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, h));
  const uint32_t kError = errorFromErrNo(EIO);
  {
    FileFaultInjector fault(1, kError);
    fault.persistent();
    char buffer[4];
    uint32_t count = 0;
    _FILETIME ft = EpochToFileTime(0);
    uint32_t size = 0;
    std::u16string text;
    EXPECT_EQ(kError, FileSystem::ReadFile(h, buffer, 4, &count, nullptr));
    EXPECT_EQ(kError, FileSystem::WriteFile(h, "xxxx", 4, &count, nullptr));
    EXPECT_EQ(0xFFFFFFFFu, FileSystem::SetFilePointer(h, 2, nullptr, FILE_BEGIN));
    EXPECT_EQ(kError, FileSystem::GetLastError());
    EXPECT_EQ(kError, FileSystem::SetEndOfFile(h));
    EXPECT_EQ(kError, FileSystem::GetFileTime(h, nullptr, nullptr, &ft));
    EXPECT_EQ(kError, FileSystem::SetFileTime(h, nullptr, nullptr, &ft));
    EXPECT_EQ(kError, FileSystem::GetFileSize(path("f"), &size));
    EXPECT_EQ(kError, FileSystem::GetTempPath(text));
    EXPECT_EQ(kError, FileSystem::GetTempFileName(path(""), u"x", text));
    EXPECT_EQ(kError, FileSystem::GetFreeSpaceTmpDir(&size));
    EXPECT_EQ(kError, FileSystem::CreateDirectory(path("d")));
    EXPECT_EQ(kError, FileSystem::RemoveDirectory(path("f")));
    EXPECT_EQ(kError, FileSystem::MoveFile(path("f"), path("g")));
    EXPECT_EQ(kError, FileSystem::DeleteFile(path("f")));
    EXPECT_EQ(kError, FileSystem::CreateTempDirectory(path(""), u"x", text));
    HANDLE unnamed = INVALID_HANDLE_VALUE;
    EXPECT_EQ(kError, FileSystem::CreateUnnamedFile(path(""), unnamed));
    EXPECT_EQ(kError, FileSystem::LinkUnnamedFile(h, path("linked")));
    FileStatus status;
    EXPECT_EQ(kError, FileSystem::GetHandleStatus(h, status));
    uint64_t space = 7;
    EXPECT_EQ(kError, FileSystem::GetFreeSpace(path(""), space));
    EXPECT_EQ(0u, space);
    const uint8_t* data = nullptr;
    EXPECT_EQ(kError, FileSystem::MapFile(h, 4, data));
    EXPECT_EQ(nullptr, data);
    std::vector<DirectoryEntry> entries(1);
    EXPECT_EQ(kError, FileSystem::ListDirectory(path(""), entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(kError, FileSystem::GetCurrentDirectory(text));
    EXPECT_EQ(kError, FileSystem::CloseHandle(h));
    EXPECT_EQ(23u, fault.count());
  }
  // Nothing happened to the file, and the handle is still open.
  EXPECT_EQ("keep", readText(dir_ / "f"));
  EXPECT_FALSE(exists(dir_ / "d"));
  EXPECT_FALSE(exists(dir_ / "linked"));
  EXPECT_EQ(4u, FileSystem::SetFilePointer(h, 0, nullptr, FILE_END));
  EXPECT_EQ(0u, FileSystem::CloseHandle(h));
}

TEST_F(FileFaultInjectorTest, CountsOnlyChosenKindsAndPaths) {
  std::string inside = dir_ / "inside";
  ASSERT_EQ(0u, FileSystem::CreateDirectory(wide(inside)));
  FileFaultInjector fault(2, 87);
  fault.only({FileOp::WriteFile, FileOp::CreateFile}).below(wide(inside));

  HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
  // Outside the prefix (a sibling sharing the prefix's text included):
  // never counted.
  ASSERT_EQ(0u, FileSystem::CreateFile(path("inside-not"), GENERIC_WRITE, 0, CREATE_ALWAYS, out));
  EXPECT_EQ(0u, fault.count());
  ASSERT_EQ(0u, FileSystem::CreateFile(wide(inside + "/a"), GENERIC_WRITE, 0, CREATE_ALWAYS, in));
  EXPECT_EQ(1u, fault.count());
  uint32_t written = 0;
  EXPECT_EQ(0u, FileSystem::WriteFile(out, "o", 1, &written, nullptr));
  EXPECT_EQ(0u, FileSystem::SetEndOfFile(in));  // not a chosen kind
  // The handle remembers its path: the write below the prefix fails.
  EXPECT_EQ(87u, FileSystem::WriteFile(in, "i", 1, &written, nullptr));
  EXPECT_TRUE(fault.fired());
  EXPECT_EQ(0u, FileSystem::WriteFile(in, "j", 1, &written, nullptr));
  EXPECT_EQ(3u, fault.count());
  FileSystem::CloseHandle(in);
  FileSystem::CloseHandle(out);
  EXPECT_EQ("j", readText(inside + "/a"));
  EXPECT_EQ("o", readText(dir_ / "inside-not"));
}

TEST_F(FileFaultInjectorTest, EachCallCountsOnce) {
  // Operations that find the temporary directory themselves are still one
  // operation each, so a sweep's numbering matches the calls it sees.
  FileFaultInjector counter;
  uint32_t free = 0;
  std::u16string name;
  EXPECT_EQ(0u, FileSystem::GetFreeSpaceTmpDir(&free));
  EXPECT_EQ(0u, FileSystem::GetTempFileName(path("missing"), u"x", name));
  EXPECT_EQ(2u, counter.count());
  EXPECT_FALSE(counter.fired());
  ::unlink(utf16_to_utf8(name).c_str());
}

// A small job of several file operations, as the engine's sweep would run.
uint32_t copyJob(const std::u16string& from, const std::u16string& to) {
  HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
  if (uint32_t e = FileSystem::CreateFile(from, GENERIC_READ, 0, OPEN_EXISTING, in)) return e;
  uint32_t result = FileSystem::CreateFile(to, GENERIC_WRITE, 0, CREATE_ALWAYS, out);
  char buffer[16];
  uint32_t count = 0;
  if (result == 0) result = FileSystem::ReadFile(in, buffer, sizeof buffer, &count, nullptr);
  if (result == 0) result = FileSystem::WriteFile(out, buffer, count, &count, nullptr);
  if (result == 0) result = FileSystem::SetEndOfFile(out);
  if (out != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(out);
  FileSystem::CloseHandle(in);
  return result;
}

TEST_F(FileFaultInjectorTest, SweepFailsEachOperationOnceUntilARunIsUntouched) {
  ASSERT_TRUE(writeText(dir_ / "src", "payload"));
  uint64_t k = 1;
  for (;; ++k) {
    FileFaultInjector fault(k, 87);
    uint32_t result = copyJob(path("src"), path("dst"));
    if (!fault.fired()) {
      EXPECT_EQ(0u, result);
      EXPECT_EQ(k - 1, fault.count()) << "the untouched run counts every operation once";
      break;
    }
    // Failures of the closing calls are not examined by the job.
    if (k <= 5) {
      EXPECT_EQ(87u, result) << "operation " << k;
    }
    ASSERT_LT(k, 100u);
  }
  EXPECT_EQ(8u, k);  // seven operations, then the clean run
  EXPECT_EQ("payload", readText(dir_ / "dst"));

  // Without an injector nothing is counted or failed any more.
  EXPECT_EQ(0u, FileSystem::CreateDirectory(path("after")));
}

}  // namespace
