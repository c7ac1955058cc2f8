// What the probe prints: one line per exchange and, after repeated polls,
// one summary line per meter; as text for a person or as JSON lines.
#pragma once

#include <cstdio>
#include <vector>

#include "exchange.h"
#include "register_map.h"

struct ReportOptions {
  const RegisterMap* map;  // null: registers as unsigned 16-bit words
  bool json;
};

// The meaning of a Modbus exception code, "unknown exception" for codes
// without one.
const char* exception_meaning(unsigned code);

// One exchange with meter `meter_number` (1-based).
void print_exchange(FILE* out, unsigned meter_number, const MeterConfig& meter, const Exchange& exchange,
                    const ReportOptions& options);

// The polls of one meter, counted as they come.
struct MeterTally {
  unsigned polls = 0;
  unsigned answers = 0;                      // verdict ok
  unsigned by_verdict[8] = {};               // failures, indexed by Verdict
  std::vector<double> answer_times_ms;       // request to last byte, answers only
};

void count_exchange(MeterTally& tally, const Exchange& exchange);

void print_summary(FILE* out, unsigned meter_number, const MeterTally& tally, const ReportOptions& options);
