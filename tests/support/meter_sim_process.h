// The meter simulator run as a child process on a fresh pseudo-terminal.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

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
