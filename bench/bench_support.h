// Shared helpers of the micro-benchmarks: a scoped scratch directory, file
// makers, and a silenced message voice.
#pragma once

#include <string>

// A scratch directory that is removed with everything in it at the end of
// its scope. It is made below $METERSCRIBE_BENCH_TMP, else /dev/shm (the
// gateway keeps its logs in RAM), else /tmp.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string at(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes a whole file (mode 0644, or the given mode); aborts on failure,
// since a benchmark on a half-made fixture measures nothing.
void write_file(const std::string& path, const std::string& content, int mode = 0644);

// Makes the directory and its parents.
void make_dirs(const std::string& path);

// Copies a file byte for byte with copy_file_range (fixture set-up only).
void copy_file(const std::string& from, const std::string& to);

// Routes every message of the daemon into a hook that drops it.
void silence_messages();
