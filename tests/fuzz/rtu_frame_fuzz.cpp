// Fuzzes the RTU framing. check_response gets the whole input in a heap
// buffer of exactly its size, so AddressSanitizer reports any read past the
// received bytes; it must accept exactly the frames whose CRC matches (as a
// bitwise CRC-16/MODBUS computes it, independent of the table) and whose
// byte 1 has bit 7 clear, and must log one message, naming the meter, for
// every frame it refuses. build_request gets a meter made of the first 21
// input bytes and must write a whole request that check_response accepts,
// or leave the frame untouched for a function it does not send.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "modbus/meter_config.h"
#include "modbus/rtu_frame.h"
#include "support/crc16_reference.h"
#include "sys/log.h"

namespace {

int message_count = 0;
std::string last_message;

void record_message(int level, const char* text) {
  if (level != LOG_ERR) std::abort();
  ++message_count;
  last_message = text;
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "rtu_frame_fuzz: %s\n", what);
  std::abort();
}

// The low order byte of the CRC comes first.
bool crc_matches(const std::uint8_t* frame, std::size_t n) {
  return n >= 2 && crc16_reference(frame, n - 2) == (frame[n - 2] | frame[n - 1] << 8);
}

std::uint32_t read_u32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

void check_one_response(const std::uint8_t* data, std::size_t size) {
  // Input sizes are at most a few kilobytes; the daemon hands over at most
  // RESPONSE_MAX bytes, but the check must hold for any length.
  auto n = static_cast<unsigned>(size);
  std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[size]);
  if (size > 0) std::memcpy(frame.get(), data, size);
  unsigned meter_index = size > 0 ? data[0] % 10u : 0u;
  message_count = 0;
  int result = check_response(frame.get(), meter_index, n);
  bool expected = crc_matches(data, size) && (data[1] & 0x80) == 0;
  check(result == (expected ? 1 : 0), "check_response disagrees with the frame rule");
  check(message_count == (expected ? 0 : 1), "not exactly one message for a refused frame");
  if (expected) return;
  std::string meter = "from meter " + std::to_string(meter_index + 1);
  check(last_message.find(meter) != std::string::npos, "the message names another meter");
  if (crc_matches(data, size) && size > 2)
    check(last_message.find("(error code " + std::to_string(data[2]) + ")") != std::string::npos,
          "the exception message shows another code");
}

void check_one_request(const std::uint8_t* data, std::size_t size) {
  std::uint8_t fields[21] = {};
  std::memcpy(fields, data, size < sizeof fields ? size : sizeof fields);
  MeterConfig meter{read_u32(fields), read_u32(fields + 4), read_u32(fields + 8), read_u32(fields + 12),
                    read_u32(fields + 16)};
  // Most inputs should ask for a function that is sent.
  static constexpr std::uint32_t sent_functions[4] = {1, 3, 4, 3};
  if ((fields[20] & 0x80) == 0) meter.func = sent_functions[fields[20] & 3];
  std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[REQUEST_SIZE]);
  std::memset(frame.get(), 0xA5, REQUEST_SIZE);
  int length = build_request(frame.get(), meter);
  if (meter.func != 1 && meter.func != 3 && meter.func != 4) {
    check(length == 0, "a request for a function that is never sent");
    for (unsigned i = 0; i < REQUEST_SIZE; ++i) check(frame[i] == 0xA5, "frame touched without a request");
    return;
  }
  check(length == static_cast<int>(REQUEST_SIZE), "request of the wrong length");
  std::uint32_t quantity = meter.func == 1 ? meter.bin_count : meter.reg_count;
  const std::uint8_t expected[6] = {static_cast<std::uint8_t>(meter.addr), static_cast<std::uint8_t>(meter.func),
                                    static_cast<std::uint8_t>(meter.start >> 8), static_cast<std::uint8_t>(meter.start),
                                    static_cast<std::uint8_t>(quantity >> 8), static_cast<std::uint8_t>(quantity)};
  check(std::memcmp(frame.get(), expected, sizeof expected) == 0, "request fields not cut to their widths");
  check(crc_matches(frame.get(), REQUEST_SIZE), "request CRC wrong");
  message_count = 0;
  check(check_response(frame.get(), 0, REQUEST_SIZE) == 1 && message_count == 0, "own request refused");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_capture(record_message);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  check_one_response(data, size);
  check_one_request(data, size);
  return 0;
}
