#include "modbus/receive.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "sys/clock.h"
#include "sys/log.h"

namespace {

// Waits until the port is readable: 1 readable, 0 timed out, -1 failed.
// A hung-up line (a USB adapter unplugged, the far end of a pseudo-terminal
// closed) reports "readable" at once and forever, though no byte will ever
// come: it counts as a failed wait, so the caller's pause keeps the loop
// from spinning.
int wait_readable(int fd, int timeout_ms) {
  pollfd watch{fd, POLLIN, 0};
  int ready = poll(&watch, 1, timeout_ms);
  if (ready < 0) return -1;
  if (ready > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
    errno = EIO;
    return -1;
  }
  return ready > 0 ? 1 : 0;
}

}  // namespace

bool wait_first_byte(int serial_fd, unsigned meter_number) {
  int ready = wait_readable(serial_fd, static_cast<int>(FIRST_BYTE_WAIT_MS));
  if (ready < 0) {
    log_msg(LOG_ERR, "select: %s", std::strerror(errno));
    pause_seconds(1);
    return true;
  }
  if (ready == 0) log_msg(LOG_NOTICE, "no answer from meter %u", meter_number);
  return ready > 0;
}

unsigned read_response(int serial_fd, std::uint8_t* buffer, unsigned capacity, std::uint32_t split_ms,
                       ReceiveTiming* timing) {
  unsigned received = 0;
  std::int64_t budget_ms = split_ms;
  for (;;) {
    ssize_t got = read(serial_fd, buffer + received, capacity - received);
    if (got <= 0) break;
    received += static_cast<unsigned>(got);
    if (timing != nullptr) timing->last_byte_ns = monotonic_ns();
    // The budget is one per response: once it is spent, each wait only looks
    // whether more bytes are already there.
    std::int64_t before = monotonic_ms();
    std::int64_t wait_ms = std::clamp<std::int64_t>(budget_ms, 0, INT32_MAX);
    if (wait_readable(serial_fd, static_cast<int>(wait_ms)) != 1) break;
    budget_ms -= monotonic_ms() - before;
  }
  return received;
}
