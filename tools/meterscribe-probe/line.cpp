#include "line.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/settings.h"
#include "messages.h"
#include "modbus/device_lock.h"
#include "modbus/rs485.h"
#include "sys/unique_file.h"

namespace {

// The daemon waits as long for the lock at start-up.
constexpr int LOCK_WAIT_S = 1;

void tell_owner(const char* device_path, const char* lock_path, pid_t owner) {
  ProcessName command;
  bool named = process_name(owner, command);
  std::fprintf(stderr,
               "meterscribe-probe: %s is in use by process %d%s%s%s (lock %s). If that is the daemon, stop it "
               "first (systemctl stop meterscribe) and start it again after probing.\n",
               device_path, static_cast<int>(owner), named ? " (" : "", command.data(), named ? ")" : "", lock_path);
}

void tell_daemon_messages() {
  for (const std::string& message : take_daemon_messages()) std::fprintf(stderr, "meterscribe-probe: %s\n", message.c_str());
}

// Why lock_device gave up, from the lock as the daemon judges it.
void tell_lock_held(const char* device_path) {
  PathBuffer lock_path;
  if (!lock_path_of(device_path, lock_path)) return;  // lock_device has said so
  const char* path = lock_path.data();
  LockJudgement lock = judge_lock(path);
  switch (lock.state) {
    case LockState::held: return tell_owner(device_path, path, lock.owner);
    case LockState::being_written:
      std::fprintf(stderr, "meterscribe-probe: %s is locked (%s names no owner yet); try again\n", device_path, path);
      return;
    case LockState::unreadable:
      std::fprintf(stderr, "meterscribe-probe: cannot lock %s: its lock file %s cannot be read: %s\n", device_path,
                   path, std::strerror(lock.error));
      return;
    case LockState::none:
      std::fprintf(stderr, "meterscribe-probe: cannot lock %s: its lock file %s cannot be made\n", device_path, path);
      return;
    case LockState::stale:
    case LockState::not_regular_file:
      std::fprintf(stderr, "meterscribe-probe: cannot lock %s: the stale lock %s cannot be replaced\n", device_path,
                   path);
      return;
  }
}

}  // namespace

bool load_probe_settings(const char* path, ProbeLine& line) {
  line.context.serial_fd = -1;
  if (int error = settings_file_error(path); error != 0) {
    std::fprintf(stderr, "meterscribe-probe: cannot read settings %s: %s\n", path, std::strerror(error));
    return false;
  }
  load_settings_from(&line.context, path);
  line.meter_count = count_polled_meters(&line.context);
  if (line.meter_count == 0) {
    std::fprintf(stderr, "meterscribe-probe: no meters to read in %s (MOD_METERSCRIBE_ADDR1 is 0 or missing)\n", path);
    return false;
  }
  if (line.context.device[0] == '\0') {
    std::fprintf(stderr, "meterscribe-probe: no serial device in %s (MOD_METERSCRIBE_DEVICE is missing)\n", path);
    return false;
  }
  snprintf(line.device_path.data(), line.device_path.size(), "/dev/%s", line.context.device);
  return true;
}

// The steps of the daemon's open_line, with its direction decided before
// (the GPIO driver asked, by default).
bool take_line(ProbeLine& line) {
  DaemonContext& context = line.context;
  context.serial_fd = -1;
  context.line_direction = line_direction(rs485_setup_of(context), context.device);
  context.rs485_mode = rs485_mode_of(context.line_direction);
  if (lock_device(line.device_path.data(), LOCK_WAIT_S) == 0) {
    tell_daemon_messages();
    tell_lock_held(line.device_path.data());
    return false;
  }
  line.locked = true;
  context.serial_fd = open_modbus_line(line.device_path.data(), line_settings_of(context), context.line_direction);
  // A failed tcsetattr or RTS ioctl: the line is used all the same. A failed
  // open or a driver without RS-485 mode: the probe ends, as the daemon would.
  tell_daemon_messages();
  return context.serial_fd >= 0;
}

const char* line_kind(const ProbeLine& line) {
  switch (line.context.line_direction) {
    case LineDirection::rts_switched: return "RS-485";
    case LineDirection::kernel: return "RS-485 by the driver";
    case LineDirection::plain: break;
  }
  return rs485_setup_of(line.context).control == Rs485Control::none ? "no direction switching" : "RS-232";
}

ProbeLink link_of(const ProbeLine& line) {
  return {line.context.serial_fd, line.context.rs485_mode, line.context.baudrate, line.context.split};
}

void release_line(ProbeLine& line) {
  if (line.context.serial_fd >= 0) close(line.context.serial_fd);
  line.context.serial_fd = -1;
  if (line.locked) unlock_device(line.device_path.data());
  line.locked = false;
  release_context(&line.context);
}
