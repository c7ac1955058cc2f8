// Plays the gateway's GPIO driver, a UART's modem lines and its driver's
// RS-485 mode for the RS-485 tests, and records what the daemon (or the
// probe) asked of them, in order, one line per event, in the file named by
// MS_RECORD:
//
//   gpio open rw | gpio open flags 0x.. | gpio open failed
//   gpio request 0x<number> argument <value>
//   RTS set | RTS clear              (TIOCMBIS / TIOCMBIC with TIOCM_RTS)
//   TIOCMSET 0x<lines>
//   RS485 set <flags> before <ms> after <ms> | RS485 rejected   (TIOCSRS485)
//   LSR busy | LSR empty | LSR rejected
//   write[ xx xx ...]                (the bytes, which still reach the pty)
//
// <flags> names the bits of struct serial_rs485 joined by '+' (enabled,
// rts-on-send, rts-after-send, rx-during-tx, terminate-bus), any other bit
// in hex.
//
// The GPIO device is any path ending in "/dev/gpio" (a plain file the test
// provides); the serial line is any descriptor opened from "/dev/pts/".
//
//   MS_GPIO_MODE=<n>      the port mode the GPIO request answers; "fail"
//                         makes it fail with EIO; unset passes it through
//   MS_LSR=never          the transmitter never reports empty
//   MS_LSR=reject         TIOCSERGETLSR fails with ENOTTY, as on a pty
//   (unset)               after a write of n > 0 bytes the transmitter
//                         is busy for two polls, then empty
//   MS_RS485=reject       TIOCSRS485 fails with ENOTTY, as for a UART
//                         driver without RS-485 mode; unset, it succeeds
//                         and, as Linux's serial core does, hands back the
//                         record with each delay cut to 100 ms
#undef _FILE_OFFSET_BITS  // define open and open64 as separate symbols
#undef _TIME_BITS  // needs _FILE_OFFSET_BITS=64; ioctl is interposed by both its names below
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/serial.h>

