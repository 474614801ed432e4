// okdpack: builds, lists and checks distribution kits.
//
//   okdpack DIR -o KIT|- [--description CODE PRODUCT VENDOR DOCPATH]...
//                        [--single PRODUCT VENDOR DOCPATH] [--level 0-9]
//                        [--kit-version=STRING] [--mtime=TIME] [-q] [--strict]
//                        [--sign[=KEYID]]
//   okdpack --list KIT
//   okdpack --verify KIT [--keyring=FILE]...
//   okdpack --help | --version
//
// Packing stores every regular file below DIR, sorted bytewise by name,
// with "\" separators, the files' modification times (at most
// SOURCE_DATE_EPOCH when that is set) and the CRC-32 of every file; the
// same tree and options always give the same kit byte for byte. --sign has
// gpg sign it (KIT.sig). Listing and checking open the kit exactly as the
// wizard does; checking also has gpgv check a signature beside it.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kit/kit_writer.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "resources/lang.h"
#include "resources/version.h"
#include "tools/okdpack.h"

namespace {

const char kUsage[] =
    "usage: okdpack DIR -o KIT|- [--description CODE PRODUCT VENDOR DOCPATH]...\n"
    "                            [--single PRODUCT VENDOR DOCPATH] [--level 0-9]\n"
    "                            [--kit-version=STRING] [--mtime=TIME] [-q] [--strict]\n"
    "                            [--sign[=KEYID]]\n"
    "       okdpack --list KIT\n"
    "       okdpack --verify KIT [--keyring=FILE]...\n"
    "       okdpack --help | --version\n";

int usage(const std::string& problem) {
  if (!problem.empty()) fprintf(stderr, "okdpack: %s\n", problem.c_str());
  fputs(kUsage, stderr);
  return 2;
}

struct PackOptions {
  const char* directory = nullptr;
  const char* output = nullptr;
  config::KitSpec kit;
  config::KitLayout layout;
  bool single = false;
  bool quiet = false;
  bool strict = false;
  bool fixedTime = false;
  int64_t mtime = 0;
  bool sign = false;
  std::string signingKey;  // empty: gpg's default key
};

// Document paths are stored with "\" separators.
std::u16string storedPath(const char* path) {
  std::u16string wide = widen_lib(path);
  replace_all(wide, kPathSeparator, kBadPathSeparator);
  return wide;
}

// Seconds since 1970: "@N", "N", or a UTC time "YYYY-MM-DDTHH:MM:SSZ" (a
// space for the "T", the "Z" optional).
bool parseTime(const std::string& text, int64_t& seconds) {
  const std::string digits = !text.empty() && text[0] == '@' ? text.substr(1) : text;
  if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 19) {
    seconds = std::stoll(digits);
    return true;
  }
  struct tm parts = tm();
  char separator = 0;
  char zone[2] = {0, 0};
  int consumed = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n%1c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
             &separator, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed, zone) < 7 ||
      (separator != 'T' && separator != ' ') || (zone[0] != 0 && zone[0] != 'Z') ||
      size_t(consumed) + (zone[0] != 0) != text.size())
    return false;
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  seconds = int64_t(timegm(&parts));
  return seconds >= 0;
}

// "--name=value" or "--name value"; advances `i` past what it took.
bool optionValue(int argc, char** argv, int& i, const char* name, std::string& value) {
  const std::string arg = argv[i];
  const std::string prefix = std::string(name) + "=";
  if (arg.compare(0, prefix.size(), prefix) == 0) {
    value = arg.substr(prefix.size());
    return true;
  }
  if (arg != name || i + 1 >= argc) return false;
  value = argv[++i];
  return true;
}

