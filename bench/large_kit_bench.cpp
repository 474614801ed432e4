// Peak resident memory of a headless installation of a ~1 GB kit whose
// container goes to the temporary file (as when it does not fit in memory):
// the kit is opened and installed into an empty folder in a fresh process,
// which reports its peak (ru_maxrss) and the times of both steps. The goal
// is at most 64 MiB plus the entry table.
//
// The kit: the realistic tree of bench/realistic_kit.h seven times over in
// as many folders (~42,000 files), DEFLATE level 1 so that the compressed
// kit that is read is as large as a vendor's would get.
//
// Everything lies under /dev/shm (else $TMPDIR, else /tmp; or
// $LARGE_KIT_BENCH_DIR) and is removed at the end.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/realistic_kit.h"
#include "install/install_process_data.h"
#include "install/installer.h"
#include "kit/kit_writer.h"
#include "platform/text.h"

namespace {

typedef std::chrono::steady_clock Clock;

const int kCopies = 7;
const int kRuns = 3;

std::string g_dir;
uint64_t g_bytes = 0;
uint64_t g_tableBytes = 0;
size_t g_entries = 0;

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS); }

std::string kitPath() { return g_dir + "/large.okd"; }

void makeKit() {
  config::KitSpec kit;
  kit.descriptions = {{u"en", u"Bench", u"Vendor", u""}};
  const std::vector<config::KitFileSpec> tree = realistic::files(1600000000);
  for (int copy = 0; copy < kCopies; ++copy) {
    for (const config::KitFileSpec& file : tree) {
      kit.files.push_back(file);
      kit.files.back().name = widen_lib("copy" + std::to_string(copy) + "\\") + file.name;
    }
  }
  for (const config::KitFileSpec& file : kit.files) {
    g_bytes += file.data.size();
    // The record and its name on the heap (longer than the string's inner
    // buffer) with the allocator's header, in 16-byte steps.
    const size_t units = file.name.size();
    g_tableBytes += sizeof(config::KitEntry) + (units > 7 ? ((units + 1) * 2 + 8 + 15) / 16 * 16 : 0);
  }
  g_entries = kit.files.size();
  config::KitLayout layout;
  layout.level = 1;
  std::string error;
  if (!config::writeKit(kitPath(), kit, layout, &error)) {
    fprintf(stderr, "large_kit_bench: %s\n", error.c_str());
    exit(1);
  }
}

// In a fresh process: open with the container in a file, install into an
// empty folder, print peak RSS (KiB), open and install seconds.
int child(const char* kit, const char* dest) {
  KitReader reader;
  reader.setMemoryLimit(0);
  const auto start = Clock::now();
  if (reader.open(widen_lib(kit)) != 0) return 1;
  const double openSeconds = seconds(start);
  InstallProcessData data;
  data.init(&reader, widen_lib(dest));
  Installer installer;
  const auto installStart = Clock::now();
  if (installer.run(&data) != 0) return 1;
  const double installSeconds = seconds(installStart);
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("%ld %.3f %.3f\n", usage.ru_maxrss, openSeconds, installSeconds);
  return 0;
}

struct Run {
  long peakKiB = 0;
  double open = 0, install = 0;
};
std::vector<Run> g_runs;

void BM_InstallLargeKitFromFile(benchmark::State& state) {
  const std::string dest = g_dir + "/dest";
  for (auto _ : state) {
    removeTree(dest);
    mkdir(dest.c_str(), 0755);
    const std::string command =
        "/proc/" + std::to_string(getpid()) + "/exe --child '" + kitPath() + "' '" + dest + "'";
    FILE* pipe = popen(command.c_str(), "r");
    Run run;
    if (pipe == nullptr || fscanf(pipe, "%ld %lf %lf", &run.peakKiB, &run.open, &run.install) != 3)
      state.SkipWithError("child failed");
    if (pipe != nullptr) pclose(pipe);
    g_runs.push_back(run);
    state.SetIterationTime(run.open + run.install);
  }
  removeTree(dest);
  state.SetBytesProcessed(int64_t(g_bytes) * state.iterations());
}
BENCHMARK(BM_InstallLargeKitFromFile)->UseManualTime()->Iterations(kRuns)->Unit(benchmark::kMillisecond);

template <class T>
T median(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? T() : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  init_locale_from_environment();
  if (argc == 4 && strcmp(argv[1], "--child") == 0) return child(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  const char* parent = getenv("LARGE_KIT_BENCH_DIR");
  if (parent == nullptr || *parent == '\0')
    parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::string pattern = std::string(parent != nullptr && *parent ? parent : "/tmp") + "/largekit.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return 1;
  g_dir = pattern;
  // The container and the backups lie beside the kit.
  setenv("TMPDIR", g_dir.c_str(), 1);
  const auto start = Clock::now();
  makeKit();
  struct stat status;
  stat(kitPath().c_str(), &status);
  fprintf(stderr, "kit of %zu files, %.0f MB unpacked, %.0f MB packed, made in %.1f s under %s\n", g_entries,
          double(g_bytes) / 1e6, double(status.st_size) / 1e6, seconds(start), g_dir.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  removeTree(g_dir);

  std::vector<long> peaks;
  std::vector<double> opens, installs;
  for (const Run& run : g_runs) {
    peaks.push_back(run.peakKiB);
    opens.push_back(run.open);
    installs.push_back(run.install);
  }
  const double limitKiB = 64.0 * 1024 + double(g_tableBytes) / 1024;
  const long peak = median(peaks);
  printf("large kit (%.0f MB, %zu entries), container in a file, median of %zu runs: open %.2f s, install %.2f s\n",
         double(g_bytes) / 1e6, g_entries, g_runs.size(), median(opens), median(installs));
  printf("  peak resident memory %ld KiB; limit 64 MiB + entry table (~%.0f KiB) = %.0f KiB: %s\n", peak,
         double(g_tableBytes) / 1024, limitKiB, double(peak) <= limitKiB ? "within" : "OVER");
  return 0;
}
