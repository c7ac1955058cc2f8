// One log line as the daemon writes it, against a directory that already
// holds 1, 100, 999 or 5000 log files: every line lists the directory to
// find the newest file, opens it for appending, writes once and closes it.
// Beside it, what an integrator would write without a store: one fixed
// file, opened per line or kept open, and fprintf per byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "store/log_store.h"

namespace {

// 2024-03-05 14:07:09 UTC.
constexpr std::time_t T0 = 1709647629;

// A ten-register answer of slave 1: 25 bytes, a typical line of 95 characters.
const std::uint8_t RESPONSE[] = {0x01, 0x03, 0x14, 0x00, 0x0a, 0x00, 0x0b, 0x00, 0x0c, 0x00, 0x0d, 0x00, 0x0e, 0x00,
                                 0x0f, 0x00, 0x10, 0x00, 0x11, 0x00, 0x12, 0x00, 0x13, 0x5d, 0x4b};

// Makes `count` log files a minute apart, oldest first as the daemon makes
// them, the newest named after T0, so every line of the run goes into the
// newest one and the count stays. (The listing order is the file system's:
// tmpfs lists the newest first, a FAT card in order of creation.)
void fill_log_dir(const std::string& dir, long count) {
  for (long k = count - 1; k >= 0; --k) {
    char name[LOG_NAME_SIZE];
    format_log_name(name, T0 - 60 * k);
    write_file(dir + "/" + name, "m0:2024-03-05-14-07-09:01 03 02 00 2a 39 9b \n");
  }
}

void BM_append_log_line(benchmark::State& state) {
  setenv("TZ", "UTC", 1);
  tzset();
  silence_messages();
  ScratchDir scratch;
  fill_log_dir(scratch.path(), state.range(0));
  LogDir dir;
  log_dir_open(dir, scratch.path().c_str());
  ReleasedName release{};
  release_init(release);
  // A send period far longer than the files' span: nothing is released.
  LogStore store{&dir, &release, 1000000, ""};
  for (auto _ : state) append_log_line_at(store, 0, RESPONSE, sizeof RESPONSE, T0);
  pthread_mutex_destroy(&release.ready_lock);
  state.counters["files"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_append_log_line)->Arg(1)->Arg(100)->Arg(999)->Arg(5000)->Unit(benchmark::kMicrosecond);

void write_baseline_line(FILE* file, std::time_t now) {
  struct tm local {};
  localtime_r(&now, &local);
  std::fprintf(file, "m%d:%04d-%02d-%02d-%02d-%02d-%02d:", 0, local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  for (std::uint8_t byte : RESPONSE) std::fprintf(file, "%02x ", byte);
  std::fputc('\n', file);
}

// The usual hand-written logger: fopen("a"), fprintf, fclose per line.
void BM_baseline_fopen_per_line(benchmark::State& state) {
  setenv("TZ", "UTC", 1);
  tzset();
  ScratchDir scratch;
  std::string path = scratch.at("meters.log");
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "a");
    write_baseline_line(file, T0);
    std::fclose(file);
  }
}
BENCHMARK(BM_baseline_fopen_per_line)->Unit(benchmark::kMicrosecond);

// The same with the file kept open and flushed per line, so each line is
// in the file as soon as it is written.
void BM_baseline_kept_open(benchmark::State& state) {
  setenv("TZ", "UTC", 1);
  tzset();
  ScratchDir scratch;
  FILE* file = std::fopen(scratch.at("meters.log").c_str(), "a");
  for (auto _ : state) {
    write_baseline_line(file, T0);
    std::fflush(file);
  }
  std::fclose(file);
}
BENCHMARK(BM_baseline_kept_open)->Unit(benchmark::kMicrosecond);

}  // namespace
