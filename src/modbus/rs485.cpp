#include "modbus/rs485.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/serial.h>

#include "modbus/serial_port.h"
#include "sys/clock.h"
#include "sys/log.h"
#include "sys/paths.h"

namespace {

// The GPIO device stays open for the life of the process once it opened;
// -1 until then, so a failed open is tried again at the next query.
int gpio_fd = -1;
// Guards only the lazy open; a spin lock because the open is rare and short.
std::atomic<int> gpio_open_lock{0};

// A character on the line is a start bit, 8 data bits and a stop bit.
constexpr std::uint64_t BITS_PER_BYTE = 10;
// The transmitter gets this many times the frame's time on the line (room
// for parity, a second stop bit and a slow FIFO), plus a fixed margin for
// the scheduler, before we stop waiting.
constexpr std::uint64_t DRAIN_FACTOR = 4;
constexpr std::int64_t DRAIN_MARGIN_NS = 100'000'000;

// How long the transmitter may take to shift out `count` bytes.
std::int64_t drain_budget_ns(std::size_t count, std::uint32_t baudrate) {
  std::uint64_t bits = static_cast<std::uint64_t>(count) * BITS_PER_BYTE;
  std::uint64_t line_us = bits * 1'000'000 / line_speed(baudrate);
  return static_cast<std::int64_t>(DRAIN_FACTOR * line_us * 1'000) + DRAIN_MARGIN_NS;
}

void set_rts(int serial_fd, unsigned long request) {
  int lines = TIOCM_RTS;
  if (ioctl(serial_fd, request, &lines) != 0) log_msg(LOG_ERR, "ioctl error: %s", strerror(errno));
}

// Spins on the line status until the last stop bit has left the shift
// register: setting RTS earlier would cut off the end of our own frame, and
// every millisecond later risks missing the start of a fast meter's answer.
// A UART that never reports empty must not hang the daemon, so the spin ends
// at the budget.
void wait_transmitter_empty(int serial_fd, std::int64_t budget_ns) {
  std::int64_t deadline = monotonic_ns() + budget_ns;
  for (;;) {
    int status = 0;
    if (ioctl(serial_fd, TIOCSERGETLSR, &status) != 0) {
      log_msg(LOG_ERR, "ioctl error: %s", strerror(errno));
      return;
    }
    if ((status & TIOCSER_TEMT) != 0) return;
    if (monotonic_ns() > deadline) {
      log_msg(LOG_ERR, "ioctl error: %s", strerror(ETIMEDOUT));
      return;
    }
  }
}

void write_frame(int serial_fd, const std::uint8_t* bytes, std::size_t count) {
  // A short or failed write shows up as a missing or bad answer, which the
  // polling loop reports per meter.
  [[maybe_unused]] ssize_t written = write(serial_fd, bytes, count);
}

// One ioctl on the GPIO device, opened on first use; -1 when the device
// cannot be opened (tried again on the next call). Two threads asking at
// once must not both open the device and leak one descriptor; the lock
// covers the open only, the request runs outside it.
int gpio_ioctl(unsigned long request, unsigned long argument) {
  while (gpio_open_lock.exchange(1) == 1) {
  }
  if (gpio_fd < 0) {
    PathBuffer path;
    rooted_path(path.data(), rooted_size(PATH_SIZE), GPIO_DEVICE);
    gpio_fd = open(path.data(), O_RDWR);
  }
  int fd = gpio_fd;  // read under the lock: another thread may be storing it
  // A sequentially consistent store publishes the open before the lock
  // word reads free again.
  gpio_open_lock.store(0, std::memory_order_seq_cst);
  if (fd < 0) return -1;
  return ioctl(fd, request, argument);
}

constexpr const char* CONTROL_NAMES[] = {"gpio", "kernel", "rts", "none"};

// The driver's RS-485 mode is written whole, as the terminal attributes
// are: receiving while we send (SER_RS485_RX_DURING_TX) would hand us our
// own request as the start of the answer, and nothing a boot loader or an
// earlier program left behind should change how the line behaves.
bool start_kernel_rs485(int serial_fd, const char* path, const Rs485Setup& setup) {
  serial_rs485 config{};
  config.flags = SER_RS485_ENABLED | (setup.rts_on_send ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
  config.delay_rts_before_send = setup.delay_before_ms;
  config.delay_rts_after_send = setup.delay_after_ms;
  if (ioctl(serial_fd, TIOCSRS485, &config) != 0) {
    log_msg(LOG_ERR, "ioctl TIOCSRS485 on %s: %s: its driver has no RS-485 mode for MOD_METERSCRIBE_RS485=kernel",
            path, strerror(errno));
    return false;
  }
  // The driver answers with what it took: it may cut the delays to what
  // its hardware does, or not enable the mode at all.
  if ((config.flags & SER_RS485_ENABLED) == 0) {
    log_msg(LOG_ERR, "ioctl TIOCSRS485 on %s: its driver left RS-485 mode off for MOD_METERSCRIBE_RS485=kernel", path);
    return false;
  }
  log_msg(LOG_NOTICE, "RS-485 mode of the driver on %s: RTS %s while sending, %u ms before and %u ms after", path,
          (config.flags & SER_RS485_RTS_ON_SEND) != 0 ? "high" : "low", config.delay_rts_before_send,
          config.delay_rts_after_send);
  return true;
}

}  // namespace

bool rs485_control_named(const char* text, Rs485Control& control) {
  if (text[0] == '\0') {
    control = Rs485Control::gpio;
    return true;
  }
  for (std::size_t i = 0; i < std::size(CONTROL_NAMES); ++i) {
    if (strcasecmp(text, CONTROL_NAMES[i]) == 0) {
      control = static_cast<Rs485Control>(i);
      return true;
    }
  }
  return false;
}

const char* rs485_control_name(Rs485Control control) { return CONTROL_NAMES[static_cast<std::size_t>(control)]; }

LineDirection line_direction(const Rs485Setup& setup, const char* device) {
  switch (setup.control) {
    case Rs485Control::gpio:
      return query_port_mode(port_mode_flag(device)) == PORT_MODE_RS485 ? LineDirection::rts_switched
                                                                         : LineDirection::plain;
    case Rs485Control::kernel: return LineDirection::kernel;
    case Rs485Control::rts: return LineDirection::rts_switched;
    case Rs485Control::none: return LineDirection::plain;
  }
  return LineDirection::plain;
}

std::uint32_t rs485_mode_of(LineDirection direction) { return direction == LineDirection::rts_switched ? 1 : 0; }

int open_modbus_line(const char* path, const LineSettings& settings, LineDirection direction) {
  int fd = open_serial_port(path, settings.baudrate, settings.databits, settings.parity, settings.stopbits);
  if (fd < 0) return -1;
  if (direction == LineDirection::rts_switched) set_receive_direction(fd);
  if (direction == LineDirection::kernel && !start_kernel_rs485(fd, path, settings.rs485)) {
    close(fd);
    return -1;
  }
  return fd;
}

int port_mode_flag(const char* device) {
  // The driver knows the first port by its own request; the setting is
  // compared exactly, case and all, not the "/dev/" path.
  return std::strcmp(device, "ttyS0") == 0 ? 0 : 1;
}

int query_port_mode(int not_ttys0) {
  // The driver answers with the port's wiring as the ioctl's result; the
  // argument is the plain value 0, not a pointer.
  unsigned long request = not_ttys0 == 0 ? GPIO_REQUEST_TTYS0 : GPIO_REQUEST_OTHER;
  int mode = gpio_ioctl(request, 0);
  return mode < 0 ? PORT_MODE_QUERY_FAILED : mode;
}

void set_receive_direction(int serial_fd) {
  // RTS high keeps the transceiver listening; drop it only while our own
  // frame is on the wire.
  set_rts(serial_fd, TIOCMBIS);
}

void send_frame(int serial_fd, std::uint32_t rs485_mode, const std::uint8_t* bytes, std::size_t count,
                std::uint32_t baudrate) {
  if (rs485_mode == 0) {
    write_frame(serial_fd, bytes, count);
    return;
  }
  set_rts(serial_fd, TIOCMBIC);
  write_frame(serial_fd, bytes, count);
  wait_transmitter_empty(serial_fd, drain_budget_ns(count, baudrate));
  set_receive_direction(serial_fd);
}
