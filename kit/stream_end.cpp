#include "kit/stream_end.h"

#include <zlib.h>

#include <cerrno>
#include <memory>

#include "platform/file_system.h"

namespace config {

namespace {

const uint32_t kChunk = 1 << 16;

// Feeds the stream from `handle` until its final block or the file's end.
KitStreamCheck inflateToEnd(HANDLE handle, z_stream& stream) {
  KitStreamCheck check;
  std::unique_ptr<unsigned char[]> in(new unsigned char[kChunk]);
  std::unique_ptr<unsigned char[]> out(new unsigned char[kChunk]);
  int code = Z_OK;
  while (code != Z_STREAM_END) {
    if (stream.avail_in == 0) {
      uint32_t got = 0;
      check.error = FileSystem::ReadFile(handle, in.get(), kChunk, &got, nullptr);
      if (check.error != ERROR_SUCCESS) return check;
      if (got == 0) break;
      check.fileBytes += got;
      stream.next_in = in.get();
      stream.avail_in = got;
    }
    stream.next_out = out.get();
    stream.avail_out = kChunk;
    code = inflate(&stream, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) {
      check.end = KitStreamEnd::kCorrupt;
      return check;
    }
  }
  check.streamBytes = check.fileBytes - stream.avail_in;
  if (code != Z_STREAM_END) {
    check.end = check.fileBytes == 0 ? KitStreamEnd::kCorrupt : KitStreamEnd::kCutShort;
    return check;
  }
  uint32_t got = 0;
  check.error = FileSystem::ReadFile(handle, in.get(), 1, &got, nullptr);
  if (check.error != ERROR_SUCCESS) return check;
  check.fileBytes += got;
  check.end = check.fileBytes > check.streamBytes ? KitStreamEnd::kTrailingBytes : KitStreamEnd::kWhole;
  return check;
}

}  // namespace

KitStreamCheck checkKitStream(const std::u16string& path) {
  KitStreamCheck check;
  HANDLE handle = INVALID_HANDLE_VALUE;
  check.error = FileSystem::CreateFile(path, GENERIC_READ, 0, OPEN_EXISTING, handle);
  if (handle == INVALID_HANDLE_VALUE) {
    if (check.error == ERROR_SUCCESS) check.error = ERROR_INVALID_HANDLE;
    return check;
  }
  z_stream stream = z_stream();
  if (inflateInit2(&stream, -15) != Z_OK) {
    FileSystem::CloseHandle(handle);
    check.error = system_error(ENOMEM);
    return check;
  }
  check = inflateToEnd(handle, stream);
  inflateEnd(&stream);
  FileSystem::CloseHandle(handle);
  return check;
}

std::string describeKitStreamEnd(const KitStreamCheck& check) {
  switch (check.end) {
    case KitStreamEnd::kWhole: return "one whole stream";
    case KitStreamEnd::kCutShort: return "cut short: the file ends before its stream does";
    case KitStreamEnd::kTrailingBytes:
      return std::to_string(check.fileBytes - check.streamBytes) + " byte(s) after the end of its stream";
    case KitStreamEnd::kCorrupt: return "its stream is damaged";
    case KitStreamEnd::kUnreadable: break;
  }
  return "cannot be read (error " + std::to_string(check.error) + ")";
}

}  // namespace config
