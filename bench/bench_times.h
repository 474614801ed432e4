// Running the benchmarks of one program and reading back their times, so
// that each program can print its ratios against the peer it measured.
#ifndef OVN8_BENCH_BENCH_TIMES_H_
#define OVN8_BENCH_BENCH_TIMES_H_

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Prints the usual table and keeps each run's real time by benchmark name.
class TimesReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  // The time of the run of that name; 0 when it did not run.
  double time(const std::string& name) const {
    const auto found = times_.find(name);
    return found == times_.end() ? 0 : found->second;
  }

 private:
  std::map<std::string, double> times_;
};

// Runs the benchmarks the command line selects, then `report(reporter)`.
template <class Report>
int run_benchmarks(int argc, char** argv, Report report) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TimesReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  report(reporter);
  benchmark::Shutdown();
  return 0;
}

#endif  // OVN8_BENCH_BENCH_TIMES_H_
