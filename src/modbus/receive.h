// The receive half of an exchange: waiting for a meter's first byte, then
// reading the rest of its response within one budget.
#pragma once

#include <cstdint>

constexpr unsigned FIRST_BYTE_WAIT_MS = 1000;

// Waits up to timeout_ms (the daemon: FIRST_BYTE_WAIT_MS) for the port to
// become readable. True when
// a byte came, or when the wait itself failed ("select: %s" at LOG_ERR) or
// found the line hung up ("serial line hung up" at LOG_ERR): either is
// followed by a pause of one second, and the port is read all the same.
// False after "no answer from meter %u" (the 1-based meter_number) at
// LOG_NOTICE.
bool wait_first_byte(int serial_fd, unsigned meter_number, unsigned timeout_ms = FIRST_BYTE_WAIT_MS);

// When the bytes of a response came, for the field tools that time an
// exchange; the daemon passes none.
struct ReceiveTiming {
  std::int64_t last_byte_ns;  // monotonic_ns() after the last read that got bytes
};

// Reads a response into buffer (at most `capacity` bytes) once the first
// byte is there: reads what the port has, then waits for more within one
// budget of `split_ms` shared by all waits of the response. Returns the
// number of bytes received. With `timing`, the time of each read that got
// bytes is stored there, so the last one remains.
unsigned read_response(int serial_fd, std::uint8_t* buffer, unsigned capacity, std::uint32_t split_ms,
                       ReceiveTiming* timing = nullptr);
