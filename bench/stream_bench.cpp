// Whole headless runs of the wizard (`ovn8setup --unattended`, a new process
// each time, opening the kit included) measured side by side, in alternating
// order, with the peer named, each ratio the best wizard run over the best
// peer run of the same scenario in the same program run; with the peak
// resident memory of the wizard's process (ru_maxrss from wait4):
//
//   realistic kit into an empty folder      / tar -xf of the tree     goal <= 1.2
//   realistic kit over older copies of all  / tar -xf of the tree     goal <= 1.5
//     (the same bytes with older times: only the times are set), and over
//     older copies of other content (a byte longer: all are replaced)
//   100,000 small files into an empty folder / tar -xf of the tree    goal <= 1.2
//   1 GB kit (10 files of 100 MB)           / tar -xf of the tree     goal <= 1.5, peak <= 64 MiB
//   realistic kit again, all up to date     / find DIR -newer FILE    goal <= 2
//   100,000 small files again, up to date   / find DIR -newer FILE    goal <= 2
//
// and, on a journalled ext4 (an image on the disk, loop-mounted; root
// only), durable runs against tar followed by `sync -f`:
//
//   realistic kit into an empty folder      / tar -xf; sync -f        goal <= 1.2
//   realistic kit over older copies of all  / tar -xzf; sync -f       goal <= 0.9
//
// tar reads an uncompressed tar of the installed tree. The kits are laid
// out in table order (streamed). Every round after a scenario's first runs
// the same unchanged kit file, whose digest the wizard then takes from its
// cache instead of reading the kit (as an administrator's reruns do). Everything lies under /dev/shm (else
// $TMPDIR, else /tmp; or $STREAM_BENCH_DIR) and is removed at the end. The
// wizard is the ovn8setup built beside this program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_random.h"
#include "bench/realistic_kit.h"
#include "kit/kit_writer.h"

namespace {

typedef std::chrono::steady_clock Clock;

const int kRounds = 5;
const int64_t kKitTime = 1600000000;

std::string g_dir;
std::string g_wizard;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
void removeTree(const std::string& path) { nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS); }

struct ChildRun {
  double seconds = 0;
  double peakMiB = 0;
  int status = -1;
};

// Runs `argv` as a child with its output discarded; its time and peak memory.
ChildRun runChild(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ChildRun run;
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  wait4(child, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakMiB = double(usage.ru_maxrss) / 1024.0;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::vector<std::string> wizardInto(const std::string& kit, const std::string& target) {
  return {g_wizard, "--unattended", "-q", "--kit=" + kit, "--target=" + target};
}

void sh(const std::string& command) {
  if (system(command.c_str()) != 0) fprintf(stderr, "stream_bench: failed: %s\n", command.c_str());
}

// A kit of `files` in the bench folder as `name`.okd, the tree it installs
// and an uncompressed tar of that tree.
struct Scenario {
  std::string kit, tree, tar;
};

Scenario prepare(const std::string& name, const config::KitSpec& spec, const config::KitLayout& layout) {
  Scenario scenario{g_dir + "/" + name + ".okd", g_dir + "/" + name + "-tree", g_dir + "/" + name + ".tar"};
  std::string error;
  if (!config::writeKit(scenario.kit, spec, layout, &error)) fprintf(stderr, "stream_bench: %s\n", error.c_str());
  const ChildRun installed = runChild(wizardInto(scenario.kit, scenario.tree));
  if (installed.status != 0) fprintf(stderr, "stream_bench: the first run of %s ended %d\n", name.c_str(), installed.status);
  sh("tar -cf " + scenario.tar + " -C " + scenario.tree + " .");
  return scenario;
}

// A child's peak memory counts what it shared with this process when it
// was forked: the kit's bytes made here are given back first.
Scenario prepareAndTrim(const std::string& name, config::KitSpec spec, const config::KitLayout& layout) {
  const Scenario scenario = prepare(name, spec, layout);
  spec = config::KitSpec();
  malloc_trim(0);
  return scenario;
}

// Best times of the wizard and its peer over alternating rounds; `before`
// makes the wizard's target ready before each round.
template <class Before>
void compare(benchmark::State& state, const Scenario& scenario, const std::vector<std::string>& peer,
             const std::string& peerTarget, Before before, const std::string& base = g_dir) {
  const std::string target = base + "/target";
  double wizard = 1e9, other = 1e9, peak = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      removeTree(target);
      removeTree(peerTarget);
      mkdir(peerTarget.c_str(), 0755);
      before(target);
      const ChildRun run = runChild(wizardInto(scenario.kit, target));
      if (run.status != 0) state.SkipWithError("the wizard failed");
      wizard = std::min(wizard, run.seconds);
      peak = std::max(peak, run.peakMiB);
      other = std::min(other, runChild(peer).seconds);
    }
    state.SetIterationTime(wizard);
  }
  removeTree(target);
  removeTree(peerTarget);
  state.counters["wizard_s"] = wizard;
  state.counters["peer_s"] = other;
  state.counters["ratio"] = wizard / other;
  state.counters["peak_MiB"] = peak;
}

