// meterscribe: Modbus RTU master that logs every valid meter response and
// hands the finished log files to the gateway's upload script.
#include <array>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "daemon/context.h"
#include "daemon/poll_loop.h"
#include "modbus/device_lock.h"
#include "modbus/rs485.h"
#include "modbus/serial_port.h"
#include "sys/dir_query.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "upload/upload_thread.h"

namespace {

// The one context; it lives as long as the process.
DaemonContext context;

// Every start-up failure ends the process with status 1 after its message.
#define EXIT_AFTER(level, ...) \
  do {                         \
    log_msg(level, __VA_ARGS__); \
    std::exit(1);              \
  } while (false)

void check_log_dir() {
  if (directory_exists(context.log_dir.data()) == 0)
    EXIT_AFTER(LOG_NOTICE, "error: directory %s not exists", context.log_dir.data());
}

void ask_port_mode() {
  bool is_ttys0 = std::strcmp(context.device, "ttyS0") == 0;
  context.rs485_mode = query_port_mode(is_ttys0 ? 0 : 1) == PORT_MODE_RS485 ? 1 : 0;
}

// Locks and opens "/dev/" + device. Device names such as serial/by-id
// links are long: the path has the room of any other path.
void open_line() {
  std::array<char, PATH_SIZE> device_path;
  snprintf(device_path.data(), device_path.size(), "/dev/%s", context.device);
  if (lock_device(device_path.data(), 1) == 0) EXIT_AFTER(LOG_ERR, "device %s is locked", device_path.data());
  context.serial_fd = open_serial_port(device_path.data(), context.baudrate, context.databits, context.parity,
                                       context.stopbits);
  if (context.serial_fd < 0) {
    unlock_device(device_path.data());
    std::exit(1);
  }
  if (context.rs485_mode != 0) set_receive_direction(context.serial_fd);
}

}  // namespace

int main() {
  setsid();
  // A launcher may have left SIGCHLD ignored; then no script's status could
  // ever be collected.
  signal(SIGCHLD, SIG_DFL);
  bool root_ok = paths_init_from_env();
  log_open();
  log_msg(LOG_NOTICE, "started");
  if (!root_ok) EXIT_AFTER(LOG_ERR, "METERSCRIBE_ROOT is too long");
  load_settings(&context);
  derive_meter_table(&context);
  select_storage(&context);
  check_log_dir();
  ask_port_mode();
  open_line();
  start_upload_thread(&context);
  polling_loop(&context);
}
