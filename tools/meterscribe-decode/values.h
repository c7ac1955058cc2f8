// The values of one checked log line, one record each, as CSV or JSON lines.
//
// The response carries no addresses: register k of a function 3/4 response
// is register start + k of the meter, coil k of a function 1 response is
// coil start + k, with start cut to the 16 bits the request sends.
#pragma once

#include <cstdio>

#include "log_line.h"

enum class RegisterFormat { u16, u32, s32, float32 };

struct OutputOptions {
  RegisterFormat format;
  bool low_word_first;  // 32-bit values: the second register holds the high word
  bool json;
};

void print_csv_header(FILE* out);

// Prints the records of a line that passed check_logged_response and
// check_against_meter. Returns the number of registers left without a
// partner in a 32-bit format (0 or 1); they are not printed.
unsigned print_line_values(FILE* out, const LogLine& line, const MeterConfig& meter, const OutputOptions& options);
