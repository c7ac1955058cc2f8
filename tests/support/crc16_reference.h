// The tests' one CRC-16/MODBUS: computed bit by bit (initial 0xFFFF, the
// polynomial 0xA001 reflected, no final XOR), apart from the daemon's
// table-driven code, so that a wrong table entry cannot agree with itself.
// Header-only: the fuzz targets, which do not link the test support
// library, use it too.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC of the first `length` values of `bytes` (a pointer or any indexable
// container), each taken as a byte. The frame carries it low byte first.
template <typename Bytes>
std::uint16_t crc16_reference(const Bytes& bytes, std::size_t length) {
  unsigned crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= static_cast<unsigned>(bytes[i]) & 0xFFu;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1;
  }
  return static_cast<std::uint16_t>(crc);
}
