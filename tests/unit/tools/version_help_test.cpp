// Every tool, the real binary: --version names the program and the
// project's version on one line, --help prints the usage on standard
// output; both end with status 0. A bad argument is said on one line of
// standard error, the same way in every tool, and ends with status 2.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_root.h"
#include "tool_run.h"

namespace {

struct Tool {
  const char* path;
  std::string name;
};

const Tool CHECK_TOOL{MS_CHECK_TOOL, "meterscribe-check"};
const Tool DECODE_TOOL{MS_DECODE_TOOL, "meterscribe-decode"};
const Tool PROBE_TOOL{MS_PROBE_TOOL, "meterscribe-probe"};
const Tool STATUS_TOOL{MS_STATUS_TOOL, "meterscribe-status"};

// The ingest tool and the simulator are built only where their libraries are.
std::vector<Tool> every_tool() {
  std::vector<Tool> tools{CHECK_TOOL, DECODE_TOOL, PROBE_TOOL, STATUS_TOOL};
#ifdef MS_INGEST_TOOL
  tools.push_back({MS_INGEST_TOOL, "meterscribe-ingest"});
#endif
#ifdef MS_METER_SIM
  tools.push_back({MS_METER_SIM, "meter-sim"});
#endif
  return tools;
}

TEST(ToolOptions, VersionAndHelpAnswerOnStandardOutput) {
  TempRoot root;
  for (const Tool& tool : every_tool()) {
    SCOPED_TRACE(tool.name);
    ToolRun version = run_tool(tool.path, "--version", root);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, tool.name + " " MS_PROJECT_VERSION "\n");
    EXPECT_EQ(version.err, "");
    ToolRun help = run_tool(tool.path, "--help", root);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: " + tool.name + " ", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
  }
}

struct BadArguments {
  Tool tool;
  std::string arguments;
  std::string why;  // after "<tool>: "
};

// The settings path is taken alike by every tool that reads one as its
// only operand, and a directory there is refused rather than read as a
// file without keys.
TEST(ToolOptions, ABadArgumentIsSaidOnOneLineWithStatusTwo) {
  TempRoot root;
  const std::string dir = root.path();
  std::vector<BadArguments> cases{
      {PROBE_TOOL, "--meter 11", "--meter 11: a meter number is 1 to 10; try --help"},
      {PROBE_TOOL, "--repeat 0", "--repeat 0: a repeat count is 1 to 100000; try --help"},
      {PROBE_TOOL, "--bogus", "--bogus: no such option; try --help"},
      {PROBE_TOOL, "--json --meter", "--meter: needs a value; try --help"},
      {PROBE_TOOL, dir, "cannot read settings " + dir + ": Is a directory"},
      {PROBE_TOOL, "--settings a b", "b: the settings file is given by --settings already; try --help"},
      {PROBE_TOOL, "--device ttyS1", "--device: a read needs --slave ID (or --scan); try --help"},
      {PROBE_TOOL, "--slave 3", "--slave: needs --device; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --meter 1", "--meter: reads the settings; not with --device; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 0", "--slave 0: a slave address is 1 to 247; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --function 5", "--function 5: a read is function 1, 2, 3 or 4; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --count 126", "--count 126: function 3 reads 1 to 125 registers; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --start 65535 --count 2",
       "--start 65535: the read runs past address 65535; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --baud 9601",
       "--baud 9601: a speed the line runs at, such as 9600 or 19200 (a list for --scan); try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --baud 9600,19200", "--baud: one framing for a read; lists are for --scan; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --parity mark",
       "--parity mark: parity is none, even or odd (a list for --scan); try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --stop-bits 3", "--stop-bits 3: 1 or 2; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --rs485 rs422", "--rs485 rs422: gpio, kernel, rts or none; try --help"},
      {PROBE_TOOL, "--device ttyS1 --slave 3 --timeout 0", "--timeout 0: milliseconds, 1 to 60000; try --help"},
      {PROBE_TOOL, "--device ttyS1 --scan --slaves 9-2", "--slaves 9-2: a range of slave addresses A-B within 1-247; try --help"},
      {PROBE_TOOL, "--device ttyS1 --scan --slave 3", "--slave: a scan takes --slaves A-B; try --help"},
      {DECODE_TOOL, "--word-order middle log", "--word-order middle: the word order is big or little; try --help"},
      {DECODE_TOOL, "--map map --u32 log", "--u32: the map gives each value its type and order; try --help"},
      {DECODE_TOOL, "--json=yes log", "--json: takes no value; try --help"},
      {DECODE_TOOL, "--settings " + dir + " log", "cannot read settings " + dir + ": Is a directory"},
      {CHECK_TOOL, "a b", "b: one settings file only; try --help"},
      {CHECK_TOOL, "-x", "-x: no such option; try --help"},
      {CHECK_TOOL, dir, "cannot read " + dir + ": Is a directory"},
      {STATUS_TOOL, "--output", "--output: needs a value; try --help"},
      {STATUS_TOOL, "--settings " + dir, "cannot read settings " + dir + ": Is a directory"},
  };
#ifdef MS_INGEST_TOOL
  const Tool ingest{MS_INGEST_TOOL, "meterscribe-ingest"};
  cases.push_back({ingest, "site", "site: ROOT is missing after SITE-FILE; try --help"});
  cases.push_back({ingest, "--init --once", "--once: needs SITE-FILE and ROOT; try --help"});
  cases.push_back({ingest, "--delete --settle soon site root",
                   "--settle soon: the settle time is 0 to 86400 seconds; try --help"});
#endif
#ifdef MS_METER_SIM
  const Tool sim{MS_METER_SIM, "meter-sim"};
  cases.push_back({sim, "--slave 300", "--slave 300: a slave address is 1 to 247; try --help"});
  cases.push_back({sim, "--no-such-option", "--no-such-option: no such option; try --help"});
#endif
  // A log directory the daemon would refuse to start with is refused alike.
  const std::string too_long(107, 'd');
  root.write_file("/card", "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=" + too_long + "\n");
  cases.push_back({DECODE_TOOL, "--settings " + root.at("/card"),
                   "error: log directory /var/meterscribe/mnt/" + too_long + " is too long: at most 127 characters fit"});
  for (const BadArguments& c : cases) {
    SCOPED_TRACE(c.tool.name + " " + c.arguments);
    ToolRun run = run_tool(c.tool.path, c.arguments + " </dev/null", root);
    EXPECT_EQ(run.err, c.tool.name + ": " + c.why + "\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.status, 2);
  }
}

}  // namespace
