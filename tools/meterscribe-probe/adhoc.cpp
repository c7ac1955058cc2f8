#include "adhoc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exchange.h"
#include "line.h"
#include "messages.h"
#include "modbus/serial_port.h"
#include "sys/clock.h"
#include "usage.h"

namespace {

constexpr const char* TOOL = "meterscribe-probe";
constexpr unsigned DEFAULT_BAUD = 9600;
constexpr unsigned READ_WAIT_MS = FIRST_BYTE_WAIT_MS;
// Most meters answer within a few tens of milliseconds; a scan of 247
// addresses at this wait stays under half a minute per framing.
constexpr unsigned SCAN_WAIT_MS = 100;
// The rest of an answer gets at least this long, as the shipped settings
// give the daemon (SPLIT).
constexpr unsigned REST_MIN_MS = 200;
// Start, eight data bits, parity, two stop bits: no character is longer.
constexpr unsigned CHARACTER_BITS_MAX = 12;

// The Modbus limits of one read, so that the answer fits a frame.
constexpr unsigned BITS_MAX = 2000;
constexpr unsigned REGISTERS_MAX = 125;

bool is_bits(unsigned function) { return function == 1 || function == 2; }

// The next comma-separated word of `text` from `position` into `word`.
bool next_word(const char* text, std::size_t& position, std::string& word) {
  if (text[position] == '\0') return false;
  const char* comma = std::strchr(text + position, ',');
  std::size_t length = comma != nullptr ? static_cast<std::size_t>(comma - (text + position)) : std::strlen(text + position);
  word.assign(text + position, length);
  position += length + (comma != nullptr ? 1 : 0);
  return true;
}

MeterConfig meter_of(const AdHocRequest& request, unsigned slave) {
  MeterConfig meter{};
  meter.addr = slave;
  meter.func = request.function;
  meter.start = request.start;
  meter.bin_count = is_bits(request.function) ? request.count : 0;
  meter.reg_count = is_bits(request.function) ? (request.count + 15) / 16 : request.count;
  return meter;
}

std::vector<Framing> framings_of(const AdHocRequest& request) {
  std::vector<unsigned> bauds = request.bauds.empty() ? std::vector<unsigned>{DEFAULT_BAUD} : request.bauds;
  std::vector<const char*> parities = request.parities.empty() ? std::vector<const char*>{"none"} : request.parities;
  std::vector<Framing> framings;
  for (unsigned baud : bauds)
    for (const char* parity : parities) framings.push_back({baud, parity, request.stop_bits});
  return framings;
}

// The daemon reads the rest of an answer within one budget; here it covers
// the longest answer to the request at the line speed, twice over.
unsigned rest_budget_ms(const MeterConfig& meter, unsigned baud) {
  unsigned wire_ms = (expected_answer_size(meter) * CHARACTER_BITS_MAX * 1000 + baud - 1) / baud;
  return wire_ms * 2 > REST_MIN_MS ? wire_ms * 2 : REST_MIN_MS;
}

// The line as a configured one would be: the device below /dev unless it
// is a path, the framing of the first try. False when the path is too long.
bool describe_line(const AdHocRequest& request, const Framing& framing, const MeterConfig& meter, ProbeLine& line) {
  const char* device = request.device;
  const char* below_dev = std::strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
  int length = device[0] == '/' ? std::snprintf(line.device_path.data(), line.device_path.size(), "%s", device)
                                : std::snprintf(line.device_path.data(), line.device_path.size(), "/dev/%s", device);
  if (length < 0 || static_cast<std::size_t>(length) >= line.device_path.size()) {
    std::fprintf(stderr, "%s: --device %s: the path is too long\n", TOOL, device);
    return false;
  }
  DaemonContext& context = line.context;
  context.device = strdup(below_dev);
  context.rs485 = strdup(request.rs485);
  context.rs485_rts_on_send = 1;  // the setting's default: RTS high while sending
  context.parity = strdup(parity_letter(framing.parity));
  context.baudrate = framing.baud;
  context.databits = 8;
  context.stopbits = framing.stop_bits;
  context.split = rest_budget_ms(meter, framing.baud);
  return context.device != nullptr && context.rs485 != nullptr && context.parity != nullptr;
}

// Sets the open line to a framing, the lock and the RS-485 set-up kept.
// False, after saying so, when the line refuses it: answers would then be
// put down to a framing the line does not run at.
bool set_framing(ProbeLine& line, ProbeLink& link, const Framing& framing, const MeterConfig& meter) {
  bool set = set_line_framing(link.fd, line.device_path.data(), framing.baud, 8, parity_letter(framing.parity),
                              framing.stop_bits);
  for (const std::string& message : take_daemon_messages()) std::fprintf(stderr, "%s: %s\n", TOOL, message.c_str());
  if (!set) std::fprintf(stderr, "%s: %s is not scanned: the line cannot be set to it\n", TOOL, framing_text(framing).c_str());
  link.baudrate = framing.baud;
  link.split_ms = rest_budget_ms(meter, framing.baud);
  return set;
}

int read_once(const AdHocRequest& request, const ProbeLink& link, const ReportOptions& report) {
  MeterConfig meter = meter_of(request, request.slave);
  Exchange exchange{};
  poll_once(link, meter, 0, exchange, Requests::any_read);
  print_exchange(stdout, 0, meter, exchange, report);
  return exchange.verdict == Verdict::ok ? 0 : 1;
}

// Asks every slave of the range at every framing; prints each answer as it
// comes and the tally at the end.
int scan(const AdHocRequest& request, ProbeLine& line, ProbeLink& link, const ReportOptions& report,
         const volatile std::sig_atomic_t& stop_asked) {
  ScanTally tally;
  std::int64_t started_ns = monotonic_ns();
  Exchange exchange{};
  for (const Framing& framing : framings_of(request)) {
    if (!set_framing(line, link, framing, meter_of(request, 0))) continue;
    for (unsigned slave = request.first_slave; slave <= request.last_slave && stop_asked == 0; ++slave) {
      MeterConfig meter = meter_of(request, slave);
      poll_once(link, meter, 0, exchange, Requests::any_read);
      ++tally.asked;
      if (from_asked_slave(exchange, meter)) {
        ++tally.answered;
        print_exchange(stdout, 0, meter, exchange, report, &framing);
      } else if (exchange.count > 0) {
        ++tally.other_replies;
      }
      for (const std::string& note : exchange.notes) std::fprintf(stderr, "%s: slave %u: %s\n", TOOL, slave, note.c_str());
    }
  }
  tally.stopped = stop_asked != 0;
  tally.seconds = static_cast<double>(monotonic_ns() - started_ns) / 1e9;
  print_scan_summary(stdout, tally, report.json);
  return tally.answered > 0 ? 0 : 1;
}

void print_head(const AdHocRequest& request, const ProbeLine& line, const ProbeLink& link) {
  std::string framings;
  for (const Framing& framing : framings_of(request)) framings += (framings.empty() ? "" : ", ") + framing_text(framing);
  std::string slaves = request.scan ? "slaves " + std::to_string(request.first_slave) + "-" +
                                          std::to_string(request.last_slave)
                                    : "slave " + std::to_string(request.slave);
  std::printf("line %s: %s at %s, %s; answers within %u ms, the rest within %u ms\n", line.device_path.data(),
              slaves.c_str(), framings.c_str(), line_kind(line), link.first_byte_wait_ms,
              link.split_ms);
}

}  // namespace

