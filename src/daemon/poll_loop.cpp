#include "daemon/poll_loop.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "daemon/context.h"
#include "daemon/log_store.h"
#include "modbus/rs485.h"
#include "modbus/rtu_frame.h"
#include "sys/command_runner.h"
#include "sys/log.h"
#include "sys/pause.h"
#include "sys/paths.h"

namespace {

std::int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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

// True when the first byte came within the first-byte wait (or the wait
// itself failed, in which case the port is read after a pause all the same).
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

int run_memcard(const char* command) {
  const char* args[] = {"-c", command, nullptr};
  return run_command("/bin/sh", args);
}

}  // namespace

unsigned read_response(int serial_fd, std::uint8_t* buffer, unsigned capacity, std::uint32_t split_ms) {
  unsigned received = 0;
  std::int64_t budget_ms = split_ms;
  for (;;) {
    ssize_t got = read(serial_fd, buffer + received, capacity - received);
    if (got <= 0) break;
    received += static_cast<unsigned>(got);
    // The budget is one per response: once it is spent, each wait only looks
    // whether more bytes are already there.
    std::int64_t before = monotonic_ms();
    std::int64_t wait_ms = std::clamp<std::int64_t>(budget_ms, 0, INT32_MAX);
    if (wait_readable(serial_fd, static_cast<int>(wait_ms)) != 1) break;
    budget_ms -= monotonic_ms() - before;
  }
  return received;
}

void poll_meter(DaemonContext* context, unsigned index, std::uint8_t* request_buffer) {
  unsigned meter_number = index + 1;
  log_msg(LOG_NOTICE, "starting read meter %u", meter_number);
  int length = build_request(request_buffer, context->meters[index]);
  // A late answer of the previous meter, or bytes beyond the last response's
  // limit, must not be taken for this meter's answer.
  tcflush(context->serial_fd, TCIFLUSH);
  send_frame(context->serial_fd, context->rs485_mode, request_buffer, static_cast<std::size_t>(length),
             context->baudrate);
  if (!wait_first_byte(context->serial_fd, meter_number)) return;
  unsigned received = read_response(context->serial_fd, request_buffer, RESPONSE_MAX, context->split);
  if (check_response(request_buffer, index, received) == 0) {
    log_msg(LOG_NOTICE, "meter %u read error", meter_number);
    return;
  }
  append_log_line(context, index, request_buffer, received);
}

void polling_loop(DaemonContext* context) {
  std::array<std::uint8_t, RESPONSE_MAX> request_buffer{};
  for (;;) {
    for (unsigned index = 0; index < context->meter_count; ++index) poll_meter(context, index, request_buffer.data());
    pause_seconds(context->period);
  }
}

void select_storage(DaemonContext* context) {
  std::array<char, ROOT_MAX + MEMCARD_TEXT_SIZE> script;
  rooted_path(script.data(), script.size(), MEMCARD_SCRIPT);
  std::array<char, ROOT_MAX + MEMCARD_TEXT_SIZE> text;
  std::size_t text_size = rooted_size(MEMCARD_TEXT_SIZE);
  if (context->cache[0] != '\0') {
    snprintf(text.data(), text_size, "%s mount", script.data());
    if (run_memcard(text.data()) != 0) {
      log_msg(LOG_NOTICE, "error: %s failed", text.data());
      std::exit(1);
    }
    std::array<char, ROOT_MAX + MEMCARD_TEXT_SIZE> card_root;
    rooted_path(card_root.data(), card_root.size(), MEMCARD_LOG_DIR);
    snprintf(text.data(), text_size, "%s/%s", card_root.data(), context->cache_dir);
    snprintf(context->log_dir.data(), rooted_size(PATH_SIZE), "%s", text.data());
    return;
  }
  snprintf(text.data(), text_size, "%s umount", script.data());
  if (run_memcard(text.data()) != 0) log_msg(LOG_NOTICE, "error: %s failed", text.data());
  rooted_path(context->log_dir.data(), rooted_size(PATH_SIZE), VOLATILE_LOG_DIR);
}
