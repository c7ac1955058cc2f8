// The time of a log line: the gateway's local wall-clock time as the daemon
// wrote it ("YYYY-MM-DD-hh-mm-ss"), placed on the time line with the zone
// the tool runs in (TZ, as on the gateway).
//
// Local time is not always one instant. In the hour that is repeated when
// daylight saving ends, the earlier instant is taken: the one still on
// daylight-saving time. A time in the hour that is skipped when daylight
// saving begins cannot have been read off a correct clock; it is taken as
// if the clock had not yet been put forward, with the offset before the
// change.
#pragma once

#include <cstdint>

struct LogInstant {
  std::int64_t seconds;  // since the epoch
  long utc_offset;       // seconds east of UTC taken for the logged time
};

// False when the text is no calendar time (month 13, hour 24, ...).
bool resolve_log_time(const char* logged, LogInstant& instant);

constexpr unsigned ISO_TIME_SIZE = 32;

// ISO 8601: the logged digits with the offset taken,
// "2024-03-05T14:07:09+01:00", or the instant in UTC,
// "2024-03-05T13:07:09Z".
void format_iso_time(const char* logged, const LogInstant& instant, bool utc, char (&text)[ISO_TIME_SIZE]);
