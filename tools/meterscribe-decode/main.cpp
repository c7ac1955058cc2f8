// meterscribe-decode: prints the values in meterscribe log files, one record
// per register or coil, or per value of a register map, as CSV, JSON lines
// or InfluxDB line protocol. The responses carry no start addresses, so the
// settings file the daemon polled with supplies them.
// Damaged lines are reported with file and line number and skipped.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "daemon/context.h"
#include "daemon/log_location.h"
#include "daemon/settings.h"
#include "log_line.h"
#include "log_time.h"
#include "printable.h"
#include "record.h"
#include "register_map.h"
#include "store/log_dir.h"
#include "sys/log.h"
#include "sys/paths.h"
#include "sys/unique_file.h"
#include "usage.h"
#include "values.h"

namespace {

constexpr const char* USAGE =
    "usage: meterscribe-decode [--settings PATH] [--map FILE] [--json | --influx] [--utc]\n"
    "                          [--u16 | --u32 | --s32 | --float32] [--word-order big|little]\n"
    "                          [--help] [--version] [LOG-FILE-OR-DIRECTORY...]\n"
    "  --settings PATH   the settings the daemon polled with (default /opt/meterscribe/etc/settings)\n"
    "  --map FILE        a register map: one record per mapped value (name, unit, raw and scaled\n"
    "                    number) instead of one per register\n"
    "  --json            JSON lines instead of CSV (NaN and infinities are null)\n"
    "  --influx          InfluxDB line protocol: measurement meterscribe, tags address, function,\n"
    "                    meter, name, slave, unit; field value (a float) or, for unscaled integers,\n"
    "                    value_int; nanosecond timestamps (NaN and infinities are left out)\n"
    "  --utc             times in UTC (...Z) instead of local time with its UTC offset\n"
    "  --u16             registers as unsigned 16-bit words (default)\n"
    "  --u32, --s32      register pairs (start, start+1), ... as unsigned / signed 32-bit integers\n"
    "  --float32         register pairs as 32-bit floats\n"
    "  --word-order big|little  big: the first register of a pair holds the high word (default)\n"
    "The register formats do not apply with a map: the map gives each value its type and order.\n"
    "A directory stands for its log-YYYY-MM-DD-hh-mm-ss files in time order; - is standard input.\n"
    "Without one, the log directory the settings give the daemon is read.\n"
    "Times are logged in the gateway's local time and read with the zone of TZ (unset: the system's\n"
    "local time); a TZ that is neither a zone file nor a POSIX rule is refused. In the hour repeated\n"
    "when daylight saving ends, the earlier instant (still daylight saving) is taken; a time in the\n"
    "hour skipped when it begins is taken as if the clock had not yet been put forward.\n"
    "Exit status: 0 all lines decoded, 1 some lines reported bad, 2 usage error, unknown zone or\n"
    "unreadable file.\n";

constexpr const char* TOOL = "meterscribe-decode";

struct DecodeRun {
  const char* settings_path = nullptr;
  const char* map_path = nullptr;
  RegisterMap map;
  OutputOptions output{RegisterFormat::u16, false, OutputFormat::csv, nullptr};
  bool utc = false;
  MeterTable table{};
  unsigned bad_lines = 0;
  bool unreadable = false;
  bool unpaired_reported[METER_SLOTS] = {};
};

bool parse_word_order(const char* text, DecodeRun& run) {
  if (std::strcmp(text, "big") != 0 && std::strcmp(text, "little") != 0)
    return value_error(TOOL, "--word-order", text, "the word order is big or little");
  run.output.low_word_first = std::strcmp(text, "little") == 0;
  return true;
}

// Returns the index of the first input argument, or -1 on a usage error.
int parse_options(int argc, char** argv, DecodeRun& run) {
  enum { U16 = OPTION_FIRST_OWN, U32, S32, FLOAT32, WORD_ORDER, INFLUX };
  static const option long_options[] = {
      SETTINGS_OPTION, MAP_OPTION, JSON_OPTION, UTC_OPTION,
      {"u16", no_argument, nullptr, U16},                 {"u32", no_argument, nullptr, U32},
      {"s32", no_argument, nullptr, S32},                 {"float32", no_argument, nullptr, FLOAT32},
      {"word-order", required_argument, nullptr, WORD_ORDER}, {"influx", no_argument, nullptr, INFLUX},
      HELP_OPTION, VERSION_OPTION, END_OF_OPTIONS};
  const ToolCommandLine command_line{TOOL, USAGE, "s:j", long_options};
  const option* format_option = nullptr;  // the first register format asked for
  for (int code; (code = next_option(command_line, argc, argv)) != -1;) {
    bool is_format = code == U16 || code == U32 || code == S32 || code == FLOAT32 || code == WORD_ORDER;
    if (is_format && format_option == nullptr)
      format_option = std::find_if(std::begin(long_options), std::end(long_options),
                                   [code](const option& entry) { return entry.val == code; });
    switch (code) {
      case OPTION_SETTINGS: run.settings_path = optarg; break;
      case OPTION_MAP: run.map_path = optarg; break;
      case OPTION_JSON: run.output.output = OutputFormat::json; break;
      case INFLUX: run.output.output = OutputFormat::influx; break;
      case OPTION_UTC: run.utc = true; break;
      case U16: run.output.format = RegisterFormat::u16; break;
      case U32: run.output.format = RegisterFormat::u32; break;
      case S32: run.output.format = RegisterFormat::s32; break;
      case FLOAT32: run.output.format = RegisterFormat::float32; break;
      case WORD_ORDER:
        if (!parse_word_order(optarg, run)) return -1;
        break;
      default: return -1;
    }
  }
  if (run.map_path != nullptr && format_option != nullptr) {
    usage_error(TOOL, (std::string("--") + format_option->name).c_str(), "the map gives each value its type and order");
    return -1;
  }
  return optind;
}

// TZ unset is the system's own local time. A zone the C library cannot
// find it would take as UTC, and every time would be placed wrongly.
bool zone_of_run_known() {
  const char* zone = std::getenv("TZ");
  if (zone == nullptr || known_zone(zone)) return true;
  std::fprintf(stderr,
               "%s: unknown zone \"%s\" in TZ (a zone of the zoneinfo directory, such as Europe/Berlin, "
               "or a rule such as CET-1CEST,M3.5.0,M10.5.0/3)\n",
               TOOL, printable(zone).c_str());
  return false;
}

void say_daemon_message(int /*level*/, const char* text) { std::fprintf(stderr, "%s: %s\n", TOOL, text); }

// The daemon's own reader, so the tool sees the file exactly as the daemon
// does; only a file that cannot be opened at all, or a directory, is
// refused here, where the daemon would quietly read every key as missing.
// `log_dir`, when asked for, receives the log directory as start-up
// composes it, and a path the daemon would refuse is refused here too.
bool load_settings_of_run(const char* path, MeterTable& table, PathBuffer* log_dir) {
  if (int error = settings_file_error(path); error != 0) {
    std::fprintf(stderr, "meterscribe-decode: cannot read settings %s: %s\n", path, std::strerror(error));
    return false;
  }
  DaemonContext context{};
  load_settings_from(&context, path);
  std::copy(std::begin(context.meters), std::end(context.meters), table.meters);
  table.count = count_polled_meters(&context);
  log_set_capture(say_daemon_message);
  bool composed = log_dir == nullptr || compose_log_dir(context, *log_dir);
  log_set_capture(nullptr);
  release_context(&context);
  return composed;
}

const char* register_table(unsigned function) {
  return function == 3 ? "holding registers (function 3)" : "input registers (function 4)";
}

// A mapped value outside what the settings poll would silently never
// print: each one is said once, before the records. A value of the other
// register table is one of them: its address in the table the meter reads
// holds something else.
void warn_unpolled(const MappedValue& value, const DecodeRun& run) {
  unsigned last = value.address + register_count(value.type) - 1;
  std::string why;
  if (value.meter > run.table.count) {
    why = "is not polled with these settings";
  } else {
    const MeterConfig& meter = run.table.meters[value.meter - 1];
    unsigned function = meter.func & 0xFF;
    unsigned start = meter.start & 0xFFFF;
    if (function != 3 && function != 4)
      why = "reads no registers";
    else if (!value_read_by(value, function))
      why = std::string("reads ") + register_table(function) + ", not " + register_table(value.function);
    else if (value.address < start || last >= start + (meter.reg_count & 0xFFFF))
      why = "does not read all of these registers";
  }
  if (!why.empty())
    std::fprintf(stderr, "meterscribe-decode: %s: %s (registers %u to %u): meter %u %s\n", run.map_path,
                 value.name.c_str(), value.address, last, value.meter, why.c_str());
}

bool load_map(DecodeRun& run) {
  if (run.map_path == nullptr) return true;
  std::string error;
  if (!load_register_map(run.map_path, run.map, error)) {
    std::fprintf(stderr, "meterscribe-decode: %s\n", error.c_str());
    return false;
  }
  for (const MappedValue& value : run.map.values) warn_unpolled(value, run);
  run.output.map = &run.map;
  return true;
}

void report_bad_line(const char* name, unsigned number, const char* why, DecodeRun& run) {
  std::fprintf(stderr, "%s:%u: %s\n", name, number, why);
  ++run.bad_lines;
}

void report_unpaired(unsigned meter_index, DecodeRun& run) {
  if (run.unpaired_reported[meter_index]) return;
  run.unpaired_reported[meter_index] = true;
  std::fprintf(stderr,
               "meterscribe-decode: meter %u logs an odd number of registers; the last one has no partner "
               "for 32-bit values and is not printed\n",
               meter_index + 1);
}

// One line as read, its newline still on when it has one.
void decode_text_line(const char* text, std::size_t length, const char* name, unsigned number, DecodeRun& run) {
  // The daemon writes a line and its newline in one go; a line without one
  // was cut short (a full card, a trim, a copy in progress).
  if (text[length - 1] != '\n') return report_bad_line(name, number, "no newline: the line was cut short", run);
  LogLine line;
  LineProblem problem;
  if (!parse_log_line(std::string_view(text, length - 1), line, problem) || !check_logged_response(line, problem) ||
      !check_against_meter(line, run.table, problem))
    return report_bad_line(name, number, problem.text, run);
  RecordHead head{};
  if (!record_head(line, run.utc, head)) return report_bad_line(name, number, "the time is no calendar time", run);
  if (run.output.output == OutputFormat::influx && !head.nanoseconds_fit)
    return report_bad_line(name, number, "the time is beyond the line protocol's nanoseconds (1677 to 2262)", run);
  const MeterConfig& meter = run.table.meters[line.meter_index];
  if (print_line_values(stdout, head, line, meter, run.output) != 0) report_unpaired(line.meter_index, run);
}

void decode_stream(FILE* file, const char* name, DecodeRun& run) {
  char* text = nullptr;
  std::size_t capacity = 0;
  unsigned number = 0;
  for (ssize_t length; (length = getline(&text, &capacity, file)) > 0;)
    decode_text_line(text, static_cast<std::size_t>(length), name, ++number, run);
  if (std::ferror(file)) {
    std::fprintf(stderr, "meterscribe-decode: cannot read %s: %s\n", name, std::strerror(errno));
    run.unreadable = true;
  }
  std::free(text);
}

void decode_file(const std::string& path, DecodeRun& run) {
  unique_file file(std::fopen(path.c_str(), "r"));
  if (!file) {
    std::fprintf(stderr, "meterscribe-decode: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    run.unreadable = true;
    return;
  }
  decode_stream(file.get(), path.c_str(), run);
}

// The log files of a directory in time order, which is their name order;
// anything else there (the trimming's .tmp files, say) is left out. Every
// file counts, however many there are; a directory that cannot be read to
// its end is said, and what was read of it is still decoded.
std::vector<std::string> log_files_in(const char* directory, DecodeRun& run) {
  std::vector<std::string> names;
  LogDir dir;
  bool listed = log_dir_open(dir, directory) && log_dir_each_file(dir, [&](const char* name) {
                  if (is_log_name(name)) names.emplace_back(name);
                });
  if (!listed) {
    std::fprintf(stderr, "meterscribe-decode: cannot read %s: %s\n", directory, std::strerror(errno));
    run.unreadable = true;
  }
  std::sort(names.begin(), names.end());
  for (std::string& name : names) name.insert(0, std::string(directory) + "/");
  return names;
}

void decode_argument(const char* argument, DecodeRun& run) {
  if (std::strcmp(argument, "-") == 0) return decode_stream(stdin, "(standard input)", run);
  struct stat status;
  if (stat(argument, &status) == 0 && S_ISDIR(status.st_mode)) {
    for (const std::string& path : log_files_in(argument, run)) decode_file(path, run);
    return;
  }
  decode_file(argument, run);
}

}  // namespace

int main(int argc, char** argv) {
  if (!paths_init_from_env()) {
    std::fprintf(stderr, "%s: METERSCRIBE_ROOT is too long\n", TOOL);
    return 2;
  }
  PathBuffer default_settings;
  DecodeRun run;
  run.settings_path = rooted_path(default_settings.data(), default_settings.size(), SETTINGS_PATH);
  int first_input = parse_options(argc, argv, run);
  if (first_input < 0) return USAGE_EXIT_STATUS;
  if (!zone_of_run_known()) return 2;
  bool gateway_logs = first_input == argc;
  PathBuffer log_dir;
  if (!load_settings_of_run(run.settings_path, run.table, gateway_logs ? &log_dir : nullptr) || !load_map(run))
    return 2;
  tzset();  // the zone of the logged local times, read once
  print_header(stdout, run.output.output, run.map_path != nullptr);
  if (gateway_logs) decode_argument(log_dir.data(), run);
  for (int i = first_input; i < argc; ++i) decode_argument(argv[i], run);
  if (run.unreadable) return 2;
  return run.bad_lines != 0 ? 1 : 0;
}
