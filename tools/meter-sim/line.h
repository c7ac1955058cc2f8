// The serial line the meters answer on: a new pseudo-terminal pair, or a
// real serial device, with a libmodbus RTU context that writes to it.
#pragma once

#include <string>

#include <modbus.h>

namespace meter_sim {

struct Options;

class Line {
 public:
  // Opens the line the options ask for; throws std::runtime_error on failure.
  explicit Line(const Options& options);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  int fd() const { return fd_; }
  modbus_t* context() const { return context_; }
  // What a master puts after "/dev/" to open the line, e.g. "pts/3".
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }

 private:
  void open_pty();
  void open_device(const Options& options);

  int fd_ = -1;
  int slave_keeper_ = -1;
  bool own_device_ = false;
  modbus_t* context_ = nullptr;
  std::string name_;
  std::string path_;
};

}  // namespace meter_sim
