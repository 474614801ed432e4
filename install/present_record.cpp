#include "install/present_record.h"

#include <utility>

#include "platform/other_core.h"

void PresentRecord::read(const std::u16string& target) {
  wait();
  sound_ = false;
  record_ = InstallationRecord();
  found_ = read_installation_record_bytes(target, bytes_) == ERROR_SUCCESS && !bytes_.empty();
  if (!found_) return;
  const int starter = current_core();
  decoder_ = std::thread([this, starter] {
    move_away_from_core(starter);
    sound_ = decode_record(bytes_, record_);
    std::string().swap(bytes_);
  });
}

bool PresentRecord::take(InstallationRecord& record) {
  wait();
  if (!sound_) return false;
  record = std::move(record_);
  record_ = InstallationRecord();
  sound_ = false;
  return true;
}

void PresentRecord::wait() {
  if (decoder_.joinable()) decoder_.join();
}
