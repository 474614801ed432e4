#include "install/install_process_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

TEST(InstallProcessDataTest, PausedRunWaitsUntilResumedOrCancelled) {
  for (bool cancel : {false, true}) {
    InstallProcessData data;
    data.setPaused(true);
    std::atomic<bool> passed{false};
    std::thread worker([&] {
      data.waitWhilePaused();
      passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_FALSE(passed);
    if (cancel)
      data.setCancel(true);
    else
      data.setPaused(false);
    worker.join();
    EXPECT_TRUE(passed);
  }
  // Not paused: no wait at all; a new run is never paused.
  InstallProcessData data;
  data.setPaused(true);
  data.init(nullptr, u"/t");
  data.waitWhilePaused();
}

// A waiter wakes when the run ends, not a poll later; every later wait sees
// the end at once, until a new run begins.
TEST(InstallProcessDataTest, WaitForEndWakesAtTheEndAndUntilTheNextRun) {
  InstallProcessData data;
  data.init(nullptr, u"/t");
  EXPECT_FALSE(data.waitForEnd(1));
  std::atomic<bool> ended{false};
  std::thread waiter([&] { ended = data.waitForEnd(60000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(ended);
  const auto reported = std::chrono::steady_clock::now();
  data.reportEnd(0);
  waiter.join();
  EXPECT_TRUE(ended);
  EXPECT_LT(std::chrono::steady_clock::now() - reported, std::chrono::seconds(30));
  EXPECT_TRUE(data.waitForEnd(0));
  EXPECT_TRUE(data.waitForEnd(0));
  data.init(nullptr, u"/t");
  EXPECT_FALSE(data.waitForEnd(0));
}

TEST(InstallProcessDataTest, ReportCarriesTheEntryTheRestoringAndTheEnd) {
  InstallProcessData data;
  RunReport report;
  data.getReport(report);
  EXPECT_EQ(RunPhase::kPreparing, report.phase);
  EXPECT_EQ(-1, report.entry);
  data.reportEntry(4, 10, u"a/b.txt", u"/t/a/b.txt", 40);
  data.getReport(report);
  EXPECT_EQ(RunPhase::kCopying, report.phase);
  EXPECT_EQ(4, report.entry);
  EXPECT_EQ(10u, report.entries);
  EXPECT_EQ(u"a/b.txt", report.entryName);
  EXPECT_EQ(u"/t/a/b.txt", report.message);
  EXPECT_EQ(40, report.progress);
  data.setInstallState(112, u"failed", 40);
  data.reportRestoring(2, 5);
  data.getReport(report);
  EXPECT_EQ(RunPhase::kRestoring, report.phase);
  // The failure's report stays while restoring.
  EXPECT_EQ(112u, report.code);
  EXPECT_EQ(u"failed", report.message);
  EXPECT_EQ(2u, report.restoreLeft);
  EXPECT_EQ(5u, report.restoreTotal);
  data.reportEnd(112);
  data.getReport(report);
  EXPECT_EQ(RunPhase::kEnded, report.phase);
  EXPECT_EQ(112u, report.result);
  // A new run starts from nothing but the last message.
  data.init(nullptr, u"/t");
  data.getReport(report);
  EXPECT_EQ(RunPhase::kPreparing, report.phase);
  EXPECT_EQ(0u, report.result);
  EXPECT_EQ(-1, report.entry);
  EXPECT_EQ(u"failed", report.message);
}

}  // namespace
