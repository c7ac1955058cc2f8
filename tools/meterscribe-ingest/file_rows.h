// One delivered file decoded for loading: its readings as rows of COPY's
// text format, its rejected lines with the reason, the months its readings
// fall in, and what identifies its content.
//
// Lines are checked and decoded by meterscribe-decode's own code, so the
// database holds what meterscribe-decode prints for the same file.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "log_line.h"
#include "register_map.h"

// What a gateway's lines are decoded with.
struct GatewayDecoding {
  std::string gateway;
  MeterTable table;
  RegisterMap map;
  bool mapped;
};

struct RejectedLine {
  unsigned number;  // 1-based
  std::string text;
  std::string reason;
};

struct FileRows {
  std::string name;
  std::size_t size;
  std::string sha256;
  unsigned lines;
  unsigned long long readings;
  std::string copy_text;  // readings, one COPY row each
  std::vector<RejectedLine> rejects;
  std::set<std::string> months;  // "YYYY-MM" in UTC
};

// The columns of copy_text, in order.
extern const char* const READING_COLUMNS;

// Reads a whole file and says what identifies its content: `rows` gets its
// name, size and SHA-256, all that telling a loaded file takes. False with
// `error` set when it cannot be read.
bool read_delivered_file(const std::string& path, const std::string& name, std::string& content, FileRows& rows,
                         std::string& error);

// Checks and decodes every line of a content read by read_delivered_file;
// damaged lines are rejects, not errors.
void decode_delivered_content(const std::string& content, const GatewayDecoding& decoding, FileRows& rows);
