#include "modbus/serial_port.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "sys/log.h"

namespace {

struct LineSpeed {
  std::uint32_t baudrate;
  speed_t code;
};

// The speeds a gateway UART can be set to. The comparison is exact: a
// setting between two speeds is a typing error, and 9600 is what a meter
// leaves the factory with.
constexpr LineSpeed SPEEDS[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

constexpr std::uint32_t FALLBACK_BAUDRATE = 9600;

const LineSpeed* find_speed(std::uint32_t baudrate) {
  for (const LineSpeed& speed : SPEEDS) {
    if (speed.baudrate == baudrate) return &speed;
  }
  return nullptr;
}

}  // namespace

speed_t baud_code(std::uint32_t baudrate) {
  const LineSpeed* speed = find_speed(baudrate);
  return speed != nullptr ? speed->code : B9600;
}

std::uint32_t line_speed(std::uint32_t baudrate) {
  return find_speed(baudrate) != nullptr ? baudrate : FALLBACK_BAUDRATE;
}

tcflag_t line_control_flags(std::uint32_t baudrate, std::uint32_t databits, const char* parity,
                            std::uint32_t stopbits) {
  tcflag_t flags = baud_code(baudrate) | CREAD | HUPCL | CLOCAL;
  flags |= databits == 7 ? CS7 : CS8;
  if (stopbits == 2) flags |= CSTOPB;
  // Only the capital letter counts: the configuration tool writes "O", "E"
  // or "N", and anything else is a line without parity.
  char mode = parity != nullptr ? parity[0] : '\0';
  if (mode == 'O') flags |= PARENB | PARODD;
  if (mode == 'E') flags |= PARENB;
  return flags;
}

bool set_line_framing(int fd, const char* path, std::uint32_t baudrate, std::uint32_t databits, const char* parity,
                      std::uint32_t stopbits) {
  // The flag words are assigned whole so nothing a previous user of the line
  // left behind (hardware flow control, echo, CR/NL mapping) survives; the
  // control characters (VMIN, VTIME) stay as the driver has them.
  struct termios line {};
  tcgetattr(fd, &line);
  line.c_iflag = IGNBRK | IGNPAR;
  line.c_oflag = 0;
  line.c_lflag = 0;
  line.c_cflag = line_control_flags(baudrate, databits, parity, stopbits);
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    log_msg(LOG_ERR, "tcsetattr(%s) error: %s", path, strerror(errno));
    return false;
  }
  return true;
}

int open_serial_port(const char* path, std::uint32_t baudrate, std::uint32_t databits,
                     const char* parity, std::uint32_t stopbits) {
  // Non-blocking for good: the polling loop waits for the answer with select,
  // and O_NOCTTY keeps the line from becoming our controlling terminal.
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC);
  if (fd < 0) {
    log_msg(LOG_ERR, "open(%s) error: %s", path, strerror(errno));
    return -1;
  }
  // A line that refuses the framing is still usable with whatever framing
  // the driver has.
  set_line_framing(fd, path, baudrate, databits, parity, stopbits);
  return fd;
}
