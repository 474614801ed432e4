#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <climits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_fault_injector.h"
#include "platform/file_system_test_util.h"

using namespace fs_test;

namespace {

class FileSystemTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }

  HANDLE open(const std::string& path, uint32_t access, uint32_t creation) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(0u, FileSystem::CreateFile(wide(path), access, 0, creation, handle)) << path;
    return handle;
  }

  uint32_t write(HANDLE handle, const std::string& text) {
    uint32_t written = 0;
    uint32_t result = FileSystem::WriteFile(handle, text.data(), static_cast<uint32_t>(text.size()),
                                            &written, nullptr);
    EXPECT_EQ(result == 0 ? text.size() : written, written);
    return result;
  }

  ScratchDir dir_;
};

TEST_F(FileSystemTest, CreateFileDispositionsAndAccess) {
  std::string path = dir_ / "file";
  ASSERT_TRUE(writeText(path, "old and longer contents"));

  // CREATE_ALWAYS keeps an existing file's bytes until SetEndOfFile cuts them.
  HANDLE h = open(path, GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(0u, write(h, "new"));
  EXPECT_EQ("new and longer contents", readText(path));
  EXPECT_EQ(0u, FileSystem::SetEndOfFile(h));
  EXPECT_EQ("new", readText(path));
  EXPECT_EQ(0u, FileSystem::CloseHandle(h));

  // TRUNCATE_EXISTING empties it at once.
  h = open(path, GENERIC_WRITE | GENERIC_READ, TRUNCATE_EXISTING);
  EXPECT_EQ("", readText(path));
  FileSystem::CloseHandle(h);

  // A read-only handle cannot write, whatever else the mask holds.
  ASSERT_TRUE(writeText(path, "abc"));
  h = open(path, GENERIC_READ | 0x1, OPEN_EXISTING);
  uint32_t written = 7;
  EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE), FileSystem::WriteFile(h, "x", 1, &written, nullptr));
  EXPECT_EQ("abc", readText(path));
  FileSystem::CloseHandle(h);

  // Dispositions other than CREATE_ALWAYS and CREATE_NEW never create: 2,
  // handle untouched.
  for (uint32_t creation : {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
    HANDLE untouched = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(2u, FileSystem::CreateFile(wide(dir_ / "missing"), GENERIC_WRITE, 0, creation,
                                         untouched));
    EXPECT_EQ(2u, FileSystem::GetLastError());
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x1234), untouched);
  }
  EXPECT_FALSE(exists(dir_ / "missing"));

  // CREATE_NEW makes a missing file and refuses any existing name, a
  // dangling link included, leaving it as it was.
  h = open(dir_ / "fresh", GENERIC_WRITE, CREATE_NEW);
  EXPECT_TRUE(exists(dir_ / "fresh"));
  FileSystem::CloseHandle(h);
  for (const char* taken : {"fresh", "dangling"}) {
    HANDLE refused = INVALID_HANDLE_VALUE;
    symlink("nowhere", (dir_ / "dangling").c_str());
    EXPECT_EQ(183u, FileSystem::CreateFile(wide(dir_ / taken), GENERIC_WRITE, 0, CREATE_NEW,
                                           refused));
    EXPECT_EQ(INVALID_HANDLE_VALUE, refused);
  }
  EXPECT_FALSE(exists(dir_ / "nowhere"));

  // CREATE_ALWAYS makes a missing file; a directory cannot be opened for writing.
  h = open(dir_ / "made", GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_TRUE(exists(dir_ / "made"));
  FileSystem::CloseHandle(h);
  HANDLE untouched = INVALID_HANDLE_VALUE;
  EXPECT_EQ(uint32_t(ERROR_DIRECTORY), FileSystem::CreateFile(wide(dir_.path()), GENERIC_WRITE, 0, OPEN_EXISTING,
                                        untouched));
}

TEST_F(FileSystemTest, ReadFileLoopsUntilCountOrEnd) {
  std::string path = dir_ / "data";
  std::string contents(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(writeText(path, contents));

  HANDLE h = open(path, GENERIC_READ, OPEN_EXISTING);
  std::vector<char> buffer(contents.size() + 100);
  uint32_t got = 0;
  EXPECT_EQ(0u, FileSystem::ReadFile(h, buffer.data(), 1024 * 1024, &got, nullptr));
  EXPECT_EQ(1024u * 1024u, got);
  // Asking for more than is left is success with the shorter count.
  EXPECT_EQ(0u, FileSystem::ReadFile(h, buffer.data() + got, 4 * 1024 * 1024, &got, nullptr));
  EXPECT_EQ(contents.size() - 1024 * 1024, got);
  EXPECT_EQ(0, memcmp(contents.data(), buffer.data(), contents.size()));
  // At the end: 0 with a count of 0.
  got = 99;
  EXPECT_EQ(0u, FileSystem::ReadFile(h, buffer.data(), 10, &got, nullptr));
  EXPECT_EQ(0u, got);

  // A null count reads nothing with an overlapped pointer and is 87 without.
  FileSystem::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  EXPECT_EQ(0u, FileSystem::ReadFile(h, buffer.data(), 10, nullptr,
                                     reinterpret_cast<_OVERLAPPED*>(&got)));
  EXPECT_EQ(0u, FileSystem::SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  EXPECT_EQ(87u, FileSystem::ReadFile(h, buffer.data(), 10, nullptr, nullptr));
  EXPECT_EQ(87u, FileSystem::GetLastError());
  FileSystem::CloseHandle(h);
}

TEST_F(FileSystemTest, ReadFileCollectsPiecesFromASlowSource) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  std::thread writer([&] {
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(3, ::write(fds[1], "abc", 3));
      Sleep(5);
    }
    ::close(fds[1]);
  });
  char buffer[32];
  uint32_t got = 0;
  HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fds[0]));
  EXPECT_EQ(0u, FileSystem::ReadFile(h, buffer, 15, &got, nullptr));
  writer.join();
  EXPECT_EQ(15u, got);
  EXPECT_EQ("abcabcabcabcabc", std::string(buffer, got));
  ::close(fds[0]);
}

std::atomic<int> g_interruptions{0};
void countInterruption(int) { ++g_interruptions; }

// Interrupts `target` with a signal that does not restart system calls, so
// that a blocked read or write returns early (EINTR or a partial count).
class Interrupter {
 public:
  explicit Interrupter(pthread_t target) {
    g_interruptions = 0;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = countInterruption;  // no SA_RESTART
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR2, &action, &previous_);
    thread_ = std::thread([target] {
      for (int i = 0; i < 5; ++i) {
        Sleep(10);
        pthread_kill(target, SIGUSR2);
      }
    });
  }
  ~Interrupter() {
    if (thread_.joinable()) thread_.join();
    sigaction(SIGUSR2, &previous_, nullptr);
  }
  void join() { thread_.join(); }

 private:
  struct sigaction previous_;
  std::thread thread_;
};

