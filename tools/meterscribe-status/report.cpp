#include "report.h"

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <ctime>
#include <functional>

#include "printable.h"
#include "store/storage_trim.h"

namespace {

constexpr std::int64_t MINUTE = 60;
constexpr std::int64_t HOUR = 60 * MINUTE;
constexpr std::int64_t DAY = 24 * HOUR;

std::string local_time(std::time_t when) {
  struct tm local {};
  std::array<char, 32> text{};
  localtime_r(&when, &local);
  std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local);
  return text.data();
}

// "45 s", "7 min 9 s", "2 h 5 min", "3 d 4 h": the two largest units.
std::string duration(std::int64_t seconds) {
  if (seconds < 0) return "-" + duration(-seconds);
  if (seconds < MINUTE) return std::to_string(seconds) + " s";
  if (seconds < HOUR) return std::to_string(seconds / MINUTE) + " min " + std::to_string(seconds % MINUTE) + " s";
  if (seconds < DAY) return std::to_string(seconds / HOUR) + " h " + std::to_string(seconds % HOUR / MINUTE) + " min";
  return std::to_string(seconds / DAY) + " d " + std::to_string(seconds % DAY / HOUR) + " h";
}

std::string age(const GatewayStatus& status, std::time_t when) {
  if (when > status.now) return duration(when - status.now) + " in the future";
  return duration(status.now - when) + " ago";
}

std::time_t release_time(const GatewayStatus& status, const FileFigure& file) {
  return file.begun + static_cast<std::time_t>(status.timing.send_period_s);
}

// A link, FIFO, directory or node where the lock belongs.
std::string kind_name(mode_t kind) {
  switch (kind) {
    case S_IFLNK: return "symbolic link";
    case S_IFIFO: return "FIFO";
    case S_IFDIR: return "directory";
    case S_IFCHR: return "character device";
    case S_IFBLK: return "block device";
    case S_IFSOCK: return "socket";
    default: return "file of no lock form";
  }
}

// The device comes from the settings, and the lock's path with it.
void add_lock_items(const LockFigures& figures, std::vector<std::string>& items) {
  const LockJudgement& lock = figures.lock;
  std::string path = printable(figures.path);
  std::string device = printable(figures.device);
  if (lock.state == LockState::none)
    items.push_back("no daemon: nothing holds the lock " + path + " of " + device);
  else if (lock.state == LockState::stale && lock.forged)
    items.push_back("stale lock " + path + ": it names pid " + std::to_string(lock.owner) +
                    ", a process of another user than the file's owner, so it is forged; no daemon holds " +
                    device);
  else if (lock.state == LockState::stale && lock.owner != 0)
    items.push_back("stale lock " + path + ": it names pid " + std::to_string(lock.owner) +
                    ", which is not running; no daemon holds " + device);
  else if (lock.state == LockState::stale)
    items.push_back("stale lock " + path + ": it names no process; no daemon holds " + device);
  else if (lock.state == LockState::not_regular_file)
    items.push_back("no lock file at " + path + " but a " + kind_name(lock.kind) + ", which the daemon " +
                    (lock.kind == S_IFDIR ? "moves aside at start-up" : "replaces at start-up") +
                    "; no daemon holds " + device);
  else if (lock.state == LockState::unreadable && figures.path.empty())
    items.push_back("the lock name of " + device + " is too long: the daemon cannot lock it");
  else if (lock.state == LockState::unreadable)
    items.push_back("the lock " + path + " cannot be read (" + std::strerror(lock.error) +
                    "): the daemon cannot take " + device + " while it is there");
}

void add_storage_items(const StorageFigures& storage, std::vector<std::string>& items) {
  if (!storage.opened)
    items.push_back("the log directory cannot be opened: " + printable(storage.why_not));
  else if (!storage.use_known)
    items.push_back("the storage use cannot be measured (" + printable(storage.why_not) + "): the daemon never trims then");
  else if (storage.use_percent >= TRIM_THRESHOLD_PERCENT)
    items.push_back("storage " + std::to_string(storage.use_percent) + " % used, at or above the " +
                    std::to_string(TRIM_THRESHOLD_PERCENT) + " % trim threshold: each failed send trims released files");
  if (storage.off_ram) items.push_back(OFF_RAM_WARNING);
}