void compareWithTar(benchmark::State& state, const Scenario& scenario, void (*before)(const Scenario&, const std::string&)) {
  const std::string peerTarget = g_dir + "/tar-target";
  compare(state, scenario, {"tar", "-xf", scenario.tar, "-C", peerTarget}, peerTarget,
          [&](const std::string& target) { before(scenario, target); });
}

void nothingThere(const Scenario&, const std::string&) {}

// Every file there, a day older than the kit's.
void olderCopies(const Scenario& scenario, const std::string& target) {
  sh("cp -a " + scenario.tree + " " + target + " && find " + target + " -type f -exec touch -d @" +
     std::to_string(kKitTime - 86400) + " {} +");
}

// Every file there a day older and one byte longer: an earlier version
// with other content, which the run must replace (not only retime).
void olderOtherCopies(const Scenario& scenario, const std::string& target) {
  olderCopies(scenario, target);
  sh("find " + target + " -type f -exec truncate -s +1 {} + && find " + target + " -type f -exec touch -d @" +
     std::to_string(kKitTime - 86400) + " {} +");
}

const Scenario& realisticKit() {
  static const Scenario scenario = [] {
    config::KitSpec spec;
    spec.descriptions = {{u"en", u"Bench", u"Vendor", u""}};
    spec.files = realistic::files(kKitTime);
    return prepareAndTrim("realistic", std::move(spec), config::KitLayout());
  }();
  return scenario;
}

void BM_RealisticIntoEmpty(benchmark::State& state) { compareWithTar(state, realisticKit(), nothingThere); }
void BM_RealisticOverOlderCopies(benchmark::State& state) { compareWithTar(state, realisticKit(), olderCopies); }
void BM_RealisticOverChangedOlderCopies(benchmark::State& state) {
  compareWithTar(state, realisticKit(), olderOtherCopies);
}

const Scenario& smallFilesKit() {
  static const Scenario scenario = [] {
    config::KitSpec spec;
    Random random(7);
    const _FILETIME time = EpochToFileTime(kKitTime);
    for (int i = 0; i < 100000; ++i)
      spec.files.push_back({widen_lib("d" + std::to_string(i % 500) + "\\f" + std::to_string(i) + ".txt"),
                            realistic::templateText(100 + random.next() % 900, random), time});
    return prepareAndTrim("small", std::move(spec), config::KitLayout());
  }();
  return scenario;
}

void BM_SmallFilesIntoEmpty(benchmark::State& state) { compareWithTar(state, smallFilesKit(), nothingThere); }

// 10 files of 100 MB, half text and half random bytes, packed at level 1
// as a vendor's large kit would be.
void BM_GigabyteKitIntoEmpty(benchmark::State& state) {
  config::KitSpec spec;
  Random random(9);
  const _FILETIME time = EpochToFileTime(kKitTime);
  std::vector<std::string> sources;
  for (int i = 0; i < 10; ++i) {
    const std::string path = g_dir + "/source" + std::to_string(i);
    FILE* out = fopen(path.c_str(), "wb");
    for (int block = 0; block < 100; ++block) {
      const std::string bytes = block % 2 ? realistic::binaryPart(1000000, random)
                                          : realistic::templateText(1000000, random).substr(0, 1000000);
      fwrite(bytes.data(), 1, bytes.size(), out);
    }
    fclose(out);
    config::KitFileSpec file(widen_lib("big\\part" + std::to_string(i) + ".bin"), "", time);
    file.sourcePath = path;
    file.sourceSize = 100000000;
    spec.files.push_back(file);
    sources.push_back(path);
  }
  config::KitLayout layout;
  layout.level = 1;
  const Scenario scenario = prepareAndTrim("gigabyte", std::move(spec), layout);
  for (const std::string& path : sources) ::remove(path.c_str());
  compareWithTar(state, scenario, nothingThere);
}