TEST(FileSystemSignals, ReadAndWriteCarryOnWhenInterrupted) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  HANDLE readEnd = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fds[0]));
  HANDLE writeEnd = reinterpret_cast<HANDLE>(static_cast<intptr_t>(fds[1]));

  // The reader waits while signals arrive; the data comes afterwards.
  {
    Interrupter interrupter(pthread_self());
    std::thread writer([&] {
      Sleep(80);
      ASSERT_EQ(6, ::write(fds[1], "abcdef", 6));
    });
    char buffer[8];
    uint32_t got = 0;
    EXPECT_EQ(0u, FileSystem::ReadFile(readEnd, buffer, 6, &got, nullptr));
    EXPECT_EQ(6u, got);
    writer.join();
    interrupter.join();
    EXPECT_GT(g_interruptions.load(), 0);
  }

  // The writer blocks on a full pipe while signals arrive; a slow reader
  // then drains it. Every byte arrives, in order.
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  std::string received;
  {
    Interrupter interrupter(pthread_self());
    std::thread reader([&] {
      Sleep(80);
      char buffer[65536];
      ssize_t n;
      while (received.size() < data.size() && (n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        received.append(buffer, static_cast<size_t>(n));
    });
    uint32_t written = 0;
    EXPECT_EQ(0u, FileSystem::WriteFile(writeEnd, data.data(), static_cast<uint32_t>(data.size()),
                                        &written, nullptr));
    EXPECT_EQ(data.size(), written);
    ::close(fds[1]);  // the reader stops at the end even when the write failed
    reader.join();
    interrupter.join();
    EXPECT_GT(g_interruptions.load(), 0);
  }
  EXPECT_TRUE(received == data);
  ::close(fds[0]);
}

TEST_F(FileSystemTest, WriteFileReportsEveryFailure) {
  uint32_t written = 5;
  EXPECT_EQ(87u, FileSystem::WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, nullptr));
  EXPECT_EQ(6u, FileSystem::WriteFile(INVALID_HANDLE_VALUE, "x", 1, &written, nullptr));
  EXPECT_EQ(6u, FileSystem::GetLastError());

  // A full device: the write fails and says so, it is never success.
  HANDLE full = INVALID_HANDLE_VALUE;
  if (FileSystem::CreateFile(u"/dev/full", GENERIC_WRITE, 0, OPEN_EXISTING, full) == 0) {
    std::string block(100000, 'z');
    EXPECT_EQ(ERROR_DISK_FULL, FileSystem::WriteFile(full, block.data(), 100000, &written, nullptr));
    EXPECT_LT(written, 100000u);
    EXPECT_EQ(ERROR_DISK_FULL, FileSystem::GetLastError());
    FileSystem::CloseHandle(full);
  }

  // A null count with an overlapped pointer writes nothing.
  std::string path = dir_ / "w";
  HANDLE h = open(path, GENERIC_WRITE, CREATE_ALWAYS);
  EXPECT_EQ(0u, FileSystem::WriteFile(h, "abc", 3, nullptr,
                                      reinterpret_cast<_OVERLAPPED*>(&written)));
  EXPECT_EQ("", readText(path));
  FileSystem::CloseHandle(h);
}

TEST_F(FileSystemTest, SetFilePointerPositionsAndFailures) {
  std::string path = dir_ / "p";
  ASSERT_TRUE(writeText(path, "0123456789"));
  HANDLE h = open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  EXPECT_EQ(10u, FileSystem::SetFilePointer(h, 0, nullptr, FILE_END));
  EXPECT_EQ(4u, FileSystem::SetFilePointer(h, 4, nullptr, FILE_BEGIN));
  EXPECT_EQ(6u, FileSystem::SetFilePointer(h, 2, nullptr, FILE_CURRENT));
  EXPECT_EQ(3u, FileSystem::SetFilePointer(h, -3, nullptr, FILE_CURRENT));
  EXPECT_EQ(8u, FileSystem::SetFilePointer(h, -2, nullptr, FILE_END));
  EXPECT_EQ(5u, FileSystem::SetFilePointer(h, 5, nullptr, 77));  // unknown method: from start

  // Before the start: all ones, the last error tells why, position kept.
  EXPECT_EQ(0xFFFFFFFFu, FileSystem::SetFilePointer(h, -100, nullptr, FILE_CURRENT));
  EXPECT_EQ(87u, FileSystem::GetLastError());
  long high = -1;  // -100 as a 64-bit distance
  EXPECT_EQ(0xFFFFFFFFu, FileSystem::SetFilePointer(h, -100, &high, FILE_BEGIN));
  EXPECT_EQ(-1L, high);
  EXPECT_EQ(5u, FileSystem::SetFilePointer(h, 0, nullptr, FILE_CURRENT));

  // SetEndOfFile cuts at the current position.
  EXPECT_EQ(0u, FileSystem::SetEndOfFile(h));
  EXPECT_EQ("01234", readText(path));
  FileSystem::CloseHandle(h);

  EXPECT_EQ(0xFFFFFFFFu, FileSystem::SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_END));
  EXPECT_EQ(6u, FileSystem::GetLastError());
  EXPECT_EQ(6u, FileSystem::SetEndOfFile(INVALID_HANDLE_VALUE));
}

TEST_F(FileSystemTest, LargeFilesSaturateSizesAndSeekWithHighPart) {
  std::string path = dir_ / "sparse";
  const int64_t kFiveGiB = 5LL << 30;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  if (ftruncate(fd, kFiveGiB) != 0) {
    ::close(fd);
    GTEST_SKIP() << "this file system cannot hold a sparse 5 GiB file";
  }
  ::close(fd);

  uint32_t size = 0;
  EXPECT_EQ(0u, FileSystem::GetFileSize(wide(path), &size));
  EXPECT_EQ(0xFFFFFFFFu, size) << "5 GiB must not look like 1 GiB";

  HANDLE h = open(path, GENERIC_READ, OPEN_EXISTING);
  long high = 0;
  EXPECT_EQ(1u << 30, FileSystem::SetFilePointer(h, 0, &high, FILE_END));
  EXPECT_EQ(1L, high);
  // Without a high part only the low 32 bits come back.
  EXPECT_EQ(1u << 30, FileSystem::SetFilePointer(h, 0, nullptr, FILE_CURRENT));
  // A low part with its top bit set is an unsigned 32-bit value.
  high = 1;
  EXPECT_EQ(0x80000000u, FileSystem::SetFilePointer(h, static_cast<long>(static_cast<int32_t>(0x80000000u)),
                                                    &high, FILE_BEGIN));
  EXPECT_EQ(1L, high);
  // A negative 64-bit distance (high part all ones) moves back.
  high = -1;
  EXPECT_EQ(0x7FFFFFF6u, FileSystem::SetFilePointer(h, -10, &high, FILE_CURRENT));
  EXPECT_EQ(1L, high);
  FileSystem::CloseHandle(h);

  // Just below 4 GiB the size is exact.
  ASSERT_EQ(0, truncate(path.c_str(), 0xFFFFFFFELL));
  EXPECT_EQ(0u, FileSystem::GetFileSize(wide(path), &size));
  EXPECT_EQ(0xFFFFFFFEu, size);
}

