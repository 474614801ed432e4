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

#include "kit/kit_reader.h"

// The engine and the wizard name the kit reader without its namespace.
using config::KitReader;

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

 private:
  sem_t lock_;
  KitReader* kit_;
  std::u16string directory_;
  bool cancelled_;
  uint32_t stateCode_;
  std::u16string stateMessage_;
  int progress_;
};

#endif  // OVN8_INSTALL_INSTALL_PROCESS_DATA_H_
