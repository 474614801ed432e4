#include "install/journal_file.h"

#include <algorithm>

#include "platform/path.h"

namespace {

const char kJournalMagic[4] = {'N', '8', 'J', 'L'};
const uint32_t kJournalVersion = 1;
const size_t kReadChunk = 1 << 16;

std::string header_bytes(const JournalHeader& header) {
  ByteWriter out;
  out.append(std::string(kJournalMagic, 4));
  out.u32(kJournalVersion);
  out.string(header.owner);
  out.string(header.target);
  out.string(header.backup);
  const uint32_t crc = crc_of(out.bytes().data(), out.size());
  out.u32(crc);
  return out.bytes();
}

bool read_header(ByteReader& in, const char* start, JournalHeader& header) {
  const char* magic = nullptr;
  uint32_t version = 0;
  if (!in.bytes(4, magic) || std::string(magic, 4) != std::string(kJournalMagic, 4)) return false;
  if (!in.u32(version) || version != kJournalVersion) return false;
  if (!in.string(header.owner) || !in.string(header.target) || !in.string(header.backup))
    return false;
  const char* end = nullptr;
  in.bytes(0, end);
  uint32_t crc = 0;
  return in.u32(crc) && crc == crc_of(start, size_t(end - start));
}

bool read_record(ByteReader& in, JournalContents& contents) {
  uint8_t type = 0;
  if (!in.u8(type)) return false;
  if (type == uint8_t(JournalRecordType::kCommit)) {
    contents.committed = true;
    return true;
  }
  std::u16string key;
  if (!in.string(key)) return false;
  switch (JournalRecordType(type)) {
    case JournalRecordType::kDirectoryTimes: {
      JournalDirectoryTimes entry;
      entry.key = key;
      FileTimes& t = entry.times;
      if (!in.i64(t.accessSeconds) || !in.i64(t.accessNanoseconds) || !in.i64(t.writeSeconds) ||
          !in.i64(t.writeNanoseconds))
        return false;
      contents.directoryTimes.push_back(entry);
      return true;
    }
    case JournalRecordType::kCreatedDirectory:
      contents.createdDirectories.push_back(key);
      return true;
    case JournalRecordType::kKept:
      contents.kept.push_back(key);
      return true;
    case JournalRecordType::kAdded:
      contents.added.push_back(key);
      return true;
    case JournalRecordType::kTemporary:
      contents.temporaries.push_back(key);
      return true;
    default:
      return false;
  }
}

}  // namespace

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

uint32_t read_whole_file(const std::u16string& path, std::string& bytes) {
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
  }
  FileSystem::CloseHandle(handle);
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
  batch_.u8(uint8_t(JournalRecordType::kDirectoryTimes));
  batch_.string(key);
  batch_.i64(times.accessSeconds);
  batch_.i64(times.accessNanoseconds);
  batch_.i64(times.writeSeconds);
  batch_.i64(times.writeNanoseconds);
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

uint32_t read_journal(const std::u16string& path, JournalContents& contents) {
  contents = JournalContents();
  std::string bytes;
  const uint32_t result = read_whole_file(path, bytes);
  if (result != ERROR_SUCCESS) return result;
  ByteReader in(bytes.data(), bytes.size());
  if (!read_header(in, bytes.data(), contents.header)) return ERROR_INVALID_DATA;
  // Batches follow until the end or the first one that is cut off or
  // damaged: that one, and anything behind it, never fully reached the disk.
  for (;;) {
    uint32_t size = 0, crc = 0;
    const char* payload = nullptr;
    if (!in.u32(size) || !in.u32(crc) || !in.bytes(size, payload)) break;
    if (crc_of(payload, size) != crc) break;
    ByteReader records(payload, size);
    JournalContents batch;
    batch.header = contents.header;
    bool whole = true;
    while (records.left() > 0 && whole) whole = read_record(records, batch);
    if (!whole) break;
    auto append = [](std::vector<std::u16string>& to, const std::vector<std::u16string>& from) {
      to.insert(to.end(), from.begin(), from.end());
    };
    contents.directoryTimes.insert(contents.directoryTimes.end(), batch.directoryTimes.begin(),
                                   batch.directoryTimes.end());
    append(contents.createdDirectories, batch.createdDirectories);
    append(contents.kept, batch.kept);
    append(contents.added, batch.added);
    append(contents.temporaries, batch.temporaries);
    contents.committed = contents.committed || batch.committed;
  }
  return ERROR_SUCCESS;
}
