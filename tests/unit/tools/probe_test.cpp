// meterscribe-probe, the real binary on a real line: against the meter
// simulator (libmodbus) for every verdict, a held device lock (the lock's
// verdicts are the daemon's own, in the device lock's tests), --meter,
// --repeat and --json; against an independent slave (pymodbus) for the
// values it reads, with and without a register map.
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

// Times differ from run to run: every "N.N ms" reads "T ms".
std::vector<std::string> lines_without_times(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(std::regex_replace(text, std::regex("[0-9]+\\.[0-9] ms"), "T ms"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Meter k is slave `slaves[k-1]`, reading holding registers 4 and 5, which
// the simulator fills with (slave << 8) | register.
std::string settings_for(const std::string& device, const std::vector<unsigned>& slaves, const char* more = "") {
  std::string text = "MOD_METERSCRIBE_DEVICE=" + device + "\nMOD_METERSCRIBE_BAUDRATE=38400\nMOD_METERSCRIBE_SPLIT=100\n";
  for (std::size_t k = 0; k < slaves.size(); ++k) {
    std::string n = std::to_string(k + 1);
    text += "MOD_METERSCRIBE_ADDR" + n + "=" + std::to_string(slaves[k]) + "\nMOD_METERSCRIBE_FUNC" + n +
            "=3\nMOD_METERSCRIBE_START" + n + "=4\nMOD_METERSCRIBE_REG_COUNT" + n + "=2\n";
  }
  return text + more;
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
    root.write_file("/settings", settings_for(sim.device(), c.slaves));
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

}  // namespace
