// Listing and sizing a log directory at its listing limit of 999 files, as
// the storage trimming does after a failed send.
#include <string>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "store/log_dir.h"
#include "store/log_store.h"

namespace {

constexpr std::time_t T0 = 1709647629;

struct FullLogDir {
  ScratchDir scratch;
  LogDir dir;
  explicit FullLogDir(long count) {
    for (long k = 0; k < count; ++k) {
      char name[LOG_NAME_SIZE];
      format_log_name(name, T0 - 60 * k);
      write_file(scratch.at(name), std::string(static_cast<std::size_t>(100 + k % 300), 'x'));
    }
    log_dir_open(dir, scratch.path().c_str());
  }
};

void BM_log_dir_list(benchmark::State& state) {
  FullLogDir dir(state.range(0));
  for (auto _ : state) {
    FileList list = log_dir_list(dir.dir, "\xff");  // every name counts
    benchmark::DoNotOptimize(list);
  }
}
BENCHMARK(BM_log_dir_list)->Arg(999)->Unit(benchmark::kMicrosecond);

void BM_log_dir_total_size(benchmark::State& state) {
  FullLogDir dir(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(log_dir_total_size(dir.dir, "\xff"));
}
BENCHMARK(BM_log_dir_total_size)->Arg(999)->Unit(benchmark::kMicrosecond);

}  // namespace
