#include "log_time.h"

#include <sys/stat.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "sys/unique_file.h"

namespace {

constexpr std::int64_t DAY = 86400;

// Two digits at a time; the caller's text has passed parse_log_line.
int number_at(const char* text, unsigned at, unsigned digits) {
  int value = 0;
  for (unsigned i = 0; i < digits; ++i) value = value * 10 + (text[at + i] - '0');
  return value;
}

// The zone's offset from UTC at an instant.
long offset_at(std::int64_t seconds) {
  auto time = static_cast<time_t>(seconds);
  tm local{};
  if (localtime_r(&time, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

// The calendar fields of an instant in UTC; strftime's %Y would write
// year 998 as "998".
tm utc_fields(std::int64_t seconds) {
  auto time = static_cast<time_t>(seconds);
  tm fields{};
  gmtime_r(&time, &fields);
  return fields;
}

// A year of a log line's instant has at most five digits (9999 and a day).
unsigned year_digits(long long year) { return static_cast<unsigned>(year % 100000); }

// "MM-DD" and "hh:mm:ss", each field two digits.
std::array<char, 8> date_text(const tm& fields) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "%02u-%02u", static_cast<unsigned>(fields.tm_mon + 1) % 100,
                static_cast<unsigned>(fields.tm_mday) % 100);
  return text;
}

std::array<char, 12> clock_text(const tm& fields) {
  std::array<char, 12> text{};
  std::snprintf(text.data(), text.size(), "%02u:%02u:%02u", static_cast<unsigned>(fields.tm_hour) % 100,
                static_cast<unsigned>(fields.tm_min) % 100, static_cast<unsigned>(fields.tm_sec) % 100);
  return text;
}

bool zone_file(const std::string& name) {
  const char* directory = std::getenv("TZDIR");
  if (directory == nullptr) directory = "/usr/share/zoneinfo";
  std::string path = name[0] == '/' ? name : std::string(directory) + "/" + name;
  // Only a regular file is opened: a FIFO or a terminal named as a zone
  // would block, and opening a device can act on it.
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  unique_file file(std::fopen(path.c_str(), "rbe"));
  char magic[4] = {};
  return file && std::fread(magic, sizeof magic, 1, file.get()) == 1 && std::memcmp(magic, "TZif", sizeof magic) == 0;
}

// The parts of a POSIX zone rule, each advancing `at` past what it read.
// A zone's abbreviation: three or more letters, or "<...>" with digits and
// signs allowed inside.
bool rule_name(const char*& at) {
  const char* start = at;
  if (*at == '<') {
    while (std::isalnum(static_cast<unsigned char>(*++at)) || *at == '+' || *at == '-') {}
    return *at++ == '>' && at - start >= 5;
  }
  while (std::isalpha(static_cast<unsigned char>(*at))) ++at;
  return at - start >= 3;
}

// Up to `digits` digits, at most `high`.
bool rule_number(const char*& at, unsigned digits, unsigned high) {
  unsigned value = 0;
  unsigned count = 0;
  for (; count < digits && std::isdigit(static_cast<unsigned char>(*at)); ++count) value = value * 10 + static_cast<unsigned>(*at++ - '0');
  return count > 0 && value <= high;
}

// [+-]hh[:mm[:ss]]: an offset, or the time of day of a change (up to 167
// hours, as the rules of recent zone files say).
bool rule_time(const char*& at, unsigned high_hours) {
  if (*at == '+' || *at == '-') ++at;
  if (!rule_number(at, 3, high_hours)) return false;
  for (int part = 0; part < 2 && *at == ':'; ++part)
    if (!rule_number(++at, 2, 59)) return false;
  return true;
}

// Jn, n or Mm.w.d, with an optional /time.
bool rule_date(const char*& at) {
  bool date = false;
  if (*at == 'J')
    date = rule_number(++at, 3, 365);
  else if (*at == 'M')
    date = rule_number(++at, 2, 12) && *at == '.' && rule_number(++at, 1, 5) && *at == '.' && rule_number(++at, 1, 6);
  else
    date = rule_number(at, 3, 365);
  return date && (*at != '/' || rule_time(++at, 167));
}

// std offset [dst [offset] [,start,end]], and nothing after it.
bool zone_rule(const char* at) {
  if (!rule_name(at) || !rule_time(at, 24)) return false;
  if (*at == '\0') return true;
  if (!rule_name(at)) return false;
  if (*at != ',' && *at != '\0' && !rule_time(at, 24)) return false;
  if (*at == ',' && !(rule_date(++at) && *at == ',' && rule_date(++at))) return false;
  return *at == '\0';
}

}  // namespace

bool known_zone(const std::string& zone) {
  if (zone.empty()) return false;
  if (zone[0] == ':') return zone.size() > 1 && zone_file(zone.substr(1));
  return zone_file(zone) || zone_rule(zone.c_str());
}

bool resolve_log_time(const char* logged, LogInstant& instant) {
  tm fields{};
  fields.tm_year = number_at(logged, 0, 4) - 1900;
  fields.tm_mon = number_at(logged, 5, 2) - 1;
  fields.tm_mday = number_at(logged, 8, 2);
  fields.tm_hour = number_at(logged, 11, 2);
  fields.tm_min = number_at(logged, 14, 2);
  fields.tm_sec = number_at(logged, 17, 2);
  tm check = fields;
  // The wall-clock reading counted as if it were UTC; timegm normalises
  // what is out of range, so a field that moved was no calendar time.
  time_t wall = timegm(&check);
  if (check.tm_mon != fields.tm_mon || check.tm_mday != fields.tm_mday || check.tm_hour != fields.tm_hour ||
      check.tm_min != fields.tm_min || check.tm_sec != fields.tm_sec)
    return false;
  // The offsets a day before and a day after cover any one change of the
  // clock; an offset fits when the instant it gives has that offset.
  long before = offset_at(wall - DAY);
  long after = offset_at(wall + DAY);
  bool found = false;
  for (long offset : {before, after}) {
    std::int64_t candidate = wall - offset;
    if (offset_at(candidate) != offset || (found && candidate >= instant.seconds)) continue;
    instant = {candidate, offset};
    found = true;
  }
  if (!found) instant = {wall - before, before};  // the skipped hour
  return true;
}

void format_iso_time(const char* logged, const LogInstant& instant, bool utc, char (&text)[ISO_TIME_SIZE]) {
  if (utc) {
    tm fields = utc_fields(instant.seconds);
    long long year = fields.tm_year + 1900LL;
    std::snprintf(text, sizeof text, "%s%04u-%sT%sZ", year < 0 ? "-" : "", year_digits(year < 0 ? -year : year),
                  date_text(fields).data(), clock_text(fields).data());
    return;
  }
  long offset = std::labs(instant.utc_offset);
  char sign = instant.utc_offset < 0 ? '-' : '+';
  int written = std::snprintf(text, sizeof text, "%.10sT%.2s:%.2s:%.2s%c%02ld:%02ld", logged, logged + 11,
                              logged + 14, logged + 17, sign, offset / 3600, offset / 60 % 60);
  // Offsets of whole minutes are all ISO 8601 can say; older local mean
  // times had seconds too.
  if (offset % 60 != 0 && written > 0)
    std::snprintf(text + written, sizeof text - static_cast<unsigned>(written), ":%02ld", offset % 60);
}

void format_database_time(std::int64_t seconds, char (&text)[ISO_TIME_SIZE]) {
  tm fields = utc_fields(seconds);
  long long year = fields.tm_year + 1900LL;
  std::snprintf(text, sizeof text, "%04u-%s %s+00%s", year_digits(year > 0 ? year : 1 - year),
                date_text(fields).data(), clock_text(fields).data(), year > 0 ? "" : " BC");
}