TEST_F(FileSystemTest, GetFileSizeFailuresLeaveLastErrorAlone) {
  ASSERT_TRUE(writeText(dir_ / "f", "12345"));
  uint32_t size = 0;
  EXPECT_EQ(0u, FileSystem::GetFileSize(wide(dir_ / "f"), &size));
  EXPECT_EQ(5u, size);
  FileSystem::ms_lastError = 42;
  EXPECT_EQ(1u, FileSystem::GetFileSize(wide(dir_ / "none"), &size));
  EXPECT_EQ(1u, FileSystem::GetFileSize(wide(dir_ / "f"), nullptr));
  EXPECT_EQ(42u, FileSystem::GetLastError());
}

TEST(FileTimeConversion, ExactBeyond2038AndBefore1970) {
  EXPECT_EQ(0, FileTimeToEpoch(EpochToFileTime(0)));
  _FILETIME epoch = EpochToFileTime(0);
  EXPECT_EQ(116444736000000000ULL,
            (static_cast<uint64_t>(epoch.dwHighDateTime) << 32) | epoch.dwLowDateTime);

  // 2100-01-01 00:00:00 UTC, far beyond a 32-bit time.
  const int64_t k2100 = 4102444800LL;
  _FILETIME ft = EpochToFileTime(k2100);
  EXPECT_EQ((k2100 + 11644473600LL) * 10000000ULL,
            (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  for (int64_t t : {k2100, int64_t{2147483647}, int64_t{2147483648LL}, int64_t{-1},
                    int64_t{-315619200} /* 1960 */, int64_t{-11644473600LL} /* 1601 */}) {
    EXPECT_EQ(t, FileTimeToEpoch(EpochToFileTime(t))) << t;
  }
  // Sub-second parts are dropped.
  _FILETIME withFraction = EpochToFileTime(100);
  withFraction.dwLowDateTime += 9999999;
  EXPECT_EQ(100, FileTimeToEpoch(withFraction));
}

TEST_F(FileSystemTest, FileTimesRoundTripInWholeSeconds) {
  std::string path = dir_ / "t";
  ASSERT_TRUE(writeText(path, "x"));
  HANDLE h = open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  for (int64_t t : {int64_t{4102444800LL} /* 2100 */, int64_t{-315619200} /* 1960 */,
                    int64_t{1700000000}}) {
    _FILETIME write = EpochToFileTime(t);
    write.dwLowDateTime += 1234567;  // a fraction the file does not keep
    ASSERT_EQ(0u, FileSystem::SetFileTime(h, nullptr, nullptr, &write));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(t, static_cast<int64_t>(st.st_mtim.tv_sec));
    EXPECT_EQ(0, st.st_mtim.tv_nsec);
    EXPECT_EQ(t, static_cast<int64_t>(st.st_atim.tv_sec));

    _FILETIME creation{}, access{}, lastWrite{};
    EXPECT_EQ(0u, FileSystem::GetFileTime(h, &creation, &access, &lastWrite));
    EXPECT_EQ(t, FileTimeToEpoch(lastWrite));
    EXPECT_EQ(t, FileTimeToEpoch(access));
    EXPECT_EQ(static_cast<int64_t>(st.st_ctim.tv_sec), FileTimeToEpoch(creation));
  }
  EXPECT_EQ(0u, FileSystem::GetFileTime(h, nullptr, nullptr, nullptr));
  // Without a write time nothing changes and the call says so.
  EXPECT_EQ(87u, FileSystem::SetFileTime(h, nullptr, nullptr, nullptr));
  FileSystem::CloseHandle(h);

  _FILETIME any = EpochToFileTime(0);
  EXPECT_EQ(6u, FileSystem::GetFileTime(INVALID_HANDLE_VALUE, &any, nullptr, nullptr));
  EXPECT_EQ(6u, FileSystem::SetFileTime(INVALID_HANDLE_VALUE, nullptr, nullptr, &any));
}

TEST_F(FileSystemTest, CloseHandleTwiceFailsAndSuccessKeepsLastError) {
  HANDLE h = open(dir_ / "c", GENERIC_WRITE, CREATE_ALWAYS);
  FileSystem::ms_lastError = 13;
  EXPECT_EQ(0u, FileSystem::CloseHandle(h));
  EXPECT_EQ(13u, FileSystem::GetLastError());
  EXPECT_EQ(uint32_t(ERROR_INVALID_HANDLE), FileSystem::CloseHandle(h));
}

TEST_F(FileSystemTest, GetTempPathUsesOnlyAnExistingTmpdir) {
  std::u16string result;
  {
    EnvGuard env("TMPDIR", nullptr);
    EXPECT_EQ(0u, FileSystem::GetTempPath(result));
    EXPECT_EQ(u"/tmp/", result);
  }
  {
    EnvGuard env("TMPDIR", "");
    FileSystem::GetTempPath(result);
    EXPECT_EQ(u"/tmp/", result);
  }
  ASSERT_TRUE(writeText(dir_ / "plain", ""));
  {
    EnvGuard env("TMPDIR", (dir_ / "plain").c_str());
    FileSystem::GetTempPath(result);
    EXPECT_EQ(u"/tmp/", result);
  }
  {
    EnvGuard env("TMPDIR", (dir_ / "missing").c_str());
    FileSystem::GetTempPath(result);
    EXPECT_EQ(u"/tmp/", result);
  }
  {
    EnvGuard env("TMPDIR", dir_.path().c_str());
    FileSystem::GetTempPath(result);
    EXPECT_EQ(wide(dir_.path() + "/"), result);
  }
  {
    EnvGuard env("TMPDIR", (dir_.path() + "/").c_str());
    FileSystem::GetTempPath(result);
    EXPECT_EQ(wide(dir_.path() + "/"), result);
  }
}

TEST_F(FileSystemTest, GetTempFileNameLandsInTheGivenDirectory) {
  ScratchDir elsewhere;
  EnvGuard env("TMPDIR", elsewhere.path().c_str());
  std::string target = dir_ / "given dir";
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));

  std::u16string name;
  ASSERT_EQ(0u, FileSystem::GetTempFileName(wide(target), u"Ovanstart", name));
  std::string narrow = utf16_to_utf8(name);
  EXPECT_EQ(target + "/Ovans", narrow.substr(0, narrow.size() - 6)) << narrow;
  EXPECT_TRUE(exists(narrow));
  EXPECT_EQ("", readText(narrow));

  // A trailing slash makes no double slash; a short prefix is kept whole.
  ASSERT_EQ(0u, FileSystem::GetTempFileName(wide(target + "/"), u"odk", name));
  narrow = utf16_to_utf8(name);
  EXPECT_EQ(target + "/odk", narrow.substr(0, narrow.size() - 6)) << narrow;

  // Five characters, not five bytes, of a non-ASCII prefix.
  ASSERT_EQ(0u, FileSystem::GetTempFileName(wide(target), wide("Шаблоны"), name));
  EXPECT_EQ(wide(target + "/Шабло"), name.substr(0, name.size() - 6));
  EXPECT_TRUE(exists(utf16_to_utf8(name)));

  // A missing directory falls back to the temporary directory.
  ASSERT_EQ(0u, FileSystem::GetTempFileName(wide(dir_ / "missing"), u"odk", name));
  EXPECT_EQ(wide(elsewhere.path() + "/odk"), name.substr(0, name.size() - 6));
  EXPECT_TRUE(exists(utf16_to_utf8(name)));
  EXPECT_FALSE(exists(dir_ / "missing"));
}

