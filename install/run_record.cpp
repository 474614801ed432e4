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
const uint32_t kRecordVersion = 2;
// Without the anchor's times.
const uint32_t kLegacyRecordVersion = 1;
const char16_t kRecordPrefix[] = u"run-";
const char16_t kLegacyRecordPrefix[] = u".ovn8run-";
// Record names tried per process before create gives up.
const unsigned kMaxRecordNumber = 1000;

void write_identity(ByteWriter& out, const DirectoryIdentity& identity) {
  out.u64(identity.device);
  out.u64(identity.inode);
}

bool read_identity(ByteReader& in, DirectoryIdentity& identity) {
  return in.u64(identity.device) && in.u64(identity.inode);
}

std::string record_bytes(const RunRecord& record) {
  ByteWriter out;
  out.append(std::string(kRecordMagic, 4));
  out.u32(kRecordVersion);
  out.u32(record.pid);
  out.u64(record.runId);
  out.string(record.target);
  write_identity(out, record.targetIdentity);
  write_identity(out, record.anchorIdentity);
  out.string(record.hiddenName);
  out.u8(record.rolledBack ? 1 : 0);
  out.times(record.targetTimes);
  out.u32(uint32_t(record.createdLevels.size()));
  for (const std::u16string& level : record.createdLevels) out.string(level);
  out.times(record.anchorTimes);
  const uint32_t crc = crc_of(out.bytes().data(), out.size());
  out.u32(crc);
  return out.bytes();
}

// The state folder is made private to the user: the records name the
// directories a start acts on. One that someone else made, or a link, is
// not used.
uint32_t make_state_folder(const std::u16string& folder) {
  uint32_t result = FileSystem::CreateOneDirectory(folder, 0700);
  if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) return result;
  FileStatus status;
  result = link_status(folder, status);
  if (result != ERROR_SUCCESS) return result;
  if (!status.isDirectory() || status.owner != uint32_t(geteuid()) || (status.mode & 022) != 0)
    return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

bool is_private_state_folder(const std::u16string& folder) {
  FileStatus status;
  return link_status(folder, status) == ERROR_SUCCESS && status.isDirectory() &&
         status.owner == uint32_t(geteuid()) && (status.mode & 022) == 0;
}

std::vector<std::u16string> files_named(const std::u16string& directory,
                                        const std::u16string& prefix) {
  std::vector<std::u16string> found;
  FileFinder finder;
  for (bool more = finder.reset(directory + u"/" + prefix + u"*"); more; more = finder.next()) {
    if (finder.attributes() & FILE_ATTRIBUTE_DIRECTORY) continue;
    found.push_back(directory + u"/" + finder.name());
  }
  return found;
}

// magic, version 1, pid, target, backup, the target's times, the created
// levels, crc.
bool read_legacy_record(const std::string& bytes, LegacyRunRecord& legacy) {
  ByteReader in(bytes.data(), bytes.size());
  const char* magic = nullptr;
  uint32_t version = 0, pid = 0, levels = 0;
  FileTimes times;
  if (!in.bytes(4, magic) || std::string(magic, 4) != std::string(kRecordMagic, 4) ||
      !in.u32(version) || version != kLegacyRecordVersion || !in.u32(pid) ||
      !in.string(legacy.target) || !in.string(legacy.backup) || !in.times(times) ||
      !in.u32(levels) || levels > in.left() / 4)
    return false;
  std::u16string level;
  for (uint32_t i = 0; i < levels; ++i)
    if (!in.string(level)) return false;
  const size_t covered = bytes.size() - in.left();
  uint32_t crc = 0;
  return in.u32(crc) && crc == crc_of(bytes.data(), covered) && in.left() == 0;
}

}  // namespace

std::u16string state_folder() {
  const std::u16string home = home_dir();
  return home.empty() ? home : without_trailing_separator(home) + u"/.ovn8setup";
}

// A rewrite may be shorter than what it replaces: it is cut to its size.
uint32_t RunRecordFile::write(HANDLE handle, const RunRecord& record, bool cut) {
  uint32_t result = write_all(handle, record_bytes(record));
  if (result == ERROR_SUCCESS && cut) result = FileSystem::SetEndOfFile(handle);
  if (result == ERROR_SUCCESS) result = FileSystem::FlushFileBuffers(handle);
  return result;
}

