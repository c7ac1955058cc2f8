// The real daemon polling simulated meters on a pseudo-terminal: what goes
// into the log files, and what is reported for meters that fail.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/crc16_reference.h"
#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

struct Meter {
  unsigned addr, func, start, count;
};

struct LogLine {
  unsigned meter_index;
  std::string time;
  std::vector<unsigned> bytes;
};

class PollingTest : public GatewayRootTest {
 protected:
  void start(const std::vector<std::string>& sim_options, const std::vector<Meter>& meters,
             const std::string& extra = "MOD_METERSCRIBE_SPLIT=100\n") {
    if (!start_sim(sim_options)) GTEST_SKIP() << "meter simulator not available";
    // The first line with a key wins: the test's own settings come first.
    std::string settings = extra + "MOD_METERSCRIBE_DEVICE=" + sim->device() +
                           "\nMOD_METERSCRIBE_BAUDRATE=9600\nMOD_METERSCRIBE_PERIOD=0\nMOD_METERSCRIBE_SEND_PERIOD=60\n";
    for (std::size_t i = 0; i < meters.size(); ++i) {
      std::string n = std::to_string(i + 1);
      settings += "MOD_METERSCRIBE_ADDR" + n + "=" + std::to_string(meters[i].addr) + "\n";
      settings += "MOD_METERSCRIBE_FUNC" + n + "=" + std::to_string(meters[i].func) + "\n";
      settings += "MOD_METERSCRIBE_START" + n + "=" + std::to_string(meters[i].start) + "\n";
      std::string count_key = meters[i].func == 1 ? "BIN_COUNT" : "REG_COUNT";
      settings += "MOD_METERSCRIBE_" + count_key + n + "=" + std::to_string(meters[i].count) + "\n";
    }
    root.write_settings(settings);
    daemon = std::make_unique<DaemonProcess>(root.path());
  }

  // Every line of every log file.
  std::vector<LogLine> lines() const {
    std::vector<LogLine> result;
    for (const std::string& name : directory_names(log_dir)) {
      if (name[0] == '.') continue;
      std::istringstream text(read_whole_file(log_dir + "/" + name));
      for (std::string line; std::getline(text, line);) result.push_back(parse(line));
    }
    return result;
  }

  static LogLine parse(const std::string& line) {
    LogLine parsed{};
    EXPECT_EQ(line[0], 'm') << line;
    std::size_t colon = line.find(':');
    parsed.meter_index = static_cast<unsigned>(std::stoul(line.substr(1, colon - 1)));
    parsed.time = line.substr(colon + 1, 19);
    std::istringstream hex(line.substr(colon + 21));
    for (std::string byte; hex >> byte;) parsed.bytes.push_back(static_cast<unsigned>(std::stoul(byte, nullptr, 16)));
    EXPECT_EQ(line.size(), colon + 21 + 3 * parsed.bytes.size()) << "one blank after every byte: " << line;
    return parsed;
  }

  // Waits until `count` lines of the meter have been written.
  bool wait_for_lines(unsigned meter_index, std::size_t count, std::chrono::seconds limit) const {
    return wait_until(
        [&] {
          std::vector<LogLine> all = lines();
          auto n = std::count_if(all.begin(), all.end(), [&](const LogLine& l) { return l.meter_index == meter_index; });
          return static_cast<std::size_t>(n) >= count;
        },
        limit);
  }
};

TEST_F(PollingTest, ValidResponsesOfAllThreeFunctionsAreLoggedWhole) {
  start({"--slaves", "1,2,3"}, {{1, 3, 0, 10}, {2, 1, 0, 20}, {3, 4, 5, 2}});
  if (IsSkipped()) return;
  ASSERT_TRUE(wait_for_lines(2, 3, 30s)) << daemon->messages();
  for (const LogLine& line : lines()) {
    ASSERT_LE(line.meter_index, 2u);
    const std::vector<unsigned>& b = line.bytes;
    ASSERT_GE(b.size(), 5u);
    EXPECT_EQ(crc16_reference(b, b.size() - 2), b[b.size() - 2] + 256 * b[b.size() - 1]);
    unsigned expected_func[] = {3, 1, 4};
    unsigned expected_bytes[] = {20, 3, 4};  // 10 registers, 20 coils, 2 registers
    EXPECT_EQ(b[0], line.meter_index + 1);
    EXPECT_EQ(b[1], expected_func[line.meter_index]);
    EXPECT_EQ(b[2], expected_bytes[line.meter_index]);
    EXPECT_EQ(b.size(), 5 + expected_bytes[line.meter_index]);
  }
  // Holding register 9 of slave 1 reads 0x0109; input register 6 of slave 3 0x8306.
  std::vector<LogLine> all = lines();
  auto first = std::find_if(all.begin(), all.end(), [](const LogLine& l) { return l.meter_index == 0; });
  EXPECT_EQ(first->bytes[3 + 18], 0x01u);
  EXPECT_EQ(first->bytes[3 + 19], 0x09u);
  auto third = std::find_if(all.begin(), all.end(), [](const LogLine& l) { return l.meter_index == 2; });
  EXPECT_EQ(third->bytes[5], 0x83u);
  EXPECT_EQ(third->bytes[6], 0x06u);
}