// Empty, or why the command line cannot be used.
std::string parsePackOptions(int argc, char** argv, PackOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const int left = argc - i - 1;
    std::string value;
    if (arg == "-o" && left >= 1) {
      options.output = argv[++i];
    } else if (arg == "--description" && left >= 4) {
      options.kit.descriptions.push_back({widen_lib(argv[i + 1]), widen_lib(argv[i + 2]),
                                          widen_lib(argv[i + 3]), storedPath(argv[i + 4])});
      i += 4;
    } else if (arg == "--single" && left >= 3) {
      if (options.single) return "--single may be given once";
      options.single = true;
      options.kit.descriptions.push_back({u"en", widen_lib(argv[i + 1]), widen_lib(argv[i + 2]),
                                          storedPath(argv[i + 3])});
      i += 3;
    } else if (arg == "--level" && left >= 1) {
      const char* level = argv[++i];
      if (strlen(level) != 1 || level[0] < '0' || level[0] > '9') return "--level takes 0 to 9";
      options.layout.level = level[0] - '0';
    } else if (optionValue(argc, argv, i, "--kit-version", value)) {
      options.kit.kitVersion = widen_lib(value);
      if (options.kit.kitVersion.empty()) return "--kit-version needs a text";
    } else if (optionValue(argc, argv, i, "--mtime", value)) {
      if (!parseTime(value, options.mtime)) return "--mtime takes @SECONDS or YYYY-MM-DDTHH:MM:SSZ";
      options.fixedTime = true;
    } else if (arg == "--sign" || arg.compare(0, 7, "--sign=") == 0) {
      options.sign = true;
      options.signingKey = arg.size() > 7 ? arg.substr(7) : std::string();
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--strict") {
      options.strict = true;
    } else if (arg == "-") {
      return "a directory is needed, not \"-\"";
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown or incomplete option " + arg;
    } else if (options.directory == nullptr) {
      options.directory = argv[i];
    } else {
      return "more than one directory given";
    }
  }
  if (options.directory == nullptr || options.output == nullptr) return "a directory and -o KIT are needed";
  if (options.single && options.kit.descriptions.size() != 1) return "--single and --description cannot be combined";
  if (!options.kit.kitVersion.empty() && (options.single || options.kit.descriptions.empty()))
    return "--kit-version is stored in the description records: give at least one --description";
  if (options.sign && strcmp(options.output, "-") == 0) return "--sign needs a kit file beside which KIT.sig can lie";
  options.kit.singleForm = options.single;
  return std::string();
}

bool writesToStandardOutput(const PackOptions& options) { return strcmp(options.output, "-") == 0; }

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

// Times that do not depend on the checkout: --mtime sets them all;
// SOURCE_DATE_EPOCH is the latest any may have. Empty, or what is wrong.
std::string applyTimes(PackOptions& options) {
  if (options.fixedTime) {
    config::setKitTimes(options.kit.files, config::fileTimeFromUnix(options.mtime, 0));
    return std::string();
  }
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch == 0) return std::string();
  int64_t seconds = 0;
  if (!parseTime(epoch, seconds) || epoch[0] == '@' || strchr(epoch, '-') != nullptr)
    return "SOURCE_DATE_EPOCH must be a number of seconds";
  config::clampKitTimes(options.kit.files, config::fileTimeFromUnix(seconds, 0));
  return std::string();
}

std::string languageList() {
  std::string list;
  for (const auto& language : lang_table()) list += (list.empty() ? "" : " ") + language.second.code;
  return list;
}

// What the wizard would never show, or show other than the vendor meant.
std::vector<std::string> descriptionWarnings(const PackOptions& options) {
  std::vector<std::string> warnings;
  if (options.single) return warnings;
  std::set<std::u16string> names;
  for (const config::KitFileSpec& file : options.kit.files) names.insert(file.name);
  std::set<std::u16string> described;
  for (const config::KitDescription& d : options.kit.descriptions) {
    const std::string code = okdpack::printableText(d.languageCode);
    if (get_lang_id_by_lang_code(narrow_lib(d.languageCode)) == LANG_NONE)
      warnings.push_back("language code \"" + code + "\" is not one the wizard knows (" + languageList() +
                         "); that description is never shown");
    if (!described.insert(d.languageCode).second)
      warnings.push_back("language \"" + code + "\" is described twice; the wizard shows the first");
    std::u16string document;
    if (!d.descriptionPath.empty() &&
        (!config::normalizeEntryName(d.descriptionPath, document) || names.count(document) == 0))
      warnings.push_back("[" + code + "] document \"" +
                         okdpack::printableText(config::entryNameInDirectory(d.descriptionPath)) +
                         "\" is not in the tree");
  }
  return warnings;
}

// A line on the terminal that follows a pack taking more than half a
// second; nothing when standard error is not a terminal.
class ProgressLine {
 public:
  ProgressLine(bool wanted, uint64_t total) : shown_(false), total_(std::max<uint64_t>(total, 1)) {
    enabled_ = wanted && isatty(STDERR_FILENO);
    start_ = last_ = now();
  }
  ~ProgressLine() {
    if (shown_) fputs("\r\x1b[K", stderr);
  }
  void update(uint64_t done) {
    if (!enabled_) return;
    const double at = now();
    if (at - start_ < 0.5 || at - last_ < 0.1) return;
    last_ = at;
    shown_ = true;
    const unsigned percent = unsigned(std::min<uint64_t>(100, done * 100 / total_));
    fprintf(stderr, "\rokdpack: packing %3u%% (%s of %s)\x1b[K", percent, okdpack::byteCount(done).c_str(),
            okdpack::byteCount(total_).c_str());
    fflush(stderr);
  }

