// What the gateway's disk says about the daemon: its lock, its storage, its
// log files and the last line of each meter. Gathered with the daemon's own
// code (settings reader, log directory, storage measurement, release
// cut-off), never by asking the daemon.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "modbus/device_lock.h"

struct LockFigures {
  std::string path;    // the rooted UUCP lock of the device; empty when its name is too long
  std::string device;  // "/dev/<DEVICE>"
  LockJudgement lock;  // judged as the daemon judges it at start-up
  std::string command;  // the live owner's process name, when known
};

struct StorageFigures {
  bool on_card = false;
  std::string log_dir;
  bool opened = false;
  std::string why_not;  // when not opened
  bool use_known = false;
  std::uint64_t use_percent = 0;
  bool off_ram = false;  // volatile storage on a file system that is not in RAM
};

// What status says of volatile storage that is not in RAM.
constexpr const char* OFF_RAM_WARNING =
    "volatile storage is not on a RAM file system (tmpfs or ramfs): the logs go to flash and its use is not RAM's; "
    "var-meterscribe-voldata.mount puts a tmpfs there";

struct FileFigure {
  std::string name;
  std::uint64_t bytes = 0;
  std::time_t begun = 0;  // the local time its name stands for
};

struct MeterFigure {
  bool seen = false;        // a line was found in the files read
  std::time_t last = 0;     // the time of its newest line
  bool silent = false;
  std::uint32_t slave = 0;       // its Modbus address, from the settings
  std::uint32_t hour_lines = 0;  // its lines in the hour before now
};

struct Timing {
  std::uint32_t send_period_min = 0;  // SEND_PERIOD as the daemon reads it
  std::uint32_t send_period_s = 0;
  std::uint32_t cycle_s = 0;          // the longest a poll cycle takes
  std::uint32_t silent_after_s = 0;   // no line for longer: the meter is silent
  std::uint32_t upload_grace_s = 0;   // a waiting file older than release + this: uploads fail
};

struct GatewayStatus {
  std::time_t now = 0;
  std::string settings_path;
  Timing timing;
  LockFigures lock;
  StorageFigures storage;
  bool has_current = false;
  FileFigure current;
  bool current_due = false;  // the next line releases it
  std::vector<FileFigure> waiting;  // every log file older than the current one, oldest first
  bool uploads_failing = false;
  std::vector<std::string> interrupted_cuts;  // "log-X.tmp" left by a head cut
  std::vector<std::string> future_files;      // log names later than now
  std::vector<std::string> planted_files;     // log-form names the daemon never writes: no time, or over a day ahead
  std::vector<std::string> foreign_files;     // regular files of no log form
  std::string listing_cut_short;              // why the directory was not read to its end; "" when it was
  std::vector<MeterFigure> meters;            // one per polled meter
  unsigned files_scanned = 0;                 // for the last lines
  std::uint32_t hour_cycles = 0;              // poll cycles seen in the lines of the hour before now
};

// Seconds the daemon may take beyond the nominal figures before something
// counts as wrong: a line written late because a trim held up a release,
// a send pass that takes a while.
constexpr std::uint32_t SILENCE_MARGIN_S = 30;
constexpr std::uint32_t UPLOAD_MARGIN_S = 120;
constexpr std::uint32_t SILENT_CYCLES = 3;

// Surveys the gateway as it stands at `now`, reading the settings at
// `settings_path` with the daemon's reader. False, with `why` set, when the
// settings file cannot be read at all.
bool survey_gateway(const char* settings_path, std::time_t now, GatewayStatus& status, std::string& why);

// The instant a log name ("log-" and a line's time) stands for, placed
// as meterscribe-decode places a line's time; 0 for anything else.
std::time_t log_name_time(const char* name);
