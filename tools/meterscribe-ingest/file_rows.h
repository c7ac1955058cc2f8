// One delivered file streamed for loading: read in bounded chunks, hashed
// as it is read, each line checked and decoded by meterscribe-decode's own
// code (so the database holds what meterscribe-decode prints for the same
// file), its responses and rejected lines handed on in batches of COPY rows.
// Memory stays bounded whatever the file's size or the length of a line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log_line.h"
#include "register_map.h"
#include "sys/unique_file.h"

// What a gateway's lines are decoded with, and the database's keys for it.
struct GatewayDecoding {
  std::string gateway;
  MeterTable table;
  RegisterMap map;
  bool mapped;
  std::vector<long> series;                   // the series of each meter slot, 0-based
  std::vector<unsigned> values_per_response;  // readings a response of each meter slot gives
};

// Opens a delivered file for reading by the log directory's own rule for
// its entries: never through a link, even one renamed into the directory,
// and only a regular file. Null with errno set otherwise.
unique_file open_delivered_file(const std::string& path);

// The readings a response of meter slot `index` gives: a coil or register
// each, or the map's values that lie wholly in it.
unsigned values_per_response(const GatewayDecoding& decoding, unsigned index);

// A line kept longer than this is a reject; its text is cut to
// REJECT_TEXT_MAX and the rest is skipped unread into memory.
constexpr std::size_t LINE_MAX_KEPT = 4096;
constexpr std::size_t REJECT_TEXT_MAX = 1024;
// A batch is handed on once either of its texts reaches this size.
constexpr std::size_t BATCH_BYTES = 1 << 20;

struct FileRows {
  std::string name;
  unsigned long long size;
  std::string sha256;
  unsigned lines;
  unsigned long long readings;
  unsigned long long responses_count;
  unsigned long long rejected;
  std::string responses;  // COPY rows: time, series, line, frame
  std::string rejects;    // COPY rows: line, text, reason, text_sha256
};

// Sends both batches and empties them; false stops the stream.
using BatchSink = std::function<bool(FileRows&)>;

// Reads the file at `path` line by line, handing full batches and the last
// one to `sink`; `rows` ends with the size and SHA-256 of what was read.
// False with `error` set when the file cannot be read or the sink failed.
bool stream_delivered_file(const std::string& path, const GatewayDecoding& decoding, FileRows& rows,
                           const BatchSink& sink, std::string& error);

// The size and SHA-256 of a file, read in chunks.
bool hash_delivered_file(const std::string& path, unsigned long long& size, std::string& sha256, std::string& error);
