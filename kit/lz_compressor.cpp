#include "kit/lz_compressor.h"

#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/errors.h"
#include "platform/file_system.h"

const uint32_t LZCompressor::kBufferSize;

namespace {

// zlib counts input in 32-bit units; larger mappings are fed in slices.
const uint64_t kMaxInputSlice = 1u << 30;

int descriptorOf(HANDLE handle) { return int(reinterpret_cast<intptr_t>(handle)); }

// Closes a file handle when the scope ends.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle) : handle_(handle) {}
  ~HandleCloser() { FileSystem::CloseHandle(handle_); }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;

 private:
  HANDLE handle_;
};

// A read-only private mapping of a whole file.
class Mapping {
 public:
  Mapping(HANDLE handle, uint64_t size) : size_(size) {
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptorOf(handle), 0);
    if (address != MAP_FAILED) data_ = static_cast<const uint8_t*>(address);
  }
  ~Mapping() {
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const uint8_t* data() const { return data_; }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_;
};

// Inflates `input` and writes the output in chunks of kBufferSize bytes,
// one WriteFile per chunk.
uint32_t inflateInto(const uint8_t* input, uint64_t inputSize, HANDLE destination) {
  z_stream stream = z_stream();
  if (inflateInit2(&stream, -15) != Z_OK) return ERROR_INVALID_DATA;
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[LZCompressor::kBufferSize]);
  uint64_t fed = 0;
  int code = Z_OK;
  uint32_t writeError = ERROR_SUCCESS;
  do {
    if (stream.avail_in == 0 && fed < inputSize) {
      const uint64_t slice = std::min(inputSize - fed, kMaxInputSlice);
      stream.next_in = const_cast<Bytef*>(input + fed);
      stream.avail_in = uInt(slice);
      fed += slice;
    }
    stream.next_out = chunk.get();
    stream.avail_out = LZCompressor::kBufferSize;
    code = inflate(&stream, Z_NO_FLUSH);
    // All input used up without the end marker: the stream was cut short,
    // which is accepted with what it gave.
    if (code == Z_BUF_ERROR && stream.avail_in == 0 && fed == inputSize) code = Z_OK;
    const uint32_t produced = LZCompressor::kBufferSize - stream.avail_out;
    if (produced > 0) {
      uint32_t written = 0;
      writeError = FileSystem::WriteFile(destination, chunk.get(), produced, &written, nullptr);
      if (writeError != ERROR_SUCCESS) break;
    }
    // A full chunk may mean more output is waiting; a partial one means the
    // input is used up (or the slice ended and more input is to be fed).
  } while (code == Z_OK && (stream.avail_out == 0 || (stream.avail_in == 0 && fed < inputSize)));
  inflateEnd(&stream);
  if (writeError != ERROR_SUCCESS) return writeError;
  return code < 0 ? ERROR_INVALID_DATA : ERROR_SUCCESS;
}

}  // namespace

uint32_t LZCompressor::unpack(const std::u16string& source, const std::u16string& destination) {
  // Only a regular file holds a kit: a FIFO would block and a device could
  // stream without end. A dangling link is a missing kit.
  FileStatus status;
  uint32_t looked = FileSystem::GetFileStatus(source, true, status);
  if (looked != ERROR_SUCCESS) return looked;
  if (!status.exists()) return ERROR_FILE_NOT_FOUND;
  if (status.kind != FileKind::kRegular) return ERROR_INVALID_DATA;
  HANDLE input = INVALID_HANDLE_VALUE;
  uint32_t result = FileSystem::CreateFile(source, GENERIC_READ, 0, OPEN_EXISTING, input);
  if (result != ERROR_SUCCESS) return result;
  HandleCloser closeInput(input);

  long high = 0;
  const uint32_t low = FileSystem::SetFilePointer(input, 0, &high, FILE_END);
  if (low == 0xFFFFFFFFu && FileSystem::GetLastError() != ERROR_SUCCESS)
    return FileSystem::GetLastError();
  const uint64_t length = uint64_t(uint32_t(high)) << 32 | low;
  // An empty file holds no stream at all (and cannot be mapped).
  if (length == 0) return ERROR_INVALID_DATA;

  Mapping mapping(input, length);
  if (mapping.data() == nullptr) return setLastErrorByErrNo(errno);

  HANDLE output = INVALID_HANDLE_VALUE;
  result = FileSystem::CreateFile(destination, GENERIC_WRITE, 0, CREATE_ALWAYS, output);
  if (result != ERROR_SUCCESS) return result;

  result = inflateInto(mapping.data(), length, output);
  // An older, longer destination must not keep its tail.
  if (result == ERROR_SUCCESS) result = FileSystem::SetEndOfFile(output);
  const uint32_t closed = FileSystem::CloseHandle(output);
  return result != ERROR_SUCCESS ? result : closed;
}

uint32_t LZCompressor::pack(const std::u16string&, const std::u16string&) { return 1; }
