// Helpers for the reliability tests: a small tmpfs mounted by the test,
// log-line checks, process figures from /proc, and the settings of a
// daemon polling simulated meters.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// METERSCRIBE_TEST_SLOW (a whole factor, default 1) stretches the time
// limits of the end-to-end fixtures, for runs under valgrind.
int test_slow_factor();
std::chrono::milliseconds slow(std::chrono::milliseconds limit);
// Asks `ready` every 50 ms until it holds (true) or slow(limit) has passed
// (false).
bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds limit);

// A tmpfs of `size_kib` mounted on `path` (created when missing) for the
// lifetime of the object; unmounted lazily at the end even if files are
// still open. Needs root: otherwise `mounted()` is false and `why_not()`
// says why, for the test's skip message.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& path, unsigned size_kib);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }
  // Remounts read-only or read-write; true on success.
  bool set_read_only(bool read_only);
  // Percent used as the daemon reads it: (f_blocks - f_bavail) / f_blocks.
  unsigned use_percent() const;

 private:
  std::string path_;
  unsigned size_kib_;
  bool mounted_ = false;
  std::string why_not_;
};

// One meter of the settings: slave address and the holding registers read
// (function 3, from register 0, so the simulator's counters are included).
std::string meter_settings(const std::string& device, unsigned meters, const std::string& first_lines);

// True for a whole daemon log line (without its newline) whose bytes are a
// response with a valid CRC: "m<i>:<19 characters of time>:" then "%02x "
// per byte, with the byte count field matching the length.
bool is_valid_log_line(const std::string& line);

// Splits text into its complete lines (without newlines); the text after the
// last newline, if any, goes to *tail.
std::vector<std::string> complete_lines(const std::string& text, std::string* tail = nullptr);

// Regular files and other entries of a directory, names only, sorted; "."
// and ".." left out.
std::vector<std::string> directory_names(const std::string& path);

// utime + stime of a process in clock ticks; -1 when it cannot be read.
long cpu_ticks(pid_t pid);

// The controlling terminal of a process (tty_nr of /proc/<pid>/stat): 0
// for none, -1 when it cannot be read.
long controlling_tty(pid_t pid);

// The path of libfaketime.so.1 when installed, else "".
std::string faketime_library();

// The environment entry that lets an AddressSanitizer build accept an
// LD_PRELOAD library loaded before its runtime.
std::string asan_options_for_preload();

// Lines of a file in the log directory that are the daemon's own: every
// complete line of every regular file whose name starts with "log-".
std::vector<std::string> all_log_lines(const std::string& log_dir);

// Counts of the daemon's exchanges in its messages: started ones, and those
// that ended without a line (no answer, read error, failed write).
struct ExchangeCounts {
  int started = 0;
  int unanswered = 0;
  int read_errors = 0;
  int lost_writes = 0;  // "Can not create file" and "Can not write into file"
};
ExchangeCounts count_exchanges(const std::string& messages);
