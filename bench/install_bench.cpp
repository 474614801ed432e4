// Installation engine benchmarks, each measured side by side with `tar -xf`
// of an uncompressed tar of the same tree into an empty folder, in the same
// run and in alternating order:
//
//   into an empty folder           install / tar, target <= 1.3
//   again, every entry skipped     install / tar, target <= 0.5, over the
//                                  installation a first run made
//   over an older copy of all      install / tar, target <= 2
//   failing at the last entry      install / tar, target <= 2, over older
//                                  copies (everything backed up, written,
//                                  then restored) and into an empty folder
//
// Each ratio compares the fastest iteration of each contender.
//
// On the disk (INSTALL_BENCH_DISK_DIR, else /var/tmp; skipped when that is
// a memory file system) the peer is `tar -xf` followed by `sync -f` of its
// target, so that both sides pay for putting the files on the medium:
//
//   on the disk, into an empty folder      install / (tar + sync), <= 1.5
//   on the disk, over an older copy of all install / (tar + sync), <= 1.5
//
// Told apart from the second scenario, and without a target: every file
// there already but no installation record (a tree tar made), where the
// run reads each file once to describe it in the record it writes.
//
// The kit's container and the backup folders stay in TMPDIR (the memory
// file system) in every scenario.
//
// The tree: 10,000 files of 100 B to 64 KiB (log-uniform) in 200 folders
// two and three levels deep. Opening the kit (inflating it into the
// temporary container) is measured on its own. Peak resident memory of an
// installation of 1,000 and of 10,000 entries is taken in fresh processes.
//
// The realistic kit (bench/realistic_kit.h: 6,000 XML-like templates and
// binary parts, ~160 MB, ~3 x compressible) is installed the way a headless
// run does it, opening the kit included, against `tar -xzf`, `tar -xzf`
// followed by `sync -f`, and `tar -xf` of the same tree, into an empty
// folder (targets: <= 0.45 x tar -xzf; on a disk <= 0.6 x tar -xzf + sync)
// and over older copies of every file (<= 0.8 x tar -xzf).
//
// Everything is generated under /dev/shm (else $TMPDIR, else /tmp; or
// $INSTALL_BENCH_DIR) and removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_random.h"
#include "bench/realistic_kit.h"
#include "install/install_process_data.h"
#include "install/installer.h"
#include "kit/container_builder.h"
#include "kit/kit_writer.h"
#include "platform/file_fault_injector.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace {

typedef std::chrono::steady_clock Clock;

const int kFiles = 10000;
const int64_t kTreeTime = 1600000000;

std::string g_dir;

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
void removeTree(const std::string& path) {
  nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS);
}

// Ten top folders with ten subfolders each, nine of which have one more
// level: 200 folders.
std::vector<std::string> treeFolders() {
  std::vector<std::string> folders;
  for (int top = 0; top < 10; ++top) {
    folders.push_back("top" + std::to_string(top));
    for (int sub = 0; sub < 10; ++sub) {
      const std::string second = "top" + std::to_string(top) + "/sub" + std::to_string(sub);
      folders.push_back(second);
      if (sub < 9) folders.push_back(second + "/leaf");
    }
  }
  return folders;
}

void writeSourceFile(const std::string& path, size_t size, Random& random) {
  std::string bytes;
  bytes.reserve(size + 8);
  // Half text-like, half random, so the kit compresses somewhat.
  static const char* const kWords[] = {"template ", "invoice ", "the ", "customer ", "total\n",
                                       "address ", "page ", "report "};
  while (bytes.size() < size / 2) bytes += kWords[random.next() % 8];
  while (bytes.size() < size) {
    uint64_t value = random.next();
    bytes.append(reinterpret_cast<const char*>(&value), 8);
  }
  bytes.resize(size);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
    fprintf(stderr, "install_bench: cannot write %s\n", path.c_str());
    exit(1);
  }
  struct timespec times[2] = {{time_t(kTreeTime), 0}, {time_t(kTreeTime), 0}};
  futimens(fd, times);
  close(fd);
}

// The source tree, its tar, and a kit of the first `count` files.
std::vector<config::KitFileSpec> g_files;

