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
#include "kit/inflater.h"
#include "kit/mapped_kit.h"
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

using config::StreamInflater;
using config::StreamDecoder;
using config::makeStreamInflater;
using config::MappedKit;
using config::mapKit;

// The system's memory report is a few dozen lines.
const uint64_t kMaxMeminfoBytes = 64u << 10;

// Inflates `input` and writes the output in chunks of kBufferSize bytes,
// one WriteFile per chunk.
uint32_t inflateInto(const uint8_t* input, uint64_t inputSize, HANDLE destination) {
  const std::unique_ptr<StreamInflater> inflater =
      makeStreamInflater(input, inputSize, StreamDecoder::kZlib, true);
  if (!inflater->ready()) return ERROR_INVALID_DATA;
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[LZCompressor::kBufferSize]);
  StreamInflater::Step step;
  do {
    uint64_t produced = 0;
    step = inflater->fill(chunk.get(), LZCompressor::kBufferSize, produced);
    if (produced > 0) {
      uint32_t written = 0;
      const uint32_t error = FileSystem::WriteFile(destination, chunk.get(), uint32_t(produced), &written, nullptr);
      if (error != ERROR_SUCCESS) return error;
    }
  } while (step == StreamInflater::kFull);
  return step == StreamInflater::kBroken ? ERROR_INVALID_DATA : ERROR_SUCCESS;
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
  // zlib, which accepts cut streams, goes on where the whole-buffer decoder gives up.
  const std::unique_ptr<StreamInflater> zlib =
      makeStreamInflater(kit.mapping->data(), kit.length, StreamDecoder::kZlib, false);
  if (!zlib->ready()) return ERROR_INVALID_DATA;

  // zlib unpacks the header until the entry table tells the container's size.
  std::vector<uint8_t> header;
  uint64_t extent = 0;
  StreamInflater::Step step = StreamInflater::kFull;
  while (true) {
    const size_t had = header.size();
    header.resize(had + kPeekStep);
    uint64_t produced = 0;
    step = zlib->fill(header.data() + had, kPeekStep, produced);
    header.resize(had + produced);
    if (step == StreamInflater::kBroken) return ERROR_INVALID_DATA;
    if (step == StreamInflater::kEnded) break;
    const config::ExtentResult known = config::containerExtent(header.data(), header.size(), extent);
    if (known == config::ExtentResult::kUnknown) return ERROR_SUCCESS;
    if (known == config::ExtentResult::kKnown) break;
    if (header.size() >= kMaxHeaderPeek) return ERROR_SUCCESS;
  }
  // One byte more than needed, so that a stream that goes on past the
  // entries shows as not fitting.
  const uint64_t capacity =
      step == StreamInflater::kEnded ? header.size() : std::max<uint64_t>(extent, header.size()) + 1;
  if (capacity > limit || capacity > SIZE_MAX) return ERROR_SUCCESS;
  container.bytes = containerPages(size_t(std::max<uint64_t>(capacity, 1)));
  if (container.bytes == nullptr) return ERROR_SUCCESS;
  std::copy(header.begin(), header.end(), container.bytes.get());
  container.size = header.size();
  if (step != StreamInflater::kEnded) {
    uint64_t produced = 0;
    const libdeflate_result decoded = inflater == Inflater::kFastest
                                          ? decodeWhole(kit, container.bytes.get(), capacity, produced)
                                          : LIBDEFLATE_BAD_DATA;
    if (decoded == LIBDEFLATE_SUCCESS) {
      step = StreamInflater::kEnded;
    } else if (decoded == LIBDEFLATE_INSUFFICIENT_SPACE) {
      step = StreamInflater::kFull;
    } else {
      // The whole-buffer decoder refuses cut streams, which zlib accepts.
      step = zlib->fill(container.bytes.get() + header.size(), capacity - header.size(), produced);
      produced += header.size();
    }
    if (step == StreamInflater::kBroken) {
      container = UnpackedContainer();
      return ERROR_INVALID_DATA;
    }
    container.size = produced;
  }
  if (step != StreamInflater::kEnded) {
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