namespace {

constexpr int MAX_FDS = 1024;
constexpr int BUSY_POLLS_PER_WRITE = 2;

int gpio_fd = -1;
bool serial_fds[MAX_FDS];
int busy_polls_left = 0;
bool busy_recorded = false;

template <typename Fn>
Fn real(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);

void record(const char* format, ...) {
  const char* path = std::getenv("MS_RECORD");
  if (path == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > static_cast<int>(sizeof line) - 2) length = static_cast<int>(sizeof line) - 2;
  line[length++] = '\n';
  int saved = errno;
  int fd = real<OpenFn>("open64")(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    real<WriteFn>("write")(fd, line, static_cast<size_t>(length));
    close(fd);
  }
  errno = saved;
}

bool ends_with(const char* text, const char* tail) {
  size_t text_length = std::strlen(text);
  size_t tail_length = std::strlen(tail);
  return text_length >= tail_length && std::strcmp(text + text_length - tail_length, tail) == 0;
}

bool is_serial(int fd) { return fd >= 0 && fd < MAX_FDS && serial_fds[fd]; }

int after_open(const char* path, int flags, int fd) {
  if (ends_with(path, "/dev/gpio")) {
    if (fd < 0) {
      record("gpio open failed");
    } else if ((flags & O_ACCMODE) == O_RDWR && (flags & ~O_ACCMODE & ~O_LARGEFILE) == 0) {
      record("gpio open rw");
    } else {
      record("gpio open flags 0x%x", static_cast<unsigned>(flags));
    }
    if (fd >= 0) gpio_fd = fd;
  } else if (fd >= 0 && fd < MAX_FDS) {
    serial_fds[fd] = std::strncmp(path, "/dev/pts/", 9) == 0;
  }
  return fd;
}

int open_with(const char* name, const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = va_arg(args, mode_t);
  return after_open(path, flags, real<OpenFn>(name)(path, flags, mode));
}

int gpio_request(unsigned long request, unsigned long argument) {
  record("gpio request 0x%lx argument %lu", request, argument);
  const char* mode = std::getenv("MS_GPIO_MODE");
  if (mode != nullptr && std::strcmp(mode, "fail") == 0) {
    errno = EIO;
    return -1;
  }
  return mode != nullptr ? std::atoi(mode) : -2;  // -2: pass through
}

int modem_line(unsigned long request, const int* lines) {
  const char* what = request == TIOCMBIS ? "RTS set" : "RTS clear";
  if (*lines == TIOCM_RTS) {
    record("%s", what);
  } else {
    record("%s 0x%x", request == TIOCMBIS ? "TIOCMBIS" : "TIOCMBIC", static_cast<unsigned>(*lines));
  }
  return 0;
}

// The driver of a UART with RS-485 mode and RTS delays.
constexpr unsigned MAX_RTS_DELAY_MS = 100;

int rs485_config(serial_rs485* config) {
  const char* mode = std::getenv("MS_RS485");
  if (mode != nullptr && std::strcmp(mode, "reject") == 0) {
    record("RS485 rejected");
    errno = ENOTTY;
    return -1;
  }
  static const struct {
    unsigned bit;
    const char* name;
  } names[] = {{SER_RS485_ENABLED, "enabled"},
               {SER_RS485_RTS_ON_SEND, "rts-on-send"},
               {SER_RS485_RTS_AFTER_SEND, "rts-after-send"},
               {SER_RS485_RX_DURING_TX, "rx-during-tx"},
               {SER_RS485_TERMINATE_BUS, "terminate-bus"}};
  char flags[256] = "";
  unsigned rest = config->flags;
  for (const auto& flag : names) {
    if ((rest & flag.bit) == 0) continue;
    rest &= ~flag.bit;
    std::snprintf(flags + std::strlen(flags), sizeof flags - std::strlen(flags), "%s%s", flags[0] != '\0' ? "+" : "",
                  flag.name);
  }
  if (rest != 0)
    std::snprintf(flags + std::strlen(flags), sizeof flags - std::strlen(flags), "%s0x%x", flags[0] != '\0' ? "+" : "",
                  rest);
  record("RS485 set %s before %u after %u", flags[0] != '\0' ? flags : "0", config->delay_rts_before_send,
         config->delay_rts_after_send);
  if (config->delay_rts_before_send > MAX_RTS_DELAY_MS) config->delay_rts_before_send = MAX_RTS_DELAY_MS;
  if (config->delay_rts_after_send > MAX_RTS_DELAY_MS) config->delay_rts_after_send = MAX_RTS_DELAY_MS;
  return 0;
}

int line_status(int* status) {
  const char* mode = std::getenv("MS_LSR");
  if (mode != nullptr && std::strcmp(mode, "reject") == 0) {
    record("LSR rejected");
    errno = ENOTTY;
    return -1;
  }
  bool never = mode != nullptr && std::strcmp(mode, "never") == 0;
  if (never || busy_polls_left > 0) {
    if (busy_polls_left > 0) --busy_polls_left;
    if (!busy_recorded) record("LSR busy");
    busy_recorded = true;
    *status = 0;
    return 0;
  }
  record("LSR empty");
  *status = TIOCSER_TEMT;
  return 0;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_with("open", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_with("open64", path, flags, args);
  va_end(args);
  return fd;
}

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
  if (is_serial(fd)) {
    char line[1024] = "write";
    size_t used = std::strlen(line);
    const unsigned char* data = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < count && used + 4 < sizeof line; ++i) {
      used += static_cast<size_t>(std::snprintf(line + used, sizeof line - used, " %02x", data[i]));
    }
    record("%s", line);
    busy_polls_left = count > 0 ? BUSY_POLLS_PER_WRITE : 0;
    busy_recorded = false;
  }
  return real<WriteFn>("write")(fd, bytes, count);
}

namespace {

int ioctl_with(const char* name, int fd, unsigned long request, void* argument) {
  if (fd >= 0 && fd == gpio_fd) {
    int answer = gpio_request(request, reinterpret_cast<unsigned long>(argument));
    if (answer != -2) return answer;
  } else if (is_serial(fd)) {
    if (request == TIOCMBIS || request == TIOCMBIC) return modem_line(request, static_cast<const int*>(argument));
    if (request == TIOCMSET) {
      record("TIOCMSET 0x%x", static_cast<unsigned>(*static_cast<const int*>(argument)));
      return 0;
    }
    if (request == TIOCSRS485) return rs485_config(static_cast<serial_rs485*>(argument));
    if (request == TIOCSERGETLSR) return line_status(static_cast<int*>(argument));
  }
  return real<IoctlFn>(name)(fd, request, argument);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  return ioctl_with("ioctl", fd, request, argument);
}

#if __TIMESIZE == 32
// Programs built with 64-bit time on a 32-bit target (the armhf build)
// reach ioctl under this name.
extern "C" int __ioctl_time64(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  return ioctl_with("__ioctl_time64", fd, request, argument);
}
#endif

extern "C" int close(int fd) {
  if (fd >= 0 && fd < MAX_FDS) serial_fds[fd] = false;
  if (fd == gpio_fd) gpio_fd = -1;
  return real<int (*)(int)>("close")(fd);
}