void makeTree() {
  const std::string src = g_dir + "/src";
  mkdir(src.c_str(), 0755);
  const std::vector<std::string> folders = treeFolders();
  for (const std::string& folder : folders) mkdir((src + "/" + folder).c_str(), 0755);
  Random random(7);
  for (int i = 0; i < kFiles; ++i) {
    const double unit = double(random.next() >> 11) / double(1ull << 53);
    const size_t size = size_t(100.0 * std::pow(65536.0 / 100.0, unit));
    const std::string name =
        folders[size_t(i) % folders.size()] + "/file" + std::to_string(i) + ".dat";
    writeSourceFile(src + "/" + name, size, random);
  }
  std::string error;
  if (!config::listKitTree(src, g_files, &error)) {
    fprintf(stderr, "install_bench: %s\n", error.c_str());
    exit(1);
  }
  const std::string tar = "tar -cf '" + g_dir + "/tree.tar' -C '" + src + "' .";
  if (system(tar.c_str()) != 0) exit(1);
}

std::string kitPath(int count) { return g_dir + "/kit" + std::to_string(count) + ".okd"; }

void makeKit(int count) {
  config::KitSpec kit;
  kit.descriptions = {{u"en", u"Bench", u"Vendor", u""}};
  kit.files.assign(g_files.begin(), g_files.begin() + count);
  config::KitLayout layout;
  layout.level = 1;
  std::string error;
  if (!config::writeKit(kitPath(count), kit, layout, &error)) {
    fprintf(stderr, "install_bench: %s\n", error.c_str());
    exit(1);
  }
}

std::string g_diskDir;  // empty: no disk scenarios

double tarInto(const std::string& dest, bool syncAfter = false) {
  removeTree(dest);
  mkdir(dest.c_str(), 0755);
  std::string command = "tar -xf '" + g_dir + "/tree.tar' -C '" + dest + "'";
  if (syncAfter) command += " && sync -f '" + dest + "'";
  const auto start = Clock::now();
  if (system(command.c_str()) != 0) fprintf(stderr, "install_bench: tar failed\n");
  return seconds(start);
}

// Every file of a freshly extracted tree made a day older than the kit.
// An earlier version of every file: a day older and a byte longer, so that
// each is replaced (a file holding the entry's bytes would only be retimed).
void makeOlder(const std::string& root, const std::vector<config::KitFileSpec>& files = g_files) {
  struct timespec times[2] = {{time_t(kTreeTime - 86400), 0}, {time_t(kTreeTime - 86400), 0}};
  for (const config::KitFileSpec& file : files) {
    std::string name = utf16_to_utf8(file.name);
    for (char& c : name)
      if (c == '\\') c = '/';
    const std::string path = root + "/" + name;
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && truncate(path.c_str(), status.st_size + 1) != 0)
      fprintf(stderr, "install_bench: cannot change %s\n", path.c_str());
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
}

KitReader* g_kit = nullptr;
double g_openSeconds = 0;

uint32_t installInto(const std::string& dest, uint64_t failAtWrite = 0) {
  InstallProcessData data;
  data.init(g_kit, widen_lib(dest));
  Installer installer;
  if (failAtWrite == 0) return installer.run(&data);
  FileFaultInjector fault(failAtWrite);
  fault.only({FileOp::CreateFile}).below(widen_lib(dest));
  return installer.run(&data);
}

// The fastest of the iterations of each contender: the machine is shared,
// and the least disturbed run is the one that tells the cost.
struct Comparison {
  const char* what;
  double limit;
  double install = 1e9, tar = 1e9;
};
Comparison g_results[] = {{"into an empty folder", 1.3},
                          {"again, every entry skipped", 0.5},
                          {"over an older copy of every file", 2.0},
                          {"failing at the last entry (over older copies)", 2.0},
                          {"failing at the last entry (into an empty folder)", 2.0},
                          {"on the disk, into an empty folder (tar + sync -f)", 1.5},
                          {"on the disk, over older copies (tar + sync -f)", 1.5},
                          {"every file there already, without a record", 0}};

enum Scenario { kEmpty, kSkipped, kOlder, kFailing, kFailingEmpty, kDiskEmpty, kDiskOlder, kNoRecord };

// Brings `dest` into the state the scenario starts from (not timed).
void prepare(Scenario scenario, const std::string& dest) {
  removeTree(dest);
  switch (scenario) {
    case kEmpty:
    case kFailingEmpty:
    case kDiskEmpty:
      mkdir(dest.c_str(), 0755);
      break;
    case kSkipped:
      mkdir(dest.c_str(), 0755);
      if (installInto(dest) != 0) fprintf(stderr, "install_bench: the first installation failed\n");
      break;
    case kNoRecord:
      tarInto(dest);
      break;
    case kOlder:
    case kFailing:
    case kDiskOlder:
      tarInto(dest);
      makeOlder(dest);
      break;
  }
  sync();
}

