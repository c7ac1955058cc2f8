// Fuzzes one line of a delivered log file as meterscribe-decode and the
// ingest read it: parse_log_line, check_logged_response,
// check_against_meter, record_head, the time texts and line_values, with a
// meter table (and sometimes a register map) taken from the input's head.
// The line is the rest of the input, either as it is or, to reach the
// decoding, laid out in the daemon's form from a meter index, time digits
// and response bytes whose CRC is made right.
//
// Checked for every line:
// - a line that parses holds only the characters of the line form, and
//   writing its parts back in the daemon's form gives the line again (but
//   for leading zeros of the meter index); every byte counts, NULs too;
// - a refused line has a reason, a terminated text;
// - a response that passes its checks has a matching CRC (a bitwise
//   CRC-16, independent of the table) and a byte count that fits;
// - record_head succeeds exactly for a calendar time (an independent
//   check), the instant lies within a day of the wall-clock time counted
//   as UTC, the times have their fixed forms, and the nanoseconds fit
//   exactly when the instant times 10^9 fits 64 bits;
// - line_values hands on no more values than the line has registers or
//   coils, each with its texts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "log_line.h"
#include "log_time.h"
#include "record.h"
#include "register_map.h"
#include "support/crc16_reference.h"
#include "values.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "log_line_fuzz: %s\n", what);
  std::abort();
}

// Values of meters 1 to 3 in each type and order, some of them past the
// registers a meter reads.
const char* const MAP_TEXT =
    "1 0 a u16 ABCD 1 V\n1 1 b s32 CDAB 0.1 kW\n1 3 c float64 DCBA 1 -\n2 4 0 d float32 BADC 2 A\n"
    "3 0x10 e u64 ABCD 1e-3 Wh\n3 3 17 f s64 BADC -1 -\n";

RegisterMap the_map;

