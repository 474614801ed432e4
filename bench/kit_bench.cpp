// Kit benchmarks.
//
// Unpack: opening a ~200 MB kit of mixed data inflates it into the
// temporary container. LZCompressor::unpack is measured against a plain
// zlib inflate loop over the same mapping into the same kind of file, the
// two alternating in the same run; the ratio unpack / plain should stay at
// or below 1.1.
//
// Open, realistic kit (bench/realistic_kit.h: 6,000 XML-like templates and
// binary parts, ~150 MB, ~3 x compressible): KitReader::open as the wizard
// runs it against today's zlib loop into the temporary file (the plain
// inflate below); open / zlib loop should be at most 0.5. The two decoders
// of containers kept in memory are compared on the same bytes as well.
//
// Extract: copying every entry of an opened 10,000-file kit (100 B to
// 64 KiB each) into a directory tree; bytes and entries per second.
//
// Checksums: opening that 10,000-file kit (inflate, table, and the CRC-32
// pass over every entry) against opening the same files packed without the
// checksum extension, alternating in the same run; the ratio is the cost
// of checking the sums.
//
// Kits are generated under $TMPDIR (else /tmp) and removed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_random.h"
#include "bench/realistic_kit.h"
#include "kit/kit_reader.h"
#include "kit/kit_writer.h"
#include "kit/lz_compressor.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace {

using config::KitReader;
typedef std::chrono::steady_clock Clock;

std::string g_dir;

// Alternating 64 KiB runs of text-like words and random bytes, so the kit
// compresses to roughly two thirds of its size, like a mix of documents
// and already compressed pictures.
std::string mixedBytes(size_t size, Random& random) {
  static const char* const kWords[] = {"template", "letter", "invoice", "the", "of", "report",
                                       "customer", "address", "date", "total", "amount", "and",
                                       "table", "page", "header", "footer"};
  std::string bytes;
  bytes.reserve(size);
  bool text = true;
  while (bytes.size() < size) {
    const size_t run = std::min<size_t>(65536, size - bytes.size());
    const size_t end = bytes.size() + run;
    if (text) {
      while (bytes.size() < end) {
        bytes += kWords[random.next() % 16];
        bytes += (random.next() % 12 == 0) ? '\n' : ' ';
      }
      bytes.resize(end);
    } else {
      while (bytes.size() < end) {
        const uint64_t value = random.next();
        bytes.append(reinterpret_cast<const char*>(&value), std::min<size_t>(8, end - bytes.size()));
      }
    }
    text = !text;
  }
  return bytes;
}

std::string bigKitPath() { return g_dir + "/big.okd"; }
std::string manyKitPath() { return g_dir + "/many.okd"; }
std::string manyPlainKitPath() { return g_dir + "/many-plain.okd"; }
std::string realisticKitPath() { return g_dir + "/realistic.okd"; }

uint64_t g_realisticBytes = 0;

void makeRealisticKit() {
  config::KitSpec kit;
  kit.descriptions = {{u"en", u"Bench", u"Vendor", u""}};
  kit.files = realistic::files(1600000000);
  for (const config::KitFileSpec& file : kit.files) g_realisticBytes += file.data.size();
  config::KitLayout layout;
  layout.level = 6;
  std::string error;
  if (!config::writeKit(realisticKitPath(), kit, layout, &error)) {
    fprintf(stderr, "kit_bench: %s\n", error.c_str());
    exit(1);
  }
}

void makeBigKit() {
  Random random(1);
  config::KitSpec kit;
  kit.descriptions = {{u"en", u"Bench", u"Vendor", u""}};
  for (int i = 0; i < 50; ++i)
    kit.files.push_back({u"big\\part" + widen_lib(std::to_string(i)), mixedBytes(4 << 20, random),
                         EpochToFileTime(1600000000)});
  config::KitLayout layout;
  layout.level = 6;
  std::string error;
  if (!config::writeKit(bigKitPath(), kit, layout, &error)) {
    fprintf(stderr, "kit_bench: %s\n", error.c_str());
    exit(1);
  }
}

