#include "line.h"

#include <fcntl.h>
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
#include "modbus/serial_port.h"
#include "sys/unique_fd.h"
#include "sys/unique_file.h"

namespace {

// The daemon waits as long for the lock at start-up.
constexpr int LOCK_WAIT_S = 1;

void tell_daemon_messages() {
  for (const std::string& message : take_daemon_messages()) std::fprintf(stderr, "meterscribe-probe: %s\n", message.c_str());
}

// The lock file of the device, as device_lock names it.
std::string lock_file_of(const char* device_path) {
  const char* slash = std::strrchr(device_path, '/');
  return std::string(path_root()) + LOCK_DIR + "/LCK.." + (slash != nullptr ? slash + 1 : device_path);
}

// The owner a lock file names: 0 when it names none, -1 when there is no
// lock file to read.
pid_t lock_owner(const std::string& lock_path) {
  unique_fd fd(open(lock_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return -1;
  std::array<char, 32> text{};
  ssize_t length = read(fd.get(), text.data(), text.size() - 1);
  if (length <= 0) return 0;
  long owner = std::strtol(text.data(), nullptr, 10);
  return owner > 0 && owner <= INT32_MAX ? static_cast<pid_t>(owner) : 0;
}

// The command name of a process, "" when it cannot be read.
std::string command_of(pid_t pid) {
  unique_file file(std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r"));
  std::array<char, 64> name{};
  if (!file || std::fgets(name.data(), static_cast<int>(name.size()), file.get()) == nullptr) return "";
  name[std::strcspn(name.data(), "\n")] = '\0';
  return name.data();
}

void tell_lock_held(const char* device_path) {
  std::string lock_path = lock_file_of(device_path);
  pid_t owner = lock_owner(lock_path);
  if (owner < 0) {
    std::fprintf(stderr, "meterscribe-probe: cannot lock %s: its lock file %s cannot be made\n", device_path,
                 lock_path.c_str());
    return;
  }
  if (owner == 0) {
    std::fprintf(stderr, "meterscribe-probe: %s is locked (%s names no owner yet); try again\n", device_path,
                 lock_path.c_str());
    return;
  }
  std::string command = command_of(owner);
  std::fprintf(stderr,
               "meterscribe-probe: %s is in use by process %d%s%s%s (lock %s). If that is the daemon, stop it "
               "first (systemctl stop meterscribe) and start it again after probing.\n",
               device_path, static_cast<int>(owner), command.empty() ? "" : " (", command.c_str(),
               command.empty() ? "" : ")", lock_path.c_str());
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

// The steps of the daemon's open_line, with its port-mode query before.
bool take_line(ProbeLine& line) {
  DaemonContext& context = line.context;
  context.serial_fd = -1;
  bool is_ttys0 = std::strcmp(context.device, "ttyS0") == 0;
  context.rs485_mode = query_port_mode(is_ttys0 ? 0 : 1) == PORT_MODE_RS485 ? 1 : 0;
  if (lock_device(line.device_path.data(), LOCK_WAIT_S) == 0) {
    tell_daemon_messages();
    tell_lock_held(line.device_path.data());
    return false;
  }
  line.locked = true;
  context.serial_fd = open_serial_port(line.device_path.data(), context.baudrate, context.databits, context.parity,
                                       context.stopbits);
  if (context.serial_fd < 0) {
    tell_daemon_messages();
    return false;
  }
  if (context.rs485_mode != 0) set_receive_direction(context.serial_fd);
  tell_daemon_messages();  // a failed tcsetattr or ioctl: the line is used all the same
  return true;
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
