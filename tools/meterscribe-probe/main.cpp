// meterscribe-probe: polls every configured meter once, now, the way the
// daemon does, and says for each what came back: for the integrator on site
// who must see at once whether the wiring is right and each meter answers.
// Without settings it reads one meter given on the command line, or scans
// the line for the slaves that answer, to commission a meter not yet known.
// It takes the daemon's device lock, so it never talks over a running
// daemon; it writes no log file and runs no script.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adhoc.h"
#include "line.h"
#include "messages.h"
#include "modbus/serial_port.h"
#include "register_map.h"
#include "report.h"
#include "sys/paths.h"
#include "usage.h"

namespace {

constexpr const char* TOOL = "meterscribe-probe";
constexpr const char* USAGE =
    "usage: meterscribe-probe [--meter N] [--repeat K] [--map FILE] [--json] [--settings PATH | PATH]\n"
    "       meterscribe-probe --device DEV --slave ID [--function F] [--start S] [--count C] [FRAMING] [--rs485 WORD] [--json] [--map FILE]\n"
    "       meterscribe-probe --device DEV --scan [--slaves A-B] [--function F] [--start S] [--count C] [FRAMING] [--rs485 WORD] [--json]\n"
    "Polls every meter of the settings once, the way the daemon does, and prints what each answered;\n"
    "or reads one meter, or scans the line for the slaves that answer, without settings.\n"
    "  [--settings] PATH  the daemon's settings (default /opt/meterscribe/etc/settings)\n"
    "  --meter N          only meter N (1-based, as in the settings)\n"
    "  --repeat K         poll each meter K times, then print a summary per meter\n"
    "  --map FILE         name, scale and unit the registers with a register map\n"
    "  --json             one JSON object per line\n"
    "  --device DEV       the serial device, a path or a name below /dev (ttyUSB0)\n"
    "  --slave ID         the slave address to read, 1 to 247\n"
    "  --function F       1 coils, 2 discrete inputs, 3 holding registers (default), 4 input registers\n"
    "  --start S          the first 0-based protocol address (default 0)\n"
    "  --count C          coils, inputs or registers to read (default 1)\n"
    "  --scan             ask every slave of --slaves (default 1-247) at every framing\n"
    "  FRAMING            --baud B (default 9600) --parity none|even|odd (default none) --stop-bits 1|2;\n"
    "                     a scan takes lists: --baud 9600,19200 --parity none,even\n"
    "  --timeout MS       wait for the first byte (default 1000, a scan 100)\n"
    "  --rs485 WORD       direction switching as the RS485 setting: gpio (default), kernel, rts, none\n"
    "  --version          print the version; --help this text\n"
    "The daemon must not run meanwhile: the probe takes the line's lock as the daemon does.\n"
    "Exit status: 0 every meter answered correctly (a scan: some slave answered), 1 not,\n"
    "2 usage or set-up error (no settings or meters, line locked, port cannot be opened).\n";

constexpr unsigned REPEAT_MAX = 100000;

struct ProbeRun {
  std::string settings_path;
  unsigned only_meter = 0;  // 0: all
  unsigned repeat = 1;
  const char* map_path = nullptr;
  bool json = false;
  AdHocRequest adhoc;             // adhoc.device set: no settings are read
  const char* settings_option = nullptr;  // an option only a settings run takes, if any
  std::string adhoc_option;               // the first option only a read or a scan takes
  const char* read_option = nullptr;      // --slave, which a scan does not take
  const char* scan_option = nullptr;      // --slaves, which a read does not take
};

// Set by SIGINT and SIGTERM: the probe stops after the exchange under way
// and still removes its lock.
volatile std::sig_atomic_t stop_asked = 0;

void ask_stop(int /*signal*/) { stop_asked = 1; }

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = ask_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

enum OwnOption : int {
  DEVICE = OPTION_FIRST_OWN,
  SLAVE,
  SLAVES,
  FUNCTION,
  START,
  COUNT,
  BAUD,
  PARITY,
  STOP_BITS,
  TIMEOUT,
  SCAN,
  RS485,
};

// An option of a read or a scan, `argument` its value. False on a usage
// error.
bool take_adhoc_option(int code, const char* argument, ProbeRun& run) {
  AdHocRequest& adhoc = run.adhoc;
  switch (code) {
    case DEVICE: adhoc.device = argument; return true;
    case SCAN: adhoc.scan = true; return true;
    case SLAVE:
      run.read_option = "--slave";
      return parse_count(argument, 1, 247, adhoc.slave) ||
             value_error(TOOL, "--slave", argument, "a slave address is 1 to 247");
    case SLAVES: run.scan_option = "--slaves"; return parse_slave_range(argument, adhoc.first_slave, adhoc.last_slave);
    case FUNCTION:
      return parse_count(argument, 1, 4, adhoc.function) ||
             value_error(TOOL, "--function", argument, "a read is function 1, 2, 3 or 4");
    case START:
      return parse_count(argument, 0, 65535, adhoc.start) ||
             value_error(TOOL, "--start", argument, "a 0-based protocol address is 0 to 65535");
    case COUNT:
      return parse_count(argument, 1, 2000, adhoc.count) ||
             value_error(TOOL, "--count", argument, "a count is 1 to 125 registers or 2000 bits");
    case BAUD: return parse_baud_list(argument, adhoc.bauds);
    case PARITY: return parse_parity_list(argument, adhoc.parities);
    case STOP_BITS:
      return parse_count(argument, 1, 2, adhoc.stop_bits) || value_error(TOOL, "--stop-bits", argument, "1 or 2");
    case TIMEOUT:
      return parse_count(argument, 1, ADHOC_TIMEOUT_MAX_MS, adhoc.timeout_ms) ||
             value_error(TOOL, "--timeout", argument, "milliseconds, 1 to 60000");
    case RS485: {
      Rs485Control control{};
      adhoc.rs485 = argument;
      return rs485_control_named(argument, control) ||
             value_error(TOOL, "--rs485", argument, "gpio, kernel, rts or none");
    }
    default: return false;
  }
}

// A settings run and a read or a scan take different options; a read and
// a scan differ in --slave and --slaves. False after a usage error.
bool check_mode(int argc, char** argv, const ProbeRun& run) {
  if (run.adhoc.device == nullptr) {
    if (!run.adhoc_option.empty()) return usage_error(TOOL, run.adhoc_option.c_str(), "needs --device");
    return true;
  }
  if (run.settings_option != nullptr) return usage_error(TOOL, run.settings_option, "reads the settings; not with --device");
  if (optind < argc) return usage_error(TOOL, argv[optind], "no settings file with --device");
  if (run.adhoc.scan && run.read_option != nullptr) return usage_error(TOOL, "--slave", "a scan takes --slaves A-B");
  if (!run.adhoc.scan && run.scan_option != nullptr) return usage_error(TOOL, "--slaves", "needs --scan");
  return check_adhoc_request(run.adhoc);
}

// False on a usage error.
bool parse_options(int argc, char** argv, ProbeRun& run) {
  enum { METER = 'm', REPEAT = 'r', MAP_LETTER = 'p' };
  static const option long_options[] = {SETTINGS_OPTION,
                                        {"meter", required_argument, nullptr, METER},
                                        {"repeat", required_argument, nullptr, REPEAT},
                                        MAP_OPTION,
                                        JSON_OPTION,
                                        {"device", required_argument, nullptr, DEVICE},
                                        {"slave", required_argument, nullptr, SLAVE},
                                        {"slaves", required_argument, nullptr, SLAVES},
                                        {"function", required_argument, nullptr, FUNCTION},
                                        {"start", required_argument, nullptr, START},
                                        {"count", required_argument, nullptr, COUNT},
                                        {"baud", required_argument, nullptr, BAUD},
                                        {"parity", required_argument, nullptr, PARITY},
                                        {"stop-bits", required_argument, nullptr, STOP_BITS},
                                        {"timeout", required_argument, nullptr, TIMEOUT},
                                        {"scan", no_argument, nullptr, SCAN},
                                        {"rs485", required_argument, nullptr, RS485},
                                        HELP_OPTION,
                                        VERSION_OPTION,
                                        END_OF_OPTIONS};
  const ToolCommandLine command_line{TOOL, USAGE, "s:m:r:p:j", long_options};
  bool settings_given = false;
  for (int code; (code = next_option(command_line, argc, argv)) != -1;) {
    switch (code) {
      case OPTION_SETTINGS:
        run.settings_path = optarg;
        settings_given = true;
        run.settings_option = "--settings";
        break;
      case METER:
        run.settings_option = "--meter";
        if (!parse_count(optarg, 1, METER_SLOTS, run.only_meter))
          return value_error(TOOL, "--meter", optarg, "a meter number is 1 to 10");
        break;
      case REPEAT:
        run.settings_option = "--repeat";
        if (!parse_count(optarg, 1, REPEAT_MAX, run.repeat))
          return value_error(TOOL, "--repeat", optarg, "a repeat count is 1 to 100000");
        break;
      case OPTION_MAP:
      case MAP_LETTER: run.map_path = optarg; break;
      case OPTION_JSON: run.json = true; break;
      case '?': return false;
      default:
        for (const option* entry = long_options; entry->name != nullptr && run.adhoc_option.empty(); ++entry)
          if (entry->val == code && code != DEVICE) run.adhoc_option = std::string("--") + entry->name;
        if (!take_adhoc_option(code, optarg, run)) return false;
    }
  }
  if (!check_mode(argc, argv, run)) return false;
  return run.adhoc.device != nullptr || take_settings_operand(TOOL, argc, argv, settings_given, run.settings_path);
}

void print_line_head(const ProbeLine& line) {
  const DaemonContext& context = line.context;
  std::printf("line %s: %u bit/s, %s; answers within 1 s, the rest within %u ms (SPLIT)\n", line.device_path.data(),
              line_speed(context.baudrate), line_kind(line), context.split);
}

// Polls the chosen meters `repeat` times over; true when every answer was
// correct.
bool probe_meters(const ProbeRun& run, const ProbeLine& line, const ReportOptions& report) {
  unsigned first = run.only_meter != 0 ? run.only_meter - 1 : 0;
  unsigned end = run.only_meter != 0 ? run.only_meter : line.meter_count;
  std::vector<MeterTally> tallies(end);
  Exchange exchange{};
  ProbeLink link = link_of(line);
  for (unsigned round = 0; round < run.repeat && stop_asked == 0; ++round) {
    for (unsigned index = first; index < end && stop_asked == 0; ++index) {
      poll_once(link, line.context.meters[index], index + 1, exchange);
      print_exchange(stdout, index + 1, line.context.meters[index], exchange, report);
      count_exchange(tallies[index], exchange);
    }
  }
  bool all_ok = stop_asked == 0;
  for (unsigned index = first; index < end; ++index) {
    if (run.repeat > 1) print_summary(stdout, index + 1, tallies[index], report);
    all_ok = all_ok && tallies[index].answers == tallies[index].polls;
  }
  return all_ok;
}

}  // namespace

