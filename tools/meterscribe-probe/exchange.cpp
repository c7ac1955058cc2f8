#include "exchange.h"

#include <termios.h>

#include <array>
#include <cstring>

#include "messages.h"
#include "modbus/receive.h"
#include "modbus/rs485.h"
#include "sys/clock.h"

namespace {

// Slave address, function, byte count and the CRC: the smallest frame.
constexpr unsigned FRAME_OVERHEAD = 5;

double elapsed_ms(std::int64_t from_ns, std::int64_t to_ns) { return static_cast<double>(to_ns - from_ns) / 1e6; }

bool crc_correct(const std::uint8_t* bytes, unsigned count) {
  return modbus_crc16(bytes, count - 2) == bytes[count - 2] + 256u * bytes[count - 1];
}

// What the daemon's code logged that the verdict does not already say: its
// "no answer" and its reasons for rejecting a frame are the verdict itself.
void keep_notes(Exchange& exchange) {
  for (std::string& message : take_daemon_messages()) {
    if (message.starts_with("no answer from meter") || message.starts_with("receive ")) continue;
    exchange.notes.push_back(std::move(message));
  }
}

}  // namespace

unsigned expected_answer_size(const MeterConfig& meter) {
  unsigned data = meter.func == 1 || meter.func == 2 ? ((meter.bin_count & 0xFFFF) + 7) / 8 : 2 * (meter.reg_count & 0xFFFF);
  return FRAME_OVERHEAD + data;
}

Verdict judge_answer(const std::uint8_t* bytes, unsigned count, const MeterConfig& meter) {
  if (count == 0) return Verdict::no_answer;
  if (count < FRAME_OVERHEAD) return Verdict::too_short;
  bool exception = (bytes[1] & 0x80) != 0;
  if (!crc_correct(bytes, count))
    return !exception && count < expected_answer_size(meter) ? Verdict::too_short : Verdict::bad_crc;
  if (bytes[0] != (meter.addr & 0xFF) || (bytes[1] & 0x7F) != meter.func) return Verdict::wrong_slave_or_function;
  if (exception) return Verdict::exception;
  if (count != expected_answer_size(meter) || bytes[2] != count - FRAME_OVERHEAD) return Verdict::unexpected_length;
  return Verdict::ok;
}

void poll_once(const ProbeLink& link, const MeterConfig& meter, unsigned meter_number, Exchange& exchange,
               Requests requests) {
  exchange.count = 0;
  exchange.first_byte_ms = -1;
  exchange.last_byte_ms = -1;
  exchange.first_byte_wait_ms = link.first_byte_wait_ms;
  exchange.notes.clear();
  std::array<std::uint8_t, REQUEST_SIZE> request{};
  int length = requests == Requests::as_daemon ? build_request(request.data(), meter)
                                               : build_tool_request(request.data(), meter);
  if (length == 0) {
    exchange.verdict = Verdict::not_sent;
    return;
  }
  // As the daemon does: a late answer to an earlier request must not be
  // taken for this one.
  tcflush(link.fd, TCIFLUSH);
  std::int64_t sent_ns = monotonic_ns();
  send_frame(link.fd, link.rs485_mode, request.data(), static_cast<std::size_t>(length), link.baudrate);
  if (wait_first_byte(link.fd, meter_number, link.first_byte_wait_ms)) {
    std::int64_t first_ns = monotonic_ns();
    ReceiveTiming timing{first_ns};
    exchange.count = read_response(link.fd, exchange.bytes, RESPONSE_MAX, link.split_ms, &timing);
    if (exchange.count > 0) {
      exchange.first_byte_ms = elapsed_ms(sent_ns, first_ns);
      exchange.last_byte_ms = elapsed_ms(sent_ns, timing.last_byte_ns);
    }
  }
  exchange.verdict = judge_answer(exchange.bytes, exchange.count, meter);
  // Frames with a correct CRC and no exception bit are logged by the daemon
  // whatever else is wrong with them; the person at the gateway should know.
  // A read of no configured meter is nothing the daemon would log.
  bool daemon_logs = meter_number > 0 && exchange.count > 0 &&
                     check_response(exchange.bytes, meter_number - 1, exchange.count) == 1;
  keep_notes(exchange);
  if (daemon_logs && exchange.verdict != Verdict::ok)
    exchange.notes.emplace_back("the daemon logs this answer as meter " + std::to_string(meter_number) + "'s all the same");
}

bool from_asked_slave(const Exchange& exchange, const MeterConfig& meter) {
  return exchange.count >= 2 && exchange.bytes[0] == (meter.addr & 0xFF) && (exchange.bytes[1] & 0x7F) == meter.func;
}
