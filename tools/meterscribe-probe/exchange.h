// One exchange with one meter, the daemon's way (request, flush, send, the
// first-byte wait, the split budget), and a verdict on the answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modbus/meter_config.h"
#include "modbus/rtu_frame.h"

// The open line as the daemon's exchange needs it.
struct ProbeLink {
  int fd;
  std::uint32_t rs485_mode;
  std::uint32_t baudrate;  // the settings value; the RS-485 drain time follows it
  std::uint32_t split_ms;
};

enum class Verdict {
  ok,
  not_sent,                 // function none of 1, 3, 4: the daemon sends nothing
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
  Verdict verdict;
  std::vector<std::string> notes;  // what the daemon's code said besides the verdict
};

// Bytes of a correct answer to the meter's request: 5 + the data bytes.
unsigned expected_answer_size(const MeterConfig& meter);

// The verdict on `count` bytes received for the meter's request.
Verdict judge_answer(const std::uint8_t* bytes, unsigned count, const MeterConfig& meter);

// Polls the meter once. meter_number (1-based) serves the daemon's messages.
void poll_once(const ProbeLink& link, const MeterConfig& meter, unsigned meter_number, Exchange& exchange);