int main(int argc, char** argv) {
  // Whoever reads the lines, a person or a program, sees each exchange as it ends.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  catch_daemon_messages();
  if (!paths_init_from_env()) {
    std::fprintf(stderr, "meterscribe-probe: METERSCRIBE_ROOT is too long\n");
    return 2;
  }
  PathBuffer default_settings;
  ProbeRun run;
  run.settings_path = rooted_path(default_settings.data(), default_settings.size(), SETTINGS_PATH);
  if (!parse_options(argc, argv, run)) return USAGE_EXIT_STATUS;
  RegisterMap map;
  std::string map_error;
  if (run.map_path != nullptr && !load_register_map(run.map_path, map, map_error)) {
    std::fprintf(stderr, "meterscribe-probe: %s\n", map_error.c_str());
    return 2;
  }
  catch_stop_signals();
  if (run.adhoc.device != nullptr)
    return run_adhoc(run.adhoc, {run.map_path != nullptr ? &map : nullptr, run.json}, stop_asked);
  ProbeLine line{};
  if (!load_probe_settings(run.settings_path.c_str(), line)) {
    release_line(line);
    return 2;
  }
  if (run.only_meter > line.meter_count) {
    std::fprintf(stderr, "meterscribe-probe: meter %u is not polled: the settings name %u meter(s)\n", run.only_meter,
                 line.meter_count);
    release_line(line);
    return 2;
  }
  if (!take_line(line)) {
    release_line(line);
    return 2;
  }
  if (!run.json) print_line_head(line);
  bool all_ok = probe_meters(run, line, {run.map_path != nullptr ? &map : nullptr, run.json});
  release_line(line);
  return all_ok ? 0 : 1;
}
