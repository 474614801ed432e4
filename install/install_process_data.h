// The state shared between the interface thread and the installation
// worker: which kit goes into which directory, the cancel request, and the
// progress report (code, message, percentage) that the interface polls.
//
// One semaphore, used as a mutex, guards every field; each operation holds it
// only while it copies its fields, and releases it also when copying throws.
#ifndef OVN8_INSTALL_INSTALL_PROCESS_DATA_H_
#define OVN8_INSTALL_INSTALL_PROCESS_DATA_H_

#include <semaphore.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "kit/kit_reader.h"

// The engine and the wizard name the kit reader without its namespace.
using config::KitReader;

// Where the run stands.
enum class RunPhase { kPreparing, kCopying, kRestoring, kEnded };

// Everything the run reports, copied out at once.
struct RunReport {
  uint32_t code = 0;          // 0, or the error of the failure
  std::u16string message;     // the entry's full path, the finishing text, or the failure
  int progress = 0;           // 0..100
  RunPhase phase = RunPhase::kPreparing;
  int64_t entry = -1;         // index of the entry being worked on; -1 before the first
  uint32_t entries = 0;       // entries of the kit
  std::u16string entryName;   // that entry's name in the template directory ("forms/a.tpl")
  uint32_t restoreLeft = 0;   // while restoring: steps left of restoreTotal
  uint32_t restoreTotal = 0;
  uint32_t result = 0;        // once ended: the run's result (0, 1223 cancelled, an error)
  // Once ended with success: files written (new or over older copies), of
  // them over older copies, and existing newer files left in place.
  uint32_t installed = 0;
  uint32_t replaced = 0;
  uint32_t kept = 0;
  // Of the files not written: those that held the entry's content and only
  // took its time.
  uint32_t timeUpdated = 0;
  // The distinct places the kit's entries name (two entries of one place
  // count once).
  uint32_t places = 0;
  std::u16string failedPath;  // after a failure: the file or folder it concerns
};

class InstallProcessData {
 public:
  InstallProcessData();
  ~InstallProcessData();
  InstallProcessData(const InstallProcessData&) = delete;
  InstallProcessData& operator=(const InstallProcessData&) = delete;

  // Sets the job: `kit` (not owned) into `directory`, which gets a "/"
  // unless it is empty or already ends with "/" or "\". Clears the cancel
  // request, the state code and the progress; the message stays.
  void init(KitReader* kit, const std::u16string& directory);
  void get(KitReader*& kit, std::u16string& directory);

  // The three state fields are written and read together, so a reader never
  // sees the code of one report with the message of another.
  void setInstallState(uint32_t code, const std::u16string& message, int progress);
  void getInstallState(uint32_t& code, std::u16string& message, int& progress);

  void setCancel(bool cancel);
  bool isCancelled();

  // The run is at entry `index` of `count`, written to `path` (`name` in
  // the directory): one report with the state fields.
  void reportEntry(uint32_t index, uint32_t count, std::u16string_view name,
                   const std::u16string& path, int progress);
  // The rollback has `left` of `total` steps to go.
  void reportRestoring(uint32_t left, uint32_t total);
  void reportCounts(uint32_t installed, uint32_t replaced, uint32_t kept, uint32_t timeUpdated = 0,
                    uint32_t places = 0);
  // The file or folder a failure concerns.
  void reportFailedPath(const std::u16string& path);
  // The run, its rollback included, is over with `result`.
  void reportEnd(uint32_t result);
  // Waits until the run has ended or `milliseconds` have passed; true once
  // it has ended. A poller that has nothing else to do wakes at the end
  // instead of a poll later.
  bool waitForEnd(unsigned milliseconds);
  void getReport(RunReport& report);

  // While paused (a question to the user is open) the run waits before its
  // next entry; a cancel request ends the wait.
  void setPaused(bool paused);
  void waitWhilePaused();

 private:
  sem_t lock_;
  sem_t ended_;  // posted once by reportEnd; a waiter posts it back
  KitReader* kit_;
  std::u16string directory_;
  bool cancelled_;
  bool paused_ = false;
  RunReport report_;
};

#endif  // OVN8_INSTALL_INSTALL_PROCESS_DATA_H_