TEST_F(PollingTest, FailingMetersAreReportedAndNeverLogged) {
  start({"--slaves", "1", "--silent", "4", "--exception", "5:3", "--bad-crc", "6"},
        {{4, 3, 0, 2}, {5, 3, 0, 2}, {6, 3, 0, 2}, {1, 3, 0, 2}, {1, 7, 0, 2}});
  if (IsSkipped()) return;
  ASSERT_TRUE(wait_for_lines(3, 2, 30s)) << daemon->messages();
  ASSERT_TRUE(daemon->wait_for_message("no answer from meter 5", 10s));
  std::string messages = daemon->messages();
  EXPECT_NE(messages.find("no answer from meter 1"), std::string::npos);
  EXPECT_NE(messages.find("receive modbus error message from meter 2 (error code 3)"), std::string::npos);
  EXPECT_NE(messages.find("meter 2 read error"), std::string::npos);
  EXPECT_NE(messages.find("receive bad crc from meter 3"), std::string::npos);
  EXPECT_NE(messages.find("meter 3 read error"), std::string::npos);
  for (const LogLine& line : lines()) EXPECT_EQ(line.meter_index, 3u);
}

TEST_F(PollingTest, ChunkedAnswersAreReadWithinTheSplitBudgetOnly) {
  // Meter 1 answers in three chunks 40 ms apart, well within 300 ms; meter 2
  // in three chunks 250 ms apart, which the budget cannot cover. The pause
  // after each cycle lets meter 2's last chunk arrive before meter 1 is
  // asked again; the flush before the request then drops it.
  start({"--chunks", "1:3:40", "--chunks", "2:3:250"}, {{1, 3, 0, 10}, {2, 3, 0, 10}},
        "MOD_METERSCRIBE_SPLIT=300\nMOD_METERSCRIBE_PERIOD=1\n");
  if (IsSkipped()) return;
  ASSERT_TRUE(wait_for_lines(0, 2, 30s)) << daemon->messages();
  ASSERT_TRUE(daemon->wait_for_message("meter 2 read error", 10s)) << daemon->messages();
  for (const LogLine& line : lines()) {
    EXPECT_EQ(line.meter_index, 0u);
    EXPECT_EQ(line.bytes.size(), 25u);
  }
}

TEST_F(PollingTest, LateAndOversizedAnswersNeverReachAnotherMetersLine) {
  // Meter 1 answers after the first-byte wait; meter 2 sends 400 bytes of
  // which only a valid frame's worth could pass. Neither may show up as
  // meter 3's response.
  start({"--slaves", "3", "--late", "1:1300", "--oversize", "2:400"}, {{1, 3, 0, 2}, {2, 3, 0, 2}, {3, 3, 0, 2}});
  if (IsSkipped()) return;
  ASSERT_TRUE(wait_for_lines(2, 4, 40s)) << daemon->messages();
  std::string messages = daemon->messages();
  EXPECT_NE(messages.find("no answer from meter 1"), std::string::npos);
  EXPECT_NE(messages.find("meter 2 read error"), std::string::npos);
  for (const LogLine& line : lines()) {
    EXPECT_EQ(line.meter_index, 2u);
    EXPECT_EQ(line.bytes.size(), 9u);
    EXPECT_EQ(line.bytes[0], 3u);
  }
}

TEST_F(PollingTest, ALongDeviceNameIsUsedWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link below /dev";
  std::string link = "/dev/meterscribe-test-" + std::to_string(getpid()) + "-usb-FTDI_FT232R_USB_UART_A50285BI-if00";
  if (!start_sim({"--slaves", "1", "--link", link})) GTEST_SKIP() << "meter simulator not available";
  root.write_settings("MOD_METERSCRIBE_DEVICE=" + link.substr(5) +
                      "\nMOD_METERSCRIBE_PERIOD=0\nMOD_METERSCRIBE_SPLIT=100\n"
                      "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=2\n");
  daemon = std::make_unique<DaemonProcess>(root.path());
  bool logged = wait_for_lines(0, 1, 30s);
  std::string lock = read_whole_file(lock_file(link.substr(5)));
  daemon->stop();
  sim->stop();
  unlink(link.c_str());
  EXPECT_TRUE(logged) << daemon->messages();
  EXPECT_EQ(lock, lock_content(daemon->pid()));
}

}  // namespace
