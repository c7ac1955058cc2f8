// Cutting the head off a 10 MiB released log file, as the storage trimming
// does when the storage fills: move to ".tmp", copy the kept part back,
// flush it to the medium, hand the old content to removeFile (a child
// process), and the same for a sparse file of a terabyte. Beside it, the
// limits: the removeFile run alone, `cp` of the
// same file, and a plain read/write copy in this process.
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "store/storage_trim_internal.h"
#include "sys/command_runner.h"
#include "sys/paths.h"

extern char** environ;

namespace {

constexpr std::int64_t FILE_BYTES = 10 << 20;
constexpr std::uint64_t CUT_BYTES = 2 << 20;  // a fifth goes, as in a trim

// A scratch root with the removeFile script and a 10 MiB file of log lines.
struct TrimRoot {
  ScratchDir scratch;
  std::string source;
  std::string log_dir;
  LogDir logs;
  TrimRoot() {
    make_dirs(scratch.path() + "/opt/meterscribe/etc");
    log_dir = scratch.path() + "/var/meterscribe/voldata";
    make_dirs(log_dir);
    log_dir_open(logs, log_dir.c_str());
    write_file(scratch.path() + REMOVE_SCRIPT, "#!/bin/sh\nrm -f -- \"$1\"\n", 0755);
    paths_set_root(scratch.path().c_str());
    const std::string line = "m3:2024-03-05-14-07-09:03 03 14 00 0a 00 0b 00 0c 00 0d 00 0e 00 0f 00 10 00 11 00 12 00 13 5d 4b \n";
    std::string content;
    content.reserve(static_cast<std::size_t>(FILE_BYTES));
    while (content.size() + line.size() <= static_cast<std::size_t>(FILE_BYTES)) content += line;
    content.resize(static_cast<std::size_t>(FILE_BYTES), '\n');
    source = scratch.at("source");
    write_file(source, content);
  }
  ~TrimRoot() { paths_set_root(nullptr); }
  static constexpr const char* LOG_FILE = "log-2024-03-05-14-07-09";
  std::string log_file() const { return log_dir + "/" + LOG_FILE; }
};

// Cuts a fresh copy of the 10 MiB file each round; with `apparent_length`
// the copy is first stretched by holes to that length.
void cut_fresh_copies(benchmark::State& state, off_t apparent_length) {
  silence_messages();
  TrimRoot root;
  std::string path = root.log_file();
  for (auto _ : state) {
    state.PauseTiming();
    copy_file(root.source, path);
    if (apparent_length != 0 && truncate(path.c_str(), apparent_length) != 0) state.SkipWithError("no sparse file");
    state.ResumeTiming();
    if (cut_file_head(root.logs, TrimRoot::LOG_FILE, CUT_BYTES) != CutOutcome::walk_ends)
      state.SkipWithError("cut failed");
  }
}

void BM_cut_file_head_10MiB(benchmark::State& state) {
  cut_fresh_copies(state, 0);
  state.SetBytesProcessed(state.iterations() * FILE_BYTES);
}
BENCHMARK(BM_cut_file_head_10MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// A planted sparse file: 10 MiB of lines, then holes up to a terabyte. The
// cut reads one line past the offset and hands the file to removeFile
// whole; copying the kept part would read a terabyte of holes.
void BM_cut_file_head_sparse_terabyte(benchmark::State& state) { cut_fresh_copies(state, off_t{1} << 40); }
BENCHMARK(BM_cut_file_head_sparse_terabyte)->Unit(benchmark::kMillisecond)->UseRealTime();

// The removeFile run on its own: fork, /bin/sh, the script's rm, the wait.
void BM_remove_log_file_script_alone(benchmark::State& state) {
  TrimRoot root;
  std::string path = root.log_file() + ".tmp";
  for (auto _ : state) {
    state.PauseTiming();
    write_file(path, "");
    state.ResumeTiming();
    if (remove_log_file(path.c_str(), REASON_CUT_FILE) != 1) state.SkipWithError("removeFile failed");
  }
}
BENCHMARK(BM_remove_log_file_script_alone)->Unit(benchmark::kMillisecond)->UseRealTime();

// `cp` of the whole 10 MiB file, started and waited for like a script.
void BM_cp_10MiB(benchmark::State& state) {
  TrimRoot root;
  std::string target = root.log_file();
  for (auto _ : state) {
    const char* argv[] = {"cp", root.source.c_str(), target.c_str(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "cp", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
      state.SkipWithError("cp did not start");
      break;
    }
    int status = 0;
    waitpid(child, &status, 0);
  }
  state.SetBytesProcessed(state.iterations() * FILE_BYTES);
}
BENCHMARK(BM_cp_10MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// A plain copy in this process with 64 KiB reads and writes and no flush
// to the medium: what the copy inside a cut could reach at best.
void BM_read_write_copy_10MiB(benchmark::State& state) {
  TrimRoot root;
  std::string target = root.log_file();
  std::vector<char> chunk(64 * 1024);
  for (auto _ : state) {
    int in = open(root.source.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (ssize_t got; (got = read(in, chunk.data(), chunk.size())) > 0;)
      if (write(out, chunk.data(), static_cast<std::size_t>(got)) != got) state.SkipWithError("write failed");
    close(in);
    close(out);
  }
  state.SetBytesProcessed(state.iterations() * FILE_BYTES);
}
BENCHMARK(BM_read_write_copy_10MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
