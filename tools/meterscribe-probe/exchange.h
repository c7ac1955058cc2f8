// One exchange with one meter, the daemon's way (request, flush, send, the
// first-byte wait, the split budget), and a verdict on the answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modbus/meter_config.h"
#include "modbus/receive.h"
#include "modbus/rtu_frame.h"

// The open line as the daemon's exchange needs it.
struct ProbeLink {
  int fd;
  std::uint32_t rs485_mode;
  std::uint32_t baudrate;  // the settings value; the RS-485 drain time follows it
  std::uint32_t split_ms;
  std::uint32_t first_byte_wait_ms = FIRST_BYTE_WAIT_MS;  // a scan waits less
};

// Which requests go out: a configured meter's as the daemon sends them
// (functions 1, 3 and 4), or any read of the four a person asks for on
// the command line (discrete inputs, function 2, too).
enum class Requests { as_daemon, any_read };

enum class Verdict {
  ok,
  not_sent,                 // a function the daemon does not send (none of 1, 3, 4)
  no_answer,                // no byte within FIRST_BYTE_WAIT_MS
  too_short,                // fewer bytes than a frame, or an answer cut short
  bad_crc,
  wrong_slave_or_function,  // a valid frame from another address or function
  exception,
  unexpected_length,        // a valid frame whose data length is not the one asked for
};

struct Exchange {
  std::uint8_t bytes[RESPONSE_MAX];
  unsigned count;         // bytes received
  double first_byte_ms;   // from the request; negative without an answer
  double last_byte_ms;
  std::uint32_t first_byte_wait_ms;  // how long the first byte was waited for
  Verdict verdict;
  std::vector<std::string> notes;  // what the daemon's code said besides the verdict
};

// Bytes of a correct answer to the meter's request: 5 + the data bytes
// (coils and discrete inputs packed eight to a byte).
unsigned expected_answer_size(const MeterConfig& meter);

// The verdict on `count` bytes received for the meter's request.
Verdict judge_answer(const std::uint8_t* bytes, unsigned count, const MeterConfig& meter);

// Polls the meter once. meter_number (1-based) serves the daemon's
// messages; 0 for a read that is no configured meter's.
void poll_once(const ProbeLink& link, const MeterConfig& meter, unsigned meter_number, Exchange& exchange,
               Requests requests = Requests::as_daemon);

// Whether the reply names the slave and the function asked (an exception
// included), whatever else is wrong with it: a scan tells such replies
// from noise and from another slave's frames.
bool from_asked_slave(const Exchange& exchange, const MeterConfig& meter);
