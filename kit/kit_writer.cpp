#include "kit/kit_writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "kit/container_builder.h"
#include "platform/text.h"

namespace config {

namespace {

const uint64_t kMaxContainerSize = 0xFFFFFFFFu;
const size_t kChunk = 1 << 20;

typedef std::function<bool(const char* data, size_t size)> ByteSink;

bool fail(std::string* error, const std::string& message) {
  if (error != nullptr) *error = message;
  return false;
}

uint64_t sizeOf(const KitFileSpec& file) {
  return file.sourcePath.empty() ? file.data.size() : file.sourceSize;
}

// Sends the bytes of a source file, which must still have its listed size
// (and, with `crc`, the listed checksum).
bool emitSourceFile(const KitFileSpec& file, const ByteSink& sink, std::string* error,
                    const uint32_t* crc = nullptr) {
  FILE* stream = fopen(file.sourcePath.c_str(), "rb");
  if (stream == nullptr) return fail(error, file.sourcePath + ": " + strerror(errno));
  std::unique_ptr<char[]> chunk(new char[kChunk]);
  uint64_t total = 0;
  uLong sum = crc32(0L, Z_NULL, 0);
  bool ok = true;
  while (ok) {
    const size_t got = fread(chunk.get(), 1, kChunk, stream);
    if (got == 0) break;
    total += got;
    if (total > file.sourceSize) break;
    sum = crc32(sum, reinterpret_cast<const Bytef*>(chunk.get()), uInt(got));
    if (!sink(chunk.get(), got)) ok = fail(error, "write failed");
  }
  if (ok && ferror(stream)) ok = fail(error, file.sourcePath + ": read error");
  fclose(stream);
  if (ok && total != file.sourceSize) ok = fail(error, file.sourcePath + ": changed size while packing");
  if (ok && crc != nullptr && uint32_t(sum) != *crc)
    ok = fail(error, file.sourcePath + ": changed while packing");
  return ok;
}

// The checksum of a kit file's bytes, read once before the header is built
// (the header comes first in the container).
bool checksumOf(const KitFileSpec& file, uint32_t& crc, std::string* error) {
  if (file.sourcePath.empty()) {
    crc = crc32Of(file.data);
    return true;
  }
  uLong sum = crc32(0L, Z_NULL, 0);
  const bool ok = emitSourceFile(file, [&sum](const char* data, size_t size) {
    sum = crc32(sum, reinterpret_cast<const Bytef*>(data), uInt(size));
    return true;
  }, error);
  crc = uint32_t(sum);
  return ok;
}

// Header, entry table and data area, in that order, into `sink`.
bool emitContainer(const KitSpec& kit, const KitLayout& layout, const ByteSink& sink,
                   std::string* error) {
  const size_t count = kit.files.size();
  if (count > 0xFFFFFFFFu) return fail(error, "too many files");
  std::vector<size_t> dataOrder(count);
  for (size_t i = 0; i < count; ++i) dataOrder[i] = layout.reverseData ? count - 1 - i : i;

  std::vector<uint64_t> offsets(count);
  uint64_t dataSize = 0;
  for (size_t index : dataOrder) {
    offsets[index] = dataSize;
    dataSize += sizeOf(kit.files[index]);
  }

  if (!kit.kitVersion.empty() && (kit.singleForm || kit.descriptions.empty()))
    return fail(error, "a kit version needs a description record to carry it");
  if (kit.kitVersion.size() > kMaxKitVersionUnits || hasUnprintableCharacter(kit.kitVersion))
    return fail(error, "the kit version is too long or holds a control character");
  ContainerBuilder header;
  if (kit.singleForm) {
    const KitDescription none;
    const KitDescription& d = kit.descriptions.empty() ? none : kit.descriptions[0];
    header.u32(0).string(d.productName).string(d.providerName).string(d.descriptionPath);
  } else {
    header.u32(1).u32(uint32_t(kit.descriptions.size()));
    for (const KitDescription& d : kit.descriptions)
      header.descriptionRecord(d, layout.descriptionPadding, kit.kitVersion);
  }
  header.u32(uint32_t(count));
  std::vector<uint32_t> crcs(count);
  for (size_t i = 0; i < count; ++i) {
    const KitFileSpec& file = kit.files[i];
    if (!isSafeEntryName(file.name))
      return fail(error, "unsafe entry name \"" + utf16_to_utf8(file.name) + "\"");
    if (offsets[i] > kMaxContainerSize) return fail(error, "the kit would reach 4 GiB");
    if (layout.checksums && !checksumOf(file, crcs[i], error)) return false;
    header.entryRecord(file.name, file.lastWriteTime, uint32_t(offsets[i]), uint32_t(sizeOf(file)),
                       layout.entryPadding, layout.checksums ? &crcs[i] : nullptr);
  }
  if (header.bytes().size() + dataSize > kMaxContainerSize)
    return fail(error, "the kit would reach 4 GiB");

  if (!sink(header.bytes().data(), header.bytes().size())) return fail(error, "write failed");
  for (size_t index : dataOrder) {
    const KitFileSpec& file = kit.files[index];
    if (!file.sourcePath.empty()) {
      if (!emitSourceFile(file, sink, error, layout.checksums ? &crcs[index] : nullptr)) return false;
    } else if (!file.data.empty() && !sink(file.data.data(), file.data.size())) {
      return fail(error, "write failed");
    }
  }
  return true;
}

// Raw DEFLATE into a stdio stream.
class DeflateFile {
 public:
  DeflateFile(FILE* out, int level) : out_(out), buffer_(new unsigned char[kChunk]) {
    ok_ = deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    initialised_ = ok_;
  }
  ~DeflateFile() {
    if (initialised_) deflateEnd(&stream_);
  }
  DeflateFile(const DeflateFile&) = delete;
  DeflateFile& operator=(const DeflateFile&) = delete;

