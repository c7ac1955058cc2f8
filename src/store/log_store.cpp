#include "store/log_store.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "modbus/rtu_frame.h"
#include "sys/log.h"
#include "sys/unique_fd.h"

namespace {

// No line grows past it: the bytes stop where the newline would not fit.
constexpr std::size_t LINE_SIZE = LOG_LINE_MAX;

// Longest "YYYY-MM-DD-hh-mm-ss" text: six fields of up to ten digits each.
constexpr std::size_t TIME_TEXT_MAX = 6 * 10 + 5;

// Writes value in decimal with at least min_digits digits, as "%0Nu" does.
char* put_decimal(char* out, unsigned value, unsigned min_digits) {
  char digits[10];
  unsigned count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (min_digits > count) {
    *out++ = '0';
    --min_digits;
  }
  while (count > 0) *out++ = digits[--count];
  return out;
}

// "%04u-%02u-%02u-%02u-%02u-%02u" of broken-down time, without the NUL;
// returns the length. Written by hand: it runs for every line, and printf
// spends several thousand instructions on the six fields.
std::size_t format_fields(char (&out)[TIME_TEXT_MAX], const struct tm& time) {
  const unsigned fields[] = {static_cast<unsigned>(time.tm_year + 1900), static_cast<unsigned>(time.tm_mon + 1),
                             static_cast<unsigned>(time.tm_mday), static_cast<unsigned>(time.tm_hour),
                             static_cast<unsigned>(time.tm_min), static_cast<unsigned>(time.tm_sec)};
  char* end = put_decimal(out, fields[0], 4);
  for (std::size_t i = 1; i < 6; ++i) {
    *end++ = '-';
    end = put_decimal(end, fields[i], 2);
  }
  return static_cast<std::size_t>(end - out);
}

// The same of the local time.
std::size_t format_time_text(char (&out)[TIME_TEXT_MAX], std::time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  return format_fields(out, local);
}

// Copies prefix and text into out, cut to size - 1 characters and ended
// with a NUL, as snprintf would; returns the length written.
std::size_t put_cut(char* out, std::size_t size, const char* prefix, std::size_t prefix_length, const char* text,
                    std::size_t text_length) {
  std::size_t head = std::min(prefix_length, size - 1);
  std::memcpy(out, prefix, head);
  std::size_t tail = std::min(text_length, size - 1 - head);
  std::memcpy(out + head, text, tail);
  out[head + tail] = '\0';
  return head + tail;
}

// "log-" and the fields, cut to a log name's buffer.
void put_log_name(char (&name)[LOG_NAME_SIZE], const struct tm& time) {
  char time_text[TIME_TEXT_MAX];
  std::size_t length = format_fields(time_text, time);
  put_cut(name, LOG_NAME_SIZE, "log-", 4, time_text, length);
}

// The name one second after a log name, calendar-wise; the fields are taken
// as they stand, so no time zone or daylight-saving rule can move them.
void name_after(const char* log_name, LogName& next) {
  struct tm fields {};
  // Only called with names that passed is_log_name: six fields of digits.
  // NOLINTNEXTLINE(cert-err33-c,cert-err34-c)
  std::sscanf(log_name, "log-%4d-%2d-%2d-%2d-%2d-%2d", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
              &fields.tm_hour, &fields.tm_min, &fields.tm_sec);
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  std::time_t when = timegm(&fields) + 1;
  gmtime_r(&when, &fields);
  put_log_name(next, fields);
}

// The newest log file when it may still take lines: it names a real time,
// not far ahead of the clock, and sorts after the released name. A file at
// or before that name was released already; lines never go into it, and
// releasing it again would move the name backwards. "" when there is none.
void find_current_file(const LogStore& store, std::time_t now, LogName& current) {
  newest_writable_log_name(*store.dir, now, current);
  if (current[0] != '\0' && std::strcmp(current, store.released) <= 0) current[0] = '\0';
}

// Releases the current file when a line written at `now` finds it old
// enough: its name sorts before the cutoff. Returns whether it did.
bool release_when_due(LogStore& store, const LogName& current, std::time_t now) {
  LogName cutoff;
  format_release_cutoff(cutoff, now, store.send_period);
  if (std::strcmp(current, cutoff) >= 0) return false;
  std::memcpy(store.released, current, LOG_NAME_SIZE);
  release_publish(*store.release, current);
  return true;
}

// The name of a new file begun at `now`, never at or before the released
// name (including one released for this very line): when local time has
// gone back (the clock set back, or the hour that repeats in autumn) the
// new name goes one second past the released one.
void name_new_file(const LogStore& store, std::time_t now, LogName& chosen) {
  format_log_name(chosen, now);
  if (std::strcmp(chosen, store.released) <= 0 && is_log_name(store.released)) name_after(store.released, chosen);
}

// Chooses the file for a line written at `now`: the current file while it
// is young, else a new one, after releasing the current file when it is due.
void choose_log_file(LogStore& store, std::time_t now, LogName& chosen) {
  LogName current;
  find_current_file(store, now, current);
  if (current[0] != '\0' && !release_when_due(store, current, now)) {
    std::memcpy(chosen, current, LOG_NAME_SIZE);
    return;
  }
  name_new_file(store, now, chosen);
}

std::size_t compose_line(std::array<char, LINE_SIZE>& line, unsigned meter_index, const std::uint8_t* bytes,
                         std::size_t count, std::time_t now) {
  // The header "m%i:" + the time (at most 23 characters) + ':' always fits.
  char* cursor = line.data();
  *cursor++ = 'm';
  int index = static_cast<int>(meter_index);
  if (index < 0) *cursor++ = '-';
  cursor = put_decimal(cursor, index < 0 ? 0u - meter_index : meter_index, 1);
  *cursor++ = ':';
  char time_text[TIME_TEXT_MAX];
  std::size_t time_length = std::min<std::size_t>(format_time_text(time_text, now), 23);
  std::memcpy(cursor, time_text, time_length);
  cursor += time_length;
  *cursor++ = ':';
  std::size_t length = static_cast<std::size_t>(cursor - line.data());
  static constexpr char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < count && length + 4 <= line.size(); ++i) {
    line[length++] = hex[bytes[i] >> 4];
    line[length++] = hex[bytes[i] & 0x0F];
    line[length++] = ' ';
  }
  line[length++] = '\n';
  return length;
}

