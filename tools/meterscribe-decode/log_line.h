// One line of a log file read back: the header the daemon writes
// ("m<i>:<YYYY-MM-DD-hh-mm-ss>:"), the response bytes ("%02x " each), and
// the checks that tell a line worth decoding from a damaged or foreign one.
#pragma once

#include <cstdint>
#include <string_view>

#include "modbus/meter_config.h"
#include "modbus/rtu_frame.h"

constexpr unsigned LOG_TIME_LEN = 19;  // "YYYY-MM-DD-hh-mm-ss"

struct LogLine {
  unsigned meter_index;  // 0-based, as logged
  char time[LOG_TIME_LEN + 1];
  std::uint8_t bytes[RESPONSE_MAX];
  unsigned count;
};

// Why a line is not decoded, for the report on standard error.
struct LineProblem {
  char text[160];
};

// The meters of a settings file as the daemon polls them.
struct MeterTable {
  MeterConfig meters[10];
  unsigned count;
};

// Reads one line (without its newline) in the daemon's exact form. Every
// byte of `text` counts: a byte no log line holds (a NUL, a control
// character, anything beyond ASCII) makes the line bad with that byte and
// its column named, so nothing after it is ever dropped unseen.
bool parse_log_line(std::string_view text, LogLine& line, LineProblem& problem);
// A C string ends at the first NUL, which hides the rest of a line.
bool parse_log_line(const char* text, LogLine& line, LineProblem& problem) = delete;

// The response itself: CRC (low byte first), no exception bit, a read
// function (1, 3, 4), and a byte-count field that matches the bytes logged.
bool check_logged_response(const LogLine& line, LineProblem& problem);

// The response against the meter it was logged for: the meter is polled
// with these settings, the slave address and function are the ones asked
// for, and the data length is what the request asked for. Only then are
// the meter's start address and quantity known to fit the values.
bool check_against_meter(const LogLine& line, const MeterTable& table, LineProblem& problem);
