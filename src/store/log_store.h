// The log files: one text line per valid response, in files named after
// the local time at which they were begun ("log-YYYY-MM-DD-hh-mm-ss"), so
// that the byte order of names is their order in time.
//
// A file stays current until it is send_period minutes old; the next line
// after that releases it for upload (its name goes into ready_name) and
// begins a new file. Lines never go into a released file: the upload thread
// and the storage trimming own every file at or before ready_name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "modbus/rtu_frame.h"
#include "store/log_dir.h"
#include "store/release.h"

// The longest line the daemon writes, its newline included: the header
// "m%i:" + the time + ':' (27 characters for the ten meters, 32 allowed),
// "%02x " for each of at most RESPONSE_MAX received bytes, and the newline
// (with a byte to spare); the received bytes are cut rather than let a line
// grow past it. Every byte of a log file lies in a line no longer than
// this, so a line end follows any offset within LOG_LINE_MAX bytes.
constexpr std::size_t LOG_LINE_MAX = 32 + 3 * RESPONSE_MAX + 2;

// What the polling thread writes with: the log directory, the released
// name it publishes to, and the age at which a file is released. The
// polling thread is the only writer of the released name, so it keeps its
// own copy and takes ready_lock only to publish: a trim that holds the lock
// for minutes stops polling only when a release falls due meanwhile.
struct LogStore {
  LogDir* dir;  // the polling thread's own hold on the log directory
  ReleasedName* release;
  std::uint32_t send_period;  // minutes
  // The last name published, always a log name, for only the newest log
  // file is ever released; "" until then.
  LogName released;
};

// Appends one line for the meter (0-based index) holding every received
// byte as "%02x ", choosing the current file and releasing the previous one
// when it is due. The released name never moves backwards. Failures are
// logged; the line is then lost, never torn. The clock is read for the
// choice and again for the line's header, the time it is written.
void append_log_line(LogStore& store, unsigned meter_index, const std::uint8_t* bytes, std::size_t count);

// The same at a given time, for the choice and the header alike (for tests
// and tools that replay the clock).
void append_log_line_at(LogStore& store, unsigned meter_index, const std::uint8_t* bytes, std::size_t count,
                        std::time_t now);

// "log-%04u-%02u-%02u-%02u-%02u-%02u" of the local time.
void format_log_name(char (&name)[LOG_NAME_SIZE], std::time_t when);

// A log file named more than this after the clock was not begun by it: the
// name was planted, or the clock has gone back by more than a day.
constexpr std::time_t CURRENT_AHEAD_MAX_S = std::time_t{24} * 60 * 60;

// The newest log file that may take a line written at `now`, or "" when
// there is none: a name of a calendar time (is_log_time_name) no more than
// CURRENT_AHEAD_MAX_S after now. Any other file of the log form is never
// written, and so never released.
void newest_writable_log_name(const LogDir& dir, std::time_t now, LogName& newest);

// Whether a file of this log-form name may take lines at `now`, by the same
// rule.
bool is_writable_log_name(const char* name, std::time_t now);

// The name of the file that is due for release when a line is written at
// `now`: the log name of now minus send_period minutes, the product taken
// as an unsigned 32-bit number, and now itself when now is not past it.
void format_release_cutoff(char (&name)[LOG_NAME_SIZE], std::time_t now, std::uint32_t send_period);
