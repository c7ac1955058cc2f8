#include "daemon/start_up.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "daemon/log_location.h"
#include "modbus/device_lock.h"
#include "modbus/rs485.h"
#include "sys/command_runner.h"
#include "sys/log.h"

namespace {

using MemcardText = std::array<char, ROOT_MAX + MEMCARD_TEXT_SIZE>;

int run_memcard(const char* command) {
  const char* args[] = {"-c", command, nullptr};
  return run_command("/bin/sh", args);
}

// A log directory that was not opened ends start-up; the message names the
// path and why.
bool report_refusal(DirRefusal refusal, const char* path) {
  switch (refusal) {
    case DirRefusal::none: return true;
    case DirRefusal::missing:
    case DirRefusal::not_opened: log_msg(LOG_NOTICE, "error: directory %s not exists", path); break;
    case DirRefusal::symbolic_link:
      log_msg(LOG_ERR, "error: directory %s has a symbolic link in its path; links on the memory card are not followed",
              path);
      break;
    case DirRefusal::not_directory: log_msg(LOG_ERR, "error: %s is not a directory", path); break;
    case DirRefusal::above_base:
      log_msg(LOG_ERR, "error: directory %s is not below the memory card's mount point", path);
      break;
    case DirRefusal::unusable: log_msg(LOG_ERR, "error: directory %s can not be opened: %s", path, std::strerror(errno)); break;
  }
  return false;
}

}  // namespace

bool select_storage(const DaemonContext& context, PathBuffer& log_dir_path) {
  MemcardText script;
  rooted_path(script.data(), script.size(), MEMCARD_SCRIPT);
  MemcardText text;
  std::size_t text_size = rooted_size(MEMCARD_TEXT_SIZE);
  if (context.cache[0] != '\0') {
    snprintf(text.data(), text_size, "%s mount", script.data());
    if (run_memcard(text.data()) != 0) {
      log_msg(LOG_NOTICE, "error: %s failed", text.data());
      return false;
    }
    return compose_log_dir(context, log_dir_path);
  }
  snprintf(text.data(), text_size, "%s umount", script.data());
  if (run_memcard(text.data()) != 0) log_msg(LOG_NOTICE, "error: %s failed", text.data());
  return compose_log_dir(context, log_dir_path);
}

bool open_log_dir(DaemonContext& context, const char* path) {
  if (context.cache[0] == '\0') {
    // The volatile directory is the integrator's own, trusted as it stands.
    return report_refusal(log_dir_open(context.log_dir, path) ? DirRefusal::none : DirRefusal::not_opened, path);
  }
  // Below the mount point everything comes from the card: its part of the
  // path is opened without following a link and without climbing above
  // the mount point. A mount below it is root's doing and is entered.
  MemcardText card_root;
  rooted_path(card_root.data(), card_root.size(), MEMCARD_LOG_DIR);
  const char* on_card = path + std::min(std::strlen(path), std::strlen(card_root.data()) + 1);
  return report_refusal(log_dir_open_below(context.log_dir, card_root.data(), on_card, path), path);
}

void ask_port_mode(DaemonContext& context) {
  context.line_direction = line_direction(rs485_setup_of(context), context.device);
  context.rs485_mode = rs485_mode_of(context.line_direction);
}

// Device names such as serial/by-id links are long: the path has the room
// of any other path.
bool open_line(DaemonContext& context) {
  std::array<char, PATH_SIZE> device_path;
  snprintf(device_path.data(), device_path.size(), "/dev/%s", context.device);
  if (lock_device(device_path.data(), 1) == 0) {
    log_msg(LOG_ERR, "device %s is locked", device_path.data());
    return false;
  }
  context.serial_fd = open_modbus_line(device_path.data(), line_settings_of(context), context.line_direction);
  if (context.serial_fd < 0) {
    unlock_device(device_path.data());
    return false;
  }
  return true;
}

void follow_log_dir(LogDir& dir) {
  DirRefusal refusal = DirRefusal::none;
  switch (log_dir_recheck(dir, &refusal)) {
    case DirCheck::same: return;
    case DirCheck::reopened:
      log_msg(LOG_NOTICE, "log directory %s names another directory now; opened it again", dir.path.data());
      return;
    case DirCheck::lost: report_refusal(refusal, dir.path.data()); return;
  }
}
