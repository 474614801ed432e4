#include "install/present_record.h"

#include <utility>

void PresentRecord::read(const std::u16string& target) {
  wait();
  sound_ = false;
  record_ = InstallationRecord();
  if (read_installation_record_bytes(target, bytes_) != ERROR_SUCCESS || bytes_.empty()) return;
  decoder_ = std::thread([this] {
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
