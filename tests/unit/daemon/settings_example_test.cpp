// The shipped settings example must read, with the daemon's own reader, as
// the configuration it describes: every key set, one meter to poll, logs
// in RAM. A key spelled or quoted so that the reader misses it would leave
// an integrator with a silent 0.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "daemon/settings.h"

namespace {

const std::string EXAMPLE = std::string(MS_SOURCE_DIR) + "/etc/settings.example";

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
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_FUNC1"), 3u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_REG_COUNT1"), 10u);
  EXPECT_EQ(settings_unsigned(file, "MOD_METERSCRIBE_ADDR2"), 0u);  // the list of meters ends here
  settings_close(file);
}

}  // namespace