TEST_F(FileSystemTest, GetTempFileNameNeverReusesAName) {
  // Files that already exist keep their contents; every new name is new.
  std::set<std::u16string> names;
  for (int i = 0; i < 300; ++i) {
    std::u16string name;
    ASSERT_EQ(0u, FileSystem::GetTempFileName(wide(dir_.path()), u"n", name));
    EXPECT_TRUE(names.insert(name).second) << utf16_to_utf8(name);
    ASSERT_TRUE(writeText(utf16_to_utf8(name), "taken"));
  }
  for (const std::u16string& name : names) EXPECT_EQ("taken", readText(utf16_to_utf8(name)));
}

TEST(FileSystemTempName, UnwritableDirectoryGives1013AndNoName) {
  // /proc refuses new files even to the superuser.
  std::u16string name = u"stale";
  EXPECT_EQ(1013u, FileSystem::GetTempFileName(u"/proc", u"odk", name));
  EXPECT_EQ(u"", name);
  EXPECT_EQ(1013u, FileSystem::GetLastError());
}

TEST_F(FileSystemTest, FreeSpaceIsWhatAUserMayWriteAndSaturates) {
  EXPECT_EQ(87u, FileSystem::GetFreeSpaceTmpDir(nullptr));

  for (const char* tmp : {dir_.path().c_str(), "/dev/shm"}) {
    EnvGuard env("TMPDIR", tmp);
    struct statvfs vfs;
    if (statvfs(tmp, &vfs) != 0) continue;
    uint32_t free = 7;
    ASSERT_EQ(0u, FileSystem::GetFreeSpaceTmpDir(&free));
    uint64_t expected = static_cast<uint64_t>(vfs.f_frsize) * vfs.f_bavail;
    if (expected > 0xFFFFFFFFULL) expected = 0xFFFFFFFFULL;
    // Other processes write meanwhile; the value must be near f_bavail's.
    EXPECT_NEAR(static_cast<double>(expected), static_cast<double>(free), 64.0 * 1024 * 1024)
        << tmp;
    if (static_cast<uint64_t>(vfs.f_frsize) * vfs.f_bavail > (5ULL << 30)) {
      EXPECT_EQ(0xFFFFFFFFu, free) << tmp << ": a large free space must not wrap";
    }
  }
}

TEST_F(FileSystemTest, FreeSpaceOfAnyPathAndAFailedLookIsAnError) {
  uint64_t free = 7;
  ASSERT_EQ(0u, FileSystem::GetFreeSpace(wide(dir_.path()), free));
  struct statvfs vfs;
  ASSERT_EQ(0, statvfs(dir_.path().c_str(), &vfs));
  // Not saturated at 4 GiB, and near what the system says (others write).
  EXPECT_NEAR(double(uint64_t(vfs.f_frsize) * vfs.f_bavail), double(free), 64.0 * 1024 * 1024);
  // A path that cannot be asked gives its error and no space at all, never
  // a success the caller would take for "nothing free".
  free = 7;
  EXPECT_EQ(2u, FileSystem::GetFreeSpace(wide(dir_ / "missing"), free));
  EXPECT_EQ(0u, free);
  ASSERT_TRUE(writeText(dir_ / "file", ""));
  EXPECT_EQ(ERROR_NOT_A_FOLDER, FileSystem::GetFreeSpace(wide(dir_ / "file/below"), free));
  EXPECT_EQ(2u, FileSystem::GetFreeSpace(u"", free));
}

TEST_F(FileSystemTest, CreateDirectoryMakesParentsLikeMkdirP) {
  std::string deep = dir_ / "a/b//c/d/";
  EXPECT_EQ(0u, FileSystem::CreateDirectory(wide(deep)));
  EXPECT_TRUE(isDir(dir_ / "a/b/c/d"));
  EXPECT_EQ(0u, FileSystem::CreateDirectory(wide(dir_ / "a/b")));  // exists: success
  EXPECT_EQ(0u, FileSystem::GetLastError());

  ASSERT_TRUE(writeText(dir_ / "file", "keep"));
  // A file in the way is named as such, not as "not found".
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS), FileSystem::CreateDirectory(wide(dir_ / "file")));
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS), FileSystem::GetLastError());
  EXPECT_EQ(uint32_t(ERROR_ALREADY_EXISTS), FileSystem::CreateDirectory(wide(dir_ / "file/sub")));
  EXPECT_EQ("keep", readText(dir_ / "file"));
  EXPECT_EQ(2u, FileSystem::CreateDirectory(u""));

  // A link to a directory counts as the directory.
  ASSERT_EQ(0, symlink((dir_ / "a").c_str(), (dir_ / "link").c_str()));
  EXPECT_EQ(0u, FileSystem::CreateDirectory(wide(dir_ / "link/new")));
  EXPECT_TRUE(isDir(dir_ / "a/new"));
}