void add_file_items(const GatewayStatus& status, std::vector<std::string>& items) {
  if (!status.listing_cut_short.empty())
    items.push_back("the log directory could not be read to its end (" + status.listing_cut_short +
                    "): the files below are not all of them");
  if (status.uploads_failing) {
    const FileFigure& oldest = status.waiting.front();
    items.push_back("uploads are failing: " + printable(oldest.name) + " was released at " +
                    local_time(release_time(status, oldest)) + " and still waits, more than one send period later");
  }
  for (const std::string& name : status.interrupted_cuts)
    items.push_back("interrupted head cut: " + printable(name) + " holds the old content (see Reliability in the README)");
  for (const std::string& name : status.future_files)
    items.push_back("named in the future: " + printable(name) + " (lines go into it until the clock gets there)");
  for (const std::string& name : status.planted_files)
    items.push_back("no log time: " + printable(name) +
                    " (no calendar time, or over a day after the clock: the daemon never writes into it)");
}

void add_meter_items(const GatewayStatus& status, std::vector<std::string>& items) {
  for (std::size_t i = 0; i < status.meters.size(); ++i) {
    const MeterFigure& meter = status.meters[i];
    if (!meter.silent) continue;
    std::string what = "meter " + std::to_string(i + 1) + " is silent: ";
    if (meter.seen)
      items.push_back(what + "its last line is " + age(status, meter.last) + ", more than " +
                      std::to_string(status.timing.silent_after_s) + " s");
    else
      items.push_back(what + "no line in the newest " + std::to_string(status.files_scanned) + " log files");
  }
}

void write_daemon(FILE* out, const LockFigures& figures) {
  const LockJudgement& lock = figures.lock;
  std::string shown_path = printable(figures.path);
  std::string shown_device = printable(figures.device);
  const char* path = shown_path.c_str();
  const char* device = shown_device.c_str();
  switch (lock.state) {
    case LockState::held:
      std::fprintf(out, "Daemon    running: pid %ld (%s) holds %s (lock %s)\n", static_cast<long>(lock.owner),
                   figures.command.empty() ? "?" : printable(figures.command).c_str(), device, path);
      break;
    case LockState::being_written:
      std::fprintf(out, "Daemon    starting: the lock %s is being written (empty, moments old)\n", path);
      break;
    case LockState::stale: std::fprintf(out, "Daemon    not running: stale lock %s\n", path); break;
    case LockState::not_regular_file:
      std::fprintf(out, "Daemon    not running: %s is a %s, no lock file\n", path, kind_name(lock.kind).c_str());
      break;
    case LockState::unreadable:
      std::fprintf(out, "Daemon    unknown: the lock %s of %s cannot be read\n", path, device);
      break;
    case LockState::none:
      std::fprintf(out, "Daemon    not running: no lock %s for %s\n", path, device);
      break;
  }
}

void write_storage(FILE* out, const StorageFigures& storage) {
  std::fprintf(out, "Storage   %s, log directory %s\n", storage.on_card ? "memory card" : "volatile storage (RAM)",
               printable(storage.log_dir).c_str());
  if (!storage.opened)
    std::fprintf(out, "          not opened: %s\n", printable(storage.why_not).c_str());
  else if (!storage.use_known)
    std::fprintf(out, "          use unknown: %s\n", printable(storage.why_not).c_str());
  else
    std::fprintf(out, "          %llu %% used; after a failed send the daemon trims released files at %u %%\n",
                 static_cast<unsigned long long>(storage.use_percent), TRIM_THRESHOLD_PERCENT);
}

void write_current(FILE* out, const GatewayStatus& status) {
  if (!status.has_current) {
    std::fprintf(out, "Current   none: the next line begins a log file\n");
    return;
  }
  const FileFigure& current = status.current;
  std::fprintf(out, "Current   %s, %llu bytes, begun %s\n", printable(current.name).c_str(),
               static_cast<unsigned long long>(current.bytes), age(status, current.begun).c_str());
  if (status.current_due)
    std::fprintf(out, "          due for release: the next line releases it\n");
  else
    std::fprintf(out, "          released by the first line after %s (SEND_PERIOD %u min)\n",
                 local_time(release_time(status, current)).c_str(), status.timing.send_period_min);
}

void write_waiting(FILE* out, const GatewayStatus& status) {
  if (status.waiting.empty()) {
    std::fprintf(out, "Waiting   none: no released file waits for upload\n");
    return;
  }
  std::uint64_t bytes = 0;
  for (const FileFigure& file : status.waiting) bytes += file.bytes;
  const FileFigure& oldest = status.waiting.front();
  std::fprintf(out, "Waiting   %zu file%s, %llu bytes, oldest %s (begun %s)\n", status.waiting.size(),
               status.waiting.size() == 1 ? "" : "s", static_cast<unsigned long long>(bytes), printable(oldest.name).c_str(), age(status, oldest.begun).c_str());
}

