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
#include <string>

struct LogInstant {
  std::int64_t seconds;  // since the epoch
  long utc_offset;       // seconds east of UTC taken for the logged time
};

// False when the text is no calendar time (month 13, hour 24, ...). Any
// year from 0000 to 9999 is one: the time line is 64 bits wide, before
// 1970 as after it.
bool resolve_log_time(const char* logged, LogInstant& instant);

constexpr unsigned ISO_TIME_SIZE = 32;

// ISO 8601: the logged digits with the offset taken,
// "2024-03-05T14:07:09+01:00", or the instant in UTC,
// "2024-03-05T13:07:09Z". Years have four digits at least, and count as
// ISO 8601 does: the year before 0001 is 0000.
void format_iso_time(const char* logged, const LogInstant& instant, bool utc, char (&text)[ISO_TIME_SIZE]);

// The instant in UTC as PostgreSQL reads a timestamptz: "0998-01-01
// 00:06:32+00". PostgreSQL has no year 0000: the years before 0001 are
// written "0001 ... BC", "0002 ... BC", and so on.
void format_database_time(std::int64_t seconds, char (&text)[ISO_TIME_SIZE]);

// Whether the C library places times with `zone` (a TZ value) as the zone
// it names. It takes TZ as a file of the zoneinfo directory (TZDIR, else
// /usr/share/zoneinfo; a leading ':' asks for the file alone) and, when
// there is none, reads it as a POSIX rule such as
// "CET-1CEST,M3.5.0,M10.5.0/3"; what is neither, a misspelt name or an
// empty text, it takes as UTC without a word, and every logged time would
// be placed wrongly. So a zone counts when it is a compiled zone file (they
// begin "TZif") or a whole rule.
bool known_zone(const std::string& zone);