bool parse_baud_list(const char* text, std::vector<unsigned>& bauds) {
  bauds.clear();
  std::size_t position = 0;
  for (std::string word; next_word(text, position, word);) {
    unsigned baud = 0;
    if (!parse_count(word.c_str(), 1, 4000000, baud) || line_speed(baud) != baud)
      return value_error(TOOL, "--baud", text, "a speed the line runs at, such as 9600 or 19200 (a list for --scan)");
    bauds.push_back(baud);
  }
  return !bauds.empty() || value_error(TOOL, "--baud", text, "a speed the line runs at, such as 9600");
}

bool parse_parity_list(const char* text, std::vector<const char*>& parities) {
  static const char* const NAMES[] = {"none", "even", "odd"};
  parities.clear();
  std::size_t position = 0;
  for (std::string word; next_word(text, position, word);) {
    const char* found = nullptr;
    for (const char* name : NAMES)
      if (word == name) found = name;
    if (found == nullptr) return value_error(TOOL, "--parity", text, "parity is none, even or odd (a list for --scan)");
    parities.push_back(found);
  }
  return !parities.empty() || value_error(TOOL, "--parity", text, "parity is none, even or odd");
}

bool parse_slave_range(const char* text, unsigned& first, unsigned& last) {
  const char* dash = std::strchr(text, '-');
  std::string low = dash != nullptr ? std::string(text, static_cast<std::size_t>(dash - text)) : text;
  std::string high = dash != nullptr ? dash + 1 : text;
  if (!parse_count(low.c_str(), 1, 247, first) || !parse_count(high.c_str(), 1, 247, last) || first > last)
    return value_error(TOOL, "--slaves", text, "a range of slave addresses A-B within 1-247");
  return true;
}

bool check_adhoc_request(const AdHocRequest& request) {
  if (!request.scan && request.slave == 0) return usage_error(TOOL, "--device", "a read needs --slave ID (or --scan)");
  if (!request.scan && (request.bauds.size() > 1 || request.parities.size() > 1))
    return usage_error(TOOL, request.bauds.size() > 1 ? "--baud" : "--parity", "one framing for a read; lists are for --scan");
  unsigned most = is_bits(request.function) ? BITS_MAX : REGISTERS_MAX;
  if (request.count > most) {
    std::string why = "function " + std::to_string(request.function) + " reads 1 to " + std::to_string(most) +
                      (is_bits(request.function) ? " bits" : " registers");
    return value_error(TOOL, "--count", std::to_string(request.count).c_str(), why.c_str());
  }
  if (request.start + request.count > 65536)
    return value_error(TOOL, "--start", std::to_string(request.start).c_str(), "the read runs past address 65535");
  return true;
}

int run_adhoc(const AdHocRequest& request, const ReportOptions& report, const volatile std::sig_atomic_t& stop_asked) {
  std::vector<Framing> framings = framings_of(request);
  MeterConfig sample = meter_of(request, request.scan ? request.first_slave : request.slave);
  ProbeLine line{};
  line.context.serial_fd = -1;
  if (!describe_line(request, framings.front(), sample, line) || !take_line(line)) {
    release_line(line);
    return 2;
  }
  ProbeLink link = link_of(line);
  unsigned default_wait = request.scan ? SCAN_WAIT_MS : READ_WAIT_MS;
  link.first_byte_wait_ms = request.timeout_ms != 0 ? request.timeout_ms : default_wait;
  if (!report.json) print_head(request, line, link);
  int status = request.scan ? scan(request, line, link, report, stop_asked) : read_once(request, link, report);
  release_line(line);
  return status;
}
