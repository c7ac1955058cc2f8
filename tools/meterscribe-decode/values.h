// The values of one checked log line, one record each.
//
// The response carries no addresses: register k of a function 3/4 response
// is register start + k of the meter, coil k of a function 1 response is
// coil start + k, with start cut to the 16 bits the request sends. Without
// a register map every register (or pair of registers) is a record; with
// one, every mapped value that lies wholly in the response is, with its
// name, unit, raw and scaled number.
#pragma once

#include <cstdio>
#include <functional>

#include "log_line.h"
#include "record.h"
#include "register_map.h"

enum class RegisterFormat { u16, u32, s32, float32 };

struct OutputOptions {
  RegisterFormat format;
  bool low_word_first;  // 32-bit values: the second register holds the high word
  OutputFormat output;
  const RegisterMap* map;  // nullptr: one record per register
};

// Takes each value of a line in turn; the texts live only for the call.
using ValueSink = std::function<void(const RecordValue&)>;

// The values of a line that passed check_logged_response and
// check_against_meter, handed to `sink` one by one. Returns the number of
// registers left without a partner in a 32-bit format (0 or 1); they are
// not handed on.
unsigned line_values(const LogLine& line, const MeterConfig& meter, const OutputOptions& options,
                     const ValueSink& sink);

// Prints the records of a line that passed check_logged_response and
// check_against_meter. Returns the number of registers left without a
// partner in a 32-bit format (0 or 1); they are not printed.
unsigned print_line_values(FILE* out, const RecordHead& head, const LogLine& line, const MeterConfig& meter,
                           const OutputOptions& options);
