// The launcher file reader on files of many values, against a peer measured
// in the same run: splitting the same bytes into lines and key/value pairs
// with the C++ library, into a hash map, with no text conversion and no
// duplicate check. Printed: our time / peer time per size (a constant
// factor), and how our time grows from the small to the large file (about
// the size ratio when reading is linear; its square when it is not).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/bench_times.h"
#include "config/config_reader.h"
#include "platform/text.h"

namespace {

const int kSmall = 5000;
const int kLarge = 20000;

// A launcher file with `values` template directories and as many other keys.
const std::string& launcher_file(int values) {
  static std::map<int, std::string> paths;
  std::string& path = paths[values];
  if (path.empty()) {
    char pattern[] = "/tmp/ovn8_config_bench_XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    path = pattern;
    std::ofstream out(path, std::ios::binary);
    out << "DefaultVersion=8.3\n";
    for (int i = 0; i < values; ++i)
      out << "ConfigurationTemplatesLocation=/home/user/templates/directory/" << i << "\n";
    for (int i = 0; i < values; ++i) out << "LauncherKey" << i << "=value\n";
  }
  return path;
}

void OursRead(benchmark::State& state) {
  const std::u16string path = widen_lib(launcher_file(int(state.range(0))));
  for (auto _ : state) {
    ConfigFile config;
    benchmark::DoNotOptimize(read_config_file(path, config));
    benchmark::DoNotOptimize(config.entries().size());
  }
}

void PeerRead(benchmark::State& state) {
  const std::string& path = launcher_file(int(state.range(0)));
  for (auto _ : state) {
    std::unordered_map<std::string, std::vector<std::string>> keys;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
      const size_t equals = line.find('=');
      keys[line.substr(0, equals)].push_back(equals == std::string::npos ? std::string()
                                                                          : line.substr(equals + 1));
    }
    benchmark::DoNotOptimize(keys.size());
  }
}

BENCHMARK(OursRead)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(PeerRead)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

void print_ratios(const TimesReporter& times) {
  std::printf("\nour time / peer time (a constant factor when both are linear)\n");
  for (int size : {kSmall, kLarge}) {
    const double ours = times.time("OursRead/" + std::to_string(size));
    const double peer = times.time("PeerRead/" + std::to_string(size));
    if (ours > 0 && peer > 0) std::printf("  %6d values: %.2f\n", size, ours / peer);
  }
  const double small = times.time("OursRead/" + std::to_string(kSmall));
  const double large = times.time("OursRead/" + std::to_string(kLarge));
  if (small > 0 && large > 0)
    std::printf("our time for %d / for %d values: %.2f (linear: %.0f, quadratic: %.0f)\n", kLarge,
                kSmall, large / small, double(kLarge) / kSmall,
                double(kLarge) * kLarge / (double(kSmall) * kSmall));
}

}  // namespace

int main(int argc, char** argv) {
  const int status = run_benchmarks(argc, argv, print_ratios);
  for (int size : {kSmall, kLarge}) unlink(launcher_file(size).c_str());
  return status;
}