  bool write(const char* data, size_t size) {
    while (ok_ && size > 0) {
      const size_t slice = std::min<size_t>(size, 1u << 30);
      stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
      stream_.avail_in = uInt(slice);
      pump(Z_NO_FLUSH);
      data += slice;
      size -= slice;
    }
    return ok_;
  }

  uint64_t written() const { return stream_.total_out; }

  bool finish() {
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    pump(Z_FINISH);
    return ok_;
  }

 private:
  void pump(int flush) {
    do {
      stream_.next_out = buffer_.get();
      stream_.avail_out = uInt(kChunk);
      const int code = deflate(&stream_, flush);
      if (code == Z_STREAM_ERROR) ok_ = false;
      const size_t produced = kChunk - stream_.avail_out;
      if (ok_ && produced > 0 && fwrite(buffer_.get(), 1, produced, out_) != produced) ok_ = false;
      if (code == Z_STREAM_END) break;
    } while (ok_ && (stream_.avail_out == 0 || stream_.avail_in > 0 || flush == Z_FINISH));
  }

  FILE* out_;
  z_stream stream_ = z_stream();
  std::unique_ptr<unsigned char[]> buffer_;
  bool ok_ = false;
  bool initialised_ = false;
};

bool isDirectory(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool listTree(const std::string& root, const std::string& relative,
              std::vector<KitFileSpec>& files, std::string* error) {
  const std::string directory = relative.empty() ? root : root + "/" + relative;
  DIR* stream = opendir(directory.c_str());
  if (stream == nullptr) return fail(error, directory + ": " + strerror(errno));
  std::vector<std::string> names;
  while (const dirent* item = readdir(stream)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    const std::string path = directory + "/" + name;
    const std::string childRelative = relative.empty() ? name : relative + "/" + name;
    if (name.find('\\') != std::string::npos)
      return fail(error, path + ": a backslash cannot be stored in a kit name");
    if (isDirectory(path)) {
      if (!listTree(root, childRelative, files, error)) return false;
      continue;
    }
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return fail(error, path + ": " + strerror(errno));
    if (!S_ISREG(status.st_mode)) continue;  // sockets, fifos, devices, dangling links
    std::u16string wideName = widen_lib(childRelative);
    if (wideName.empty()) return fail(error, path + ": name not valid in this locale");
    replace_all(wideName, kPathSeparator, kBadPathSeparator);
    // An installed file keeps whole seconds only; a fraction here would make
    // every file look newer than its installed copy on each reinstall.
    KitFileSpec file(wideName, std::string(), fileTimeFromUnix(status.st_mtim.tv_sec, 0));
    file.sourcePath = path;
    file.sourceSize = uint64_t(status.st_size);
    files.push_back(std::move(file));
  }
  return true;
}

}  // namespace

uint32_t crc32Of(const std::string& data) {
  uLong sum = crc32(0L, Z_NULL, 0);
  // zlib takes at most 4 GiB - 1 bytes per call.
  for (size_t done = 0; done < data.size();) {
    const size_t slice = std::min<size_t>(data.size() - done, 1u << 30);
    sum = crc32(sum, reinterpret_cast<const Bytef*>(data.data() + done), uInt(slice));
    done += slice;
  }
  return uint32_t(sum);
}

bool buildContainer(const KitSpec& kit, const KitLayout& layout, std::string& container,
                    std::string* error) {
  container.clear();
  return emitContainer(kit, layout, [&container](const char* data, size_t size) {
    container.append(data, size);
    return true;
  }, error);
}

bool writeKitStream(FILE* out, const KitSpec& kit, const KitLayout& layout,
                    const KitProgress& progress, KitSizes* sizes, std::string* error) {
  DeflateFile deflater(out, layout.level);
  uint64_t sent = 0;
  uint64_t reported = 0;
  bool ok = emitContainer(kit, layout, [&](const char* data, size_t size) {
    sent += size;
    if (progress && sent - reported >= kChunk) {
      progress(sent);
      reported = sent;
    }
    return deflater.write(data, size);
  }, error);
  if (ok && !deflater.finish()) ok = fail(error, "write failed");
  if (ok && progress) progress(sent);
  if (sizes != nullptr) *sizes = KitSizes{sent, deflater.written()};
  return ok;
}

bool writeKit(const std::string& path, const KitSpec& kit, const KitLayout& layout,
              std::string* error, const KitProgress& progress, KitSizes* sizes) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr) return fail(error, path + ": " + strerror(errno));
  bool ok = writeKitStream(out, kit, layout, progress, sizes, error);
  if (!ok && error != nullptr && error->rfind("write failed", 0) == 0) *error = path + ": " + *error;
  if (fclose(out) != 0 && ok) ok = fail(error, path + ": " + strerror(errno));
  if (!ok) unlink(path.c_str());
  return ok;
}