TEST_F(FileSystemTest, RemoveDirectoryRemovesTheTreeButNeverFollowsLinks) {
  ScratchDir outside;
  ASSERT_TRUE(writeText(outside / "precious", "outside"));
  ASSERT_EQ(0, mkdir((outside / "sub").c_str(), 0755));
  ASSERT_TRUE(writeText(outside / "sub/deep", "outside too"));

  std::string tree = dir_ / "tree";
  ASSERT_EQ(0u, FileSystem::CreateDirectory(wide(tree + "/x/y/z")));
  ASSERT_TRUE(writeText(tree + "/x/y/z/file", "1"));
  ASSERT_TRUE(writeText(tree + "/.hidden", "2"));
  ASSERT_TRUE(writeText(tree + "/x/not utf-8 \xff", "3"));
  ASSERT_EQ(0, mkdir((tree + "/x/empty").c_str(), 0755));
  ASSERT_EQ(0, symlink(outside.path().c_str(), (tree + "/x/to-outside").c_str()));
  ASSERT_EQ(0, symlink((outside / "precious").c_str(), (tree + "/to-file").c_str()));
  ASSERT_EQ(0, symlink("/nowhere/at/all", (tree + "/dangling").c_str()));

  // A folder of many entries is shared between two threads: links among
  // them, on either half, are still only links.
  for (int i = 0; i < 40; ++i) {
    const std::string name = tree + "/x/wide/" + std::to_string(i);
    if (i % 4 == 0) {
      ASSERT_EQ(0u, FileSystem::CreateDirectory(wide(name + "/inner")));
      ASSERT_TRUE(writeText(name + "/inner/file", "deep"));
    } else if (i % 4 == 1) {
      ASSERT_EQ(0, symlink(outside.path().c_str(), name.c_str()));
    } else if (i % 4 == 2) {
      ASSERT_EQ(0, symlink((outside / "precious").c_str(), name.c_str()));
    } else {
      ASSERT_TRUE(writeText(name, "file"));
    }
  }

  EXPECT_EQ(0u, FileSystem::RemoveDirectory(wide(tree + "/")));
  EXPECT_EQ(0u, FileSystem::GetLastError());
  EXPECT_FALSE(exists(tree));
  EXPECT_EQ("outside", readText(outside / "precious"));
  EXPECT_EQ("outside too", readText(outside / "sub/deep"));

  // A link given directly, even with a trailing slash, goes as a link.
  ASSERT_EQ(0, symlink(outside.path().c_str(), (dir_ / "direct").c_str()));
  EXPECT_EQ(0u, FileSystem::RemoveDirectory(wide(dir_ / "direct/")));
  EXPECT_FALSE(exists(dir_ / "direct"));
  EXPECT_EQ("outside", readText(outside / "precious"));

  // A plain file goes; a missing path is success.
  ASSERT_TRUE(writeText(dir_ / "plain", ""));
  EXPECT_EQ(0u, FileSystem::RemoveDirectory(wide(dir_ / "plain")));
  EXPECT_FALSE(exists(dir_ / "plain"));
  EXPECT_EQ(0u, FileSystem::RemoveDirectory(wide(dir_ / "plain")));
  EXPECT_EQ(0u, FileSystem::GetLastError());
}

TEST_F(FileSystemTest, RemoveDirectoryRefusesDotAndDotDot) {
  ASSERT_EQ(0, mkdir((dir_ / "sub").c_str(), 0755));
  ASSERT_TRUE(writeText(dir_ / "sub/f", "kept"));
  // Refused, and said so.
  EXPECT_EQ(87u, FileSystem::RemoveDirectory(wide(dir_ / "sub/.")));
  EXPECT_EQ(87u, FileSystem::GetLastError());
  EXPECT_EQ(87u, FileSystem::RemoveDirectory(wide(dir_ / "sub/x/..")));
  EXPECT_EQ(87u, FileSystem::RemoveDirectory(wide(dir_ / "sub/..")));
  EXPECT_EQ("kept", readText(dir_ / "sub/f"));
}

TEST_F(FileSystemTest, MoveFileRenamesAndReplaces) {
  ASSERT_TRUE(writeText(dir_ / "a", "A"));
  ASSERT_TRUE(writeText(dir_ / "b", "B"));
  EXPECT_EQ(0u, FileSystem::MoveFile(wide(dir_ / "a"), wide(dir_ / "b")));
  EXPECT_FALSE(exists(dir_ / "a"));
  EXPECT_EQ("A", readText(dir_ / "b"));

  // A missing source is 2 ("nothing there").
  EXPECT_EQ(2u, FileSystem::MoveFile(wide(dir_ / "a"), wide(dir_ / "c")));
  EXPECT_EQ(2u, FileSystem::GetLastError());

  // A missing destination folder is a real failure, not "nothing there":
  // the source stays.
  EXPECT_EQ(uint32_t(ERROR_PATH_NOT_FOUND), FileSystem::MoveFile(wide(dir_ / "b"), wide(dir_ / "no/dir/c")));
  EXPECT_EQ("A", readText(dir_ / "b"));
  // So is a directory in the way.
  ASSERT_EQ(0, mkdir((dir_ / "d").c_str(), 0755));
  ASSERT_TRUE(writeText(dir_ / "d/inside", "i"));
  EXPECT_EQ(uint32_t(ERROR_DIRECTORY), FileSystem::MoveFile(wide(dir_ / "b"), wide(dir_ / "d")));
  EXPECT_EQ("A", readText(dir_ / "b"));
  EXPECT_EQ("i", readText(dir_ / "d/inside"));

  // Directories move within a file system.
  EXPECT_EQ(0u, FileSystem::MoveFile(wide(dir_ / "d"), wide(dir_ / "e")));
  EXPECT_EQ("i", readText(dir_ / "e/inside"));
}

// The device of the directory holding `path`.
dev_t deviceOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

