// CRC-16/MODBUS (init 0xFFFF, reflected polynomial 0xA001, no final XOR).
// The simulator checks requests with its own small bitwise routine so that
// a test built on it never shares a defect with the daemon's table-driven one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace meter_sim {

inline std::uint16_t crc16(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ data[i]);
    for (int bit = 0; bit < 8; ++bit) {
      const bool low_bit = (crc & 1U) != 0;
      crc = static_cast<std::uint16_t>(crc >> 1);
      if (low_bit) {
        crc = static_cast<std::uint16_t>(crc ^ 0xA001U);
      }
    }
  }
  return crc;
}

// True when the last two bytes of the frame are the CRC of the rest, low byte first.
inline bool crc_matches(const std::uint8_t* frame, std::size_t length) {
  if (length < 3) {
    return false;
  }
  const std::uint16_t crc = crc16(frame, length - 2);
  return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

}  // namespace meter_sim
