#include "survey.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "daemon/context.h"
#include "daemon/settings.h"
#include "daemon/log_location.h"
#include "daemon/start_up.h"
#include "last_lines.h"
#include "log_time.h"
#include "modbus/device_lock.h"
#include "store/log_dir.h"
#include "store/log_store.h"
#include "store/storage_trim.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "sys/unique_file.h"

namespace {

constexpr std::uint32_t MS_PER_S = 1000;
constexpr std::uint32_t FIRST_BYTE_WAIT_MS = 1000;
constexpr std::uint32_t S_PER_MIN = 60;

// The daemon's code reports through its log; here its words become the
// tool's, kept for the report instead of going to syslog.
std::string& last_message() {
  static std::string text;
  return text;
}

void keep_message(int /*level*/, const char* text) { last_message() = text; }

// A cycle at its longest: the pause, and for each meter the first-byte
// wait and the split budget of an answer that comes late.
Timing timing_of(const DaemonContext& context, unsigned meters) {
  Timing timing;
  std::uint64_t per_meter_ms = std::uint64_t{FIRST_BYTE_WAIT_MS} + context.split;
  std::uint64_t cycle = context.period + (meters * per_meter_ms + MS_PER_S - 1) / MS_PER_S;
  std::uint64_t send_period = std::uint64_t{context.send_period} * S_PER_MIN;
  auto clamp = [](std::uint64_t seconds) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(seconds, std::numeric_limits<std::uint32_t>::max() / 4));
  };
  timing.send_period_min = context.send_period;
  timing.cycle_s = clamp(cycle);
  timing.send_period_s = clamp(send_period);
  timing.silent_after_s = SILENT_CYCLES * timing.cycle_s + SILENCE_MARGIN_S;
  // A released file waits for the next pass, at most one send period after
  // a successful one; its release itself waits for the next line.
  timing.upload_grace_s = timing.send_period_s + timing.cycle_s + UPLOAD_MARGIN_S;
  return timing;
}

// The UUCP lock of the device, named and judged by the daemon's own code.
LockFigures survey_lock(const char* device) {
  LockFigures lock;
  lock.device = std::string("/dev/") + device;
  PathBuffer path;
  if (!lock_path_of(lock.device.c_str(), path)) {
    lock.lock = {LockState::unreadable, 0, 0, ENAMETOOLONG};
    return lock;
  }
  lock.path = path.data();
  lock.lock = judge_lock(path.data());
  ProcessName name;
  if (lock.lock.state == LockState::held && process_name(lock.lock.owner, name)) lock.command = name.data();
  return lock;
}

// While it lives, the fixed paths lead through the root of the process
// that holds the lock: the service mounts the card in its own mount
// namespace, so from a login shell the mount point is empty. A process
// whose root cannot be entered leaves the paths as they are.
struct OwnerView {
  std::string own_root = path_root();
  bool through_owner = false;

  explicit OwnerView(const LockFigures& lock) {
    if (lock.lock.state != LockState::held) return;
    PathBuffer root;
    through_owner = process_root_path(lock.lock.owner, own_root.c_str(), root.data(), ROOT_MAX + 1) &&
                    paths_set_root(root.data());
  }
  ~OwnerView() {
    if (through_owner) paths_set_root(own_root.c_str());
  }
  OwnerView(const OwnerView&) = delete;
  OwnerView& operator=(const OwnerView&) = delete;
};

// The log directory, composed and opened as start-up does it, as the daemon
// sees it; a path too long for the daemon is refused as the daemon refuses
// it.
void survey_storage(DaemonContext& context, const LockFigures& lock, StorageFigures& storage) {
  storage.on_card = context.cache[0] != '\0';
  storage.log_dir.resize(write_log_dir_path(context, nullptr, 0));
  write_log_dir_path(context, storage.log_dir.data(), storage.log_dir.size() + 1);
  last_message().clear();
  OwnerView view(lock);
  PathBuffer path;
  storage.opened = compose_log_dir(context, path) && open_log_dir(context, path.data());
  if (!storage.opened) {
    storage.why_not = last_message();
    return;
  }
  bool on_ram = true;
  storage.off_ram = !storage.on_card && on_ram_file_system(path.data(), &on_ram) && !on_ram;
  storage.use_known = storage_use_percent(context.log_dir, &storage.use_percent);
  if (!storage.use_known) storage.why_not = last_message();
}