 private:
  static double now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
  }
  bool enabled_;
  bool shown_;
  uint64_t total_;
  double start_;
  double last_;
};

uint64_t bytesOfFiles(const std::vector<config::KitFileSpec>& files) {
  uint64_t bytes = 0;
  for (const config::KitFileSpec& file : files) bytes += file.sourcePath.empty() ? file.data.size() : file.sourceSize;
  return bytes;
}

bool writeKit(const PackOptions& options, config::KitSizes& sizes, std::string& error) {
  ProgressLine progress(!options.quiet, bytesOfFiles(options.kit.files));
  const config::KitProgress report = [&progress](uint64_t done) { progress.update(done); };
  if (!writesToStandardOutput(options))
    return config::writeKit(options.output, options.kit, options.layout, &error, report, &sizes);
  const bool ok = config::writeKitStream(stdout, options.kit, options.layout, report, &sizes, &error) &&
                  fflush(stdout) == 0;
  if (!ok && error.empty()) error = "standard output: write failed";
  return ok;
}

void printSummary(const PackOptions& options, const config::KitSizes& sizes) {
  const uint64_t in = bytesOfFiles(options.kit.files);
  fprintf(stderr, "okdpack: %s: %zu entries, %llu bytes in, %llu bytes out (%.1f%%)\n",
          writesToStandardOutput(options) ? "standard output" : printable(options.output).c_str(),
          options.kit.files.size(), (unsigned long long)in, (unsigned long long)sizes.compressed,
          in == 0 ? 100.0 : 100.0 * double(sizes.compressed) / double(in));
}

int failure(const std::string& error) {
  fprintf(stderr, "okdpack: %s\n", printable(error).c_str());
  return 1;
}

void warnOfOldSignature(const PackOptions& options);

int packKit(int argc, char** argv) {
  PackOptions options;
  const std::string problem = parsePackOptions(argc, argv, options);
  if (!problem.empty()) return usage(problem);
  if (writesToStandardOutput(options) && isatty(STDOUT_FILENO))
    return failure("a kit is not written to a terminal; redirect standard output");

  std::string error;
  if (!config::listKitTree(options.directory, options.kit.files, &error)) return failure(error);
  if (!writesToStandardOutput(options)) leaveOut(options.output, options.kit.files);
  error = applyTimes(options);
  if (!error.empty()) return usage(error);
  const std::vector<std::string> warnings = descriptionWarnings(options);
  for (const std::string& warning : warnings)
    fprintf(stderr, "okdpack: %s: %s\n", options.strict ? "error" : "warning", warning.c_str());
  if (options.strict && !warnings.empty()) return 1;

  config::KitSizes sizes;
  if (!writeKit(options, sizes, error)) return failure(error);
  if (!options.quiet) printSummary(options, sizes);
  if (options.sign) return okdpack::signKit(options.output, options.signingKey);
  warnOfOldSignature(options);
  return 0;
}

// A signature left from an earlier kit would make the wizard refuse this
// one, unless the kit came out byte for byte the same.
void warnOfOldSignature(const PackOptions& options) {
  if (writesToStandardOutput(options)) return;
  for (const char* suffix : {".sig", ".asc"}) {
    const std::string signature = std::string(options.output) + suffix;
    if (access(signature.c_str(), F_OK) == 0)
      fprintf(stderr, "okdpack: warning: %s is from an earlier kit; sign this one with --sign\n",
              printable(signature).c_str());
  }
}

// okdpack --verify KIT [--keyring=FILE]...
int verifyCommand(int argc, char** argv) {
  std::vector<std::string> keyrings;
  for (int i = 3; i < argc; ++i) {
    std::string keyring;
    if (!optionValue(argc, argv, i, "--keyring", keyring) || keyring.empty())
      return usage(std::string("unknown or incomplete option ") + argv[i]);
    keyrings.push_back(keyring);
  }
  return okdpack::verifyKit(argv[2], keyrings);
}

}  // namespace

int main(int argc, char** argv) {
  init_locale_from_environment();
  if (argc == 3 && strcmp(argv[1], "--list") == 0) return okdpack::listKit(argv[2]);
  if (argc >= 3 && strcmp(argv[1], "--verify") == 0) return verifyCommand(argc, argv);
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
