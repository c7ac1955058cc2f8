#include "daemon/poll_loop.h"

#include <array>
#include <termios.h>

#include "daemon/start_up.h"
#include "modbus/receive.h"
#include "modbus/rs485.h"
#include "modbus/rtu_frame.h"
#include "sys/clock.h"
#include "sys/log.h"

void poll_meter(const DaemonContext& context, LogStore& store, unsigned index, std::uint8_t* request_buffer) {
  unsigned meter_number = index + 1;
  log_msg(LOG_NOTICE, "starting read meter %u", meter_number);
  int length = build_request(request_buffer, context.meters[index]);
  // A late answer of the previous meter, or bytes beyond the last response's
  // limit, must not be taken for this meter's answer.
  tcflush(context.serial_fd, TCIFLUSH);
  send_frame(context.serial_fd, context.rs485_mode, request_buffer, static_cast<std::size_t>(length),
             context.baudrate);
  if (!wait_first_byte(context.serial_fd, meter_number)) return;
  unsigned received = read_response(context.serial_fd, request_buffer, RESPONSE_MAX, context.split);
  if (check_response(request_buffer, index, received) == 0) {
    log_msg(LOG_NOTICE, "meter %u read error", meter_number);
    return;
  }
  append_log_line(store, index, request_buffer, received);
}

void polling_loop(const DaemonContext& context, LogStore& store) {
  std::array<std::uint8_t, RESPONSE_MAX> request_buffer{};
  std::int64_t dir_checked_at = monotonic_seconds();
  for (;;) {
    for (unsigned index = 0; index < context.meter_count; ++index) {
      // Whether the path still names the directory costs a stat: once a
      // second, not once a line. Reading the clock is no system call.
      std::int64_t now = monotonic_seconds();
      if (now != dir_checked_at) {
        dir_checked_at = now;
        follow_log_dir(*store.dir);
      }
      poll_meter(context, store, index, request_buffer.data());
    }
    pause_seconds(context.period);
  }
}