std::uint64_t file_bytes(const LogDir& dir, const char* name) {
  struct stat info {};
  if (fstatat(dir.fd.get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<std::uint64_t>(info.st_size);
}

bool is_cut_leftover(const std::string& name) {
  std::size_t suffix = std::strlen(TMP_SUFFIX);
  return name.size() == LOG_NAME_LEN + suffix && name.compare(LOG_NAME_LEN, suffix, TMP_SUFFIX) == 0 &&
         is_log_name(name.substr(0, LOG_NAME_LEN).c_str());
}

// Sorts every listed name into its kind; the log files come back oldest
// first.
std::vector<FileFigure> sort_names(const LogDir& dir, GatewayStatus& status) {
  std::vector<FileFigure> logs;
  bool whole = log_dir_each_file(dir, [&](const char* name) {
    if (is_log_name(name) && !is_writable_log_name(name, status.now))
      status.planted_files.emplace_back(name);
    else if (is_log_name(name))
      logs.push_back({name, file_bytes(dir, name), log_name_time(name)});
    else if (is_cut_leftover(name))
      status.interrupted_cuts.emplace_back(name);
    else
      status.foreign_files.emplace_back(name);
  });
  if (!whole) status.listing_cut_short = std::strerror(errno);
  std::sort(logs.begin(), logs.end(), [](const FileFigure& a, const FileFigure& b) { return a.name < b.name; });
  std::sort(status.interrupted_cuts.begin(), status.interrupted_cuts.end());
  std::sort(status.foreign_files.begin(), status.foreign_files.end());
  std::sort(status.planted_files.begin(), status.planted_files.end());
  for (const FileFigure& file : logs)
    if (file.begun > status.now) status.future_files.push_back(file.name);
  return logs;
}

// The newest log name that may take lines is the current file, as the
// daemon chooses it; names it never writes were set apart already. The
// released name lives in the daemon's memory only, so every older log file
// counts as released and waiting for upload.
void survey_files(const LogDir& dir, GatewayStatus& status) {
  std::vector<FileFigure> logs = sort_names(dir, status);
  LogName newest;
  newest_writable_log_name(dir, status.now, newest);
  if (newest[0] != '\0' && !logs.empty() && logs.back().name == newest) {
    status.has_current = true;
    status.current = logs.back();
    logs.pop_back();
    LogName cutoff;
    format_release_cutoff(cutoff, status.now, status.timing.send_period_min);
    status.current_due = std::strcmp(newest, cutoff) < 0;
  }
  status.waiting = logs;
  status.uploads_failing =
      !logs.empty() &&
      status.now - logs.front().begun >
          static_cast<std::time_t>(status.timing.send_period_s) + static_cast<std::time_t>(status.timing.upload_grace_s);
}

void survey_meters(const LogDir& dir, unsigned count, GatewayStatus& status) {
  std::vector<std::string> newest_first;
  if (status.has_current) newest_first.push_back(status.current.name);
  for (auto file = status.waiting.rbegin(); file != status.waiting.rend(); ++file) newest_first.push_back(file->name);
  status.meters.assign(count, MeterFigure{});
  status.files_scanned = find_last_lines(dir, newest_first, status.now, status.meters, status.hour_cycles);
  for (MeterFigure& meter : status.meters)
    meter.silent = !meter.seen || status.now - meter.last > static_cast<std::time_t>(status.timing.silent_after_s);
}

}  // namespace

std::time_t log_name_time(const char* name) {
  if (!is_log_name(name)) return 0;
  // The name carries the local time as a log line does, and is placed on
  // the time line by the same rule as meterscribe-decode's times (the
  // earlier instant in the repeated hour).
  LogInstant instant{};
  if (!resolve_log_time(name + std::strlen("log-"), instant)) return 0;
  return static_cast<std::time_t>(instant.seconds);
}

bool survey_gateway(const char* settings_path, std::time_t now, GatewayStatus& status, std::string& why) {
  if (int error = settings_file_error(settings_path); error != 0) {
    why = std::string("cannot read settings ") + settings_path + ": " + std::strerror(error);
    return false;
  }
  log_set_capture(keep_message);
  DaemonContext context{};
  load_settings_from(&context, settings_path);
  unsigned meters = count_polled_meters(&context);
  status.now = now;
  status.settings_path = settings_path;
  status.timing = timing_of(context, meters);
  status.lock = survey_lock(context.device);
  survey_storage(context, status.lock, status.storage);
  if (status.storage.opened) {
    survey_files(context.log_dir, status);
    survey_meters(context.log_dir, meters, status);
  } else {
    status.meters.assign(meters, MeterFigure{false, 0, true});
  }
  for (unsigned i = 0; i < meters; ++i) status.meters[i].slave = context.meters[i].addr;
  release_context(&context);
  log_set_capture(nullptr);
  return true;
}