void BM_Install(benchmark::State& state) {
  const Scenario scenario = Scenario(state.range(0));
  Comparison& result = g_results[scenario];
  const bool onDisk = scenario == kDiskEmpty || scenario == kDiskOlder;
  if (onDisk && g_diskDir.empty()) {
    state.SkipWithError("no disk folder");
    return;
  }
  const std::string& root = onDisk ? g_diskDir : g_dir;
  const std::string dest = root + "/dest";
  const std::string peer = root + "/peer";
  bool installFirst = true;
  for (auto _ : state) {
    double installTime = 0, tarTime = 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == installFirst) {
        prepare(scenario, dest);
        const auto start = Clock::now();
        const bool failing = scenario == kFailing || scenario == kFailingEmpty;
        const uint32_t code = installInto(dest, failing ? uint64_t(kFiles) : 0);
        installTime = seconds(start);
        if ((code != 0) != failing) state.SkipWithError("unexpected result");
      } else {
        removeTree(peer);
        sync();
        tarTime = tarInto(peer, onDisk);
      }
    }
    installFirst = !installFirst;
    result.install = std::min(result.install, installTime);
    result.tar = std::min(result.tar, tarTime);
    state.SetIterationTime(installTime);
  }
  removeTree(dest);
  removeTree(peer);
  state.counters["best_install_s"] = result.install;
  state.counters["best_tar_s"] = result.tar;
  state.counters["ratio"] = result.install / result.tar;
  state.SetItemsProcessed(int64_t(kFiles) * state.iterations());
}
BENCHMARK(BM_Install)
    ->ArgName("scenario")
    ->Arg(kEmpty)->Arg(kSkipped)->Arg(kOlder)->Arg(kFailing)->Arg(kFailingEmpty)
    ->Arg(kDiskEmpty)->Arg(kDiskOlder)->Arg(kNoRecord)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// The realistic tree on disk, its tar and gzipped tar, and its kit.
std::vector<config::KitFileSpec> g_realFiles;
std::string realKitPath() { return g_dir + "/realistic.okd"; }

