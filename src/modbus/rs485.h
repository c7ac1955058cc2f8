// RS-485 direction control on the RTS line, and the port-mode query of the
// gateway's GPIO driver.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int PORT_MODE_RS485 = 3;
constexpr int PORT_MODE_QUERY_FAILED = 15;
constexpr unsigned long GPIO_REQUEST_TTYS0 = 0x80004209UL;
constexpr unsigned long GPIO_REQUEST_OTHER = 0x8000420bUL;

// The flag of the port-mode query for a `device` setting: 0 for exactly
// "ttyS0", 1 for any other name (ttyS1, TTYS0, a path).
int port_mode_flag(const char* device);

// Port mode of the serial port: flag 0 for "ttyS0", non-zero for any other
// device. 3 means RS-485; 15 when the query fails.
int query_port_mode(int not_ttys0);

// Puts the line driver into the receive direction (RTS set); logs
// "ioctl error: %s" on failure.
void set_receive_direction(int serial_fd);

// Writes a request. With rs485_mode the driver is switched to transmit,
// the bytes written, the transmitter polled until empty (bounded by a few
// frame times at `baudrate`, plus 100 ms) and the driver switched back.
void send_frame(int serial_fd, std::uint32_t rs485_mode, const std::uint8_t* bytes, std::size_t count,
                std::uint32_t baudrate);
