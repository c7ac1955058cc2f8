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

// What a wait for input on the port found.
enum class PortWait { readable, quiet, hung_up, failed };

// Waits up to timeout_ms for input on the port. A hung-up line (a USB
// adapter unplugged, the far end of a pseudo-terminal closed) reports
// "readable" at once and forever, though no byte will ever come: it is told
// apart, so the caller can pause instead of spinning. A descriptor that is
// not open fails the wait, as it would fail select.
PortWait wait_for_input(int fd, int timeout_ms) {
  pollfd watch{fd, POLLIN, 0};
  int ready = poll(&watch, 1, timeout_ms);
  if (ready < 0) return PortWait::failed;
  if (ready == 0) return PortWait::quiet;
  if ((watch.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return PortWait::failed;
  }
  if ((watch.revents & (POLLHUP | POLLERR)) != 0) return PortWait::hung_up;
  return PortWait::readable;
}

}  // namespace

bool wait_first_byte(int serial_fd, unsigned meter_number, unsigned timeout_ms) {
  PortWait found = wait_for_input(serial_fd, static_cast<int>(std::min<unsigned>(timeout_ms, INT32_MAX)));
  if (found == PortWait::quiet) {
    log_msg(LOG_NOTICE, "no answer from meter %u", meter_number);
    return false;
  }
  if (found == PortWait::readable) return true;
  // The port is read all the same; it gives what it has, which after a
  // hang-up is nothing, and the response is judged as usual.
  if (found == PortWait::failed) log_msg(LOG_ERR, "select: %s", std::strerror(errno));
  if (found == PortWait::hung_up) log_msg(LOG_ERR, "serial line hung up");
  pause_seconds(1);
  return true;
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
    if (wait_for_input(serial_fd, static_cast<int>(wait_ms)) != PortWait::readable) break;
    budget_ms -= monotonic_ms() - before;
  }
  return received;
}
