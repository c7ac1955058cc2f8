#include "values.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// What every record of one line shares.
struct RecordHead {
  char time[LOG_TIME_LEN + 1];  // "YYYY-MM-DDThh:mm:ss", local time as logged
  unsigned meter;               // 1-based
  unsigned slave;
  unsigned function;
};

RecordHead head_of(const LogLine& line) {
  RecordHead head{};
  std::memcpy(head.time, line.time, sizeof head.time);
  head.time[10] = 'T';
  head.time[13] = ':';
  head.time[16] = ':';
  head.meter = line.meter_index + 1;
  head.slave = line.bytes[0];
  head.function = line.bytes[1];
  return head;
}

// value is already text; JSON has no NaN or infinity, so those become null.
void print_record(FILE* out, const RecordHead& head, std::uint32_t address, const char* value, bool json,
                  bool finite = true) {
  if (!json) {
    std::fprintf(out, "%s,%u,%u,%u,%u,%s\n", head.time, head.meter, head.slave, head.function, address, value);
    return;
  }
  std::fprintf(out, "{\"time\":\"%s\",\"meter\":%u,\"slave\":%u,\"function\":%u,\"address\":%u,\"value\":%s}\n",
               head.time, head.meter, head.slave, head.function, address, finite ? value : "null");
}

// The shortest text that reads back as the same float; false for NaN and
// the infinities.
bool format_float(char (&text)[32], std::uint32_t bits) {
  float value = std::bit_cast<float>(bits);
  if (std::isnan(value)) {
    std::snprintf(text, sizeof text, "nan");
    return false;
  }
  auto result = std::to_chars(text, text + sizeof text - 1, value);
  *result.ptr = '\0';
  return std::isfinite(value);
}

// The value as text; false when it is no finite number.
bool format_register_value(char (&text)[32], std::uint32_t bits, RegisterFormat format) {
  switch (format) {
    case RegisterFormat::u16:
    case RegisterFormat::u32: std::snprintf(text, sizeof text, "%u", bits); return true;
    case RegisterFormat::s32: std::snprintf(text, sizeof text, "%d", static_cast<std::int32_t>(bits)); return true;
    case RegisterFormat::float32: return format_float(text, bits);
  }
  return true;
}

// Coils come eight to a byte, the lowest address in the lowest bit; the
// bits past bin_count in the last byte are padding.
void print_coils(FILE* out, const LogLine& line, const MeterConfig& meter, const OutputOptions& options) {
  RecordHead head = head_of(line);
  std::uint32_t start = meter.start & 0xFFFF;
  unsigned coils = meter.bin_count & 0xFFFF;
  for (unsigned k = 0; k < coils; ++k) {
    unsigned bit = (static_cast<unsigned>(line.bytes[3 + k / 8]) >> (k % 8)) & 1u;
    print_record(out, head, start + k, bit != 0 ? "1" : "0", options.json);
  }
}

unsigned print_registers(FILE* out, const LogLine& line, const MeterConfig& meter, const OutputOptions& options) {
  RecordHead head = head_of(line);
  std::uint32_t start = meter.start & 0xFFFF;
  unsigned registers = line.bytes[2] / 2u;
  const std::uint8_t* data = line.bytes + 3;
  auto word = [data](std::size_t k) { return static_cast<std::uint32_t>(data[2 * k] << 8 | data[2 * k + 1]); };
  char text[32];
  if (options.format == RegisterFormat::u16) {
    for (unsigned k = 0; k < registers; ++k) {
      format_register_value(text, word(k), options.format);
      print_record(out, head, start + k, text, options.json);
    }
    return 0;
  }
  // Pairs (start, start + 1), (start + 2, start + 3), ...; each record
  // carries the address of the pair's first register.
  for (unsigned k = 0; k + 1 < registers; k += 2) {
    std::uint32_t high = options.low_word_first ? word(k + 1) : word(k);
    std::uint32_t low = options.low_word_first ? word(k) : word(k + 1);
    bool finite = format_register_value(text, high << 16 | low, options.format);
    print_record(out, head, start + k, text, options.json, finite);
  }
  return registers % 2;
}

}  // namespace

void print_csv_header(FILE* out) { std::fputs("time,meter,slave,function,address,value\n", out); }

unsigned print_line_values(FILE* out, const LogLine& line, const MeterConfig& meter, const OutputOptions& options) {
  if (line.bytes[1] == 1) {
    print_coils(out, line, meter, options);
    return 0;
  }
  return print_registers(out, line, meter, options);
}
