#include "install/journal_file.h"

#include <algorithm>

#include "platform/path.h"

namespace {

const char kJournalMagic[4] = {'N', '8', 'J', 'L'};
const uint32_t kJournalVersion = 2;
const size_t kReadChunk = 1 << 16;
// A header names one folder; anything longer was not written by a run.
const uint32_t kMaxHeaderBytes = 1 << 16;
// A run writes batches of at most a few hundred entries with their paths.
const uint32_t kMaxBatchBytes = 64u << 20;
const uint64_t kMaxSmallFileBytes = 16u << 20;

std::string header_bytes(const JournalHeader& header) {
  ByteWriter out;
  out.append(std::string(kJournalMagic, 4));
  out.u32(kJournalVersion);
  out.u64(header.runId);
  out.u64(header.target.device);
  out.u64(header.target.inode);
  out.string(header.hiddenName);
  out.times(header.targetTimes);
  const uint32_t crc = crc_of(out.bytes().data(), out.size());
  out.u32(crc);
  return out.bytes();
}

// Reads exactly `size` bytes at the current position; false when the file
// ends first or cannot be read.
bool read_exactly(HANDLE handle, size_t size, std::string& bytes) {
  bytes.resize(size);
  size_t done = 0;
  while (done < size) {
    const uint32_t chunk = uint32_t(std::min(size - done, kReadChunk));
    uint32_t got = 0;
    if (FileSystem::ReadFile(handle, &bytes[done], chunk, &got, nullptr) != ERROR_SUCCESS ||
        got == 0)
      return false;
    done += got;
  }
  return true;
}

// The header: magic, version, then a length-prefixed body and its crc are
// read in two steps so that a damaged length cannot make the reader take
// more than a header may hold.
bool read_header(HANDLE handle, JournalHeader& header) {
  std::string head;
  if (!read_exactly(handle, 8 + 8 + 16 + 4, head)) return false;
  ByteReader in(head.data(), head.size());
  const char* magic = nullptr;
  uint32_t version = 0, nameUnits = 0;
  if (!in.bytes(4, magic) || std::string(magic, 4) != std::string(kJournalMagic, 4)) return false;
  if (!in.u32(version) || version != kJournalVersion) return false;
  if (!in.u64(header.runId) || !in.u64(header.target.device) || !in.u64(header.target.inode) ||
      !in.u32(nameUnits) || nameUnits > kMaxHeaderBytes / 2)
    return false;
  std::string rest;
  if (!read_exactly(handle, size_t(nameUnits) * 2 + 32 + 4, rest)) return false;
  std::string all = head + rest;
  ByteReader body(all.data() + head.size() - 4, all.size() - head.size() + 4);
  uint32_t crc = 0;
  if (!body.string(header.hiddenName) || !body.times(header.targetTimes) || !body.u32(crc))
    return false;
  return crc == crc_of(all.data(), all.size() - 4);
}

// 0, or 1392 for a record this reader cannot take.
uint32_t read_record(ByteReader& in, JournalContents& contents) {
  uint8_t type = 0;
  if (!in.u8(type)) return ERROR_FILE_CORRUPT;
  if (type == uint8_t(JournalRecordType::kCommit)) {
    contents.committed = true;
    return ERROR_SUCCESS;
  }
  std::u16string key;
  if (!in.string(key)) return ERROR_FILE_CORRUPT;
  // Only the directory times may name the target itself (the empty key).
  const bool plain = key.empty() ? type == uint8_t(JournalRecordType::kDirectoryTimes)
                                 : is_plain_journal_key(key);
  if (!plain) return ERROR_FILE_CORRUPT;
  switch (JournalRecordType(type)) {
    case JournalRecordType::kDirectoryTimes:
    case JournalRecordType::kFileTimes: {
      JournalDirectoryTimes entry;
      entry.key = key;
      if (!in.times(entry.times)) return ERROR_FILE_CORRUPT;
      (type == uint8_t(JournalRecordType::kFileTimes) ? contents.fileTimes : contents.directoryTimes)
          .push_back(entry);
      return ERROR_SUCCESS;
    }
    case JournalRecordType::kRemovedDirectory: {
      uint32_t mode = 0;
      if (!in.u32(mode) || (mode & ~07777u) != 0) return ERROR_FILE_CORRUPT;
      contents.removedDirectories.push_back({key, mode});
      return ERROR_SUCCESS;
    }
    case JournalRecordType::kStagedDirectory: {
      std::u16string name;
      if (!in.string(name) || !is_staging_folder_name(name)) return ERROR_FILE_CORRUPT;
      contents.stagedDirectories.push_back({key, name});
      return ERROR_SUCCESS;
    }
    case JournalRecordType::kCreatedDirectory:
      contents.createdDirectories.push_back(key);
      return ERROR_SUCCESS;
    case JournalRecordType::kKept:
      contents.kept.push_back(key);
      return ERROR_SUCCESS;
    case JournalRecordType::kAdded:
      contents.added.push_back(key);
      return ERROR_SUCCESS;
    case JournalRecordType::kTemporary:
      contents.temporaries.push_back(key);
      return ERROR_SUCCESS;
    case JournalRecordType::kExpected: {
      ExpectedFile file;
      uint64_t seconds = 0, nanoseconds = 0;
      if (!in.u64(file.size) || !in.u64(seconds) || !in.u64(nanoseconds)) return ERROR_FILE_CORRUPT;
      file.writeSeconds = int64_t(seconds);
      file.writeNanoseconds = int64_t(nanoseconds);
      contents.expected[key].push_back(file);
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_FILE_CORRUPT;
  }
}

bool is_control(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

}  // namespace

bool is_run_folder_name(const std::u16string& name) {
  static const std::u16string kPrefix = u".n8stp";
  if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  for (size_t i = kPrefix.size(); i < name.size(); ++i)
    if (name[i] < u'0' || name[i] > u'9') return false;
  return true;
}

bool is_staging_folder_name(const std::u16string& name) {
  static const std::u16string kPrefix = u".n8new";
  return name.size() > kPrefix.size() && name.compare(0, kPrefix.size(), kPrefix) == 0 &&
         name.find(u'/') == std::u16string::npos && is_plain_journal_key(name);
}

bool is_plain_journal_key(const std::u16string& key) {
  if (key.empty() || key.front() == u'/' || key.back() == u'/') return false;
  size_t begin = 0;
  while (begin <= key.size()) {
    size_t end = key.find(u'/', begin);
    if (end == std::u16string::npos) end = key.size();
    const std::u16string part = key.substr(begin, end - begin);
    if (part.empty() || part == u"." || part == u".." || is_run_folder_name(part)) return false;
    for (char16_t unit : part)
      if (is_control(unit)) return false;
    begin = end + 1;
  }
  return true;
}

uint32_t write_all(HANDLE handle, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const uint32_t chunk = uint32_t(std::min<size_t>(bytes.size() - done, 1u << 30));
    uint32_t written = 0;
    const uint32_t result = FileSystem::WriteFile(handle, bytes.data() + done, chunk, &written,
                                                  nullptr);
    if (result != ERROR_SUCCESS) return result;
    done += chunk;
  }
  return ERROR_SUCCESS;
}

uint32_t read_small_file(const std::u16string& path, std::string& bytes) {
  bytes.clear();
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (result != ERROR_SUCCESS) return result;
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    uint32_t got = 0;
    result = FileSystem::ReadFile(handle, &chunk[0], uint32_t(chunk.size()), &got, nullptr);
    if (result != ERROR_SUCCESS || got == 0) break;
    bytes.append(chunk, 0, got);
    if (bytes.size() > kMaxSmallFileBytes) {
      result = ERROR_INVALID_DATA;
      break;
    }
  }
  FileSystem::CloseHandle(handle);
  if (result != ERROR_SUCCESS) bytes.clear();
  return result;
}