void write_meters(FILE* out, const GatewayStatus& status) {
  std::fprintf(out, "Meters    %zu polled; silent after %u s without a line (%u cycles of at most %u s, and %u s)\n",
               status.meters.size(), status.timing.silent_after_s, SILENT_CYCLES, status.timing.cycle_s,
               SILENCE_MARGIN_S);
  for (std::size_t i = 0; i < status.meters.size(); ++i) {
    const MeterFigure& meter = status.meters[i];
    if (meter.seen)
      std::fprintf(out, "  meter %-2zu last line %s, %s%s\n", i + 1, local_time(meter.last).c_str(),
                   age(status, meter.last).c_str(), meter.silent ? ": silent" : "");
    else
      std::fprintf(out, "  meter %-2zu no line in the newest %u log files: silent\n", i + 1, status.files_scanned);
  }
}

void write_names(FILE* out, const char* what, const std::vector<std::string>& names) {
  for (const std::string& name : names) std::fprintf(out, "  %-20s %s\n", what, printable(name).c_str());
}

void write_other_files(FILE* out, const GatewayStatus& status) {
  if (status.interrupted_cuts.empty() && status.future_files.empty() && status.planted_files.empty() &&
      status.foreign_files.empty())
    return;
  std::fprintf(out, "Other files\n");
  write_names(out, "interrupted cut", status.interrupted_cuts);
  write_names(out, "named in the future", status.future_files);
  write_names(out, "no log time", status.planted_files);
  write_names(out, "not a log file", status.foreign_files);
}

void write_attention(FILE* out, const std::vector<std::string>& items) {
  if (items.empty()) {
    std::fprintf(out, "\nNothing needs attention.\n");
    return;
  }
  std::fprintf(out, "\nNeeds attention (%zu)\n", items.size());
  for (const std::string& item : items) std::fprintf(out, "  %s\n", item.c_str());
}

// Gauges: one family, its HELP and TYPE, then its samples.
void family(FILE* out, const char* name, const char* help) {
  std::fprintf(out, "# HELP meterscribe_%s %s\n# TYPE meterscribe_%s gauge\n", name, help, name);
}

void gauge(FILE* out, const char* name, const char* help, const std::string& value) {
  family(out, name, help);
  std::fprintf(out, "meterscribe_%s %s\n", name, value.c_str());
}

std::string number(std::int64_t value) { return std::to_string(value); }
std::string flag(bool value) { return value ? "1" : "0"; }
std::string known(bool is_known, std::int64_t value) { return is_known ? number(value) : "NaN"; }

// A share in whole hundredths, as the daemon measures storage use.
std::string hundredths(std::uint64_t percent) {
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%llu.%02llu", static_cast<unsigned long long>(percent / 100),
                static_cast<unsigned long long>(percent % 100));
  return text.data();
}

void write_build_info(FILE* out) {
  family(out, "build_info", "Always 1; the version of meterscribe-status that wrote these gauges.");
  std::fprintf(out, "meterscribe_build_info{version=\"%s\"} 1\n", METERSCRIBE_VERSION);
}

void write_daemon_gauges(FILE* out, const GatewayStatus& status) {
  LockState lock = status.lock.lock.state;
  gauge(out, "daemon_running", "1 when a live process holds the lock of the daemon's serial device.",
        flag(lock == LockState::held || lock == LockState::being_written));
  gauge(out, "lock_stale", "1 when the device's lock names no live process.", flag(lock_is_taken_over(lock)));
  gauge(out, "log_dir_open", "1 when the log directory opens as the daemon opens it.", flag(status.storage.opened));
  gauge(out, "storage_on_card", "1 when the logs go to the memory card, 0 for volatile storage.",
        flag(status.storage.on_card));
  gauge(out, "storage_use_ratio",
        "Use of the log storage, 0 to 1, in the whole percents the daemon measures (NaN when unknown).",
        status.storage.use_known ? hundredths(status.storage.use_percent) : "NaN");
  gauge(out, "trim_threshold_ratio", "Storage use ratio at which a failed send trims released files.",
        hundredths(TRIM_THRESHOLD_PERCENT));
}

