#include "install/present_record.h"

#include <sched.h>

#include <utility>

namespace {

// A thread started for a few milliseconds runs on its starter's core and
// takes turns with it while another core idles: it moves itself to the
// other cores the process may use, away from `starter`'s.
void move_away_from(int starter) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (starter < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  if (!CPU_ISSET(starter, &allowed) || CPU_COUNT(&allowed) < 2) return;
  CPU_CLR(starter, &allowed);
  sched_setaffinity(0, sizeof allowed, &allowed);
}

}  // namespace

void PresentRecord::read(const std::u16string& target) {
  wait();
  sound_ = false;
  record_ = InstallationRecord();
  found_ = read_installation_record_bytes(target, bytes_) == ERROR_SUCCESS && !bytes_.empty();
  if (!found_) return;
  const int starter = sched_getcpu();
  decoder_ = std::thread([this, starter] {
    move_away_from(starter);
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
