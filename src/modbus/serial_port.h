// Opening the Modbus line in raw mode with the configured framing.
#pragma once

#include <cstdint>
#include <termios.h>

// Speed code for a settings value; any value not in the table gives B9600.
speed_t baud_code(std::uint32_t baudrate);

// Bits per second the line really runs at for a settings value: the value
// itself when it is in the speed table, else 9600.
std::uint32_t line_speed(std::uint32_t baudrate);

// The control flag word for the settings: speed code, CS7 for 7 data bits
// else CS8, CSTOPB for 2 stop bits, PARENB | PARODD for a parity text that
// starts with 'O', PARENB for 'E', and CREAD | HUPCL | CLOCAL. Nothing else,
// so hardware flow control is off.
tcflag_t line_control_flags(std::uint32_t baudrate, std::uint32_t databits, const char* parity,
                            std::uint32_t stopbits);

// Opens the device (O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC) and writes the
// four flag words whole: raw input dropping breaks and bad bytes, no output
// processing, non-canonical, and speed / size / stop bits / parity with
// CREAD | HUPCL | CLOCAL. Returns the descriptor, or -1 after logging
// "open(%s) error: %s". A failed tcsetattr is logged and the descriptor is
// returned all the same.
int open_serial_port(const char* path, std::uint32_t baudrate, std::uint32_t databits,
                     const char* parity, std::uint32_t stopbits);

// Writes the four flag words of an open line, as open_serial_port does:
// a field tool trying one framing after another keeps its descriptor, and
// with it the device lock and the RS-485 set-up. False after logging
// "tcsetattr(%s) error: %s" with `path`.
bool set_line_framing(int fd, const char* path, std::uint32_t baudrate, std::uint32_t databits, const char* parity,
                      std::uint32_t stopbits);
