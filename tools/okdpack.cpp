// okdpack: builds, lists and checks distribution kits.
//
//   okdpack DIR -o KIT [--description CODE PRODUCT VENDOR DOCPATH]...
//                      [--single PRODUCT VENDOR DOCPATH] [--level 0-9]
//   okdpack --list KIT
//   okdpack --verify KIT
//   okdpack --help | --version
//
// Packing stores every regular file below DIR, sorted by name, with "\"
// separators, the files' modification times and the CRC-32 of every file;
// the same tree always gives the same kit byte for byte. Listing and checking open the kit exactly as
// the wizard does.
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kit/kit_reader.h"
#include "kit/kit_writer.h"
#include "kit/lz_compressor.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "resources/version.h"

namespace {

using config::KitReader;

const char kUsage[] =
    "usage: okdpack DIR -o KIT [--description CODE PRODUCT VENDOR DOCPATH]...\n"
    "                          [--single PRODUCT VENDOR DOCPATH] [--level 0-9]\n"
    "       okdpack --list KIT\n"
    "       okdpack --verify KIT\n"
    "       okdpack --help | --version\n";

int usage(const char* problem) {
  if (problem != nullptr) fprintf(stderr, "okdpack: %s\n", problem);
  fputs(kUsage, stderr);
  return 2;
}

// A text of the kit as it may be printed: names and descriptions of a kit
// from elsewhere send no escape sequence to the terminal. Entry names keep
// their "\" separators as they are.
std::string text(const std::u16string& wide) { return printable(narrow_lib(wide), Backslash::kKept); }

// Document paths are stored with "\" separators.
std::u16string storedPath(const char* path) {
  std::u16string wide = widen_lib(path);
  replace_all(wide, kPathSeparator, kBadPathSeparator);
  return wide;
}

std::string formatTime(const _FILETIME& time) {
  const uint64_t ticks = uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
  const int64_t seconds = int64_t(ticks / kFileTimeIntervalsPerSecond) - kFileTimeEpochOffsetSeconds;
  const unsigned fraction = unsigned(ticks % kFileTimeIntervalsPerSecond);
  const time_t t = time_t(seconds);
  struct tm parts;
  char buffer[64];
  if (gmtime_r(&t, &parts) == nullptr || strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts) == 0)
    return "?";
  char result[96];
  snprintf(result, sizeof result, "%s.%07u", buffer, fraction);
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

int listKit(const char* path) {
  KitReader reader;
  if (!openKit(path, reader)) return 1;
  printf("descriptions: %zu\n", reader.descriptions.size());
  for (const config::KitDescription& d : reader.descriptions)
    printf("  [%s] product \"%s\", vendor \"%s\", document \"%s\"\n", text(d.languageCode).c_str(),
           text(d.productName).c_str(), text(d.providerName).c_str(), text(d.descriptionPath).c_str());
  printf("entries: %zu\n", reader.entries.size());
  for (const config::KitEntry& e : reader.entries)
    printf("  %10u  %s  %s\n", e.size, formatTime(e.lastWriteTime).c_str(), text(e.name).c_str());
  return 0;
}

int verifyKit(const char* path) {
  KitReader reader;
  if (!openKit(path, reader)) return 1;
  uint64_t bytes = 0;
  size_t summed = 0;
  for (const config::KitEntry& e : reader.entries) {
    bytes += e.size;
    summed += e.hasCrc32;
  }
  printf("%s: ok, %zu descriptions, %zu entries, %zu with checksums, %llu bytes of files\n", path,
         reader.descriptions.size(), reader.entries.size(), summed, (unsigned long long)bytes);
  return 0;
}

// A kit written into the tree it packs must not pack an older copy of itself.
void leaveOut(const char* output, std::vector<config::KitFileSpec>& files) {
  struct stat kit;
  if (stat(output, &kit) != 0) return;
  files.erase(std::remove_if(files.begin(), files.end(),
                             [&kit](const config::KitFileSpec& file) {
                               struct stat status;
                               return stat(file.sourcePath.c_str(), &status) == 0 &&
                                      status.st_dev == kit.st_dev && status.st_ino == kit.st_ino;
                             }),
              files.end());
}

int packKit(int argc, char** argv) {
  const char* directory = nullptr;
  const char* output = nullptr;
  config::KitSpec kit;
  config::KitLayout layout;
  bool single = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const int left = argc - i - 1;
    if (arg == "-o" && left >= 1) {
      output = argv[++i];
    } else if (arg == "--description" && left >= 4) {
      kit.descriptions.push_back({widen_lib(argv[i + 1]), widen_lib(argv[i + 2]),
                                  widen_lib(argv[i + 3]), storedPath(argv[i + 4])});
      i += 4;
    } else if (arg == "--single" && left >= 3) {
      if (single) return usage("--single may be given once");
      single = true;
      kit.descriptions.push_back({u"en", widen_lib(argv[i + 1]), widen_lib(argv[i + 2]),
                                  storedPath(argv[i + 3])});
      i += 3;
    } else if (arg == "--level" && left >= 1) {
      const char* level = argv[++i];
      if (strlen(level) != 1 || level[0] < '0' || level[0] > '9') return usage("--level takes 0 to 9");
      layout.level = level[0] - '0';
    } else if (!arg.empty() && arg[0] == '-') {
      return usage(("unknown or incomplete option " + arg).c_str());
    } else if (directory == nullptr) {
      directory = argv[i];
    } else {
      return usage("more than one directory given");
    }
  }
  if (directory == nullptr || output == nullptr) return usage("a directory and -o KIT are needed");
  if (single && kit.descriptions.size() != 1)
    return usage("--single and --description cannot be combined");
  kit.singleForm = single;

  std::string error;
  if (!config::listKitTree(directory, kit.files, &error)) {
    fprintf(stderr, "okdpack: %s\n", printable(error).c_str());
    return 1;
  }
  leaveOut(output, kit.files);
  if (!config::writeKit(output, kit, layout, &error)) {
    fprintf(stderr, "okdpack: %s\n", printable(error).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  init_locale_from_environment();
  if (argc == 3 && strcmp(argv[1], "--list") == 0) return listKit(argv[2]);
  if (argc == 3 && strcmp(argv[1], "--verify") == 0) return verifyKit(argv[2]);
  if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("okdpack %s\n", program_version());
    return 0;
  }
  return packKit(argc, argv);
}