// A second run over the tree a first run left, against find listing what
// is newer than one of its files.
void compareAllUpToDate(benchmark::State& state, const Scenario& scenario, const std::string& someFile) {
  const std::string peerTarget = g_dir + "/unused";
  compare(state, scenario, {"find", scenario.tree, "-newer", scenario.tree + "/" + someFile}, peerTarget,
          [&](const std::string& target) { sh("cp -a " + scenario.tree + " " + target); });
}

void BM_RealisticAllUpToDate(benchmark::State& state) { compareAllUpToDate(state, realisticKit(), "media/part0.bin"); }
void BM_SmallFilesAllUpToDate(benchmark::State& state) { compareAllUpToDate(state, smallFilesKit(), "d0/f0.txt"); }

// A journalled ext4 on the disk: a sparse image file beside the bench
// folder's disk copy, formatted and loop-mounted once; empty when this
// cannot be done (not root, no loop devices).
const std::string& ext4Folder() {
  static std::string folder;
  static bool tried = false;
  if (tried) return folder;
  tried = true;
  char image[] = "/var/tmp/stream_bench_ext4.XXXXXX";
  const int fd = mkstemp(image);
  if (fd < 0) return folder;
  close(fd);
  const std::string mountPoint = g_dir + "/ext4";
  mkdir(mountPoint.c_str(), 0755);
  const std::string imagePath = image;
  if (system(("truncate -s 4G " + imagePath + " && mkfs.ext4 -q -F " + imagePath + " && mount -o loop " +
              imagePath + " " + mountPoint + " 2>/dev/null").c_str()) == 0)
    folder = mountPoint;
  ::remove(imagePath.c_str());  // the mount keeps the image until it is unmounted
  return folder;
}

void unmountExt4() {
  if (!ext4Folder().empty()) sh("umount " + ext4Folder());
}

// `tar` then `sync -f` of its folder, as one peer run.
std::vector<std::string> durableTar(const std::string& options, const std::string& tar, const std::string& into) {
  return {"sh", "-c", "tar " + options + " " + tar + " -C " + into + " && sync -f " + into};
}

void compareOnExt4(benchmark::State& state, const std::string& tarOptions, const std::string& tar,
                   void (*before)(const Scenario&, const std::string&)) {
  const std::string& base = ext4Folder();
  if (base.empty()) {
    state.SkipWithError("needs root and a loop device to mount an ext4 image");
    for (auto _ : state) {
    }
    return;
  }
  const Scenario& scenario = realisticKit();
  const std::string peerTarget = base + "/tar-target";
  sh("sync -f " + base);
  compare(state, scenario, durableTar(tarOptions, tar, peerTarget), peerTarget,
          [&](const std::string& target) {
            before(scenario, target);
            sh("sync -f " + base);
          },
          base);
}

void BM_Ext4RealisticIntoEmpty(benchmark::State& state) {
  compareOnExt4(state, "-xf", realisticKit().tar, nothingThere);
}

const std::string& gzippedTar() {
  static const std::string gz = realisticKit().tar + ".gz";
  static const bool made = system(("gzip -c " + realisticKit().tar + " > " + gz).c_str()) == 0;
  if (!made) fprintf(stderr, "stream_bench: could not gzip the tree's tar\n");
  return gz;
}

void BM_Ext4RealisticOverOlderCopies(benchmark::State& state) {
  compareOnExt4(state, "-xzf", gzippedTar(), olderCopies);
}

void BM_Ext4RealisticOverChangedOlderCopies(benchmark::State& state) {
  compareOnExt4(state, "-xzf", gzippedTar(), olderOtherCopies);
}

BENCHMARK(BM_RealisticIntoEmpty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RealisticOverOlderCopies)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RealisticOverChangedOlderCopies)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RealisticAllUpToDate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesIntoEmpty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesAllUpToDate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GigabyteKitIntoEmpty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ext4RealisticIntoEmpty)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ext4RealisticOverOlderCopies)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ext4RealisticOverChangedOlderCopies)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

std::string benchBase() {
  if (const char* given = getenv("STREAM_BENCH_DIR")) return given;
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr ? tmp : "/tmp";
}

}  // namespace

int main(int argc, char** argv) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
  g_wizard = std::string(self).substr(0, std::string(self).rfind('/')) + "/ovn8setup";
  std::string pattern = benchBase() + "/stream_bench.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return 1;
  g_dir = pattern;
  // The wizard's home (the launcher's file) and temporary folder lie there too.
  setenv("HOME", g_dir.c_str(), 1);
  setenv("TMPDIR", g_dir.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  unmountExt4();
  // STREAM_BENCH_KEEP=1 leaves the kits and trees there to look at by hand.
  if (getenv("STREAM_BENCH_KEEP") == nullptr) removeTree(g_dir);
  return 0;
}
