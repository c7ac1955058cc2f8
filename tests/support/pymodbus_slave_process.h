// A Modbus RTU slave of an independent library (Debian's python3-pymodbus)
// run as a child process on a fresh serial line (pymodbus_slave.py).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class PymodbusSlaveProcess {
 public:
  // Debian's interpreter, where python3-pymodbus installs.
  static constexpr const char* PYTHON = "/usr/bin/python3";

  // Whether the interpreter imports pymodbus and its serial transport.
  static bool available();

  // Starts the slave with the options of pymodbus_slave.py; reads the
  // device name it prints (such as "pts/5", relative to /dev).
  explicit PymodbusSlaveProcess(const std::vector<std::string>& options);
  ~PymodbusSlaveProcess();
  PymodbusSlaveProcess(const PymodbusSlaveProcess&) = delete;
  PymodbusSlaveProcess& operator=(const PymodbusSlaveProcess&) = delete;

  bool started() const { return !device_.empty(); }
  const std::string& device() const { return device_; }

 private:
  pid_t pid_ = -1;
  std::string device_;
};