void makeRealistic() {
  g_realFiles = realistic::files(kTreeTime);
  const std::string src = g_dir + "/realsrc";
  for (const config::KitFileSpec& file : g_realFiles) {
    std::string name = utf16_to_utf8(file.name);
    for (char& c : name)
      if (c == '\\') c = '/';
    const std::string path = src + "/" + name;
    const std::string parent = path.substr(0, path.rfind('/'));
    mkdir(src.c_str(), 0755);
    mkdir(parent.c_str(), 0755);
    if (!config::writeFileBytes(path, file.data)) exit(1);
    struct timespec times[2] = {{time_t(kTreeTime), 0}, {time_t(kTreeTime), 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  const std::string tars = "tar -cf '" + g_dir + "/real.tar' -C '" + src + "' . && tar -czf '" + g_dir +
                           "/real.tgz' -C '" + src + "' .";
  if (system(tars.c_str()) != 0) exit(1);
  removeTree(src);
  config::KitSpec kit;
  kit.descriptions = {{u"en", u"Bench", u"Vendor", u""}};
  kit.files = g_realFiles;
  config::KitLayout layout;
  layout.level = 6;
  std::string error;
  if (!config::writeKit(realKitPath(), kit, layout, &error)) {
    fprintf(stderr, "install_bench: %s\n", error.c_str());
    exit(1);
  }
}

double runTimed(const std::string& command) {
  const auto start = Clock::now();
  if (system(command.c_str()) != 0) fprintf(stderr, "install_bench: %s failed\n", command.c_str());
  return seconds(start);
}

// Into an empty folder, or over older copies of every file.
void prepareReal(bool older, const std::string& dest) {
  removeTree(dest);
  mkdir(dest.c_str(), 0755);
  if (older) {
    runTimed("tar -xf '" + g_dir + "/real.tar' -C '" + dest + "'");
    makeOlder(dest, g_realFiles);
  }
  sync();
}

struct RealComparison {
  double install = 1e9, tarGz = 1e9, tarGzSync = 1e9, tar = 1e9;
  bool inMemory = false;
};
RealComparison g_real[2];

// A headless run: open the kit, then install every entry.
double installReal(const std::string& dest, bool& inMemory) {
  const auto start = Clock::now();
  KitReader reader;
  if (reader.open(widen_lib(realKitPath())) != 0) return 1e9;
  inMemory = reader.inMemory();
  InstallProcessData data;
  data.init(&reader, widen_lib(dest));
  Installer installer;
  if (installer.run(&data) != 0) return 1e9;
  return seconds(start);
}

void BM_InstallRealistic(benchmark::State& state) {
  const bool older = state.range(0) != 0;
  RealComparison& result = g_real[older ? 1 : 0];
  const std::string dest = g_dir + "/realdest";
  const std::string peer = g_dir + "/realpeer";
  const std::string tgz = "tar -xzf '" + g_dir + "/real.tgz' -C '" + peer + "'";
  const std::string tar = "tar -xf '" + g_dir + "/real.tar' -C '" + peer + "'";
  int first = 0;
  for (auto _ : state) {
    double installTime = 0;
    for (int turn = 0; turn < 4; ++turn) {
      const int which = (turn + first) % 4;
      prepareReal(older, which == 0 ? dest : peer);
      if (which == 0) {
        installTime = installReal(dest, result.inMemory);
        result.install = std::min(result.install, installTime);
      } else if (which == 1) {
        result.tarGz = std::min(result.tarGz, runTimed(tgz));
      } else if (which == 2) {
        result.tarGzSync = std::min(result.tarGzSync, runTimed(tgz + " && sync -f '" + peer + "'"));
      } else {
        result.tar = std::min(result.tar, runTimed(tar));
      }
    }
    first = (first + 1) % 4;
    state.SetIterationTime(installTime);
  }
  removeTree(dest);
  removeTree(peer);
  state.counters["in_memory"] = result.inMemory;
  state.counters["ratio_tar_xzf"] = result.install / result.tarGz;
  state.counters["ratio_tar_xf"] = result.install / result.tar;
}
BENCHMARK(BM_InstallRealistic)
    ->ArgName("older")
    ->Arg(0)->Arg(1)
    ->UseManualTime()
    ->Iterations(4)
    ->Unit(benchmark::kMillisecond);

void BM_OpenKit(benchmark::State& state) {
  for (auto _ : state) {
    KitReader reader;
    if (reader.open(widen_lib(kitPath(kFiles))) != 0) state.SkipWithError("open failed");
  }
}
BENCHMARK(BM_OpenKit)->Iterations(2)->Unit(benchmark::kMillisecond);

long statusField(const char* field) {
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  long value = -1;
  while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
    if (strncmp(line, field, strlen(field)) == 0) value = atol(line + strlen(field) + 1);
  if (status != nullptr) fclose(status);
  return value;
}

// In a fresh process: open the kit, install it into an empty folder, and
// print resident memory (KiB) after opening and at its peak.
int rssChild(const char* kit, const char* dest, bool fileOnly) {
  KitReader reader;
  if (fileOnly) reader.setMemoryLimit(0);
  if (reader.open(widen_lib(kit)) != 0) return 1;
  g_kit = &reader;
  // Opening maps the whole kit; the peak of the installation itself is
  // taken after resetting the high-water mark.
  const long peakOpen = statusField("VmHWM:");
  FILE* clear = fopen("/proc/self/clear_refs", "w");
  if (clear != nullptr) {
    fputs("5", clear);
    fclose(clear);
  }
  const long afterOpen = statusField("VmRSS:");
  if (installInto(dest) != 0) return 1;
  printf("%ld %ld %ld\n", peakOpen, afterOpen, statusField("VmHWM:"));
  return 0;
}

// `fileOnly`: the container in the temporary file, whatever memory is free.
void measureMemory(const std::string& kit, const std::vector<config::KitFileSpec>& files, bool fileOnly) {
  const int count = int(files.size());
  const std::string dest = g_dir + "/rss";
  removeTree(dest);
  mkdir(dest.c_str(), 0755);
  const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --rss-child '" + kit + "' '" +
                              dest + "' " + (fileOnly ? "file" : "auto");
  FILE* child = popen(command.c_str(), "r");
  long peakOpen = 0, afterOpen = 0, peak = 0;
  if (child == nullptr || fscanf(child, "%ld %ld %ld", &peakOpen, &afterOpen, &peak) != 3)
    fprintf(stderr, "install_bench: memory child failed\n");
  if (child != nullptr) pclose(child);
  removeTree(dest);
  // Each entry: the record, and its name on the heap (longer than the
  // string's inner buffer) with the allocator's header, in 16-byte steps.
  uint64_t tableBytes = 0;
  for (int i = 0; i < count; ++i) {
    const size_t units = files[size_t(i)].name.size();
    tableBytes += sizeof(config::KitEntry) + (units > 7 ? ((units + 1) * 2 + 8 + 15) / 16 * 16 : 0);
  }
  const double table = double(tableBytes) / 1024.0;
  printf("RSS, %5d entries, container %s: peak %ld KiB while opening the kit, %ld KiB once open, peak %ld KiB "
         "while installing (+%ld KiB); entry table about %.0f KiB\n",
         count, fileOnly ? "in a file" : "as chosen", peakOpen, afterOpen, peak, peak - afterOpen, table);
}

}  // namespace

int main(int argc, char** argv) {
  init_locale_from_environment();
  if (argc == 5 && strcmp(argv[1], "--rss-child") == 0)
    return rssChild(argv[2], argv[3], strcmp(argv[4], "file") == 0);
  benchmark::Initialize(&argc, argv);
  // A memory file system keeps the shared disk's noise out of the ratios;
  // INSTALL_BENCH_DIR chooses another place (a disk folder, for instance).
  const char* parent = getenv("INSTALL_BENCH_DIR");
  if (parent == nullptr || *parent == '\0')
    parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::string pattern =
      std::string(parent != nullptr && *parent ? parent : "/tmp") + "/installbench.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return 1;
  g_dir = pattern;
  // Backup folders and the kit's container lie beside the trees.
  setenv("TMPDIR", g_dir.c_str(), 1);
  // The disk scenarios need a folder that is not in memory.
  const char* disk = getenv("INSTALL_BENCH_DISK_DIR");
  std::string diskPattern = std::string(disk != nullptr && *disk ? disk : "/var/tmp") +
                            "/installbench-disk.XXXXXX";
  struct statfs diskStatus;
  if (mkdtemp(&diskPattern[0]) != nullptr) {
    if (statfs(diskPattern.c_str(), &diskStatus) == 0 && diskStatus.f_type != TMPFS_MAGIC)
      g_diskDir = diskPattern;
    else
      rmdir(diskPattern.c_str());
  }

  auto start = Clock::now();
  makeTree();
  makeKit(1000);
  makeKit(kFiles);
  makeRealistic();
  fprintf(stderr, "tree, tar and kits made in %.1f s under %s\n", seconds(start), g_dir.c_str());

  KitReader kit;
  start = Clock::now();
  if (kit.open(widen_lib(kitPath(kFiles))) != 0) return 1;
  g_openSeconds = seconds(start);
  g_kit = &kit;

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  printf("\nopening the 10,000-entry kit (counted separately): %.3f s\n", g_openSeconds);
  printf("best of each (install vs tar -xf into an empty folder%s):\n",
         g_diskDir.empty() ? "" : (", and on the disk in " + g_diskDir).c_str());
  for (const Comparison& c : g_results) {
    if (c.tar >= 1e9) continue;
    const double ratio = c.install / c.tar;
    if (c.limit == 0) {
      printf("  %-50s %.3f s vs %.3f s: ratio %.2f (every file read for the record)\n", c.what, c.install,
             c.tar, ratio);
      continue;
    }
    printf("  %-50s %.3f s vs %.3f s: ratio %.2f (target <= %.1f)%s\n", c.what, c.install, c.tar,
           ratio, c.limit, ratio <= c.limit ? "" : "  OVER");
  }
  const char* const realWhat[2] = {"into an empty folder", "over older copies of every file"};
  const double realLimit[2] = {0.45, 0.8};
  printf("realistic kit, headless install (opening included) vs tar of the same tree, best of each:\n");
  for (int i = 0; i < 2; ++i) {
    const RealComparison& c = g_real[i];
    if (c.tar >= 1e9) continue;
    printf("  %-32s install %.3f s (container %s); tar -xzf %.3f s: ratio %.2f (target <= %.2f)%s\n",
           realWhat[i], c.install, c.inMemory ? "in memory" : "in a file", c.tarGz, c.install / c.tarGz,
           realLimit[i], c.install / c.tarGz <= realLimit[i] ? "" : "  OVER");
    printf("  %-32s tar -xzf + sync -f %.3f s: ratio %.2f%s; tar -xf %.3f s: ratio %.2f\n", "", c.tarGzSync,
           c.install / c.tarGzSync, i == 0 ? " (target <= 0.6 on a disk)" : "", c.tar, c.install / c.tar);
  }
  const std::vector<config::KitFileSpec> first(g_files.begin(), g_files.begin() + 1000);
  measureMemory(kitPath(1000), first, false);
  measureMemory(kitPath(kFiles), g_files, false);
  measureMemory(realKitPath(), g_realFiles, false);
  measureMemory(realKitPath(), g_realFiles, true);
  g_kit = nullptr;
  removeTree(g_dir);
  if (!g_diskDir.empty()) removeTree(g_diskDir);
  return 0;
}
