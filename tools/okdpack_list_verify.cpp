// okdpack --list and --verify.
#include <time.h>

#include <cstdio>
#include <string>

#include "kit/kit_reader.h"
#include "kit/stream_end.h"
#include "platform/text.h"
#include "tools/okdpack.h"

namespace okdpack {

namespace {

using config::KitReader;

// ISO 8601 in UTC, with the 100 ns units a kit time carries.
std::string isoTime(const _FILETIME& time) {
  const uint64_t ticks = uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  const int64_t seconds = int64_t(ticks / kFileTimeIntervalsPerSecond) - kFileTimeEpochOffsetSeconds;
  const unsigned fraction = unsigned(ticks % kFileTimeIntervalsPerSecond);
  const time_t t = time_t(seconds);
  struct tm parts;
  char buffer[64];
  if (gmtime_r(&t, &parts) == nullptr || strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &parts) == 0)
    return "?";
  char result[96];
  snprintf(result, sizeof result, "%s.%07uZ", buffer, fraction);
  return result;
}

const char* describeError(uint32_t error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_INVALID_DATA: return "damaged (not a valid kit)";
    case ERROR_CANTWRITE: return "no temporary file could be created";
    default: return "cannot be read";
  }
}

// Opens the kit as the wizard does; prints why when it cannot.
bool openKit(const char* path, KitReader& reader) {
  const uint32_t error = reader.open(widen_lib(path));
  if (error == ERROR_SUCCESS) return true;
  fprintf(stderr, "okdpack: %s: %s (error %u): %s\n", path, describeError(error), error,
          reader.refusal().c_str());
  return false;
}

// Names as they lie below the template directory, "/" between folders.
std::string installedName(const std::u16string& stored) {
  return printableText(config::entryNameInDirectory(stored));
}

std::string kitVersionText(const KitReader& reader) {
  return reader.kitVersion().empty() ? "none" : "\"" + printableText(reader.kitVersion()) + "\"";
}

}  // namespace

std::string printableText(const std::u16string& wide) { return printable(narrow_lib(wide)); }

std::string byteCount(uint64_t bytes) {
  char text[64];
  if (bytes < 1000 * 1000) snprintf(text, sizeof text, "%.1f kB", bytes / 1000.0);
  else snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

int listKit(const char* path) {
  KitReader reader;
  if (!openKit(path, reader)) return 1;
  printf("kit version: %s\n", kitVersionText(reader).c_str());
  printf("descriptions: %zu\n", reader.descriptions.size());
  for (const config::KitDescription& d : reader.descriptions)
    printf("  [%s] product \"%s\", vendor \"%s\", document \"%s\"\n", printableText(d.languageCode).c_str(),
           printableText(d.productName).c_str(), printableText(d.providerName).c_str(),
           installedName(d.descriptionPath).c_str());
  printf("entries: %zu\n", reader.entries.size());
  printf("  %12s  %-8s  %-28s  %s\n", "size", "crc-32", "last written (UTC)", "name");
  uint64_t bytes = 0;
  size_t summed = 0;
  for (const config::KitEntry& e : reader.entries) {
    char crc[16] = "--------";
    if (e.hasCrc32) snprintf(crc, sizeof crc, "%08x", e.crc32);
    printf("  %12u  %-8s  %-28s  %s\n", e.size, crc, isoTime(e.lastWriteTime).c_str(),
           installedName(e.name).c_str());
    bytes += e.size;
    summed += e.hasCrc32;
  }
  printf("total: %zu entries, %llu bytes, %zu with a CRC-32\n", reader.entries.size(),
         (unsigned long long)bytes, summed);
  return 0;
}

int verifyKit(const char* path, const std::vector<std::string>& keyrings) {
  KitReader reader;
  if (!openKit(path, reader)) return 1;
  // The wizard accepts a cut stream whose container is whole and ignores
  // what follows the stream; a kit about to ship must be exactly a stream.
  const config::KitStreamCheck stream = config::checkKitStream(widen_lib(path));
  if (stream.end != config::KitStreamEnd::kWhole) {
    fprintf(stderr, "okdpack: %s: damaged (not a valid kit): %s\n", path,
            config::describeKitStreamEnd(stream).c_str());
    return 1;
  }
  uint64_t bytes = 0;
  size_t summed = 0;
  for (const config::KitEntry& e : reader.entries) {
    bytes += e.size;
    summed += e.hasCrc32;
  }
  if (verifySignature(path, keyrings) != 0) return 1;
  printf("%s: ok, kit version %s, %zu descriptions, %zu entries, %zu with checksums, %llu bytes of files\n",
         path, kitVersionText(reader).c_str(), reader.descriptions.size(), reader.entries.size(), summed,
         (unsigned long long)bytes);
  return 0;
}

}  // namespace okdpack