void makeManyKit() {
  Random random(2);
  config::KitSpec kit;
  for (int i = 0; i < 10000; ++i) {
    // Sizes spread evenly on a log scale from 100 B to 64 KiB.
    const double unit = double(random.next() >> 11) / double(1ull << 53);
    const size_t size = size_t(100.0 * std::pow(65536.0 / 100.0, unit));
    char name[32];
    snprintf(name, sizeof name, "d%02d\\f%05d.dat", i % 50, i);
    kit.files.push_back({widen_lib(name), mixedBytes(size, random), EpochToFileTime(1600000000 + i)});
  }
  config::KitLayout layout;
  layout.level = 1;
  std::string error;
  bool ok = config::writeKit(manyKitPath(), kit, layout, &error);
  layout.checksums = false;
  ok = ok && config::writeKit(manyPlainKitPath(), kit, layout, &error);
  if (!ok) {
    fprintf(stderr, "kit_bench: %s\n", error.c_str());
    exit(1);
  }
}

// The peer: the same inflate over the same mapping, 32 KiB chunks, one
// write() per chunk into a new file.
bool plainInflate(const std::string& kit, const std::string& output) {
  const int in = open(kit.c_str(), O_RDONLY);
  struct stat status;
  if (in < 0 || fstat(in, &status) != 0) return false;
  void* map = mmap(nullptr, size_t(status.st_size), PROT_READ, MAP_PRIVATE, in, 0);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT, 0660);
  z_stream stream = z_stream();
  inflateInit2(&stream, -15);
  stream.next_in = static_cast<Bytef*>(map);
  stream.avail_in = uInt(status.st_size);
  std::unique_ptr<Bytef[]> chunk(new Bytef[32768]);
  int code;
  bool ok = true;
  do {
    stream.next_out = chunk.get();
    stream.avail_out = 32768;
    code = inflate(&stream, Z_NO_FLUSH);
    const size_t produced = 32768 - stream.avail_out;
    if (produced > 0 && write(out, chunk.get(), produced) != ssize_t(produced)) ok = false;
  } while (ok && code == Z_OK && stream.avail_out == 0);
  inflateEnd(&stream);
  close(out);
  munmap(map, size_t(status.st_size));
  close(in);
  return ok && code == Z_STREAM_END;
}

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double g_unpackSeconds = 0;
double g_inflateSeconds = 0;

// Both contenders run in every iteration, in alternating order, each into a
// file that does not exist yet; the iteration time is unpack's.
void BM_UnpackVersusPlainInflate(benchmark::State& state) {
  const std::string output = g_dir + "/container";
  const std::u16string wideKit = widen_lib(bigKitPath());
  const std::u16string wideOutput = widen_lib(output);
  double unpackTotal = 0;
  double inflateTotal = 0;
  uint64_t size = 0;
  bool unpackFirst = true;
  for (auto _ : state) {
    double unpackTime = 0;
    double inflateTime = 0;
    for (int turn = 0; turn < 2; ++turn) {
      unlink(output.c_str());
      const auto start = Clock::now();
      if ((turn == 0) == unpackFirst) {
        if (LZCompressor::unpack(wideKit, wideOutput) != 0) state.SkipWithError("unpack failed");
        unpackTime = seconds(start);
      } else {
        if (!plainInflate(bigKitPath(), output)) state.SkipWithError("inflate failed");
        inflateTime = seconds(start);
      }
    }
    unpackFirst = !unpackFirst;
    struct stat status;
    stat(output.c_str(), &status);
    size = uint64_t(status.st_size);
    unpackTotal += unpackTime;
    inflateTotal += inflateTime;
    state.SetIterationTime(unpackTime);
  }
  unlink(output.c_str());
  g_unpackSeconds = unpackTotal;
  g_inflateSeconds = inflateTotal;
  state.SetBytesProcessed(int64_t(size) * state.iterations());
  state.counters["container_MB"] = double(size) / 1e6;
  state.counters["plain_inflate_s"] = inflateTotal / double(state.iterations());
  state.counters["ratio"] = inflateTotal > 0 ? unpackTotal / inflateTotal : 0;
}
BENCHMARK(BM_UnpackVersusPlainInflate)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);

