// Modbus RTU request and response frames with their CRC-16.
//
// A frame is the slave address, the function code, big-endian 16-bit
// fields, and a CRC-16/MODBUS trailer sent low byte first.
#pragma once

#include <cstdint>

#include "modbus/meter_config.h"

constexpr unsigned REQUEST_SIZE = 8;
constexpr unsigned RESPONSE_MAX = 300;

// CRC-16/MODBUS (initial 0xFFFF, reflected, no final XOR) of the bytes;
// 0xFFFF for no bytes.
std::uint16_t modbus_crc16(const std::uint8_t* bytes, unsigned length);

// Stores the CRC of the first n bytes at n (low byte) and n + 1 (high byte).
void append_crc(std::uint8_t* frame, unsigned n);

// Writes the read request of one meter into frame (at least 8 bytes) and
// returns its length: 8 for functions 1, 3 and 4, else 0 with the frame
// untouched. Function 1 asks for bin_count coils, 3 and 4 for reg_count
// registers; every field is cut to its width in the frame.
int build_request(std::uint8_t* frame, const MeterConfig& meter);

// The same for a field tool, which may also read discrete inputs: function
// 2 is laid out as function 1, asking for bin_count inputs. The daemon
// never calls it, so functions 1, 3 and 4 stay all it sends.
int build_tool_request(std::uint8_t* frame, const MeterConfig& meter);

// 1 when the n received bytes carry a correct CRC and no exception bit;
// else 0 after logging why. meter_index (0-based) serves the messages.
int check_response(const std::uint8_t* frame, unsigned meter_index, unsigned n);
