#include "values.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "shortest_real.h"

namespace {

using NumberText = char[32];

// The shortest text that reads back as the same number of the type's own
// width (a float32 printed as a double would show digits it never had).
template <typename Real>
void format_real(NumberText& text, Real value) {
  if (std::isnan(value)) {
    std::snprintf(text, sizeof text, "nan");
    return;
  }
  shortest_real_text(text, sizeof text, value);
}

// The value as text: digits, or nan, inf, -inf.
void format_register_value(NumberText& text, std::uint32_t bits, RegisterFormat format) {
  switch (format) {
    case RegisterFormat::u16:
    case RegisterFormat::u32: std::snprintf(text, sizeof text, "%u", bits); return;
    case RegisterFormat::s32: std::snprintf(text, sizeof text, "%d", static_cast<std::int32_t>(bits)); return;
    case RegisterFormat::float32: format_real(text, std::bit_cast<float>(bits)); return;
  }
}

RecordValue plain_value(std::uint32_t address, const char* value, bool integer, const OutputOptions& options) {
  // Under a map every record has the map's columns; a coil has no name.
  if (options.map != nullptr) return {address, "", "", value, value, integer};
  return {address, nullptr, "", nullptr, value, integer};
}

// Coils come eight to a byte, the lowest address in the lowest bit; the
// bits past bin_count in the last byte are padding.
void coil_values(const LogLine& line, const MeterConfig& meter, const OutputOptions& options,
                 const ValueSink& sink) {
  std::uint32_t start = meter.start & 0xFFFF;
  unsigned coils = meter.bin_count & 0xFFFF;
  for (unsigned k = 0; k < coils; ++k) {
    unsigned bit = (static_cast<unsigned>(line.bytes[3 + k / 8]) >> (k % 8)) & 1u;
    sink(plain_value(start + k, bit != 0 ? "1" : "0", true, options));
  }
}

unsigned register_values(const LogLine& line, const MeterConfig& meter, const OutputOptions& options,
                         const ValueSink& sink) {
  std::uint32_t start = meter.start & 0xFFFF;
  unsigned registers = line.bytes[2] / 2u;
  const std::uint8_t* data = line.bytes + 3;
  auto word = [data](std::size_t k) { return static_cast<std::uint32_t>(data[2 * k] << 8 | data[2 * k + 1]); };
  bool integer = options.format != RegisterFormat::float32;
  NumberText text;
  if (options.format == RegisterFormat::u16) {
    for (unsigned k = 0; k < registers; ++k) {
      format_register_value(text, word(k), options.format);
      sink(plain_value(start + k, text, integer, options));
    }
    return 0;
  }
  // Pairs (start, start + 1), (start + 2, start + 3), ...; each record
  // carries the address of the pair's first register.
  for (unsigned k = 0; k + 1 < registers; k += 2) {
    std::uint32_t high = options.low_word_first ? word(k + 1) : word(k);
    std::uint32_t low = options.low_word_first ? word(k) : word(k + 1);
    format_register_value(text, high << 16 | low, options.format);
    sink(plain_value(start + k, text, integer, options));
  }
  return registers % 2;
}

void format_raw(NumberText& text, const RawNumber& raw, ValueType type) {
  switch (raw.kind) {
    case RawNumber::Kind::unsigned_integer:
      std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(raw.unsigned_value));
      return;
    case RawNumber::Kind::signed_integer:
      std::snprintf(text, sizeof text, "%lld", static_cast<long long>(raw.signed_value));
      return;
    case RawNumber::Kind::real:
      if (type == ValueType::float32) return format_real(text, static_cast<float>(raw.real_value));
      return format_real(text, raw.real_value);
  }
}

bool is_unscaled(const MappedValue& value) { return value.scale == 1.0; }

// An unscaled value prints as its raw number. A scaled one carries the
// scale's binary rounding (12345 * 0.01 is not quite 123.45): 15 digits,
// all that a double holds for certain, leave it out. A scaled float32
// keeps float precision, which is all the meter sent.
void format_scaled(NumberText& text, const Reading& reading) {
  const MappedValue& value = *reading.value;
  if (is_unscaled(value)) return format_raw(text, reading.raw, value.type);
  if (value.type == ValueType::float32) return format_real(text, static_cast<float>(reading.scaled));
  if (!std::isfinite(reading.scaled)) return format_real(text, reading.scaled);
  std::snprintf(text, sizeof text, "%.15g", reading.scaled);
}

// The line protocol's integers are signed 64-bit.
bool is_integer_field(const Reading& reading) {
  switch (reading.raw.kind) {
    case RawNumber::Kind::unsigned_integer:
      return is_unscaled(*reading.value) &&
             reading.raw.unsigned_value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    case RawNumber::Kind::signed_integer: return is_unscaled(*reading.value);
    case RawNumber::Kind::real: return false;
  }
  return false;
}

void mapped_values(const LogLine& line, const MeterConfig& meter, const OutputOptions& options,
                   const ValueSink& sink) {
  std::vector<Reading> readings =
      readings_of(*options.map, line.meter_index + 1, line.bytes[1], meter.start & 0xFFFF, line.bytes + 3,
                  line.bytes[2] / 2u);
  NumberText raw;
  NumberText scaled;
  for (const Reading& reading : readings) {
    format_raw(raw, reading.raw, reading.value->type);
    format_scaled(scaled, reading);
    const MappedValue& value = *reading.value;
    RecordValue record{value.address, value.name.c_str(), value.unit.c_str(), raw, scaled, is_integer_field(reading)};
    sink(record);
  }
}

}  // namespace

unsigned line_values(const LogLine& line, const MeterConfig& meter, const OutputOptions& options,
                     const ValueSink& sink) {
  if (line.bytes[1] == 1) {
    coil_values(line, meter, options, sink);
    return 0;
  }
  if (options.map != nullptr) {
    mapped_values(line, meter, options, sink);
    return 0;
  }
  return register_values(line, meter, options, sink);
}

unsigned print_line_values(FILE* out, const RecordHead& head, const LogLine& line, const MeterConfig& meter,
                           const OutputOptions& options) {
  return line_values(line, meter, options,
                     [&](const RecordValue& value) { print_record(out, head, value, options.output); });
}
