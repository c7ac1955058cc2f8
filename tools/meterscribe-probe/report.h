// What the probe prints: one line per exchange and, after repeated polls,
// one summary line per meter, or after a scan one summary of the scan; as
// text for a person or as JSON lines.
#pragma once

#include <cstdio>
#include <string>
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

// The framing of a line, as a scan tries it.
struct Framing {
  std::uint32_t baud;
  const char* parity;  // "none", "even" or "odd"
  std::uint32_t stop_bits;
};

// "N", "E" or "O" for a parity word: the letter of the settings and of
// the framing's short text.
const char* parity_letter(const char* parity);

// A framing as people on site write it, such as "19200 8E1".
std::string framing_text(const Framing& framing);

// One exchange with meter `meter_number` (1-based; 0 for a read given on
// the command line, which takes the map's lines of meter 1). With a
// framing, a scan's answer: the framing is said too.
void print_exchange(FILE* out, unsigned meter_number, const MeterConfig& meter, const Exchange& exchange,
                    const ReportOptions& options, const Framing* framing = nullptr);

// The polls of one meter, counted as they come.
struct MeterTally {
  unsigned polls = 0;
  unsigned answers = 0;                      // verdict ok
  unsigned by_verdict[8] = {};               // failures, indexed by Verdict
  std::vector<double> answer_times_ms;       // request to last byte, answers only
};

void count_exchange(MeterTally& tally, const Exchange& exchange);

void print_summary(FILE* out, unsigned meter_number, const MeterTally& tally, const ReportOptions& options);

// A scan, counted as it goes.
struct ScanTally {
  unsigned asked = 0;
  unsigned answered = 0;       // replies from the slave and function asked
  unsigned other_replies = 0;  // noise, or frames of another slave or function
  double seconds = 0;
  bool stopped = false;        // by SIGINT or SIGTERM before the end
};

void print_scan_summary(FILE* out, const ScanTally& tally, bool json);
