// Command line of the meter simulator.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

namespace meter_sim {

// How one slave address misbehaves; every field is off by default.
struct FaultPlan {
  bool silent = false;
  std::optional<int> exception_code;  // answer with this exception code
  bool bad_crc = false;
  int delay_ms = 0;                   // --delay and --late both end up here
  int chunks = 1;
  int chunk_gap_ms = 0;
  int oversize = 0;                   // total bytes to send; 0 = plain reply
};

struct Options {
  std::string device;  // empty: create a pseudo-terminal pair
  int baud = 9600;
  char parity = 'N';
  std::string link_path;
  std::string pidfile;
  std::set<int> slaves;
  std::map<int, FaultPlan> faults;
  bool flood = false;
  bool verbose = false;
  int exit_after_s = 0;  // 0: run until a signal
};

// Parses argv. On a usage error returns nothing after printing the reason;
// on --help prints the help text and sets `help_shown`.
std::optional<Options> parse_options(int argc, char** argv, bool& help_shown);

}  // namespace meter_sim