const uint64_t JournalWriter::kNoCommit;

uint32_t JournalWriter::create(const std::u16string& path, const JournalHeader& header) {
  close();
  failed_ = ERROR_SUCCESS;
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(path, GENERIC_WRITE, 0, CREATE_NEW, handle);
  if (result != ERROR_SUCCESS) return result;
  handle_ = handle;
  path_ = path;
  commitAt_ = kNoCommit;
  const std::string head = header_bytes(header);
  result = write_all(handle_, head);
  size_ = head.size();
  if (result == ERROR_SUCCESS) result = FileSystem::FlushFileBuffers(handle_);
  if (result == ERROR_SUCCESS) result = FileSystem::FlushDirectory(parent_directory(path));
  if (result != ERROR_SUCCESS) failed_ = result;
  return result;
}

void JournalWriter::directoryTimes(const std::u16string& key, const FileTimes& times) {
  keyedTimes(JournalRecordType::kDirectoryTimes, key, times);
}

void JournalWriter::fileTimes(const std::u16string& key, const FileTimes& times) {
  keyedTimes(JournalRecordType::kFileTimes, key, times);
}

void JournalWriter::removedDirectory(const std::u16string& key, uint32_t mode) {
  batch_.u8(uint8_t(JournalRecordType::kRemovedDirectory));
  batch_.string(key);
  batch_.u32(mode);
}