TEST_F(FileSystemTest, MoveFileAcrossFileSystemsKeepsModeAndTimes) {
  if (!isDir("/dev/shm") || deviceOf("/dev/shm") == deviceOf(dir_.path()))
    GTEST_SKIP() << "needs /dev/shm on a file system other than " << dir_.path()
                 << "; this machine has a single file system";
  ScratchDir other("/dev/shm");
  ASSERT_TRUE(other.ok());

  std::string source = dir_ / "moved file";
  std::string contents(300000, 'q');
  ASSERT_TRUE(writeText(source, contents));
  ASSERT_EQ(0, chmod(source.c_str(), 0751));
  struct timespec times[2] = {{1000000000, 0}, {4102444800LL, 123456789}};  // mtime 2100
  ASSERT_EQ(0, utimensat(AT_FDCWD, source.c_str(), times, 0));
  ASSERT_TRUE(writeText(other / "target", "old target, to be replaced"));

  EXPECT_EQ(0u, FileSystem::MoveFile(wide(source), wide(other / "target")));
  EXPECT_FALSE(exists(source));
  struct stat st;  // taken before reading, which may touch the access time
  ASSERT_EQ(0, stat((other / "target").c_str(), &st));
  EXPECT_EQ(contents, readText(other / "target"));
  EXPECT_EQ(0751u, st.st_mode & 07777);
  EXPECT_EQ(4102444800LL, static_cast<int64_t>(st.st_mtim.tv_sec));
  EXPECT_EQ(123456789, st.st_mtim.tv_nsec);
  EXPECT_EQ(1000000000, st.st_atim.tv_sec);

  // And back, into a folder with no leftovers from the copy.
  EXPECT_EQ(0u, FileSystem::MoveFile(wide(other / "target"), wide(dir_ / "back")));
  EXPECT_EQ(contents, readText(dir_ / "back"));
  EXPECT_FALSE(exists(other / "target"));
  {
    int entries = 0;
    DIR* d = opendir(other.path().c_str());
    while (struct dirent* e = readdir(d))
      entries += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    EXPECT_EQ(0, entries);
  }

  // A name as long as the file system allows still moves.
  std::string longName(255, 'n');
  ASSERT_TRUE(writeText(dir_ / longName, "long"));
  EXPECT_EQ(0u, FileSystem::MoveFile(wide(dir_ / longName), wide(other / longName)));
  EXPECT_EQ("long", readText(other / longName));

  // A link moves as a link; a missing destination folder leaves the source.
  ASSERT_EQ(0, symlink("some/where", (dir_ / "link").c_str()));
  EXPECT_EQ(0u, FileSystem::MoveFile(wide(dir_ / "link"), wide(other / "link")));
  char buffer[64] = {};
  EXPECT_EQ(10, readlink((other / "link").c_str(), buffer, sizeof buffer - 1));
  EXPECT_STREQ("some/where", buffer);
  EXPECT_EQ(uint32_t(ERROR_PATH_NOT_FOUND),
            FileSystem::MoveFile(wide(dir_ / "back"), wide(other / "no/such/dir")));
  EXPECT_EQ(contents, readText(dir_ / "back"));
}

TEST_F(FileSystemTest, ReadLinkGivesTheLinksTextAndRefusesWhatIsNoLink) {
  ASSERT_EQ(0, symlink("some/where/else", (dir_ / "l").c_str()));
  ASSERT_TRUE(writeText(dir_ / "f", "a file"));
  std::u16string target;
  EXPECT_EQ(0u, FileSystem::ReadLink(wide(dir_ / "l"), target));
  EXPECT_EQ(u"some/where/else", target);
  EXPECT_EQ(87u, FileSystem::ReadLink(wide(dir_ / "f"), target));
  EXPECT_TRUE(target.empty());
  EXPECT_EQ(2u, FileSystem::ReadLink(wide(dir_ / "missing"), target));
}

TEST_F(FileSystemTest, DeleteFileRemovesFilesAndLinksOnly) {
  ScratchDir outside;
  ASSERT_TRUE(writeText(outside / "target", "kept"));
  ASSERT_TRUE(writeText(dir_ / "f", ""));
  ASSERT_EQ(0, symlink((outside / "target").c_str(), (dir_ / "l").c_str()));
  ASSERT_EQ(0, mkdir((dir_ / "d").c_str(), 0755));
  ASSERT_TRUE(writeText(dir_ / "d/inner", "kept"));

  EXPECT_EQ(0u, FileSystem::DeleteFile(wide(dir_ / "f")));
  EXPECT_FALSE(exists(dir_ / "f"));
  EXPECT_EQ(0u, FileSystem::DeleteFile(wide(dir_ / "l")));
  EXPECT_FALSE(exists(dir_ / "l"));
  EXPECT_EQ("kept", readText(outside / "target"));
  EXPECT_EQ(0u, FileSystem::DeleteFile(wide(dir_ / "f")));  // missing: fine
  EXPECT_EQ(0u, FileSystem::GetLastError());
  // A directory is left whole, and the failure returned.
  EXPECT_EQ(uint32_t(ERROR_DIRECTORY), FileSystem::DeleteFile(wide(dir_ / "d")));
  EXPECT_EQ(uint32_t(ERROR_DIRECTORY), FileSystem::GetLastError());
  EXPECT_EQ("kept", readText(dir_ / "d/inner"));
}

TEST(ErrorMapping, EveryCauseTheUserIsToldKeepsItsOwnNumber) {
  EXPECT_EQ(2u, setLastErrorByErrNo(ENOENT));
  EXPECT_EQ(2u, FileSystem::GetLastError());
  // The causes the wizard names in its own words.
  EXPECT_EQ(5u, errorFromErrNo(EACCES));
  EXPECT_EQ(5u, errorFromErrNo(EPERM));
  EXPECT_EQ(19u, errorFromErrNo(EROFS));
  EXPECT_EQ(206u, errorFromErrNo(ENAMETOOLONG));
  EXPECT_EQ(267u, errorFromErrNo(EISDIR));
  EXPECT_EQ(ERROR_NOT_A_FOLDER, errorFromErrNo(ENOTDIR));
  // A full disk is told apart, so that the user hears about space.
  EXPECT_EQ(112u, errorFromErrNo(ENOSPC));
  EXPECT_EQ(112u, errorFromErrNo(EDQUOT));
  // The numbers the single-step operations need to tell their callers.
  EXPECT_EQ(6u, errorFromErrNo(EBADF));
  EXPECT_EQ(17u, errorFromErrNo(EXDEV));
  EXPECT_EQ(33u, errorFromErrNo(EWOULDBLOCK));
  EXPECT_EQ(145u, errorFromErrNo(ENOTEMPTY));
  EXPECT_EQ(183u, errorFromErrNo(EEXIST));
  EXPECT_EQ(87u, errorFromErrNo(EINVAL));
  // No errno at all is never a success.
  EXPECT_EQ(87u, errorFromErrNo(0));
  // Anything else keeps the system's number, never success and never a
  // Win32 number it would be mistaken for.
  for (int e : {EIO, ELOOP, EMFILE, ETXTBSY}) {
    const uint32_t error = setLastErrorByErrNo(e);
    EXPECT_EQ(error, FileSystem::GetLastError());
    EXPECT_TRUE(is_system_error(error)) << e;
    EXPECT_EQ(e, errno_of_system_error(error));
  }
  EXPECT_FALSE(is_system_error(ERROR_CANCELLED));
  EXPECT_FALSE(is_system_error(ERROR_SUCCESS));
}

