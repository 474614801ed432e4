// --verify over a directory of 100,000 installed files against its record,
// beside the peer that reads the same files whole and sums them:
// `find DIR -type f | xargs cksum`. Both read every byte; the ratio shows
// what the record's lookups and the file layer add.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_times.h"
#include "install/directory_check.h"
#include "install/journal_codec.h"
#include "platform/test_toolkit.h"
#include "platform/text.h"

namespace {

const int kFiles = 100000;
const int kFilesPerFolder = 500;

// The directory and its record, made once.
struct Tree {
  testkit::ScratchDir dir{"/tmp", "ovn8-verify-bench"};
  std::vector<RecordEntry> entries;
  Tree() {
    for (int i = 0; i < kFiles; ++i) {
      const std::string folder = "f" + std::to_string(i / kFilesPerFolder);
      if (i % kFilesPerFolder == 0) mkdir((dir / folder).c_str(), 0755);
      const std::string name = folder + "/t" + std::to_string(i) + ".xml";
      const std::string content(200 + (i * 37) % 1800, char('a' + i % 26));
      testkit::writeFile(dir / name, content);
      entries.push_back(RecordEntry{widen_lib(name), content.size(), crc_of(content.data(), content.size()),
                                    0, RecordAction::kInstalled});
    }
  }
};

Tree& tree() {
  static Tree made;
  return made;
}

void OursVerify(benchmark::State& state) {
  const std::u16string target = widen_lib(tree().dir.path() + "/");
  for (auto _ : state) {
    const DirectoryCheck check = check_directory(target, tree().entries);
    if (!check.allOk()) state.SkipWithError("the tree does not verify");
  }
}

void PeerCksum(benchmark::State& state) {
  const std::string command = "find '" + tree().dir.path() + "' -type f | xargs cksum > /dev/null";
  for (auto _ : state)
    if (system(command.c_str()) != 0) state.SkipWithError("find | xargs cksum failed");
}

BENCHMARK(OursVerify)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(PeerCksum)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void print_ratio(const TimesReporter& times) {
  const double ours = times.time("OursVerify/iterations:3/real_time");
  const double peer = times.time("PeerCksum/iterations:3/real_time");
  if (ours > 0 && peer > 0)
    std::printf("\nverify of %d files / find | xargs cksum: %.2f\n", kFiles, ours / peer);
}

}  // namespace

int main(int argc, char** argv) { return run_benchmarks(argc, argv, print_ratio); }
