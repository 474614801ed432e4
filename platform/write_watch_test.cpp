#include "platform/write_watch.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/file_system_test_util.h"

namespace {

using fs_test::ScratchDir;

// Reading, renaming and replacing the name are no writes; a write through
// any name, a cut, and a writer that only maps the file are.
TEST(WriteWatchTest, SeesEveryWriteToTheFileAndNothingElse) {
  ScratchDir scratch;
  const std::string path = scratch / "kit", other = scratch / "other", second = scratch / "second name";
  const auto opened = [&] {
    fs_test::writeText(path, "the checked bytes");
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(0u, FileSystem::CreateFile(fs_test::wide(path), GENERIC_READ, 0, OPEN_EXISTING, handle));
    return handle;
  };
  const auto writes = [&](const char* what, const std::function<void()>& change) {
    SCOPED_TRACE(what);
    HANDLE handle = opened();
    WriteWatch watch;
    EXPECT_TRUE(watch.start(handle));
    char byte;
    EXPECT_EQ(1, pread(int(reinterpret_cast<intptr_t>(handle)), &byte, 1, 0));
    change();
    const bool written = watch.written();
    FileSystem::CloseHandle(handle);
    return written;
  };
  EXPECT_FALSE(writes("nothing", [] {}));
  EXPECT_FALSE(writes("renamed, and another file in its place", [&] {
    fs_test::writeText(other, "another kit");
    ASSERT_EQ(0, rename(path.c_str(), (scratch / "moved").c_str()));
    ASSERT_EQ(0, rename(other.c_str(), path.c_str()));
  }));
  EXPECT_TRUE(writes("written over in place", [&] {
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(3, pwrite(fd, "the", 3, 0));  // the same bytes
    close(fd);
  }));
  EXPECT_TRUE(writes("through a second name", [&] {
    ASSERT_EQ(0, link(path.c_str(), second.c_str()));
    fs_test::writeText(second, "other bytes");
    unlink(second.c_str());
  }));
  EXPECT_TRUE(writes("cut", [&] { ASSERT_EQ(0, truncate(path.c_str(), 3)); }));
  EXPECT_TRUE(writes("written through a mapping", [&] {
    const int fd = open(path.c_str(), O_RDWR);
    void* map = mmap(nullptr, 3, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(MAP_FAILED, map);
    static_cast<char*>(map)[0] = 'T';
    munmap(map, 3);
    close(fd);
  }));
  // Without a start nothing can be vouched for.
  WriteWatch unstarted;
  EXPECT_TRUE(unstarted.written());
}

}  // namespace
