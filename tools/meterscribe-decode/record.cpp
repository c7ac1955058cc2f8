#include "record.h"

#include <string>

namespace {

// False for the texts of NaN and the infinities.
bool is_finite(const char* number) {
  char first = number[0] == '-' ? number[1] : number[0];
  return first >= '0' && first <= '9';
}

// A CSV field in double quotes when it holds a comma or a quote.
std::string csv_field(const char* text) {
  std::string field(text);
  if (field.find_first_of(",\"") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string json_string(const char* text) {
  std::string quoted = "\"";
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '"' || *c == '\\') {
      quoted += '\\';
      quoted += *c;
    } else if (static_cast<unsigned char>(*c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*c));
      quoted += escaped;
    } else {
      quoted += *c;
    }
  }
  return quoted + "\"";
}

// Tag values of the line protocol escape commas, equals signs and blanks.
std::string tag_value(const char* text) {
  std::string escaped;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == ',' || *c == '=' || *c == ' ') escaped += '\\';
    escaped += *c;
  }
  return escaped;
}

void print_csv(FILE* out, const RecordHead& head, const RecordValue& value) {
  std::fprintf(out, "%s,%u,%u,%u,%u,", head.time, head.meter, head.slave, head.function, value.address);
  if (value.name != nullptr)
    std::fprintf(out, "%s,%s,%s,", csv_field(value.name).c_str(), csv_field(value.unit).c_str(), value.raw);
  std::fprintf(out, "%s\n", value.value);
}

void print_json(FILE* out, const RecordHead& head, const RecordValue& value) {
  std::fprintf(out, "{\"time\":\"%s\",\"meter\":%u,\"slave\":%u,\"function\":%u,\"address\":%u,", head.time,
               head.meter, head.slave, head.function, value.address);
  if (value.name != nullptr)
    std::fprintf(out, "\"name\":%s,\"unit\":%s,\"raw\":%s,", json_string(value.name).c_str(),
                 json_string(value.unit).c_str(), is_finite(value.raw) ? value.raw : "null");
  std::fprintf(out, "\"value\":%s}\n", is_finite(value.value) ? value.value : "null");
}

// Tags in key order, as the server sorts them anyway; the address keeps
// the registers of one line apart, and a tag may not be empty.
void print_influx(FILE* out, const RecordHead& head, const RecordValue& value) {
  if (!is_finite(value.value) || !head.nanoseconds_fit) return;
  std::fprintf(out, "meterscribe,address=%u,function=%u,meter=%u", value.address, head.function, head.meter);
  if (value.name != nullptr && *value.name != '\0') std::fprintf(out, ",name=%s", tag_value(value.name).c_str());
  std::fprintf(out, ",slave=%u", head.slave);
  if (*value.unit != '\0') std::fprintf(out, ",unit=%s", tag_value(value.unit).c_str());
  // The server fixes a field's type per measurement: integers in a field
  // of their own, or the first float after an integer would be refused.
  std::fprintf(out, value.integer ? " value_int=%si %lld\n" : " value=%s %lld\n", value.value,
               static_cast<long long>(head.nanoseconds));
}

}  // namespace

bool record_head(const LogLine& line, bool utc, RecordHead& head) {
  LogInstant instant{};
  if (!resolve_log_time(line.time, instant)) return false;
  format_iso_time(line.time, instant, utc, head.time);
  head.seconds = instant.seconds;
  head.nanoseconds_fit = !__builtin_mul_overflow(instant.seconds, std::int64_t{1000000000}, &head.nanoseconds);
  head.meter = line.meter_index + 1;
  head.slave = line.bytes[0];
  head.function = line.bytes[1];
  return true;
}

void print_header(FILE* out, OutputFormat format, bool mapped) {
  if (format != OutputFormat::csv) return;
  std::fputs(mapped ? "time,meter,slave,function,address,name,unit,raw,value\n"
                    : "time,meter,slave,function,address,value\n",
             out);
}

void print_record(FILE* out, const RecordHead& head, const RecordValue& value, OutputFormat format) {
  switch (format) {
    case OutputFormat::csv: print_csv(out, head, value); break;
    case OutputFormat::json: print_json(out, head, value); break;
    case OutputFormat::influx: print_influx(out, head, value); break;
  }
}
