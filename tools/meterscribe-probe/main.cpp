// meterscribe-probe: polls every configured meter once, now, the way the
// daemon does, and says for each what came back: for the integrator on site
// who must see at once whether the wiring is right and each meter answers.
// It takes the daemon's device lock, so it never talks over a running
// daemon; it writes no log file and runs no script.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    "Polls every meter of the settings once, the way the daemon does, and prints what each answered.\n"
    "  [--settings] PATH  the daemon's settings (default /opt/meterscribe/etc/settings)\n"
    "  --meter N          only meter N (1-based, as in the settings)\n"
    "  --repeat K         poll each meter K times, then print a summary per meter\n"
    "  --map FILE         name, scale and unit the registers with a register map\n"
    "  --json             one JSON object per line\n"
    "  --version          print the version; --help this text\n"
    "The daemon must not run meanwhile: the probe takes the line's lock as the daemon does.\n"
    "Exit status: 0 every meter answered correctly, 1 some did not, 2 usage or set-up error\n"
    "(no settings or meters, line locked, port cannot be opened).\n";

constexpr unsigned REPEAT_MAX = 100000;

struct ProbeRun {
  std::string settings_path;
  unsigned only_meter = 0;  // 0: all
  unsigned repeat = 1;
  const char* map_path = nullptr;
  bool json = false;
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

// False on a usage error.
bool parse_options(int argc, char** argv, ProbeRun& run) {
  enum { METER = 'm', REPEAT = 'r', MAP_LETTER = 'p' };
  static const option long_options[] = {SETTINGS_OPTION,
                                        {"meter", required_argument, nullptr, METER},
                                        {"repeat", required_argument, nullptr, REPEAT},
                                        MAP_OPTION,
                                        JSON_OPTION,
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
        break;
      case METER:
        if (!parse_count(optarg, 1, METER_SLOTS, run.only_meter))
          return value_error(TOOL, "--meter", optarg, "a meter number is 1 to 10");
        break;
      case REPEAT:
        if (!parse_count(optarg, 1, REPEAT_MAX, run.repeat))
          return value_error(TOOL, "--repeat", optarg, "a repeat count is 1 to 100000");
        break;
      case OPTION_MAP:
      case MAP_LETTER: run.map_path = optarg; break;
      case OPTION_JSON: run.json = true; break;
      default: return false;
    }
  }
  return take_settings_operand(TOOL, argc, argv, settings_given, run.settings_path);
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
  catch_stop_signals();
  if (!take_line(line)) {
    release_line(line);
    return 2;
  }
  if (!run.json) print_line_head(line);
  bool all_ok = probe_meters(run, line, {run.map_path != nullptr ? &map : nullptr, run.json});
  release_line(line);
  return all_ok ? 0 : 1;
}
