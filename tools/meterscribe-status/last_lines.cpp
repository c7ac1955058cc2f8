#include "last_lines.h"

#include <algorithm>
#include <cstdio>
#include <sys/types.h>

namespace {

constexpr std::size_t CHUNK = std::size_t{64} << 10;
constexpr std::size_t TIME_LEN = LOG_NAME_LEN - 4;  // "YYYY-MM-DD-hh-mm-ss"
constexpr std::size_t INDEX_DIGITS_MAX = 2;

struct Search {
  std::vector<MeterFigure>& meters;
  std::size_t missing;
  std::uint64_t budget;
  std::time_t now;
  bool hour_read = false;   // a line from before the hour was reached
  std::uint32_t cycles = 0;
  std::size_t later_index = 0;  // of the line read just before, which was written after this one
};

bool finished(const Search& search) { return search.missing == 0 && search.hour_read; }

// Lines come newest first: the later line begins a cycle of its own when
// its index is not above this one's.
void count_in_hour(Search& search, std::size_t index, std::time_t when) {
  if (when > search.now) return;  // written before the clock was set back
  if (when <= search.now - ANSWER_WINDOW_S) {
    search.hour_read = true;
    return;
  }
  ++search.meters[index].hour_lines;
  if (search.cycles == 0 || search.later_index <= index) ++search.cycles;
  search.later_index = index;
}

// The meter index of a "m<i>:" header; false for any other text.
bool header_index(const std::string& text, std::size_t begin, std::size_t end, std::size_t& index, std::size_t& colon) {
  if (end - begin < 2 || text[begin] != 'm') return false;
  index = 0;
  colon = begin + 1;
  while (colon < end && colon - begin <= INDEX_DIGITS_MAX && text[colon] >= '0' && text[colon] <= '9')
    index = index * 10 + static_cast<std::size_t>(text[colon++] - '0');
  return colon > begin + 1 && colon < end && text[colon] == ':';
}

// One complete line, [begin, end) without its line end: the first line
// found for a meter is its newest. Lines of no polled meter play no part.
void take_line(const std::string& text, std::size_t begin, std::size_t end, Search& search) {
  std::size_t index = 0;
  std::size_t colon = 0;
  if (!header_index(text, begin, end, index, colon)) return;
  if (end - colon < TIME_LEN + 2 || text[colon + 1 + TIME_LEN] != ':') return;
  if (index >= search.meters.size()) return;
  // The line's time is a log name without its "log-": the daemon's own
  // check of the form applies.
  LogName name;
  std::snprintf(name, sizeof name, "log-%.*s", static_cast<int>(TIME_LEN), text.c_str() + colon + 1);
  if (!is_log_name(name)) return;
  std::time_t when = log_name_time(name);
  MeterFigure& meter = search.meters[index];
  if (!meter.seen) {
    meter.seen = true;
    meter.last = when;
    --search.missing;
  }
  count_in_hour(search, index, when);
}

// Takes the complete lines of `text`, which ends just after a line end,
// from the last one back. What precedes the first complete line stays in
// `text` for the next chunk; at the file's start it is a line too.
void take_lines_backwards(std::string& text, bool at_file_start, Search& search) {
  std::size_t end = text.size();
  while (end > 0 && !finished(search)) {
    std::size_t previous = end >= 2 ? text.rfind('\n', end - 2) : std::string::npos;
    if (previous == std::string::npos && !at_file_start) break;
    std::size_t begin = previous == std::string::npos ? 0 : previous + 1;
    take_line(text, begin, end - 1, search);
    end = begin;
  }
  text.resize(end);
}

// Reads one file from its end. Text after its last line end is no line:
// the daemon never leaves one, but a cut copied short may.
void search_file(FILE* file, Search& search) {
  std::int64_t size = stream_size(file);
  if (size <= 0) return;
  std::string text;
  std::vector<char> chunk(CHUNK);
  auto end = static_cast<std::uint64_t>(size);
  bool torn_end = true;
  while (end > 0 && !finished(search) && search.budget > 0) {
    std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>({CHUNK, end, search.budget}));
    end -= take;
    if (fseeko(file, static_cast<off_t>(end), SEEK_SET) != 0 || std::fread(chunk.data(), 1, take, file) != take) return;
    search.budget -= take;
    text.insert(0, chunk.data(), take);
    if (torn_end) {
      std::size_t last_end = text.rfind('\n');
      text.resize(last_end == std::string::npos ? 0 : last_end + 1);
      torn_end = last_end == std::string::npos;
    }
    if (!torn_end) take_lines_backwards(text, end == 0, search);
  }
}

}  // namespace

unsigned find_last_lines(const LogDir& dir, const std::vector<std::string>& newest_first, std::time_t now,
                         std::vector<MeterFigure>& meters, std::uint32_t& hour_cycles) {
  Search search{meters, meters.size(), SCAN_BYTES_MAX, now};
  unsigned files = 0;
  for (const std::string& name : newest_first) {
    if (finished(search) || search.budget == 0 || files == SCAN_FILES_MAX) break;
    unique_file file = log_dir_open_read(dir, name.c_str());
    ++files;
    if (file) search_file(file.get(), search);
  }
  hour_cycles = search.cycles;
  return files;
}
