#include "kit/lz_compressor.h"

#include <sys/mman.h>
#include <unistd.h>
#include <libdeflate.h>
#include <zlib.h>

#include <cstdio>
#include <new>
#include <vector>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "kit/container_extent.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/regular_file.h"

const uint32_t LZCompressor::kBufferSize;

#if defined(__SANITIZE_ADDRESS__)
#define OVN8_ADDRESS_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OVN8_ADDRESS_CHECKED 1
#endif
#endif
#ifndef OVN8_ADDRESS_CHECKED
#define OVN8_ADDRESS_CHECKED 0
#endif

namespace {

// zlib counts input in 32-bit units; larger mappings are fed in slices.
const uint64_t kMaxInputSlice = 1u << 30;
// Slices of a kit that is inflated into a file: the pages behind each are
// given back, so that a large kit never stays resident as a whole.
const uint64_t kReleasedInputSlice = 8u << 20;
// The system's memory report is a few dozen lines.
const uint64_t kMaxMeminfoBytes = 64u << 10;

// A read-only private mapping of a whole open file.
class Mapping {
 public:
  Mapping() = default;
  ~Mapping() { FileSystem::UnmapFile(data_, size_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  uint32_t map(HANDLE handle, uint64_t size) {
    size_ = size;
    return FileSystem::MapFile(handle, size, data_);
  }
  const uint8_t* data() const { return data_; }

 private:
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

// zlib's raw inflate over a mapping of any size, filling caller buffers.
class RawInflater {
 public:
  enum Step {
    kEnded,   // the end marker, or the input used up (a cut stream keeps what it gave)
    kFull,    // the buffer is full and more may follow
    kBroken,  // corrupt data, exhausted memory, or a stream that stalls with input left
  };

  // `releaseBehind`: `input` is a private file mapping whose pages may be
  // dropped once inflate has consumed them (they are read again from the
  // file only if touched again, which inflate never does).
  RawInflater(const uint8_t* input, uint64_t size, bool releaseBehind = false)
      : input_(input), size_(size), slice_(releaseBehind ? kReleasedInputSlice : kMaxInputSlice),
        releaseBehind_(releaseBehind) {
    ready_ = inflateInit2(&stream_, -15) == Z_OK;
  }
  ~RawInflater() {
    if (ready_) inflateEnd(&stream_);
  }
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;

  bool ready() const { return ready_; }

  Step fill(uint8_t* out, uint64_t capacity, uint64_t& produced) {
    produced = 0;
    while (true) {
      if (stream_.avail_in == 0 && fed_ < size_) {
        releaseConsumed();
        const uint64_t slice = std::min(size_ - fed_, slice_);
        stream_.next_in = const_cast<Bytef*>(input_ + fed_);
        stream_.avail_in = uInt(slice);
        fed_ += slice;
      }
      const uint64_t room = capacity - produced;
      if (room == 0) return kFull;
      const uInt given = uInt(std::min(room, kMaxInputSlice));
      stream_.next_out = out + produced;
      stream_.avail_out = given;
      const int code = inflate(&stream_, Z_NO_FLUSH);
      produced += given - stream_.avail_out;
      const bool inputUsedUp = stream_.avail_in == 0 && fed_ == size_;
      if (code == Z_STREAM_END) return kEnded;
      if (code == Z_OK || code == Z_BUF_ERROR) {
        if (inputUsedUp && stream_.avail_out > 0) return kEnded;
        if (code == Z_BUF_ERROR && !(stream_.avail_in == 0 && fed_ < size_)) return kBroken;
        continue;
      }
      return kBroken;
    }
  }

 private:
  // Everything before fed_ has been consumed.
  void releaseConsumed() {
    if (!releaseBehind_) return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t from = reinterpret_cast<uintptr_t>(input_ + released_);
    const uintptr_t to = reinterpret_cast<uintptr_t>(input_ + fed_) / page * page;
    if (to <= from) return;
    madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    released_ = to - reinterpret_cast<uintptr_t>(input_);
  }

  z_stream stream_ = z_stream();
  const uint8_t* input_;
  uint64_t size_;
  uint64_t slice_;
  bool releaseBehind_;
  uint64_t fed_ = 0;
  uint64_t released_ = 0;
  bool ready_ = false;
};

// Inflates `input` and writes the output in chunks of kBufferSize bytes,
// one WriteFile per chunk.
uint32_t inflateInto(const uint8_t* input, uint64_t inputSize, HANDLE destination) {
  RawInflater inflater(input, inputSize, true);
  if (!inflater.ready()) return ERROR_INVALID_DATA;
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[LZCompressor::kBufferSize]);
  RawInflater::Step step;
  do {
    uint64_t produced = 0;
    step = inflater.fill(chunk.get(), LZCompressor::kBufferSize, produced);
    if (produced > 0) {
      uint32_t written = 0;
      const uint32_t error = FileSystem::WriteFile(destination, chunk.get(), uint32_t(produced), &written, nullptr);
      if (error != ERROR_SUCCESS) return error;
    }
  } while (step == RawInflater::kFull);
  return step == RawInflater::kBroken ? ERROR_INVALID_DATA : ERROR_SUCCESS;
}

// The kit, open and mapped whole.
struct MappedKit {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint64_t length = 0;
  std::unique_ptr<Mapping> mapping;

  MappedKit() = default;
  MappedKit(const MappedKit&) = delete;
  MappedKit& operator=(const MappedKit&) = delete;
  ~MappedKit() {
    mapping.reset();
    if (handle != INVALID_HANDLE_VALUE) FileSystem::CloseHandle(handle);
  }
};

uint32_t mapKit(const std::u16string& source, MappedKit& kit) {
  // Only a regular file holds a kit: a FIFO would block and a device could
  // stream without end. A dangling link is a missing kit.
  FileStatus status;
  uint32_t looked = FileSystem::GetFileStatus(source, true, status);
  if (looked != ERROR_SUCCESS) return looked;
  if (!status.exists()) return ERROR_FILE_NOT_FOUND;
  if (status.kind != FileKind::kRegular) return ERROR_INVALID_DATA;
  uint32_t result = FileSystem::CreateFile(source, GENERIC_READ, 0, OPEN_EXISTING, kit.handle);
  if (result != ERROR_SUCCESS) return result;

  // The file opened is looked at again: the path may name another by now.
  result = FileSystem::GetHandleStatus(kit.handle, status);
  if (result != ERROR_SUCCESS) return result;
  if (status.kind != FileKind::kRegular) return ERROR_INVALID_DATA;
  kit.length = status.size;
  // An empty file holds no stream at all (and cannot be mapped).
  if (kit.length == 0) return ERROR_INVALID_DATA;

  kit.mapping.reset(new Mapping());
  return kit.mapping->map(kit.handle, kit.length);
}

// The header of a container is read this far at most to learn its size;
// an entry table larger than that leaves the kit to the file.
const uint64_t kMaxHeaderPeek = 32u << 20;
const uint64_t kPeekStep = 64u << 10;

// Decodes the whole stream with the whole-buffer decoder into at most
// `capacity` bytes.
libdeflate_result decodeWhole(const MappedKit& kit, uint8_t* out, uint64_t capacity, uint64_t& produced) {
  libdeflate_decompressor* decoder = libdeflate_alloc_decompressor();
  if (decoder == nullptr) return LIBDEFLATE_BAD_DATA;
  size_t used = 0;
  size_t got = 0;
  const libdeflate_result result =
      libdeflate_deflate_decompress_ex(decoder, kit.mapping->data(), size_t(kit.length), out,
                                       size_t(capacity), &used, &got);
  libdeflate_free_decompressor(decoder);
  produced = got;
  return result;
}

// Fresh pages for a container of `size` bytes, null when there is no room.
// The decoder fills them once, front to back: large pages take one fault
// per 2 MiB instead of one per 4 KiB, and nothing is cleared beforehand.
std::unique_ptr<uint8_t[], ContainerPages> containerPages(size_t size) {
#if OVN8_ADDRESS_CHECKED
  // The address checker guards heap blocks only: reads past the container
  // must show in the sanitizer and fuzzer builds.
  return std::unique_ptr<uint8_t[], ContainerPages>(new (std::nothrow) uint8_t[size], ContainerPages{0});
#else
  void* pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return std::unique_ptr<uint8_t[], ContainerPages>();
  madvise(pages, size, MADV_HUGEPAGE);
  return std::unique_ptr<uint8_t[], ContainerPages>(static_cast<uint8_t*>(pages), ContainerPages{size});
#endif
}

}  // namespace

void ContainerPages::operator()(uint8_t* bytes) const {
  if (bytes == nullptr) return;
  if (mapped == 0)
    delete[] bytes;
  else
    munmap(bytes, mapped);
}

uint32_t LZCompressor::unpackToMemory(const std::u16string& source, uint64_t limit, Inflater inflater,
                                      UnpackedContainer& container, bool& fits) {
  fits = false;
  container = UnpackedContainer();
  MappedKit kit;
  const uint32_t result = mapKit(source, kit);
  if (result != ERROR_SUCCESS) return result;
  RawInflater zlib(kit.mapping->data(), kit.length);
  if (!zlib.ready()) return ERROR_INVALID_DATA;

  // zlib unpacks the header until the entry table tells the container's size.
  std::vector<uint8_t> header;
  uint64_t extent = 0;
  RawInflater::Step step = RawInflater::kFull;
  while (true) {
    const size_t had = header.size();
    header.resize(had + kPeekStep);
    uint64_t produced = 0;
    step = zlib.fill(header.data() + had, kPeekStep, produced);
    header.resize(had + produced);
    if (step == RawInflater::kBroken) return ERROR_INVALID_DATA;
    if (step == RawInflater::kEnded) break;
    const config::ExtentResult known = config::containerExtent(header.data(), header.size(), extent);
    if (known == config::ExtentResult::kUnknown) return ERROR_SUCCESS;
    if (known == config::ExtentResult::kKnown) break;
    if (header.size() >= kMaxHeaderPeek) return ERROR_SUCCESS;
  }
  // One byte more than needed, so that a stream that goes on past the
  // entries shows as not fitting.
  const uint64_t capacity =
      step == RawInflater::kEnded ? header.size() : std::max<uint64_t>(extent, header.size()) + 1;
  if (capacity > limit || capacity > SIZE_MAX) return ERROR_SUCCESS;
  container.bytes = containerPages(size_t(std::max<uint64_t>(capacity, 1)));
  if (container.bytes == nullptr) return ERROR_SUCCESS;
  std::copy(header.begin(), header.end(), container.bytes.get());
  container.size = header.size();
  if (step != RawInflater::kEnded) {
    uint64_t produced = 0;
    const libdeflate_result decoded = inflater == Inflater::kFastest
                                          ? decodeWhole(kit, container.bytes.get(), capacity, produced)
                                          : LIBDEFLATE_BAD_DATA;
    if (decoded == LIBDEFLATE_SUCCESS) {
      step = RawInflater::kEnded;
    } else if (decoded == LIBDEFLATE_INSUFFICIENT_SPACE) {
      step = RawInflater::kFull;
    } else {
      // The whole-buffer decoder refuses cut streams, which zlib accepts.
      step = zlib.fill(container.bytes.get() + header.size(), capacity - header.size(), produced);
      produced += header.size();
    }
    if (step == RawInflater::kBroken) {
      container = UnpackedContainer();
      return ERROR_INVALID_DATA;
    }
    container.size = produced;
  }
  if (step != RawInflater::kEnded) {
    container = UnpackedContainer();
    return ERROR_SUCCESS;
  }
  fits = true;
  return ERROR_SUCCESS;
}

uint64_t LZCompressor::memoryLimit() {
  std::string meminfo;
  if (read_regular_file(u"/proc/meminfo", kMaxMeminfoBytes, meminfo) != ERROR_SUCCESS) return 0;
  const size_t at = meminfo.find("MemAvailable:");
  unsigned long long kilobytes = 0;
  if (at == std::string::npos || sscanf(meminfo.c_str() + at, "MemAvailable: %llu kB", &kilobytes) != 1)
    return 0;
  return uint64_t(kilobytes) * 1024 / 4;
}

uint32_t LZCompressor::unpack(const std::u16string& source, const std::u16string& destination) {
  MappedKit kit;
  uint32_t result = mapKit(source, kit);
  if (result != ERROR_SUCCESS) return result;

  HANDLE output = INVALID_HANDLE_VALUE;
  result = FileSystem::CreateFile(destination, GENERIC_WRITE, 0, CREATE_ALWAYS, output);
  if (result != ERROR_SUCCESS) return result;

  result = inflateInto(kit.mapping->data(), kit.length, output);
  // An older, longer destination must not keep its tail.
  if (result == ERROR_SUCCESS) result = FileSystem::SetEndOfFile(output);
  const uint32_t closed = FileSystem::CloseHandle(output);
  return result != ERROR_SUCCESS ? result : closed;
}

uint32_t LZCompressor::pack(const std::u16string&, const std::u16string&) { return 1; }
