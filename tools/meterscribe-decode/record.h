// One record of the output: a register, a coil or a mapped value of one log
// line, printed as CSV, as a JSON line or in the InfluxDB line protocol.
#pragma once

#include <cstdint>
#include <cstdio>

#include "log_line.h"
#include "log_time.h"

enum class OutputFormat { csv, json, influx };

// What every record of one line shares.
struct RecordHead {
  char time[ISO_TIME_SIZE];
  std::int64_t seconds;      // since the epoch
  std::int64_t nanoseconds;  // since the epoch, for the line protocol
  bool nanoseconds_fit;      // false beyond 64 bits of nanoseconds (before 1677, after 2262)
  unsigned meter;            // 1-based
  unsigned slave;
  unsigned function;
};

struct RecordValue {
  std::uint32_t address;
  const char* name;   // nullptr without a map; "" for a coil under a map
  const char* unit;   // "" for none
  const char* raw;    // the number as the wire holds it; used with a map
  const char* value;  // the number as printed: digits, or nan, inf, -inf
  bool integer;       // line protocol: the integer field value_int, not value
};

// False when the line's time is no calendar time.
bool record_head(const LogLine& line, bool utc, RecordHead& head);

// The CSV header; nothing for the other formats.
void print_header(FILE* out, OutputFormat format, bool mapped);

// JSON has no NaN or infinity: the value is null. The line protocol has
// none either: such a record is left out.
void print_record(FILE* out, const RecordHead& head, const RecordValue& value, OutputFormat format);