// One write of the whole line to a file opened for appending. Anything
// short of the whole line is cut away again, so the next line never glues
// onto a torn one.
void write_line(const LogDir& dir, const char* name, const char* line, std::size_t length) {
  unique_fd file = log_dir_open_append(dir, name);
  if (!file.valid()) {
    log_msg(LOG_NOTICE, "Can not create file");
    return;
  }
  // The length before the write is what a failed write is cut back to;
  // unknown, it would be 0 and cost every line of the file, so the line
  // is lost instead.
  struct stat before {};
  if (fstat(file.get(), &before) != 0) {
    log_msg(LOG_NOTICE, "Can not write into file");
    return;
  }
  ssize_t written = write(file.get(), line, length);
  if (written != static_cast<ssize_t>(length)) {
    if (ftruncate(file.get(), before.st_size) != 0) { /* the close below may still succeed */ }
    log_msg(LOG_NOTICE, "Can not write into file");
    return;
  }
  // Some file systems report a failed write-back only at close.
  if (close(file.release()) != 0) {
    if (!log_dir_truncate(dir, name, before.st_size)) { /* nothing more can be done */ }
    log_msg(LOG_NOTICE, "Can not write into file");
  }
}

// The line with its header at `written_at`, appended to the chosen file.
void write_line_at(const LogStore& store, const LogName& chosen, unsigned meter_index, const std::uint8_t* bytes,
                   std::size_t count, std::time_t written_at) {
  std::array<char, LINE_SIZE> line;
  std::size_t line_length = compose_line(line, meter_index, bytes, count, written_at);
  write_line(*store.dir, chosen, line.data(), line_length);
}

}  // namespace

void format_log_name(char (&name)[LOG_NAME_SIZE], std::time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  put_log_name(name, local);
}

namespace {

// The latest name a file that takes lines at `now` may carry.
void format_latest_writable(LogName& latest, std::time_t now) { format_log_name(latest, now + CURRENT_AHEAD_MAX_S); }

}  // namespace

void newest_writable_log_name(const LogDir& dir, std::time_t now, LogName& newest) {
  LogName latest;
  format_latest_writable(latest, now);
  log_dir_newest_log_name(dir, newest, latest);
}

bool is_writable_log_name(const char* name, std::time_t now) {
  LogName latest;
  format_latest_writable(latest, now);
  return is_log_time_name(name) && std::strcmp(name, latest) <= 0;
}

void format_release_cutoff(char (&name)[LOG_NAME_SIZE], std::time_t now, std::uint32_t send_period) {
  std::uint32_t age = 60u * send_period;  // wraps as an unsigned 32-bit product
  std::time_t cutoff = now > static_cast<std::time_t>(age) ? now - static_cast<std::time_t>(age) : now;
  format_log_name(name, cutoff);
}

void append_log_line_at(LogStore& store, unsigned meter_index, const std::uint8_t* bytes, std::size_t count,
                        std::time_t now) {
  LogName chosen;
  choose_log_file(store, now, chosen);
  write_line_at(store, chosen, meter_index, bytes, count, now);
}

void append_log_line(LogStore& store, unsigned meter_index, const std::uint8_t* bytes, std::size_t count) {
  LogName chosen;
  choose_log_file(store, std::time(nullptr), chosen);
  // The header says when the line was written, so the clock is read again:
  // a release may have waited for a trim to let go of the lock. The file's
  // name and the header can then differ.
  write_line_at(store, chosen, meter_index, bytes, count, std::time(nullptr));
}
