#include "log_line.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

[[gnu::format(printf, 2, 3)]] bool fail(LineProblem& problem, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(problem.text, sizeof problem.text, format, args);
  va_end(args);
  return false;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // the daemon writes lower case only
}

// "YYYY-MM-DD-hh-mm-ss": digits with '-' at 4, 7, 10, 13 and 16.
bool is_log_time(std::string_view text) {
  for (unsigned i = 0; i < LOG_TIME_LEN; ++i) {
    bool separator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
    if (separator ? text[i] != '-' : !is_digit(text[i])) return false;
  }
  return true;
}

// The daemon writes printable ASCII only: the first byte outside it.
bool printable_ascii(std::string_view text, LineProblem& problem) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte > 0x7E)
      return fail(problem, "byte 0x%02x at column %zu is no character of a log line", byte, i + 1);
  }
  return true;
}

// "m<i>:" with the index in decimal; `at` moves past the colon.
bool parse_meter_index(std::string_view text, std::size_t& at, LogLine& line, LineProblem& problem) {
  if (text.size() < 2 || text[0] != 'm' || !is_digit(text[1]))
    return fail(problem, "does not begin with m and a meter index");
  unsigned index = 0;
  for (at = 1; at < text.size() && is_digit(text[at]) && index < 100; ++at)
    index = index * 10 + static_cast<unsigned>(text[at] - '0');
  if (at == text.size() || text[at] != ':') return fail(problem, "no colon after the meter index");
  if (index >= 10) return fail(problem, "meter index %u is beyond the ten meter slots", index);
  line.meter_index = index;
  ++at;
  return true;
}

bool parse_time(std::string_view text, std::size_t& at, LogLine& line, LineProblem& problem) {
  std::string_view rest = text.substr(at);
  if (rest.size() < LOG_TIME_LEN + 1 || !is_log_time(rest) || rest[LOG_TIME_LEN] != ':')
    return fail(problem, "no time of the form YYYY-MM-DD-hh-mm-ss and a colon after the meter index");
  std::memcpy(line.time, rest.data(), LOG_TIME_LEN);
  line.time[LOG_TIME_LEN] = '\0';
  at += LOG_TIME_LEN + 1;
  return true;
}

// Every byte is two lowercase hex digits and one blank, the last one too.
bool parse_bytes(std::string_view text, std::size_t at, LogLine& line, LineProblem& problem) {
  line.count = 0;
  for (; at < text.size(); at += 3) {
    int high = hex_digit(text[at]);
    int low = high < 0 || at + 1 >= text.size() ? -1 : hex_digit(text[at + 1]);
    if (low < 0 || at + 2 >= text.size() || text[at + 2] != ' ')
      return fail(problem, "byte %u is not two lowercase hex digits and a blank", line.count + 1);
    if (line.count == RESPONSE_MAX) return fail(problem, "more than %u bytes", RESPONSE_MAX);
    line.bytes[line.count++] = static_cast<std::uint8_t>(high * 16 + low);
  }
  if (line.count == 0) return fail(problem, "no response bytes");
  return true;
}

const char* function_name(unsigned function) {
  switch (function) {
    case 1: return "read coils";
    case 3: return "read holding registers";
    case 4: return "read input registers";
    default: return "no read";
  }
}

// Data bytes the request of this meter asks for; quantities are cut to
// the 16 bits of the request field, as the daemon sends them.
unsigned expected_data_bytes(const MeterConfig& meter) {
  if ((meter.func & 0xFF) == 1) return ((meter.bin_count & 0xFFFF) + 7) / 8;
  return (meter.reg_count & 0xFFFF) * 2;
}

}  // namespace

bool parse_log_line(std::string_view text, LogLine& line, LineProblem& problem) {
  std::size_t at = 0;
  return printable_ascii(text, problem) && parse_meter_index(text, at, line, problem) &&
         parse_time(text, at, line, problem) && parse_bytes(text, at, line, problem);
}

bool check_logged_response(const LogLine& line, LineProblem& problem) {
  const std::uint8_t* bytes = line.bytes;
  unsigned n = line.count;
  if (n < 2) return fail(problem, "%u byte: too short for a CRC", n);
  unsigned received = bytes[n - 2] + 256u * bytes[n - 1];
  unsigned computed = modbus_crc16(bytes, n - 2);
  if (received != computed) return fail(problem, "bad CRC: logged %04x, computed %04x", received, computed);
  // Only the two CRC bytes FF FF pass with nothing before them, and FF has
  // the exception bit: from here on the function byte is there.
  if ((bytes[1] & 0x80) != 0)
    return fail(problem, "exception response from slave %u, function %u, code %u", bytes[0], bytes[1] & 0x7Fu,
                n >= 5 ? bytes[2] : 0u);
  if (bytes[1] != 1 && bytes[1] != 3 && bytes[1] != 4)
    return fail(problem, "function %u is not a read of coils or registers", bytes[1]);
  unsigned data_bytes = n >= 5 ? n - 5 : 0;
  if (n < 5 || bytes[2] != data_bytes)
    return fail(problem, "byte count field says %u data bytes, the line holds %u", n >= 3 ? bytes[2] : 0u, data_bytes);
  return true;
}

bool check_against_meter(const LogLine& line, const MeterTable& table, LineProblem& problem) {
  unsigned number = line.meter_index + 1;
  if (line.meter_index >= table.count) return fail(problem, "meter %u is not polled with these settings", number);
  const MeterConfig& meter = table.meters[line.meter_index];
  unsigned slave = meter.addr & 0xFF;
  unsigned function = meter.func & 0xFF;
  if (line.bytes[0] != slave)
    return fail(problem, "slave %u answered, meter %u is slave %u", line.bytes[0], number, slave);
  if (line.bytes[1] != function)
    return fail(problem, "function %u (%s) answered, meter %u is set to function %u", line.bytes[1],
                function_name(line.bytes[1]), number, function);
  if (line.bytes[2] != expected_data_bytes(meter))
    return fail(problem, "%u data bytes, meter %u asks for %u", line.bytes[2], number, expected_data_bytes(meter));
  return true;
}
