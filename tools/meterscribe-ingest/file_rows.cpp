#include "file_rows.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "record.h"
#include "sha256.h"
#include "store/log_dir.h"
#include "sys/unique_file.h"
#include "values.h"

namespace {

constexpr std::size_t CHUNK = 1 << 16;

// Text in COPY's text format: backslash, tab and line ends escaped.
void append_text(std::string& row, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\': row += "\\\\"; break;
      case '\t': row += "\\t"; break;
      case '\n': row += "\\n"; break;
      case '\r': row += "\\r"; break;
      default: row += c;
    }
  }
}

// bytea's hex form, its backslash doubled for COPY.
void append_frame(std::string& row, const LogLine& line) {
  static const char digits[] = "0123456789abcdef";
  row += "\\\\x";
  for (unsigned i = 0; i < line.count; ++i) {
    row += digits[line.bytes[i] >> 4];
    row += digits[line.bytes[i] & 0xF];
  }
}

// The line as text the database takes whatever the bytes: anything but
// printable ASCII as \xNN.
std::string printable(std::string_view text) {
  std::string shown;
  char escaped[5];
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown += c;
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  return shown;
}

void reject(FileRows& rows, unsigned number, std::string_view text, const char* reason) {
  std::string shown = printable(text);
  std::string sha256 = sha256_hex(reinterpret_cast<const std::uint8_t*>(shown.data()), shown.size());
  rows.rejects += std::to_string(number);
  rows.rejects += '\t';
  append_text(rows.rejects, shown);
  rows.rejects += '\t';
  append_text(rows.rejects, reason);
  rows.rejects += '\t';
  rows.rejects += sha256;
  rows.rejects += '\n';
  ++rows.rejected;
}

// The checker takes the line's bytes with their length: a NUL or any byte
// outside the line's form makes it a reject, never the end of the text.
bool checked_line(std::string_view text, const GatewayDecoding& decoding, LogLine& line, LineProblem& problem) {
  return parse_log_line(text, line, problem) && check_logged_response(line, problem) &&
         check_against_meter(line, decoding.table, problem);
}

// One line without its newline.
void decode_line(std::string_view text, unsigned number, const GatewayDecoding& decoding, FileRows& rows) {
  LogLine line;
  LineProblem problem;
  if (!checked_line(text, decoding, line, problem)) return reject(rows, number, text, problem.text);
  RecordHead head{};
  // UTC: the instant itself, whatever zone the database session keeps.
  if (!record_head(line, true, head)) return reject(rows, number, text, "the time is no calendar time");
  // As PostgreSQL reads it, for any year: "0001-01-01 00:00:00+00", and a
  // year before 0001 in UTC as BC.
  format_database_time(head.seconds, head.time);
  std::string& row = rows.responses;
  row += head.time;
  row += '\t';
  row += std::to_string(decoding.series[line.meter_index]);
  row += '\t';
  row += std::to_string(number);
  row += '\t';
  append_frame(row, line);
  row += '\n';
  rows.readings += decoding.values_per_response[line.meter_index];
  ++rows.responses_count;
}

// Splits the stream into lines, keeping at most LINE_MAX_KEPT bytes of one.
struct LineSplitter {
  const GatewayDecoding& decoding;
  FileRows& rows;
  std::string line;
  bool overlong = false;

  void take(std::string_view piece) {
    if (overlong) return;
    if (line.size() + piece.size() > LINE_MAX_KEPT) {
      line.append(piece.substr(0, LINE_MAX_KEPT - line.size()));
      overlong = true;
      return;
    }
    line.append(piece);
  }

  void end_line() {
    ++rows.lines;
    if (overlong)
      reject(rows, rows.lines, std::string_view(line).substr(0, REJECT_TEXT_MAX),
             "longer than a log line can be: the text is cut");
    else
      decode_line(line, rows.lines, decoding, rows);
    line.clear();
    overlong = false;
  }

  // The daemon writes a line and its newline in one go; a line without one
  // was cut short (a full card, a trim, an upload in progress).
  void end_file() {
    if (line.empty() && !overlong) return;
    ++rows.lines;
    reject(rows, rows.lines, std::string_view(line).substr(0, REJECT_TEXT_MAX),
           overlong ? "longer than a log line can be: the text is cut" : "no newline: the line was cut short");
  }
};

bool full(const FileRows& rows) { return rows.responses.size() >= BATCH_BYTES || rows.rejects.size() >= BATCH_BYTES; }

// Each chunk read is handed to `take` and hashed.
template <typename Take>
bool read_chunks(const std::string& path, unsigned long long& size, std::string& sha256, Take take,
                 std::string& error) {
  unique_file file = open_delivered_file(path);
  if (!file) {
    error = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  Sha256 sha;
  std::string buffer(CHUNK, '\0');
  size = 0;
  for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0;) {
    sha256_add(sha, reinterpret_cast<const std::uint8_t*>(buffer.data()), got);
    size += got;
    if (!take(std::string_view(buffer.data(), got))) return false;
  }
  if (std::ferror(file.get()) != 0) {
    error = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  sha256 = sha256_end(sha);
  return true;
}

}  // namespace

unique_file open_delivered_file(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string directory_path = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  LogDir directory;
  log_dir_open(directory, directory_path.c_str());
  return log_dir_open_read(directory, path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
}

unsigned values_per_response(const GatewayDecoding& decoding, unsigned index) {
  const MeterConfig& meter = decoding.table.meters[index];
  if (meter.func == 1) return meter.bin_count & 0xFFFF;
  if (!decoding.mapped) return meter.reg_count;
  std::vector<std::uint8_t> zeros(2 * static_cast<std::size_t>(meter.reg_count) + 2);
  return static_cast<unsigned>(
      readings_of(decoding.map, index + 1, meter.func, meter.start & 0xFFFF, zeros.data(), meter.reg_count).size());
}

bool stream_delivered_file(const std::string& path, const GatewayDecoding& decoding, FileRows& rows,
                           const BatchSink& sink, std::string& error) {
  LineSplitter splitter{decoding, rows, {}, false};
  bool sent = true;
  auto take = [&](std::string_view chunk) {
    for (std::size_t end; !chunk.empty(); chunk.remove_prefix(end + 1)) {
      end = chunk.find('\n');
      if (end == std::string_view::npos) {
        splitter.take(chunk);
        break;
      }
      splitter.take(chunk.substr(0, end));
      splitter.end_line();
      if (full(rows) && !(sent = sink(rows))) return false;
    }
    return true;
  };
  if (!read_chunks(path, rows.size, rows.sha256, take, error)) {
    if (!sent) error = "cannot be loaded";
    return false;
  }
  splitter.end_file();
  if (sink(rows)) return true;
  error = "cannot be loaded";
  return false;
}

bool hash_delivered_file(const std::string& path, unsigned long long& size, std::string& sha256,
                         std::string& error) {
  return read_chunks(path, size, sha256, [](std::string_view) { return true; }, error);
}
