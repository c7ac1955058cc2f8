// Opening the Modbus line in raw mode with the configured framing.
#pragma once

#include <cstdint>
#include <termios.h>

// Speed code for a settings value; any value not in the table gives B9600.
speed_t baud_code(std::uint32_t baudrate);

// Opens the device (O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC) and writes the
// four flag words whole: raw input dropping breaks and bad bytes, no output
// processing, non-canonical, and speed / size / stop bits / parity with
// CREAD | HUPCL | CLOCAL. Returns the descriptor, or -1 after logging
// "open(%s) error: %s". A failed tcsetattr is logged and the descriptor is
// returned all the same.
int open_serial_port(const char* path, std::uint32_t baudrate, std::uint32_t databits,
                     const char* parity, std::uint32_t stopbits);