// The machine is shared by several jobs: the comparisons below use the
// CPU time of this process (user and system, page faults and writes
// included), which other jobs do not inflate as they do wall time.
double cpuNow() {
  struct timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double g_openSeconds = 0;
double g_zlibLoopSeconds = 0;

// Both contenders in every iteration, alternating; the fastest of each
// counts, since the machine is shared.
void BM_OpenRealisticVersusZlibLoop(benchmark::State& state) {
  const std::string output = g_dir + "/container";
  double bestOpen = 1e9, bestLoop = 1e9;
  bool openFirst = true;
  bool inMemory = false;
  for (auto _ : state) {
    double openTime = 0, loopTime = 0;
    for (int turn = 0; turn < 2; ++turn) {
      unlink(output.c_str());
      const double start = cpuNow();
      if ((turn == 0) == openFirst) {
        KitReader reader;
        if (reader.open(widen_lib(realisticKitPath())) != 0) state.SkipWithError("open failed");
        openTime = cpuNow() - start;
        inMemory = reader.inMemory();
      } else {
        if (!plainInflate(realisticKitPath(), output)) state.SkipWithError("inflate failed");
        loopTime = cpuNow() - start;
      }
    }
    openFirst = !openFirst;
    bestOpen = std::min(bestOpen, openTime);
    bestLoop = std::min(bestLoop, loopTime);
    state.SetIterationTime(openTime);
  }
  unlink(output.c_str());
  g_openSeconds = bestOpen;
  g_zlibLoopSeconds = bestLoop;
  state.SetBytesProcessed(int64_t(g_realisticBytes) * state.iterations());
  state.counters["in_memory"] = inMemory;
  state.counters["best_zlib_loop_s"] = bestLoop;
  state.counters["ratio"] = bestOpen / bestLoop;
}
BENCHMARK(BM_OpenRealisticVersusZlibLoop)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);

double g_fastestSeconds = 0;
double g_zlibSeconds = 0;

void BM_DecodersIntoMemory(benchmark::State& state) {
  const std::u16string kit = widen_lib(realisticKitPath());
  double best[2] = {1e9, 1e9};
  bool fastestFirst = true;
  for (auto _ : state) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool fastest = (turn == 0) == fastestFirst;
      UnpackedContainer container;
      bool fits = false;
      const double start = cpuNow();
      if (LZCompressor::unpackToMemory(kit, uint64_t(1) << 32, fastest ? Inflater::kFastest : Inflater::kZlib,
                                       container, fits) != 0 || !fits)
        state.SkipWithError("unpack into memory failed");
      const double time = cpuNow() - start;
      best[fastest ? 0 : 1] = std::min(best[fastest ? 0 : 1], time);
      if (fastest) state.SetIterationTime(time);
    }
    fastestFirst = !fastestFirst;
  }
  g_fastestSeconds = best[0];
  g_zlibSeconds = best[1];
  state.SetBytesProcessed(int64_t(g_realisticBytes) * state.iterations());
  state.counters["libdeflate_MB_s"] = double(g_realisticBytes) / 1e6 / best[0];
  state.counters["zlib_MB_s"] = double(g_realisticBytes) / 1e6 / best[1];
}
BENCHMARK(BM_DecodersIntoMemory)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);

