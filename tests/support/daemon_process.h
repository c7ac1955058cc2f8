// The real daemon binary run as a child process in a test root, with its
// messages on standard error collected into a file.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

class DaemonProcess {
 public:
  // Starts `binary` (the daemon by default) with METERSCRIBE_ROOT=root and
  // METERSCRIBE_LOG_STDERR=1; extra "NAME=value" entries are added to the
  // environment. With METERSCRIBE_TEST_WRAPPER set, its words come before
  // the binary (the process id is then the wrapper's, which for valgrind is
  // the daemon's own). Limits of the waits below are stretched by
  // METERSCRIBE_TEST_SLOW.
  explicit DaemonProcess(const std::string& root, std::vector<std::string> extra_env = {},
                         const std::string& binary = MS_DAEMON_BINARY);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to `limit` for the process to end; returns its wait status, or
  // -1 when it is still running.
  int wait_for_exit(std::chrono::milliseconds limit);
  // Messages written so far on standard error.
  std::string messages() const;
  // Waits until the messages contain `text` (true) or the limit passes.
  bool wait_for_message(const std::string& text, std::chrono::milliseconds limit) const;
  // Sends the signal and reaps the process.
  void stop(int signal_number = 15);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool wrapped_ = false;
  std::string stderr_path_;
};

// Counts occurrences of `needle` in `haystack`.
int count_occurrences(const std::string& haystack, const std::string& needle);