TEST_F(FileSystemTest, LastErrorBelongsToTheCallingThread) {
  HANDLE h = INVALID_HANDLE_VALUE;
  EXPECT_EQ(2u, FileSystem::CreateFile(wide(dir_ / "missing"), GENERIC_READ, 0, OPEN_EXISTING, h));
  uint32_t otherThreads = 99;
  std::thread other([&] {
    std::u16string text;
    otherThreads = FileSystem::GetLastError();  // nothing failed here yet
    FileSystem::GetTempPath(text);  // a success clears its own thread's
    EXPECT_EQ(2u, FileSystem::ReadLink(wide(dir_ / "gone"), text));
  });
  other.join();
  EXPECT_EQ(0u, otherThreads);
  EXPECT_EQ(2u, FileSystem::GetLastError());
  FileSystem::SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN);
  EXPECT_EQ(6u, FileSystem::GetLastError());
}

TEST_F(FileSystemTest, ListDirectoryNamesEveryEntryWithWhatStandsThere) {
  ASSERT_TRUE(writeText(dir_ / "file", ""));
  ASSERT_EQ(0, mkdir((dir_ / "sub").c_str(), 0755));
  ASSERT_EQ(0, symlink((dir_ / "sub").c_str(), (dir_ / "to-sub").c_str()));
  ASSERT_EQ(0, symlink("/nowhere", (dir_ / "dangling").c_str()));
  ASSERT_EQ(0, mkfifo((dir_ / "fifo").c_str(), 0600));
  ASSERT_TRUE(writeText(dir_ / "bad \xff name", ""));
  std::vector<DirectoryEntry> entries;
  ASSERT_EQ(0u, FileSystem::ListDirectory(wide(dir_.path()), entries));
  std::map<std::u16string, FileKind> found;
  for (const DirectoryEntry& entry : entries) EXPECT_TRUE(found.emplace(entry.name, entry.kind).second);
  // A name without a wide form is left out; links are themselves.
  const std::map<std::u16string, FileKind> expected = {
      {u".", FileKind::kDirectory},    {u"..", FileKind::kDirectory},
      {u"file", FileKind::kRegular},   {u"sub", FileKind::kDirectory},
      {u"to-sub", FileKind::kSymbolicLink}, {u"dangling", FileKind::kSymbolicLink},
      {u"fifo", FileKind::kOther}};
  EXPECT_EQ(expected, found);

  EXPECT_EQ(2u, FileSystem::ListDirectory(wide(dir_ / "missing"), entries));
  EXPECT_TRUE(entries.empty());
  EXPECT_EQ(ERROR_NOT_A_FOLDER, FileSystem::ListDirectory(wide(dir_ / "file"), entries));
  EXPECT_EQ(ERROR_NOT_A_FOLDER, FileSystem::GetLastError());
}

TEST_F(FileSystemTest, MapFileGivesTheBytesAndRefusesWhatCannotBeMapped) {
  ASSERT_TRUE(writeText(dir_ / "f", "mapped bytes"));
  HANDLE h = open(dir_ / "f", GENERIC_READ, OPEN_EXISTING);
  const uint8_t* data = nullptr;
  ASSERT_EQ(0u, FileSystem::MapFile(h, 12, data));
  ASSERT_NE(nullptr, data);
  EXPECT_EQ("mapped bytes", std::string(reinterpret_cast<const char*>(data), 12));
  // The mapping outlives the handle, as the kit reader relies on.
  EXPECT_EQ(0u, FileSystem::CloseHandle(h));
  EXPECT_EQ('m', data[0]);
  FileSystem::UnmapFile(data, 12);
  FileSystem::UnmapFile(nullptr, 12);  // nothing mapped: nothing to do

  h = open(dir_ / "f", GENERIC_READ, OPEN_EXISTING);
  EXPECT_EQ(87u, FileSystem::MapFile(h, 0, data));
  EXPECT_EQ(nullptr, data);
  FileSystem::CloseHandle(h);
  EXPECT_EQ(6u, FileSystem::MapFile(INVALID_HANDLE_VALUE, 12, data));
  // A folder has no bytes to map.
  h = open(dir_.path(), GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(0u, FileSystem::MapFile(h, 4096, data));
  EXPECT_EQ(nullptr, data);
  FileSystem::CloseHandle(h);
}

TEST_F(FileSystemTest, CurrentDirectoryIsTheProcessesOwn) {
  char before[PATH_MAX];
  ASSERT_NE(nullptr, getcwd(before, sizeof before));
  ASSERT_EQ(0, chdir(dir_.path().c_str()));
  std::u16string current;
  const uint32_t result = FileSystem::GetCurrentDirectory(current);
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(dir_.path().c_str(), real));
  // A current directory that was removed has no name any more.
  ASSERT_EQ(0, mkdir((dir_ / "gone").c_str(), 0755));
  ASSERT_EQ(0, chdir((dir_ / "gone").c_str()));
  ASSERT_EQ(0, rmdir((dir_ / "gone").c_str()));
  std::u16string gone = u"stale";
  const uint32_t goneResult = FileSystem::GetCurrentDirectory(gone);
  ASSERT_EQ(0, chdir(before));
  EXPECT_EQ(0u, result);
  EXPECT_EQ(wide(real), current);
  EXPECT_EQ(2u, goneResult);
  EXPECT_EQ(u"", gone);
}

}  // namespace

namespace {

bool sameAnswer(uint32_t resultA, const FileStatus& a, uint32_t resultB, const FileStatus& b) {
  return resultA == resultB && a.kind == b.kind && a.size == b.size && a.inode == b.inode &&
         a.mode == b.mode && a.times.writeSeconds == b.times.writeSeconds;
}

}  // namespace

// Looked up from the open folder (and the open folders below it, as many
// as may be open), every path gets the answer a walk of the whole path
// gives: files, links followed or not, what is missing, a file or a
// dangling link where a folder should be, paths beside the folder and the
// folder itself.
TEST_F(FileSystemTest, FolderLookupAnswersAsAWalkOfTheWholePath) {
  const std::string top = dir_ / "top";
  ASSERT_EQ(0, mkdir(top.c_str(), 0755));
  ASSERT_EQ(0, mkdir((top + "/sub").c_str(), 0755));
  ASSERT_TRUE(writeText(top + "/sub/file", "12345"));
  ASSERT_TRUE(writeText(top + "/plain", "1"));
  ASSERT_EQ(0, symlink("sub/file", (top + "/link").c_str()));
  ASSERT_EQ(0, symlink("/nowhere", (top + "/dangling").c_str()));
  ASSERT_EQ(0, symlink((dir_ / "top").c_str(), (top + "/loop").c_str()));
  ASSERT_TRUE(writeText(dir_ / "beside", "beside"));
  const std::vector<std::string> paths = {
      top + "/sub/file", top + "/plain", top + "/link", top + "/dangling", top + "/missing",
      top + "/gone/file", top + "/plain/file", top + "/sub", top + "/sub/", top + "/loop/sub/file",
      top + "/sub/../plain", top, dir_ / "beside", dir_ / "nothing", top + "x/file",
      top + "/dangling/file", top + "/link/file", top + "/loop/link", top + "/sub//file"};
  for (size_t openFolders : {size_t(0), size_t(1), FolderStatusLookup::defaultMaxOpenFolders()})
  for (const std::string& folder : {top, top + "/", top + "/sub", dir_ / "missing-folder"}) {
    FolderStatusLookup lookup(wide(folder), openFolders);
    for (int round = 0; round < 2; ++round) {
      for (const std::string& path : paths) {
        for (bool follow : {false, true}) {
          FileStatus walked, looked;
          const uint32_t walkResult = FileSystem::GetFileStatus(wide(path), follow, walked);
          const uint32_t lookResult = lookup.status(wide(path), follow, looked);
          EXPECT_TRUE(sameAnswer(walkResult, walked, lookResult, looked))
              << folder << " " << path << (follow ? " followed" : "") << ": " << walkResult << " "
              << lookResult;
          EXPECT_EQ(lookResult, FileSystem::GetLastError());
        }
      }
      lookup.forget();
    }
  }
}

