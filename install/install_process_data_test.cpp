#include "install/install_process_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/text.h"

namespace {

TEST(InstallProcessDataTest, NewStateIsEmpty) {
  InstallProcessData data;
  uint32_t code = 99;
  std::u16string message = u"x";
  int progress = 99;
  data.getInstallState(code, message, progress);
  EXPECT_EQ(0u, code);
  EXPECT_EQ(u"", message);
  EXPECT_EQ(0, progress);
  EXPECT_FALSE(data.isCancelled());
  KitReader* kit = reinterpret_cast<KitReader*>(1);
  std::u16string directory = u"x";
  data.get(kit, directory);
  EXPECT_EQ(nullptr, kit);
  EXPECT_EQ(u"", directory);
}

TEST(InstallProcessDataTest, InitAddsASeparatorOnlyWhereOneIsMissing) {
  InstallProcessData data;
  KitReader reader;
  struct Case {
    std::u16string given, stored;
  } cases[] = {{u"/home/u/templates", u"/home/u/templates/"},
               {u"/home/u/templates/", u"/home/u/templates/"},
               {u"C:\\templates\\", u"C:\\templates\\"},
               {u"", u""}};
  for (const Case& c : cases) {
    data.init(&reader, c.given);
    KitReader* kit = nullptr;
    std::u16string directory;
    data.get(kit, directory);
    EXPECT_EQ(&reader, kit);
    EXPECT_EQ(c.stored, directory);
  }
}

TEST(InstallProcessDataTest, InitClearsTheRunButKeepsTheMessage) {
  InstallProcessData data;
  data.setInstallState(87, u"Installation error", 30);
  data.setCancel(true);
  data.init(nullptr, u"/t");
  uint32_t code;
  std::u16string message;
  int progress;
  data.getInstallState(code, message, progress);
  EXPECT_EQ(0u, code);
  EXPECT_EQ(u"Installation error", message);
  EXPECT_EQ(0, progress);
  EXPECT_FALSE(data.isCancelled());
  data.setCancel(true);
  EXPECT_TRUE(data.isCancelled());
  data.setCancel(false);
  EXPECT_FALSE(data.isCancelled());
}

// The reader never sees the code of one report with the message or the
// percentage of another.
TEST(InstallProcessDataTest, StateIsReadAsOneReport) {
  InstallProcessData data;
  std::atomic<bool> done(false);
  std::thread writer([&] {
    for (int i = 1; i <= 20000; ++i)
      data.setInstallState(uint32_t(i), string_ito(i, 10) + u"/a/long/enough/path/name.txt", i);
    done = true;
  });
  int torn = 0, reads = 0;
  while (!done || reads == 0) {
    uint32_t code;
    std::u16string message;
    int progress;
    data.getInstallState(code, message, progress);
    ++reads;
    if (code != 0 && (int(code) != progress ||
                      message != string_ito(progress, 10) + u"/a/long/enough/path/name.txt"))
      ++torn;
  }
  writer.join();
  EXPECT_EQ(0, torn);
}

}  // namespace