bool writeKit(const std::string& path, const std::vector<KitFileSpec>& files, std::string* error) {
  KitSpec kit;
  kit.descriptions.push_back(KitDescription{u"en", u"Product", u"Vendor", u"readme.html"});
  kit.files = files;
  return writeKit(path, kit, KitLayout(), error);
}

bool listKitTree(const std::string& root, std::vector<KitFileSpec>& files, std::string* error) {
  files.clear();
  if (!isDirectory(root)) {
    struct stat status;
    if (stat(root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
      return fail(error, root + ": not a directory");
  }
  if (!listTree(root, std::string(), files, error)) return false;
  // UTF-16 order differs from UTF-8 order above U+FFFF; the documented
  // order is that of the UTF-8 bytes.
  std::vector<std::pair<std::string, KitFileSpec>> sorted;
  sorted.reserve(files.size());
  for (KitFileSpec& file : files) sorted.emplace_back(utf16_to_utf8(file.name), std::move(file));
  std::sort(sorted.begin(), sorted.end(),
            [](const std::pair<std::string, KitFileSpec>& a, const std::pair<std::string, KitFileSpec>& b) {
              return a.first < b.first;
            });
  for (size_t i = 0; i < files.size(); ++i) files[i] = std::move(sorted[i].second);
  return true;
}

namespace {

uint64_t ticksOf(_FILETIME time) { return uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime; }

}  // namespace

void clampKitTimes(std::vector<KitFileSpec>& files, _FILETIME latest) {
  for (KitFileSpec& file : files)
    if (ticksOf(file.lastWriteTime) > ticksOf(latest)) file.lastWriteTime = latest;
}

void setKitTimes(std::vector<KitFileSpec>& files, _FILETIME time) {
  for (KitFileSpec& file : files) file.lastWriteTime = time;
}

_FILETIME fileTimeFromUnix(int64_t seconds, long nanoseconds) {
  const uint64_t ticks = uint64_t(seconds + kFileTimeEpochOffsetSeconds) * kFileTimeIntervalsPerSecond +
                         uint64_t(nanoseconds / 100);
  return _FILETIME{uint32_t(ticks), uint32_t(ticks >> 32)};
}

}  // namespace config
