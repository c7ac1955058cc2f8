// meterscribe-probe, the real binary on a real line: against the meter
// simulator (libmodbus) for every verdict, a held device lock (the lock's
// verdicts are the daemon's own, in the device lock's tests), --meter,
// --repeat and --json; against an independent slave (pymodbus) for the
// values it reads, with and without a register map, without settings too,
// and for the slaves a scan finds.
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/crc16_reference.h"
#include "support/gateway_root.h"
#include "support/meter_sim_process.h"
#include "support/pymodbus_slave_process.h"
#include "tool_run.h"

namespace {

// A frame written as hex bytes, with its CRC appended by the tests' own
// reference; `flip_last` inverts the last CRC byte as the simulator's
// --bad-crc does.
std::string frame(const std::string& hex, bool flip_last = false) {
  std::vector<unsigned> bytes;
  std::istringstream in(hex);
  for (std::string word; in >> word;) bytes.push_back(std::stoul(word, nullptr, 16));
  std::uint16_t crc = crc16_reference(bytes, bytes.size());
  char tail[16];
  std::snprintf(tail, sizeof tail, " %02x %02x", crc & 0xFF, (crc >> 8) ^ (flip_last ? 0xFF : 0));
  return hex + tail;
}

// Times differ from run to run: every "N.N ms" reads "T ms", "N.N s" "T s",
// and a JSON time ("..._ms", "seconds") T.
std::vector<std::string> lines_without_times(const std::string& text) {
  std::vector<std::string> lines;
  std::string plain = std::regex_replace(text, std::regex("[0-9]+\\.[0-9] (m?s)\\b"), "T $1");
  std::istringstream in(std::regex_replace(plain, std::regex("(_ms|\"seconds)\":[0-9.]+"), "$1\":T"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Meter k is slave `slaves[k-1]`, reading holding registers 4 and 5, which
// the simulator fills with (slave << 8) | register. The keys of `first`
// come first, so they win over the same keys after them.
std::string settings_for(const std::string& device, const std::vector<unsigned>& slaves, const char* first = "") {
  std::string text = std::string(first) + "MOD_METERSCRIBE_DEVICE=" + device +
                     "\nMOD_METERSCRIBE_BAUDRATE=38400\nMOD_METERSCRIBE_SPLIT=100\n";
  for (std::size_t k = 0; k < slaves.size(); ++k) {
    std::string n = std::to_string(k + 1);
    text += "MOD_METERSCRIBE_ADDR" + n + "=" + std::to_string(slaves[k]) + "\nMOD_METERSCRIBE_FUNC" + n +
            "=3\nMOD_METERSCRIBE_START" + n + "=4\nMOD_METERSCRIBE_REG_COUNT" + n + "=2\n";
  }
  return text;
}

class ProbeTest : public TempRootTest {
 protected:
  // The probe's lock goes below the test root.
  ToolRun probe(const std::string& options) {
    return run_tool(("METERSCRIBE_ROOT=" + root.path() + " " + MS_PROBE_TOOL).c_str(),
                    "--settings " + root.at("/settings") + " " + options, root);
  }
  // The device's lock below the test root, relative to it.
  static std::string lock_of(const std::string& device) {
    return std::string(LOCK_DIR) + "/LCK.." + device.substr(device.rfind('/') + 1);
  }
  bool exists(const std::string& relative) const { return access(root.at(relative).c_str(), F_OK) == 0; }
  std::string head(const std::string& device, unsigned split_ms = 100) {
    return "line /dev/" + device + ": 38400 bit/s, RS-232; answers within 1 s, the rest within " +
           std::to_string(split_ms) + " ms (SPLIT)";
  }
};

const std::string OK1 = "meter 1: slave 1, function 3, holding registers 4-5: ok; first byte T ms, last T ms; bytes " +
                        frame("01 03 04 01 04 01 05") + "; values 4=260, 5=261";
const std::string OK2 = "meter 2: slave 2, function 3, holding registers 4-5: ok; first byte T ms, last T ms; bytes " +
                        frame("02 03 04 02 04 02 05") + "; values 4=516, 5=517";
const std::string SILENT2 = "meter 2: slave 2, function 3, holding registers 4-5: no answer within 1 s";

TEST_F(ProbeTest, VerdictsAgainstTheSimulator) {
  std::string bad_crc = frame("01 03 04 01 04 01 05", true);
  std::string crc_bytes = bad_crc.substr(bad_crc.size() - 5);
  std::string good_crc = frame("01 03 04 01 04 01 05").substr(bad_crc.size() - 5);
  struct Case {
    const char* name;
    std::vector<std::string> sim;
    std::vector<unsigned> slaves;
    const char* options;
    int status;
    std::vector<std::string> lines;  // after the line's head
    const char* settings = "";       // keys that win over the meters' own
  };
  const Case cases[] = {
      {"all ok", {"--slaves", "1,2"}, {1, 2}, "", 0, {OK1, OK2}},
      {"a silent meter", {"--slaves", "1", "--silent", "2"}, {1, 2}, "", 1, {OK1, SILENT2}},
      {"a bad CRC",
       {"--bad-crc", "1"},
       {1},
       "",
       1,
       {"meter 1: slave 1, function 3, holding registers 4-5: bad CRC (received 0x" + crc_bytes.substr(3, 2) +
        crc_bytes.substr(0, 2) + ", computed 0x" + good_crc.substr(3, 2) + good_crc.substr(0, 2) +
        "); first byte T ms, last T ms; bytes " + bad_crc}},
      {"an exception",
       {"--exception", "1:2"},
       {1},
       "",
       1,
       {"meter 1: slave 1, function 3, holding registers 4-5: exception 2 (illegal data address); first byte T ms, "
        "last T ms; bytes " + frame("01 83 02")}},
      {"an answer cut short by SPLIT",
       {"--chunks", "1:3:300"},
       {1},
       "",
       1,
       {"meter 1: slave 1, function 3, holding registers 4-5: too short (3 bytes, 9 expected); first byte T ms, last "
        "T ms; bytes 01 03 04"}},
      {"--meter picks one", {"--slaves", "1,2"}, {1, 2}, "--meter 2", 0, {OK2}},
      // Discrete inputs are read with --device only: the daemon never asks.
      {"function 2 is not sent from the settings",
       {"--slaves", "1,2"},
       {1, 2},
       "",
       1,
       {"meter 1: slave 1, function 2, discrete inputs 4-11: not sent: function 2 is none of 1, 3, 4", OK2},
       "MOD_METERSCRIBE_FUNC1=2\nMOD_METERSCRIBE_BIN_COUNT1=8\n"},
      {"--repeat sums up each meter",
       {"--slaves", "1", "--silent", "2"},
       {1, 2},
       "--repeat 2",
       1,
       {OK1, SILENT2, OK1, SILENT2,
        "meter 1 summary: 2 polls, 2 answers, 0 failures; request to last byte: min T ms, median T ms, max T ms",
        "meter 2 summary: 2 polls, 0 answers, 2 failures (no answer 2)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MeterSimProcess sim(c.sim);
    if (!sim.started()) GTEST_SKIP() << "meter-sim is not built (libmodbus missing)";
    root.write_file("/settings", settings_for(sim.device(), c.slaves, c.settings));
    ToolRun run = probe(c.options);
    std::vector<std::string> expected = {head(sim.device())};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(lines_without_times(run.out), expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_FALSE(exists(lock_of(sim.device()))) << "the probe's lock is left behind";
  }
}

// The daemon holds the line: the probe names it and how to stop it, and
// leaves its lock alone.
TEST_F(ProbeTest, ALiveLockHolderIsNamedAndKept) {
  MeterSimProcess sim({"--slaves", "1"});
  if (!sim.started()) GTEST_SKIP() << "meter-sim is not built (libmodbus missing)";
  root.write_file("/settings", settings_for(sim.device(), {1}));
  std::string lock = lock_of(sim.device());
  root.write_file(lock, lock_content(sim.pid()));
  ToolRun run = probe("");
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("/dev/" + sim.device() + " is in use by process " + std::to_string(sim.pid()) +
                         " (meter-sim)"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("systemctl stop meterscribe"), std::string::npos) << run.err;
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(root.read_file(lock), lock_content(sim.pid()));
}

// Set-up errors: status 2 and one message before any poll, and no lock left
// behind. (Usage errors are in the tools' shared table.)
TEST_F(ProbeTest, SetUpErrorsEndWithStatusTwo) {
  const std::string settings = root.at("/settings");
  const std::string meter = "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=2\n";
  const std::string no_port = "MOD_METERSCRIBE_DEVICE=meterscribe-no-such-port\n";
  struct Case {
    const char* name;
    std::string settings;  // "": no settings file
    const char* options;
    std::string err;
  };
  const Case cases[] = {
      {"--meter past the last meter", no_port + meter, "--meter 2",
       "meterscribe-probe: meter 2 is not polled: the settings name 1 meter(s)\n"},
      {"no settings file", "", "", "meterscribe-probe: cannot read settings " + settings + ": No such file or directory\n"},
      {"settings without meters", no_port, "",
       "meterscribe-probe: no meters to read in " + settings + " (MOD_METERSCRIBE_ADDR1 is 0 or missing)\n"},
      {"a port that will not open", no_port + meter, "",
       "meterscribe-probe: open(/dev/meterscribe-no-such-port) error: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(settings.c_str());
    if (!c.settings.empty()) root.write_file("/settings", c.settings);
    ToolRun run = probe(c.options);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(exists(lock_of("meterscribe-no-such-port")));
  }
}

// Every line is one JSON object, read back by Python's own parser.
TEST_F(ProbeTest, JsonLinesParse) {
  MeterSimProcess sim({"--slaves", "1", "--exception", "2:6"});
  if (!sim.started()) GTEST_SKIP() << "meter-sim is not built (libmodbus missing)";
  root.write_file("/settings", settings_for(sim.device(), {1, 2}));
  ToolRun run = probe("--json --repeat 2");
  EXPECT_EQ(run.status, 1);
  root.write_file("/probe.json", run.out);
  root.write_file("/read.py",
                  "import json, sys\n"
                  "for text in open(sys.argv[1]):\n"
                  "    o = json.loads(text)\n"
                  "    if o.get('summary'): print('summary', o['meter'], o['answers'], o['failures'], o['by_verdict'])\n"
                  "    else: print(o['meter'], o['verdict'], o.get('exception'), [v['value'] for v in o['values']])\n");
  ToolRun parsed = run_tool(PymodbusSlaveProcess::PYTHON, root.at("/read.py") + " " + root.at("/probe.json"), root);
  EXPECT_EQ(parsed.out,
            "1 ok None [260, 261]\n2 exception server device busy []\n"
            "1 ok None [260, 261]\n2 exception server device busy []\n"
            "summary 1 2 0 {}\nsummary 2 0 2 {'exception': 2}\n");
  EXPECT_EQ(parsed.err, "");
}

// An independent slave serves known values: meter 1 reads holding
// registers 0-4 (230.5 as a float, 1234.56 kWh as a word-swapped u32 in
// hundredths, -0.5 degC as an s16 in tenths), meter 2 input register 0
// (50 Hz in hundredths).
TEST_F(ProbeTest, ValuesFromAnIndependentSlave) {
  if (!PymodbusSlaveProcess::available())
    GTEST_SKIP() << PymodbusSlaveProcess::PYTHON << " cannot import pymodbus (python3-pymodbus, python3-serial-asyncio)";
  const std::vector<std::string> values = {"--slave", "1", "--holding", "0x4366,0x8000,0xE240,0x0001,0xFFFB",
                                           "--input", "5000"};
  root.write_file("/map",
                  "# meter address name type order scale unit\n"
                  "1 0 voltage float32 ABCD 1 V\n1 2 energy u32 CDAB 0.01 kWh\n1 4 temperature s16 ABCD 0.1 degC\n"
                  "2 0x0000 frequency u16 ABCD 0.01 Hz\n");
  const std::string meters =
      "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=5\n"
      "MOD_METERSCRIBE_ADDR2=1\nMOD_METERSCRIBE_FUNC2=4\nMOD_METERSCRIBE_REG_COUNT2=1\n";
  const std::string holding = "meter 1: slave 1, function 3, holding registers 0-4: ";
  const std::string holding_bytes = frame("01 03 0a 43 66 80 00 e2 40 00 01 ff fb");
  const std::string input = "meter 2: slave 1, function 4, input registers 0-0: ok; first byte T ms, last T ms; bytes " +
                            frame("01 04 02 13 88");
  struct Case {
    const char* name;
    std::vector<std::string> extra;  // more options of the slave
    std::string meters;
    const char* options;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"named and scaled through the map", {}, meters, "--map", 0,
       {holding + "ok; first byte T ms, last T ms; bytes " + holding_bytes +
            "; values voltage=230.5 V, energy=1234.56 kWh, temperature=-0.5 degC",
        input + "; values frequency=50 Hz"}},
      {"unsigned words without a map", {}, meters, "", 0,
       {holding + "ok; first byte T ms, last T ms; bytes " + holding_bytes +
            "; values 0=17254, 1=32768, 2=57920, 3=1, 4=65531",
        input + "; values 0=5000"}},
      {"an answer from another address", {"--answer-as", "7"}, meters, "--meter 1", 1,
       {holding + "wrong slave or function (answer from slave 7, function 3); first byte T ms, last T ms; bytes " +
        frame("07 03 0a 43 66 80 00 e2 40 00 01 ff fb") + "; note: the daemon logs this answer as meter 1's all the same"}},
      {"registers the slave does not have",
       {},
       "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_START1=10\nMOD_METERSCRIBE_REG_COUNT1=2\n",
       "",
       1,
       {"meter 1: slave 1, function 3, holding registers 10-11: exception 2 (illegal data address); first byte T ms, "
        "last T ms; bytes " + frame("01 83 02")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> options = values;
    options.insert(options.end(), c.extra.begin(), c.extra.end());
    PymodbusSlaveProcess slave(options);
    ASSERT_TRUE(slave.started());
    root.write_file("/settings", "MOD_METERSCRIBE_DEVICE=" + slave.device() +
                                     "\nMOD_METERSCRIBE_BAUDRATE=38400\nMOD_METERSCRIBE_SPLIT=200\n" + c.meters);
    std::string map_option = std::string(c.options) == "--map" ? "--map " + root.at("/map") : c.options;
    ToolRun run = probe(map_option);
    std::vector<std::string> expected = {head(slave.device(), 200)};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(lines_without_times(run.out), expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.status);
  }
}

// A read given on the command line, against an independent slave: each of
// the four functions gives the slave's values with one request, a map
// names them, and --json writes a configured meter's object without a
// meter number.
TEST_F(ProbeTest, AReadWithoutSettingsGivesTheSlavesValues) {
  if (!PymodbusSlaveProcess::available())
    GTEST_SKIP() << PymodbusSlaveProcess::PYTHON << " cannot import pymodbus (python3-pymodbus, python3-serial-asyncio)";
  PymodbusSlaveProcess slave({"--slave", "5", "--coils", "1,0,1,1,0,0,0,0,1", "--discrete", "0,1,1", "--holding",
                              "0x4366,0x8000,7", "--input", "5000", "--log", root.at("/requests")});
  ASSERT_TRUE(slave.started());
  root.write_file("/map", "1 0 voltage float32 ABCD 1 V\n");
  const std::string ok = ": ok; first byte T ms, last T ms; bytes ";
  struct Case {
    std::string options;
    std::string line;     // after the line's head, if any
    const char* request;  // as the slave logs it: slave function address count
  };
  const Case cases[] = {
      {"--function 1 --count 9",
       "slave 5, function 1, coils 0-8" + ok + frame("05 01 02 0d 01") + "; values 0=1, 1=0, 2=1, 3=1, 4=0, 5=0, 6=0, 7=0, 8=1",
       "5 1 0 9"},
      {"--function 2 --start 1 --count 2", "slave 5, function 2, discrete inputs 1-2" + ok + frame("05 02 01 03") +
       "; values 1=1, 2=1", "5 2 1 2"},
      {"--start 1 --count 2", "slave 5, function 3, holding registers 1-2" + ok + frame("05 03 04 80 00 00 07") +
       "; values 1=32768, 2=7", "5 3 1 2"},
      {"--function 4 --baud 19200 --stop-bits 2 --timeout 500", "slave 5, function 4, input registers 0-0" + ok +
       frame("05 04 02 13 88") + "; values 0=5000", "5 4 0 1"},
      {"--count 2 --map " + root.at("/map"), "slave 5, function 3, holding registers 0-1" + ok +
       frame("05 03 04 43 66 80 00") + "; values voltage=230.5 V", "5 3 0 2"},
      {"--count 2 --json", "{\"meter\":null,\"slave\":5,\"function\":3,\"start\":0,\"count\":2,\"verdict\":\"ok\","
       "\"first_byte_ms\":T,\"last_byte_ms\":T,\"bytes\":\"" + frame("05 03 04 43 66 80 00") + "\",\"values\":["
       "{\"name\":\"0\",\"value\":17254,\"unit\":\"\"},{\"name\":\"1\",\"value\":32768,\"unit\":\"\"}],\"notes\":[]}",
       "5 3 0 2"},
  };
  std::string requests;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    ToolRun run = run_tool(("METERSCRIBE_ROOT=" + root.path() + " " + MS_PROBE_TOOL).c_str(),
                           "--device " + slave.device() + " --slave 5 " + c.options, root);
    std::vector<std::string> expected;
    if (c.options.find("--json") == std::string::npos) {
      std::string framing = c.options.find("19200") != std::string::npos ? "19200 8N2" : "9600 8N1";
      std::string wait = c.options.find("--timeout") != std::string::npos ? "500" : "1000";
      expected.push_back("line /dev/" + slave.device() + ": slave 5 at " + framing + ", RS-232; answers within " +
                         wait + " ms, the rest within 200 ms");
    }
    expected.push_back(c.line);
    EXPECT_EQ(lines_without_times(run.out), expected);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    requests += std::string(c.request) + "\n";
    EXPECT_EQ(root.read_file("/requests"), requests) << "one request per read";
  }
  EXPECT_FALSE(exists(lock_of(slave.device()))) << "the probe's lock is left behind";
}

// A scan finds exactly the slaves that answer, at the framing they answer
// at: requests at another speed never reach them, a frame from another
// address is no answer, and a framing the line refuses is not scanned.
TEST_F(ProbeTest, AScanFindsTheSlavesThatAnswer) {
  if (!PymodbusSlaveProcess::available())
    GTEST_SKIP() << PymodbusSlaveProcess::PYTHON << " cannot import pymodbus (python3-pymodbus, python3-serial-asyncio)";
  const std::vector<std::string> three = {"--slave", "3,7,12", "--baud", "19200", "--holding", "11", "--input", "5000"};
  auto found = [](unsigned slave, const char* framing = "19200 8N1") {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", slave);
    return std::string(framing) + ": slave " + std::to_string(slave) + ", function 3, holding registers 0-0: ok; first byte T ms, "
           "last T ms; bytes " + frame(std::string(hex) + " 03 02 00 0b") + "; values 0=11";
  };
  auto found_json = [](unsigned slave) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", slave);
    return "{\"meter\":null,\"baud\":19200,\"parity\":\"none\",\"stop_bits\":1,\"slave\":" + std::to_string(slave) +
           ",\"function\":4,\"start\":0,\"count\":1,\"verdict\":\"ok\",\"first_byte_ms\":T,\"last_byte_ms\":T,"
           "\"bytes\":\"" + frame(std::string(hex) + " 04 02 13 88") +
           "\",\"values\":[{\"name\":\"0\",\"value\":5000,\"unit\":\"\"}],\"notes\":[]}";
  };
  // Waits long enough for a slave busy starting up, or on a loaded machine.
  const std::string two_speeds = "--scan --slaves 1-12 --baud 9600,19200 --timeout 200";
  const std::string two_speeds_head = ": slaves 1-12 at 9600 8N1, 19200 8N1, RS-232; answers within 200 ms, the rest "
                                      "within 200 ms";
  struct Case {
    const char* name;
    std::vector<std::string> slaves;  // the slave's options
    std::string options;
    std::string head;                 // after "line /dev/DEV"; "" with --json
    std::vector<std::string> lines;
    int status;
    const char* requests;  // served, as the slave logs them
    std::string err = "";  // with "DEV" for the device
  };
  const Case cases[] = {
      {"three slaves at 19200 bit/s", three, two_speeds, two_speeds_head,
       {found(3), found(7), found(12), "scan: 24 asked, 3 answered, 0 other replies (noise, or another slave's frame); T s"},
       0, "3 3 0 1\n7 3 0 1\n12 3 0 1\n"},
      {"as JSON", three, "--scan --slaves 1-12 --baud 19200 --timeout 200 --function 4 --json", "",
       {found_json(3), found_json(7), found_json(12),
        "{\"summary\":true,\"asked\":12,\"answered\":3,\"other_replies\":0,\"seconds\":T,\"stopped\":false}"},
       0, "3 4 0 1\n7 4 0 1\n12 4 0 1\n"},
      {"a slave answering as another", {"--slave", "2", "--answer-as", "9"}, "--scan --slaves 1-3 --timeout 500",
       ": slaves 1-3 at 9600 8N1, RS-232; answers within 500 ms, the rest within 200 ms",
       {"scan: 3 asked, 0 answered, 1 other replies (noise, or another slave's frame); T s"}, 1, "2 3 0 1\n"},
      // A pseudo-terminal keeps no parity bit, and the C library reports
      // the parity it did not take as an error.
      {"a framing the line refuses", {"--slave", "3", "--holding", "11"}, "--scan --slaves 3-3 --parity none,even --timeout 500",
       ": slaves 3-3 at 9600 8N1, 9600 8E1, RS-232; answers within 500 ms, the rest within 200 ms",
       {found(3, "9600 8N1"), "scan: 1 asked, 1 answered, 0 other replies (noise, or another slave's frame); T s"}, 0,
       "3 3 0 1\n",
       "meterscribe-probe: tcsetattr(/dev/DEV) error: Invalid argument\n"
       "meterscribe-probe: 9600 8E1 is not scanned: the line cannot be set to it\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> options = c.slaves;
    options.insert(options.end(), {"--log", root.at("/requests")});
    unlink(root.at("/requests").c_str());
    PymodbusSlaveProcess slave(options);
    ASSERT_TRUE(slave.started());
    ToolRun run = run_tool(("METERSCRIBE_ROOT=" + root.path() + " " + MS_PROBE_TOOL).c_str(),
                           "--device /dev/" + slave.device() + " " + c.options, root);
    std::vector<std::string> expected;
    if (!c.head.empty()) expected.push_back("line /dev/" + slave.device() + c.head);
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(lines_without_times(run.out), expected);
    EXPECT_EQ(run.err, std::regex_replace(c.err, std::regex("DEV"), slave.device()));
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(root.read_file("/requests"), c.requests);
  }
}

}  // namespace