// The folder is opened once: renamed meanwhile, it is still seen where it
// was opened until the lookup forgets it; a fault hook is asked first.
TEST_F(FileSystemTest, FolderLookupKeepsItsFolderUntilItForgetsIt) {
  const std::string top = dir_ / "top";
  ASSERT_EQ(0, mkdir(top.c_str(), 0755));
  ASSERT_TRUE(writeText(top + "/file", "abc"));
  FolderStatusLookup lookup(wide(top));
  FileStatus status;
  ASSERT_EQ(0u, lookup.status(wide(top + "/file"), false, status));
  ASSERT_EQ(FileKind::kRegular, status.kind);
  ASSERT_EQ(0, rename(top.c_str(), (dir_ / "moved").c_str()));
  EXPECT_EQ(0u, lookup.status(wide(top + "/file"), false, status));
  EXPECT_EQ(3u, status.size);
  lookup.forget();
  EXPECT_EQ(0u, lookup.status(wide(top + "/file"), false, status));
  EXPECT_FALSE(status.exists());

  FileFaultInjector fault(1, errorFromErrNo(EIO));
  fault.only({FileOp::GetFileStatus});
  EXPECT_EQ(errorFromErrNo(EIO), lookup.status(wide(dir_ / "moved/file"), false, status));
  EXPECT_FALSE(status.exists());
}

// Looking ahead on a second thread changes no answer and no order: every
// path gets what a walk of it gives, whichever of the two looked, also
// paths skipped, asked twice or not among those looked ahead at; the fault
// hook is asked by the caller, in its order.
TEST_F(FileSystemTest, FolderLookupLookingAheadAnswersAsItWouldItself) {
  const std::string top = dir_ / "top";
  ASSERT_EQ(0, mkdir(top.c_str(), 0755));
  std::vector<std::u16string> paths;
  for (int i = 0; i < 3000; ++i) {
    const std::string folder = top + "/d" + std::to_string(i % 40);
    mkdir(folder.c_str(), 0755);
    const std::string path = folder + "/f" + std::to_string(i);
    if (i % 11 == 0) {
      ASSERT_EQ(0, symlink("f0", path.c_str()));
    } else if (i % 3 == 0) {
      ASSERT_TRUE(writeText(path, std::string(size_t(i % 7), 'x')));
    }
    paths.push_back(wide(i % 13 == 0 ? top + "/gone/f" : path));
  }
  ASSERT_TRUE(writeText(top + "/plain", "p"));
  paths.push_back(wide(top + "/plain/f"));
  paths.push_back(wide(dir_ / "beside"));
  for (int round = 0; round < 3; ++round) {
    FolderStatusLookup lookup(wide(top), round == 0 ? 0 : FolderStatusLookup::defaultMaxOpenFolders());
    lookup.lookAheadAt(paths);
    for (size_t slot = 0; slot < paths.size(); ++slot) {
      if (round == 2 && slot % 5 == 0) continue;  // not looked at by the planner
      FileStatus walked, looked;
      const uint32_t walkResult = FileSystem::GetFileStatus(paths[slot], false, walked);
      const uint32_t lookResult = lookup.status(paths[slot], false, looked, slot);
      ASSERT_TRUE(sameAnswer(walkResult, walked, lookResult, looked)) << narrow_lib(paths[slot]);
      if (slot % 97 == 0) {
        ASSERT_EQ(lookResult, lookup.status(paths[slot], false, looked, slot));  // asked twice
        ASSERT_EQ(lookResult, lookup.status(paths[slot], false, looked, slot + 1));  // another's slot
      }
    }
  }
  std::vector<uint32_t> walkResults(paths.size());
  std::vector<FileStatus> walked(paths.size());
  for (size_t slot = 0; slot < paths.size(); ++slot)
    walkResults[slot] = FileSystem::GetFileStatus(paths[slot], false, walked[slot]);
  FolderStatusLookup lookup(wide(top));
  lookup.lookAheadAt(paths);
  usleep(2000);  // the helper is well ahead
  FileFaultInjector fault(1500, errorFromErrNo(EIO));
  fault.only({FileOp::GetFileStatus});
  for (size_t slot = 0; slot < paths.size(); ++slot) {
    FileStatus looked;
    const uint32_t result = lookup.status(paths[slot], false, looked, slot);
    if (slot + 1 == 1500)
      EXPECT_EQ(errorFromErrNo(EIO), result);
    else
      EXPECT_TRUE(sameAnswer(walkResults[slot], walked[slot], result, looked)) << slot;
  }
}

// The owner's read bit answers for the owner; anything else is asked of the
// system, and the fault layer can refuse either.
TEST_F(FileSystemTest, ReadAccessOfTheOwnersFileNeedsNoQuestion) {
  ASSERT_TRUE(writeText(dir_ / "mine", "x"));
  FileStatus seen;
  ASSERT_EQ(0u, FileSystem::GetFileStatus(wide(dir_ / "mine"), false, seen));
  EXPECT_EQ(0u, FileSystem::CheckReadAccess(wide(dir_ / "mine"), seen));
  // Not the owner's: the system decides, and a missing file is no file.
  FileStatus other = seen;
  other.owner = seen.owner + 1;
  EXPECT_EQ(0u, FileSystem::CheckReadAccess(wide(dir_ / "mine"), other));
  EXPECT_EQ(2u, FileSystem::CheckReadAccess(wide(dir_ / "gone"), other));
  {
    FileFaultInjector fault(1, ERROR_ACCESS_DENIED);
    fault.only({FileOp::CheckAccess});
    EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), FileSystem::CheckReadAccess(wide(dir_ / "mine"), seen));
  }
}
