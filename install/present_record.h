// The directory's installation record as it stood when a run began: its
// bytes are read at once, in the run's order of file operations, and
// decoded on a thread of its own while the run plans its entries (a record
// of many entries takes about as long to decode as the planning of them).
#ifndef OVN8_INSTALL_PRESENT_RECORD_H_
#define OVN8_INSTALL_PRESENT_RECORD_H_

#include <string>
#include <thread>

#include "install/installation_record.h"

class PresentRecord {
 public:
  PresentRecord() = default;
  PresentRecord(const PresentRecord&) = delete;
  PresentRecord& operator=(const PresentRecord&) = delete;
  ~PresentRecord() { wait(); }

  // Reads the record of `target` (as read_installation_record does) and
  // starts decoding it; a record that is missing, not trustworthy or not
  // readable is none.
  void read(const std::u16string& target);
  // The record once decoded; false when there is none or it is damaged.
  bool take(InstallationRecord& record);
  // Whether the directory held a record of the user's when read.
  bool found() const { return found_; }

 private:
  void wait();

  std::thread decoder_;
  std::string bytes_;
  InstallationRecord record_;
  bool sound_ = false;
  bool found_ = false;
};

#endif  // OVN8_INSTALL_PRESENT_RECORD_H_
