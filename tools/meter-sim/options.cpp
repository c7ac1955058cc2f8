#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "usage.h"

namespace meter_sim {
namespace {

constexpr const char* kTool = "meter-sim";
constexpr const char* kHelp = R"(usage: meter-sim [OPTIONS]

Simulates Modbus RTU energy meters on one serial line.

Prints, as the first line on standard output, the line's device name
relative to /dev (for example "pts/3"), then serves requests until it gets
SIGTERM or SIGINT, or until --exit-after has passed.

Line:
  --device PATH        serve on this serial device instead of a new pty
  --baud N             bit rate for --device (default 9600; 8 data bits, 1 stop bit)
  --parity N|E|O       parity for --device (default N)
  --link PATH          make PATH a symbolic link to the line's device
  --pidfile PATH       write the process id to PATH (removed at exit)

Meters:
  --slaves A,B,...     serve these slave addresses (1-247)
  --slave A            serve this address; may be repeated
                       (default: address 1; fault options below add their
                       address to the served set)

Faults, per address (each option may be repeated for other addresses):
  --silent A           never answer A
  --exception A[:C]    answer A with exception code C (0-255, default 2)
  --bad-crc A          answer A normally but with the last CRC byte inverted
  --delay A:MS         wait MS milliseconds before answering A
  --late A:MS          the same as --delay; meant for MS beyond the master's
                       1 s wait for a first byte
  --chunks A:N:GAP     send the answer to A in N pieces, GAP ms apart
  --oversize A:N       answer A with exactly N bytes: the normal reply,
                       then filler bytes 0x00, 0x01, ... (cut to N if shorter)
  --flood              write 64 filler bytes every 10 ms, besides answering

Other:
  --exit-after S       end cleanly after S seconds
  --verbose            log every request and what was done with it to stderr
  --help               show this text
  --version            print the version

Register maps of slave A (every address 0-65535 is readable):
  holding register R   (A << 8) | (R & 0xFF), except registers 0-3
  input register R     ((A | 0x80) << 8) | (R & 0xFF), except registers 0-3
  registers 0-1        energy counter, 32 bits high word first, in both
                       tables: A * 1000 + A * (seconds since start)
  registers 2-3        seconds since start, 32 bits high word first
  coil C               on when (C + A) % 3 == 0, except coil 0, which is on
                       in odd seconds since start
  discrete input C     on when (C + A) % 2 == 0
)";

// `what` names the number for the usage error: "a bit rate is 50 to ...".
int to_int(std::string_view text, int low, int high, const char* what) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw std::invalid_argument(std::string(what) + " is " + std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) {
      return parts;
    }
    text.remove_prefix(at + 1);
  }
}

// The options that take a value, so that a usage error can tell an unknown
// name from a value left off at the end of the line.
bool takes_value(std::string_view name) {
  static constexpr std::string_view kValued[] = {
      "--device", "--baud",      "--parity",  "--link",  "--pidfile", "--slaves", "--slave",    "--exit-after",
      "--silent", "--exception", "--bad-crc", "--delay", "--late",    "--chunks", "--oversize"};
  return std::ranges::find(kValued, name) != std::end(kValued);
}

int to_address(std::string_view text) { return to_int(text, 1, 247, "a slave address"); }

// Splits "A:X[:Y]" into between `min_parts` and `max_parts` fields;
// `form` is how the option's value is written.
std::vector<std::string_view> address_fields(std::string_view text, std::size_t min_parts, std::size_t max_parts,
                                             const char* form) {
  auto parts = split(text, ':');
  if (parts.size() < min_parts || parts.size() > max_parts) {
    throw std::invalid_argument(std::string("the value is written ") + form);
  }
  return parts;
}

FaultPlan& fault_for(Options& options, std::string_view address_text) {
  const int address = to_address(address_text);
  options.slaves.insert(address);
  return options.faults[address];
}

// Handles options that name one address and a fault; false if `name` is none of them.
bool apply_fault(Options& options, std::string_view name, std::string_view value) {
  if (name == "--silent") {
    fault_for(options, value).silent = true;
  } else if (name == "--exception") {
    const auto parts = address_fields(value, 1, 2, "A[:C]");
    fault_for(options, parts[0]).exception_code =
        parts.size() == 2 ? to_int(parts[1], 0, 255, "an exception code") : 2;
  } else if (name == "--bad-crc") {
    fault_for(options, value).bad_crc = true;
  } else if (name == "--delay" || name == "--late") {
    const auto parts = address_fields(value, 2, 2, "A:MS");
    fault_for(options, parts[0]).delay_ms = to_int(parts[1], 0, 3600000, "a delay in milliseconds");
  } else if (name == "--chunks") {
    const auto parts = address_fields(value, 3, 3, "A:N:GAP");
    FaultPlan& plan = fault_for(options, parts[0]);
    plan.chunks = to_int(parts[1], 1, 1000, "a chunk count");
    plan.chunk_gap_ms = to_int(parts[2], 0, 3600000, "a gap in milliseconds");
  } else if (name == "--oversize") {
    const auto parts = address_fields(value, 2, 2, "A:N");
    fault_for(options, parts[0]).oversize = to_int(parts[1], 1, 65536, "a byte count");
  } else {
    return false;
  }
  return true;
}

// Handles options that take a value; false if `name` is none of them.
bool apply_valued(Options& options, std::string_view name, std::string_view value) {
  if (name == "--device") {
    options.device = value;
  } else if (name == "--baud") {
    options.baud = to_int(value, 50, 4000000, "a bit rate");
  } else if (name == "--parity") {
    if (value != "N" && value != "E" && value != "O") {
      throw std::invalid_argument("the parity is N, E or O");
    }
    options.parity = value[0];
  } else if (name == "--link") {
    options.link_path = value;
  } else if (name == "--pidfile") {
    options.pidfile = value;
  } else if (name == "--slaves") {
    for (const auto part : split(value, ',')) {
      options.slaves.insert(to_address(part));
    }
  } else if (name == "--slave") {
    options.slaves.insert(to_address(value));
  } else if (name == "--exit-after") {
    options.exit_after_s = to_int(value, 1, 86400 * 365, "a time in seconds");
  } else {
    return apply_fault(options, name, value);
  }
  return true;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, bool& help_shown) {
  Options options;
  help_shown = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kHelp, stdout);
      help_shown = true;
      return std::nullopt;
    }
    if (name == "--version") {
      std::printf("meter-sim %s\n", METERSCRIBE_VERSION);
      help_shown = true;
      return std::nullopt;
    }
    if (name == "--flood") {
      options.flood = true;
    } else if (name == "--verbose" || name == "-v") {
      options.verbose = true;
    } else if (!takes_value(name)) {
      usage_error(kTool, argv[i], "no such option");
      return std::nullopt;
    } else if (i + 1 == argc) {
      usage_error(kTool, argv[i], "needs a value");
      return std::nullopt;
    } else {
      try {
        apply_valued(options, name, argv[i + 1]);
      } catch (const std::invalid_argument& error) {
        value_error(kTool, argv[i], argv[i + 1], error.what());
        return std::nullopt;
      }
      ++i;
    }
  }
  if (options.slaves.empty()) {
    options.slaves.insert(1);
  }
  return options;
}

}  // namespace meter_sim