void write_file_gauges(FILE* out, const GatewayStatus& status) {
  std::uint64_t waiting_bytes = 0;
  for (const FileFigure& file : status.waiting) waiting_bytes += file.bytes;
  bool waiting = !status.waiting.empty();
  gauge(out, "current_file_begin_timestamp_seconds",
        "Unix time the current log file was begun, from its name (NaN without one).",
        known(status.has_current, status.current.begun));
  gauge(out, "current_file_bytes", "Size of the current log file.", number(static_cast<std::int64_t>(status.current.bytes)));
  gauge(out, "waiting_files", "Log files older than the current one: released and not yet uploaded.",
        number(static_cast<std::int64_t>(status.waiting.size())));
  gauge(out, "waiting_bytes", "Bytes in the log files waiting for upload.", number(static_cast<std::int64_t>(waiting_bytes)));
  gauge(out, "oldest_waiting_begin_timestamp_seconds",
        "Unix time the oldest waiting log file was begun, from its name (NaN without one).",
        known(waiting, waiting ? status.waiting.front().begun : 0));
  gauge(out, "uploads_failing", "1 when the oldest waiting file is more than one send period past its release.",
        flag(status.uploads_failing));
  gauge(out, "interrupted_cuts", "Leftover .tmp files of interrupted head cuts.",
        number(static_cast<std::int64_t>(status.interrupted_cuts.size())));
  gauge(out, "future_files", "Log files named after a time later than now.",
        number(static_cast<std::int64_t>(status.future_files.size())));
  gauge(out, "foreign_files", "Regular files in the log directory that are no log files.",
        number(static_cast<std::int64_t>(status.foreign_files.size())));
}

// Lines of the meter against the poll cycles that the lines of all meters
// show in the hour; NaN when no meter logged a line in it.
std::string answer_ratio(const GatewayStatus& status, const MeterFigure& meter) {
  if (status.hour_cycles == 0) return "NaN";
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%.4f", static_cast<double>(meter.hour_lines) / status.hour_cycles);
  return text.data();
}

// One sample per polled meter, labelled with its slot (1 to 10) and its
// Modbus address.
void meter_family(FILE* out, const GatewayStatus& status, const char* name, const char* help,
                  const std::function<std::string(const MeterFigure&)>& value) {
  family(out, name, help);
  for (std::size_t i = 0; i < status.meters.size(); ++i)
    std::fprintf(out, "meterscribe_%s{meter=\"%zu\",slave=\"%u\"} %s\n", name, i + 1, status.meters[i].slave,
                 value(status.meters[i]).c_str());
}

void write_meter_gauges(FILE* out, const GatewayStatus& status) {
  meter_family(out, status, "meter_last_line_timestamp_seconds",
               "Unix time of the meter's newest logged line (NaN when none was found).",
               [](const MeterFigure& meter) { return known(meter.seen, meter.last); });
  meter_family(out, status, "meter_silent", "1 when the meter has logged no line for several poll cycles.",
               [](const MeterFigure& meter) { return flag(meter.silent); });
  meter_family(out, status, "meter_answer_ratio",
               "The meter's logged lines in the last hour divided by the poll cycles seen in the lines of all "
               "meters in that hour (a new cycle at each line whose meter is not after the one before); cycles "
               "in which no meter answered leave no line, so this is an upper bound. NaN when no meter logged "
               "a line in the hour.",
               [&status](const MeterFigure& meter) { return answer_ratio(status, meter); });
  gauge(out, "silent_after_seconds", "Seconds without a line after which a meter counts as silent.",
        number(status.timing.silent_after_s));
}

}  // namespace

std::vector<std::string> attention_items(const GatewayStatus& status) {
  std::vector<std::string> items;
  add_lock_items(status.lock, items);
  add_storage_items(status.storage, items);
  add_file_items(status, items);
  add_meter_items(status, items);
  return items;
}

void write_text(FILE* out, const GatewayStatus& status) {
  std::fprintf(out, "meterscribe-status at %s, settings %s\n\n", local_time(status.now).c_str(),
               printable(status.settings_path).c_str());
  write_daemon(out, status.lock);
  write_storage(out, status.storage);
  if (status.storage.opened) {
    write_current(out, status);
    write_waiting(out, status);
  }
  write_meters(out, status);
  write_other_files(out, status);
  write_attention(out, attention_items(status));
}

void write_prometheus(FILE* out, const GatewayStatus& status) {
  write_build_info(out);
  write_daemon_gauges(out, status);
  write_file_gauges(out, status);
  write_meter_gauges(out, status);
  gauge(out, "attention", "1 when anything needs a person (meterscribe-status exits 1).",
        flag(!attention_items(status).empty()));
}
