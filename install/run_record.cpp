#include "install/run_record.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "install/journal_codec.h"
#include "install/journal_file.h"
#include "platform/file_finder.h"
#include "platform/path.h"
#include "platform/text.h"

namespace {

const char kRecordMagic[4] = {'N', '8', 'R', 'N'};
const uint32_t kRecordVersion = 1;
const char16_t kRecordPrefix[] = u".ovn8run-";
// Record names tried per process before create gives up.
const unsigned kMaxRecordNumber = 1000;

std::string record_bytes(const RunRecord& record) {
  ByteWriter out;
  out.append(std::string(kRecordMagic, 4));
  out.u32(kRecordVersion);
  out.u32(record.pid);
  out.string(record.target);
  out.string(record.backup);
  out.i64(record.targetTimes.accessSeconds);
  out.i64(record.targetTimes.accessNanoseconds);
  out.i64(record.targetTimes.writeSeconds);
  out.i64(record.targetTimes.writeNanoseconds);
  out.u32(uint32_t(record.createdLevels.size()));
  for (const std::u16string& level : record.createdLevels) out.string(level);
  const uint32_t crc = crc_of(out.bytes().data(), out.size());
  out.u32(crc);
  return out.bytes();
}

std::u16string record_directory() { return home_dir(); }

}  // namespace

std::u16string journal_path_of(const std::u16string& backupFolder) {
  return without_trailing_separator(backupFolder) + u".journal";
}

// A rewrite may be shorter than what it replaces: it is cut to its size.
uint32_t RunRecordFile::write(HANDLE handle, const RunRecord& record, bool cut) {
  uint32_t result = write_all(handle, record_bytes(record));
  if (result == ERROR_SUCCESS && cut) result = FileSystem::SetEndOfFile(handle);
  if (result == ERROR_SUCCESS) result = FileSystem::FlushFileBuffers(handle);
  return result;
}

uint32_t RunRecordFile::create(const RunRecord& record) {
  const std::u16string directory = record_directory();
  if (directory.empty()) return ERROR_PATH_NOT_FOUND;
  const std::u16string base = directory + u"/" + kRecordPrefix + string_uito(record.pid, 10) + u"-";
  for (unsigned n = 0; n < kMaxRecordNumber; ++n) {
    const std::u16string candidate = base + string_uito(n, 10);
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t result = FileSystem::CreateFile(candidate, GENERIC_WRITE, 0, CREATE_NEW, handle);
    if (result == ERROR_ALREADY_EXISTS) continue;
    if (result != ERROR_SUCCESS) return result;
    path_ = candidate;
    result = write(handle, record, false);
    const uint32_t closed = FileSystem::CloseHandle(handle);
    if (result == ERROR_SUCCESS) result = closed;
    if (result == ERROR_SUCCESS) result = FileSystem::FlushDirectory(directory);
    return result;
  }
  return ERROR_CANTWRITE;
}

uint32_t RunRecordFile::rewrite(const RunRecord& record) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(path_, GENERIC_WRITE, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return result;
  result = write(handle, record, true);
  const uint32_t closed = FileSystem::CloseHandle(handle);
  return result != ERROR_SUCCESS ? result : closed;
}

void RunRecordFile::remove() {
  if (path_.empty()) return;
  FileSystem::DeleteFile(path_);
  path_.clear();
}

std::vector<std::u16string> find_run_records() {
  std::vector<std::u16string> found;
  const std::u16string directory = record_directory();
  if (directory.empty()) return found;
  FileFinder finder;
  for (bool more = finder.reset(directory + u"/" + kRecordPrefix + u"*"); more;
       more = finder.next()) {
    if (finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) continue;
    found.push_back(directory + u"/" + finder.name());
  }
  return found;
}

uint32_t read_run_record(const std::u16string& path, RunRecord& record) {
  record = RunRecord();
  std::string bytes;
  const uint32_t result = read_whole_file(path, bytes);
  if (result != ERROR_SUCCESS) return result;
  ByteReader in(bytes.data(), bytes.size());
  const char* magic = nullptr;
  uint32_t version = 0;
  if (!in.bytes(4, magic) || std::string(magic, 4) != std::string(kRecordMagic, 4) ||
      !in.u32(version) || version != kRecordVersion)
    return ERROR_INVALID_DATA;
  FileTimes& t = record.targetTimes;
  if (!in.u32(record.pid) || !in.string(record.target) || !in.string(record.backup) ||
      !in.i64(t.accessSeconds) || !in.i64(t.accessNanoseconds) || !in.i64(t.writeSeconds) ||
      !in.i64(t.writeNanoseconds))
    return ERROR_INVALID_DATA;
  uint32_t levels = 0;
  if (!in.u32(levels) || levels > in.left() / 4) return ERROR_INVALID_DATA;
  record.createdLevels.resize(levels);
  for (std::u16string& level : record.createdLevels)
    if (!in.string(level)) return ERROR_INVALID_DATA;
  const size_t covered = bytes.size() - in.left();
  uint32_t crc = 0;
  if (!in.u32(crc) || crc != crc_of(bytes.data(), covered) || in.left() != 0)
    return ERROR_INVALID_DATA;
  if (record.target.empty() || record.backup.empty()) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

uint32_t run_record_pid(const std::u16string& path) {
  const size_t start = path.rfind(kRecordPrefix);
  if (start == std::u16string::npos) return 0;
  uint32_t pid = 0;
  for (size_t i = start + (sizeof(kRecordPrefix) / sizeof(char16_t) - 1); i < path.size(); ++i) {
    if (path[i] < u'0' || path[i] > u'9') return path[i] == u'-' ? pid : 0;
    pid = pid * 10 + uint32_t(path[i] - u'0');
    if (pid > 0x3FFFFFFF) return 0;
  }
  return 0;
}

bool process_runs(uint32_t pid) {
  if (pid == 0) return false;
  return kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}
