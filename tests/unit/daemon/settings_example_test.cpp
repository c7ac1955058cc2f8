// The shipped settings example must read, with the daemon's own reader, as
// the configuration it describes: every key set, one meter to poll, logs
// in RAM. A key spelled or quoted so that the reader misses it would leave
// an integrator with a silent 0. With the register map example it
// describes one meter, which the field tools find nothing to say about.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/settings.h"
#include "support/temp_root.h"
#include "unit/tools/tool_run.h"

namespace {

const std::string EXAMPLE = std::string(MS_SOURCE_DIR) + "/etc/settings.example";
const std::string MAP_EXAMPLE = std::string(MS_SOURCE_DIR) + "/etc/registers.example";

TEST(SettingsExample, SetsEveryKeyAndReadsAsOneMeterLoggingToRam) {
  FILE* file = settings_open(EXAMPLE.c_str(), "r");
  ASSERT_NE(file, nullptr) << EXAMPLE;
  const char* keys[] = {
      "MOD_METERSCRIBE_ENABLED",     "MOD_METERSCRIBE_DEVICE",        "MOD_METERSCRIBE_BAUDRATE",
      "MOD_METERSCRIBE_DATABITS",    "MOD_METERSCRIBE_PARITY",        "MOD_METERSCRIBE_STOPBITS",
      "MOD_METERSCRIBE_SPLIT",       "MOD_METERSCRIBE_PERIOD",        "MOD_METERSCRIBE_PORT",
      "MOD_METERSCRIBE_CACHE",       "MOD_METERSCRIBE_CACHE_DIR",     "MOD_METERSCRIBE_FTPES_ENABLED",
      "MOD_METERSCRIBE_TLS_AUTH_TYPE", "MOD_METERSCRIBE_REMOTE_URL",  "MOD_METERSCRIBE_USERNAME",
      "MOD_METERSCRIBE_PASSWORD",    "MOD_METERSCRIBE_SEND_PERIOD",   "MOD_METERSCRIBE_START_ADDR",
      "MOD_METERSCRIBE_ADDR1",       "MOD_METERSCRIBE_START1",        "MOD_METERSCRIBE_REG_COUNT1",
      "MOD_METERSCRIBE_BIN_COUNT1",  "MOD_METERSCRIBE_FUNC1",
  };
  for (const char* key : keys) EXPECT_NE(settings_lookup(file, key), nullptr) << key;

  auto text = [file](const char* key) {
    char* value = settings_string(file, key);
    std::string copy = value != nullptr ? value : "(null)";
    std::free(value);
    return copy;
  };
  EXPECT_EQ(text("MOD_METERSCRIBE_DEVICE"), "ttyS0");
  EXPECT_EQ(text("MOD_METERSCRIBE_CACHE"), "");  // empty: the volatile directory
  EXPECT_EQ(text("MOD_METERSCRIBE_REMOTE_URL"), "ftp://upload.example.net/meters/gw-0001/");
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_BAUDRATE"), 9600u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_SEND_PERIOD"), 15u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_ADDR1"), 1u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_FUNC1"), 4u);  // the map's input registers
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_START1"), 0u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_REG_COUNT1"), 76u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_ADDR2"), 0u);  // the list of meters ends here
  settings_close(file);
}

#ifdef MS_CHECK_TOOL
class ExamplesTest : public TempRootTest {};

// Judged in a root without a volatile directory: whether that sits in RAM
// is the gateway's matter, not the file's.
TEST_F(ExamplesTest, TheSettingsPassCheckAndTheMapDecodesTheirMeterWithoutAWord) {
  ToolRun check = run_tool(("METERSCRIBE_ROOT=" + root.at("/none") + " " + MS_CHECK_TOOL).c_str(),
                           "--settings " + EXAMPLE, root);
  EXPECT_NE(check.out.find("\nNothing surprising: the daemon reads this file as it is written.\n"), std::string::npos)
      << check.out;
  EXPECT_EQ(check.status, 0);

  // Meter 1 answers its 76 input registers; voltage_l1 is 230.5 (0x43668000).
  std::vector<unsigned> answer = {1, 4, 152};
  answer.resize(3 + 152, 0);
  answer[3] = 0x43, answer[4] = 0x66, answer[5] = 0x80;
  root.write_file("/log", log_line(0, "2024-03-05-14-07-09", answer));
  ToolRun decode = run_tool((std::string("TZ=UTC ") + MS_DECODE_TOOL).c_str(), "--utc --settings " + EXAMPLE + " --map " + MAP_EXAMPLE + " " +
                                                root.at("/log"), root);
  EXPECT_EQ(decode.err, "");
  EXPECT_EQ(decode.status, 0);
  EXPECT_NE(decode.out.find("\n2024-03-05T14:07:09Z,1,1,4,0,voltage_l1,V,230.5,230.5\n"), std::string::npos)
      << decode.out;
  EXPECT_NE(decode.out.find(",1,1,4,74,energy_export,kWh,0,0\n"), std::string::npos) << decode.out;
}
#endif

}  // namespace