void JournalWriter::stagedDirectory(const std::u16string& key, const std::u16string& stagingName) {
  batch_.u8(uint8_t(JournalRecordType::kStagedDirectory));
  batch_.string(key);
  batch_.string(stagingName);
}

void JournalWriter::keyedTimes(JournalRecordType type, const std::u16string& key,
                               const FileTimes& times) {
  batch_.u8(uint8_t(type));
  batch_.string(key);
  batch_.times(times);
}

void JournalWriter::expected(const std::u16string& key, const ExpectedFile& file) {
  batch_.u8(uint8_t(JournalRecordType::kExpected));
  batch_.string(key);
  batch_.u64(file.size);
  batch_.i64(file.writeSeconds);
  batch_.i64(file.writeNanoseconds);
}

void JournalWriter::record(JournalRecordType type, const std::u16string& key) {
  batch_.u8(uint8_t(type));
  if (type != JournalRecordType::kCommit) batch_.string(key);
}

uint32_t JournalWriter::flush() {
  if (failed_ != ERROR_SUCCESS) return failed_;
  if (!isOpen()) return failed_ = ERROR_INVALID_HANDLE;
  if (!pending()) return ERROR_SUCCESS;
  ByteWriter framed;
  framed.u32(uint32_t(batch_.size()));
  framed.u32(crc_of(batch_.bytes().data(), batch_.size()));
  framed.append(batch_.bytes());
  batch_.clear();
  uint32_t result = write_all(handle_, framed.bytes());
  if (result == ERROR_SUCCESS) size_ += framed.size();
  if (result == ERROR_SUCCESS) result = FileSystem::FlushFileBuffers(handle_);
  if (result != ERROR_SUCCESS) failed_ = result;
  return result;
}

uint32_t JournalWriter::commit() {
  if (failed_ == ERROR_SUCCESS && isOpen()) {
    // Records still waiting go in their own batch first, so that the commit
    // can be cut off alone.
    uint32_t result = flush();
    if (result != ERROR_SUCCESS) return result;
    commitAt_ = size_;
  }
  record(JournalRecordType::kCommit, std::u16string());
  return flush();
}

uint32_t JournalWriter::uncommit() {
  if (commitAt_ == kNoCommit) return ERROR_SUCCESS;
  if (!isOpen()) return ERROR_INVALID_HANDLE;
  long high = long(commitAt_ >> 32);
  const uint32_t low = FileSystem::SetFilePointer(handle_, long(uint32_t(commitAt_)), &high,
                                                  FILE_BEGIN);
  if (low == 0xFFFFFFFFu && FileSystem::GetLastError() != ERROR_SUCCESS)
    return FileSystem::GetLastError();
  uint32_t result = FileSystem::SetEndOfFile(handle_);
  if (result == ERROR_SUCCESS) result = FileSystem::FlushFileBuffers(handle_);
  if (result != ERROR_SUCCESS) return result;
  size_ = commitAt_;
  commitAt_ = kNoCommit;
  return ERROR_SUCCESS;
}

void JournalWriter::close() {
  if (handle_ != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void JournalWriter::forget() {
  close();
  path_.clear();
  batch_.clear();
  failed_ = ERROR_SUCCESS;
  size_ = 0;
  commitAt_ = kNoCommit;
}

uint32_t read_journal(const std::u16string& path, JournalContents& contents) {
  contents = JournalContents();
  HANDLE handle = INVALID_HANDLE_VALUE;
  const uint32_t opened = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (opened != ERROR_SUCCESS) return opened;
  uint32_t result = read_header(handle, contents.header) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
  // Batches follow until the end or the first one that is cut off or
  // damaged: that one, and anything behind it, never fully reached the disk.
  // An empty batch is never written; zeros there are a tail that was not.
  std::string frame, payload;
  while (result == ERROR_SUCCESS && read_exactly(handle, 8, frame)) {
    ByteReader in(frame.data(), frame.size());
    uint32_t size = 0, crc = 0;
    in.u32(size);
    in.u32(crc);
    if (size == 0) break;
    if (size > kMaxBatchBytes) {
      // Either a damaged tail or a batch no run writes; the rest of the
      // file tells which.
      if (read_exactly(handle, kMaxBatchBytes, payload) && read_exactly(handle, 1, frame))
        result = ERROR_FILE_CORRUPT;
      break;
    }
    if (!read_exactly(handle, size, payload) || crc_of(payload.data(), size) != crc) break;
    ByteReader records(payload.data(), payload.size());
    while (result == ERROR_SUCCESS && records.left() > 0) result = read_record(records, contents);
  }
  FileSystem::CloseHandle(handle);
  return result;
}
