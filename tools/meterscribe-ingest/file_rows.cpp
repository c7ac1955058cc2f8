#include "file_rows.h"

#include <cerrno>
#include <cstring>

#include "record.h"
#include "sha256.h"
#include "store/log_dir.h"
#include "sys/unique_file.h"
#include "values.h"

const char* const READING_COLUMNS = "gateway, meter, slave, function, address, name, time, value, raw, unit, frame, file, line";

namespace {

// Text in COPY's text format: backslash, tab and line ends escaped.
void append_text(std::string& row, const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    switch (*c) {
      case '\\': row += "\\\\"; break;
      case '\t': row += "\\t"; break;
      case '\n': row += "\\n"; break;
      case '\r': row += "\\r"; break;
      default: row += *c;
    }
  }
}

void append_field(std::string& row, const char* text, bool last = false) {
  if (text == nullptr || *text == '\0')
    row += "\\N";
  else
    append_text(row, text);
  row += last ? '\n' : '\t';
}

// bytea's hex form, its backslash doubled for COPY.
std::string frame_text(const LogLine& line) {
  std::string text = "\\\\x";
  char hex[3];
  for (unsigned i = 0; i < line.count; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", line.bytes[i]);
    text += hex;
  }
  return text;
}

struct LineContext {
  const GatewayDecoding& decoding;
  FileRows& rows;
  const RecordHead& head;
  const std::string& frame;
  unsigned number;
};

void append_reading(const LineContext& context, const RecordValue& value) {
  std::string& row = context.rows.copy_text;
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%u\t%u\t%u\t%u\t", context.head.meter, context.head.slave,
                context.head.function, value.address);
  append_field(row, context.decoding.gateway.c_str());
  row += numbers;
  // A coil under a map has the name "": no name, as without a map.
  append_field(row, value.name);
  append_field(row, context.head.time);
  append_field(row, value.value);
  // Without a map a register is its own raw number. A float's raw number
  // is the float before scaling: digits, nan, inf or -inf, which numeric
  // takes as they are.
  append_field(row, value.raw != nullptr ? value.raw : value.value);
  append_field(row, value.unit);
  row += context.frame;
  row += '\t';
  append_field(row, context.rows.name.c_str());
  row += std::to_string(context.number);
  row += '\n';
  ++context.rows.readings;
}

// The line as text the database takes whatever the bytes: anything but
// printable ASCII as \xNN.
std::string printable(const std::string& text) {
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

void reject(FileRows& rows, unsigned number, const std::string& text, const char* reason) {
  rows.rejects.push_back({number, printable(text), reason});
}

// One line without its newline.
void decode_line(std::string& text, unsigned number, const GatewayDecoding& decoding, FileRows& rows) {
  LogLine line;
  LineProblem problem;
  if (!parse_log_line(text, line, problem) || !check_logged_response(line, problem) ||
      !check_against_meter(line, decoding.table, problem))
    return reject(rows, number, text, problem.text);
  RecordHead head{};
  // UTC: the instant itself, whatever zone the database session keeps.
  if (!record_head(line, true, head)) return reject(rows, number, text, "the time is no calendar time");
  // As PostgreSQL reads it, for any year: "0001-01-01 00:00:00+00".
  format_database_time(head.seconds, head.time);
  rows.months.insert(std::string(head.time, 7));
  std::string frame = frame_text(line);
  OutputOptions options{RegisterFormat::u16, false, OutputFormat::csv, decoding.mapped ? &decoding.map : nullptr};
  LineContext context{decoding, rows, head, frame, number};
  line_values(line, decoding.table.meters[line.meter_index], options,
              [&context](const RecordValue& value) { append_reading(context, value); });
}

// A link, even one renamed into the directory, or anything but a regular
// file is never read: the log directory's own rule for opening its entries.
bool read_whole(const std::string& path, const std::string& name, std::string& content) {
  LogDir directory;
  log_dir_open(directory, path.substr(0, path.size() - name.size()).c_str());
  unique_file file = log_dir_open_read(directory, name.c_str());
  if (!file) return false;
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) content.append(buffer, got);
  return std::ferror(file.get()) == 0;
}

}  // namespace

bool read_delivered_file(const std::string& path, const std::string& name, std::string& content, FileRows& rows,
                         std::string& error) {
  content.clear();
  if (!read_whole(path, name, content)) {
    error = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  rows = FileRows{name, content.size(), "", 0, 0, "", {}, {}};
  rows.sha256 = sha256_hex(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  return true;
}

void decode_delivered_content(const std::string& content, const GatewayDecoding& decoding, FileRows& rows) {
  std::size_t at = 0;
  while (at < content.size()) {
    std::size_t end = content.find('\n', at);
    ++rows.lines;
    // The daemon writes a line and its newline in one go; a line without
    // one was cut short (a full card, a trim, an upload in progress).
    if (end == std::string::npos) {
      reject(rows, rows.lines, content.substr(at), "no newline: the line was cut short");
      break;
    }
    std::string text = content.substr(at, end - at);
    decode_line(text, rows.lines, decoding, rows);
    at = end + 1;
  }
}
