// Reads requests off the line, frames them by length and silence, and
// answers each served slave address with its own register map and faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "line.h"
#include "meters.h"
#include "options.h"

namespace meter_sim {

// SIGTERM and SIGINT ask the server to return; SIGPIPE is ignored.
void install_signal_handlers();
bool stop_requested();

class Server {
 public:
  Server(const Options& options, Line& line, Meters& meters);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Serves until a signal or the --exit-after time.
  void run();

 private:
  using Clock = std::chrono::steady_clock;
  using Bytes = std::vector<std::uint8_t>;

  bool should_stop() const;
  void receive();
  void take_frames(bool gap_passed);
  void serve(const Bytes& request);
  void answer(const Bytes& request, int address, const FaultPlan& plan);
  Bytes capture_reply(const Bytes& request, modbus_mapping_t* map);
  void deliver(const Bytes& reply, const FaultPlan& plan);
  void write_all(const std::uint8_t* data, std::size_t length);
  void pause(int milliseconds);
  void tick();
  void flood();
  void log(const char* what, const Bytes& bytes) const;
  std::uint32_t seconds_running() const;

  const Options& options_;
  Line& line_;
  Meters& meters_;
  Clock::time_point started_ = Clock::now();
  Clock::time_point last_byte_ = started_;
  Clock::time_point last_flood_ = started_;
  Bytes pending_;
  std::uint8_t filler_ = 0;
  int capture_read_ = -1;
  int capture_write_ = -1;
};

}  // namespace meter_sim