bool line_form_character(char c) {
  return c == 'm' || c == ':' || c == '-' || c == ' ' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

MeterTable decode_table(FuzzedDataProvider& input) {
  MeterTable table{};
  table.count = input.ConsumeIntegralInRange<unsigned>(0, 10);
  const std::uint32_t functions[] = {1, 3, 4, 2, 0x103};
  for (unsigned i = 0; i < table.count; ++i) {
    MeterConfig& meter = table.meters[i];
    meter.addr = input.ConsumeIntegral<std::uint8_t>();
    meter.func = functions[input.ConsumeIntegralInRange<unsigned>(0, 4)];
    meter.start = input.ConsumeIntegral<std::uint32_t>();
    meter.reg_count = input.ConsumeIntegralInRange<std::uint32_t>(0, 130);
    meter.bin_count = input.ConsumeIntegralInRange<std::uint32_t>(0, 2100);
  }
  return table;
}

// A line in the daemon's form from the input: meter index, time digits,
// response bytes; the CRC made right most of the time.
std::string laid_out_line(FuzzedDataProvider& input) {
  unsigned index = input.ConsumeIntegralInRange<unsigned>(0, 11);
  char time[LOG_TIME_LEN + 1];
  std::snprintf(time, sizeof time, "%04u-%02u-%02u-%02u-%02u-%02u", input.ConsumeIntegralInRange<unsigned>(0, 9999),
                input.ConsumeIntegralInRange<unsigned>(0, 13), input.ConsumeIntegralInRange<unsigned>(0, 32),
                input.ConsumeIntegralInRange<unsigned>(0, 25), input.ConsumeIntegralInRange<unsigned>(0, 61),
                input.ConsumeIntegralInRange<unsigned>(0, 61));
  bool fix_crc = input.ConsumeIntegralInRange<unsigned>(0, 7) != 0;
  std::string bytes = input.ConsumeRandomLengthString(RESPONSE_MAX);
  if (fix_crc && bytes.size() >= 2) {
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    std::uint16_t crc = crc16_reference(data, bytes.size() - 2);
    data[bytes.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
    data[bytes.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
  }
  std::string line = "m" + std::to_string(index) + ":" + time + ":";
  char hex[4];
  for (char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x ", static_cast<unsigned char>(byte));
    line += hex;
  }
  return line;
}

void check_parsed(std::string_view text, const LogLine& line) {
  for (char c : text) check(line_form_character(c), "a line with a character outside the line form parsed");
  std::string again = ":" + std::string(line.time) + ":";
  char hex[4];
  for (unsigned i = 0; i < line.count; ++i) {
    std::snprintf(hex, sizeof hex, "%02x ", line.bytes[i]);
    again += hex;
  }
  check(line.meter_index < 10, "a meter index beyond the ten slots parsed");
  check(text.substr(text.find(':')) == again, "a parsed line does not read back as itself");
}

long long digits_at(const char* text, unsigned at, unsigned digits) {
  return std::strtoll(std::string(text + at, digits).c_str(), nullptr, 10);
}

bool leap_year(long long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The calendar check on its own: month 1 to 12, the month's days, a time
// of day below 24:00:00.
bool calendar_time(const char* time) {
  auto field = [time](unsigned at, unsigned digits) { return digits_at(time, at, digits); };
  long long year = field(0, 4), month = field(5, 2), day = field(8, 2);
  const long long days[] = {31, leap_year(year) ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] && field(11, 2) < 24 && field(14, 2) < 60 &&
         field(17, 2) < 60;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long days_from_civil(long long year, long long month, long long day) {
  year -= month <= 2;
  long long era = (year >= 0 ? year : year - 399) / 400;
  long long of_era = year - era * 400;
  long long of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  long long of_era_day = of_era * 365 + of_era / 4 - of_era / 100 + of_year;
  return era * 146097 + of_era_day - 719468;
}

void check_time(const LogLine& line, bool utc) {
  RecordHead head{};
  bool placed = record_head(line, utc, head);
  check(placed == calendar_time(line.time), "record_head and the calendar disagree");
  if (!placed) return;
  auto field = [&line](unsigned at, unsigned digits) { return digits_at(line.time, at, digits); };
  long long wall = days_from_civil(field(0, 4), field(5, 2), field(8, 2)) * 86400 + field(11, 2) * 3600 +
                   field(14, 2) * 60 + field(17, 2);
  check(head.seconds - wall <= 86400 && wall - head.seconds <= 86400, "an instant more than a day from its wall time");
  std::int64_t product = 0;
  check(head.nanoseconds_fit == !__builtin_mul_overflow(head.seconds, std::int64_t{1000000000}, &product),
        "nanoseconds said to fit wrongly");
  std::size_t length = std::strlen(head.time);
  check(length >= 20 && head.time[length - 1] == (utc ? 'Z' : head.time[length - 1]), "a time of the wrong form");
  char database[ISO_TIME_SIZE];
  format_database_time(head.seconds, database);
  check(std::strlen(database) >= 22 && database[10] == ' ', "a database time of the wrong form");
}

void check_values(const LogLine& line, const MeterTable& table, bool mapped, RegisterFormat format) {
  const MeterConfig& meter = table.meters[line.meter_index];
  OutputOptions options{format, format == RegisterFormat::s32, OutputFormat::csv, mapped ? &the_map : nullptr};
  unsigned values = 0;
  line_values(line, meter, options, [&values](const RecordValue& value) {
    check(value.value != nullptr && value.unit != nullptr, "a value without its texts");
    ++values;
  });
  check(values <= 8u * line.bytes[2], "more values than the line holds");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "Europe/Berlin", 1);
  std::string error;
  check(parse_register_map(MAP_TEXT, "map", the_map, error), "the map of the fuzzer is bad");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  MeterTable table = decode_table(input);
  bool mapped = input.ConsumeBool();
  bool utc = input.ConsumeBool();
  auto format = static_cast<RegisterFormat>(input.ConsumeIntegralInRange<int>(0, 3));
  bool laid_out = input.ConsumeBool();
  std::string text = laid_out ? laid_out_line(input) : input.ConsumeRemainingBytesAsString();
  LogLine line{};
  LineProblem problem{};
  if (!parse_log_line(text, line, problem)) {
    check(problem.text[0] != '\0' && std::memchr(problem.text, '\0', sizeof problem.text) != nullptr,
          "a refused line without its reason");
    return 0;
  }
  check_parsed(text, line);
  check_time(line, utc);
  if (!check_logged_response(line, problem)) return 0;
  check(line.count >= 5 && line.bytes[2] == line.count - 5, "a byte count that does not fit passed");
  check(crc16_reference(line.bytes, line.count - 2) == (line.bytes[line.count - 2] | line.bytes[line.count - 1] << 8),
        "a response with a wrong CRC passed");
  if (!check_against_meter(line, table, problem)) return 0;
  check_values(line, table, mapped, format);
  return 0;
}
