// The meter simulator run as a child process on a fresh pseudo-terminal.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Starts `words` (a program's path, then its arguments) as a child whose
// first line of output names the serial line it serves, relative to /dev;
// waits up to `limit_ms` for that line. Returns the child's id (-1 when it
// could not be started) and sets `device`, "" when no line came.
pid_t start_line_peer(std::vector<std::string> words, int limit_ms, std::string& device);

// Ends such a child with SIGTERM and reaps it; pid becomes -1.
void stop_line_peer(pid_t& pid);

class MeterSimProcess {
 public:
  // Starts the simulator with the options; reads the device name it prints
  // (such as "pts/3", relative to /dev).
  explicit MeterSimProcess(const std::vector<std::string>& options);
  ~MeterSimProcess();
  MeterSimProcess(const MeterSimProcess&) = delete;
  MeterSimProcess& operator=(const MeterSimProcess&) = delete;

  bool started() const { return !device_.empty(); }
  const std::string& device() const { return device_; }
  pid_t pid() const { return pid_; }
  void stop();

 private:
  pid_t pid_ = -1;
  std::string device_;
};
