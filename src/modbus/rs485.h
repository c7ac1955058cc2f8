// RS-485 direction control: how the transceiver is turned around (the
// gateway's GPIO driver asked whether to switch RTS, the kernel's RS-485
// mode, RTS switched by us, or nothing), the port-mode query of the GPIO
// driver, and opening the Modbus line with its framing and direction.
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

// How the line's direction is switched, as MOD_METERSCRIBE_RS485 names it.
enum class Rs485Control : std::uint8_t {
  gpio,    // the gateway's GPIO driver says whether the port is RS-485; if so we switch RTS
  kernel,  // the UART driver's own RS-485 mode (TIOCSRS485) switches RTS
  rts,     // we switch RTS around each request, without asking a driver
  none,    // nothing is switched: RS-232, or a transceiver that turns itself around
};

struct Rs485Setup {
  Rs485Control control;
  // The kernel's RS-485 mode only: RTS high while sending (else low), and
  // how long RTS is turned before the first bit and held after the last.
  bool rts_on_send;
  std::uint32_t delay_before_ms;
  std::uint32_t delay_after_ms;
};

// Without the setting: the GPIO driver is asked, as on the gateway.
constexpr Rs485Setup RS485_DEFAULT = {Rs485Control::gpio, true, 0, 0};

// The control a setting's text names: "gpio", "kernel", "rts" or "none",
// in any case; the empty text names the default, gpio. False for any other
// text, which the daemon reads as the default (check reports it).
bool rs485_control_named(const char* text, Rs485Control& control);
const char* rs485_control_name(Rs485Control control);

// How the open line is driven.
enum class LineDirection : std::uint8_t {
  plain,         // requests are just written
  rts_switched,  // send_frame switches RTS around each request (rs485_mode 1)
  kernel,        // the driver switches RTS; requests are just written
};

// Decided before the line is locked and opened, as the daemon's start-up
// does: with gpio the driver is asked about the port of `device` (the
// setting, not the path), and only mode 3 gives rts_switched.
LineDirection line_direction(const Rs485Setup& setup, const char* device);

// The rs485_mode that send_frame takes for a direction.
std::uint32_t rs485_mode_of(LineDirection direction);

// Everything the line is opened with.
struct LineSettings {
  std::uint32_t baudrate;
  std::uint32_t databits;
  const char* parity;
  std::uint32_t stopbits;
  Rs485Setup rs485;
};

// Opens the line (open_serial_port) and starts its direction: with
// rts_switched RTS is set (receive), with kernel the driver's RS-485 mode
// is set up whole (TIOCSRS485: enabled, the RTS level while sending, the
// two delays) and what the driver took is logged. Returns the descriptor,
// or -1 after logging why: the open failed, or the driver refused its
// RS-485 mode, on which the line could not work (the descriptor is closed).
int open_modbus_line(const char* path, const LineSettings& settings, LineDirection direction);