void BM_ExtractEveryEntry(benchmark::State& state) {
  KitReader reader;
  if (reader.open(widen_lib(manyKitPath())) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  const std::string root = g_dir + "/installed/";
  std::vector<std::u16string> targets;
  uint64_t bytes = 0;
  for (const config::KitEntry& entry : reader.entries) {
    std::u16string name = entry.name;
    replace_all(name, kBadPathSeparator, kPathSeparator);
    targets.push_back(widen_lib(root) + name);
    FileSystem::CreateDirectory(targets.back().substr(0, targets.back().rfind(u'/')));
    bytes += entry.size;
  }
  for (auto _ : state) {
    for (uint32_t i = 0; i < targets.size(); ++i) {
      if (reader.copy(i, targets[i]) != 0) {
        state.SkipWithError("copy failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(int64_t(bytes) * state.iterations());
  state.SetItemsProcessed(int64_t(targets.size()) * state.iterations());
  state.counters["kit_MB"] = double(bytes) / 1e6;
}
BENCHMARK(BM_ExtractEveryEntry)->Iterations(3)->Unit(benchmark::kMillisecond);

double g_checkedSeconds = 0;
double g_plainSeconds = 0;

void BM_OpenCheckedVersusUnchecked(benchmark::State& state) {
  const std::u16string checked = widen_lib(manyKitPath());
  const std::u16string plain = widen_lib(manyPlainKitPath());
  double checkedTotal = 0;
  double plainTotal = 0;
  bool checkedFirst = true;
  for (auto _ : state) {
    double checkedTime = 0;
    for (int turn = 0; turn < 2; ++turn) {
      const bool isChecked = (turn == 0) == checkedFirst;
      KitReader reader;
      const auto start = Clock::now();
      if (reader.open(isChecked ? checked : plain) != 0) state.SkipWithError("open failed");
      const double time = seconds(start);
      if (isChecked) {
        checkedTime = time;
        checkedTotal += time;
      } else {
        plainTotal += time;
      }
    }
    checkedFirst = !checkedFirst;
    state.SetIterationTime(checkedTime);
  }
  g_checkedSeconds = checkedTotal;
  g_plainSeconds = plainTotal;
  state.counters["unchecked_open_s"] = plainTotal / double(state.iterations());
  state.counters["ratio"] = plainTotal > 0 ? checkedTotal / plainTotal : 0;
}
BENCHMARK(BM_OpenCheckedVersusUnchecked)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

void removeDir() {
  if (!g_dir.empty()) FileSystem::RemoveDirectory(widen_lib(g_dir));
}

}  // namespace

int main(int argc, char** argv) {
  init_locale_from_environment();
  benchmark::Initialize(&argc, argv);
  const char* parent = getenv("TMPDIR");
  std::string pattern = std::string(parent != nullptr && *parent ? parent : "/tmp") + "/kitbench.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return 1;
  g_dir = pattern;
  atexit(removeDir);
  // The reader's own temporary container goes there too.
  setenv("TMPDIR", g_dir.c_str(), 1);

  const auto start = Clock::now();
  makeBigKit();
  makeManyKit();
  makeRealisticKit();
  struct stat realisticStatus;
  stat(realisticKitPath().c_str(), &realisticStatus);
  fprintf(stderr, "realistic kit: %.1f MB unpacked, %.2f x compressible\n", double(g_realisticBytes) / 1e6,
          double(g_realisticBytes) / double(realisticStatus.st_size));
  fprintf(stderr, "kits generated in %.1f s under %s\n", seconds(start), g_dir.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_inflateSeconds > 0)
    printf("unpack / plain zlib inflate: %.3f (target <= 1.1)\n", g_unpackSeconds / g_inflateSeconds);
  if (g_plainSeconds > 0)
    printf("open with checksums / open without: %.3f\n", g_checkedSeconds / g_plainSeconds);
  if (g_zlibLoopSeconds > 0)
    printf("realistic kit, CPU time of open / zlib loop into a file: %.3f s / %.3f s = %.3f (target <= 0.5)\n",
           g_openSeconds, g_zlibLoopSeconds, g_openSeconds / g_zlibLoopSeconds);
  if (g_zlibSeconds > 0)
    printf("realistic kit into memory, CPU time of libdeflate / zlib: %.3f s / %.3f s = %.3f (%.0f vs %.0f MB/s)\n",
           g_fastestSeconds, g_zlibSeconds, g_fastestSeconds / g_zlibSeconds,
           double(g_realisticBytes) / 1e6 / g_fastestSeconds, double(g_realisticBytes) / 1e6 / g_zlibSeconds);
  return 0;
}