uint32_t RunRecordFile::create(const RunRecord& record) {
  const std::u16string directory = state_folder();
  if (directory.empty()) return ERROR_PATH_NOT_FOUND;
  uint32_t result = make_state_folder(directory);
  if (result != ERROR_SUCCESS) return result;
  const std::u16string base = directory + u"/" + kRecordPrefix + string_uito(record.pid, 10) + u"-";
  bool madeAgain = false;
  for (unsigned n = 0; n < kMaxRecordNumber; ++n) {
    const std::u16string candidate = base + string_uito(n, 10);
    HANDLE handle = INVALID_HANDLE_VALUE;
    result = FileSystem::CreateFile(candidate, GENERIC_WRITE, 0, CREATE_NEW, handle);
    if (result == ERROR_ALREADY_EXISTS) continue;
    // Another wizard removed the folder with its last record meanwhile.
    if ((result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) && !madeAgain) {
      madeAgain = true;
      result = make_state_folder(directory);
      if (result != ERROR_SUCCESS) return result;
      --n;
      continue;
    }
    if (result != ERROR_SUCCESS) return result;
    path_ = candidate;
    result = write(handle, record, false);
    const uint32_t closed = FileSystem::CloseHandle(handle);
    if (result == ERROR_SUCCESS) result = closed;
    if (result == ERROR_SUCCESS) result = FileSystem::FlushDirectory(directory);
    // The home directory's listing holds the state folder.
    if (result == ERROR_SUCCESS) result = FileSystem::FlushDirectory(parent_directory(directory));
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

// The state folder goes with its last record, so that a home directory
// shows nothing of runs that ended.
uint32_t RunRecordFile::remove() {
  if (path_.empty()) return ERROR_SUCCESS;
  const std::u16string folder = parent_directory(path_);
  uint32_t result = FileSystem::DeleteFile(path_);
  if (result == ERROR_SUCCESS) result = FileSystem::FlushDirectory(folder);
  if (result == ERROR_SUCCESS && FileSystem::RemoveEmptyDirectory(folder) == ERROR_SUCCESS)
    FileSystem::FlushDirectory(parent_directory(folder));
  path_.clear();
  return result;
}

std::vector<std::u16string> find_run_records() {
  const std::u16string directory = state_folder();
  if (directory.empty() || !is_private_state_folder(directory)) return {};
  return files_named(directory, kRecordPrefix);
}

uint32_t read_run_record(const std::u16string& path, RunRecord& record) {
  record = RunRecord();
  std::string bytes;
  const uint32_t result = read_small_file(path, bytes);
  if (result != ERROR_SUCCESS) return result;
  ByteReader in(bytes.data(), bytes.size());
  const char* magic = nullptr;
  uint32_t version = 0;
  if (!in.bytes(4, magic) || std::string(magic, 4) != std::string(kRecordMagic, 4) ||
      !in.u32(version) || version != kRecordVersion)
    return ERROR_INVALID_DATA;
  if (!in.u32(record.pid) || !in.u64(record.runId) || !in.string(record.target) ||
      !read_identity(in, record.targetIdentity) || !read_identity(in, record.anchorIdentity) ||
      !in.string(record.hiddenName))
    return ERROR_INVALID_DATA;
  uint8_t rolledBack = 0;
  if (!in.u8(rolledBack) || rolledBack > 1 || !in.times(record.targetTimes))
    return ERROR_INVALID_DATA;
  record.rolledBack = rolledBack == 1;
  uint32_t levels = 0;
  if (!in.u32(levels) || levels > in.left() / 4) return ERROR_INVALID_DATA;
  record.createdLevels.resize(levels);
  for (std::u16string& level : record.createdLevels)
    if (!in.string(level)) return ERROR_INVALID_DATA;
  if (!in.times(record.anchorTimes)) return ERROR_INVALID_DATA;
  const size_t covered = bytes.size() - in.left();
  uint32_t crc = 0;
  if (!in.u32(crc) || crc != crc_of(bytes.data(), covered) || in.left() != 0)
    return ERROR_INVALID_DATA;
  if (record.target.empty() || record.target[0] != u'/' || record.target.back() != u'/')
    return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

void restore_anchor_times(const RunRecord& record) {
  const FileTimes& times = record.anchorTimes;
  if (record.createdLevels.empty() || (times.writeSeconds == 0 && times.writeNanoseconds == 0 &&
                                       times.accessSeconds == 0 && times.accessNanoseconds == 0))
    return;
  const std::u16string anchor = parent_directory(record.createdLevels.front());
  FileStatus status;
  if (file_status(anchor, status) != ERROR_SUCCESS || !status.isDirectory() ||
      identity_of(status) != record.anchorIdentity)
    return;
  FileSystem::SetPathTimes(anchor, record.anchorTimes);
}

uint32_t run_record_pid(const std::u16string& path) {
  const std::u16string name = path.substr(path.rfind(u'/') + 1);
  for (const std::u16string& prefix : {std::u16string(kRecordPrefix), std::u16string(kLegacyRecordPrefix)}) {
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    uint32_t pid = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
      if (name[i] < u'0' || name[i] > u'9') return name[i] == u'-' ? pid : 0;
      pid = pid * 10 + uint32_t(name[i] - u'0');
      if (pid > 0x3FFFFFFF) return 0;
    }
  }
  return 0;
}

bool process_runs(uint32_t pid) {
  if (pid == 0) return false;
  return kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

std::vector<LegacyRunRecord> find_legacy_run_records() {
  std::vector<LegacyRunRecord> found;
  const std::u16string home = home_dir();
  if (home.empty()) return found;
  for (const std::u16string& path : files_named(without_trailing_separator(home), kLegacyRecordPrefix)) {
    LegacyRunRecord legacy;
    legacy.path = path;
    std::string bytes;
    // Only a whole record of that version is taken for one: anything else
    // of that name is not the wizard's.
    if (read_small_file(path, bytes) != ERROR_SUCCESS || !read_legacy_record(bytes, legacy))
      continue;
    found.push_back(legacy);
  }
  return found;
}
