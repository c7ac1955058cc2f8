// The wall clock changing under the running daemon (set back and forward by
// a day, a board without a real-time clock starting in 1970): polling and
// logging go on, no line is lost, no released file receives a line, and
// uploads resume. The daemon alone runs on a faked clock (libfaketime with
// a time-offset file it re-reads); the monotonic clock stays real.
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

// "YYYY-MM-DD" of a moment, in UTC (the daemon runs with TZ=UTC here).
std::string utc_date(std::time_t when) {
  struct tm fields {};
  gmtime_r(&when, &fields);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &fields);
  return text;
}

// The date field of a log line: "m0:2024-03-05-14-07-09:..." gives "2024-03-05".
std::string line_date(const std::string& line) { return line.substr(line.find(':') + 1, 10); }

class ClockTest : public GatewayRootTest {
 protected:
  void SetUp() override {
    library = faketime_library();
    if (library.empty()) GTEST_SKIP() << "libfaketime is not installed (Debian package libfaketime)";
    sent_dir = root.at("/sent");
    mkdir(sent_dir.c_str(), 0755);
    // Delivers by moving the file away; a name delivered twice is kept apart.
    root.write_script(SEND_SCRIPT, "name=$(basename \"$1\")\nto='" + sent_dir + "'/\"$name\"\n" +
                                       "[ -e \"$to\" ] && to=\"$to.again\"\nmv \"$1\" \"$to\" || exit 1\n" +
                                       "echo \"$name\" >> '" + sent_dir + ".list'\n");
  }

  void set_clock(const std::string& offset) { write_whole_file(clock_file(), offset + "\n"); }
  std::string clock_file() const { return root.at("/faketime.rc"); }

  void start(const std::string& send_period) {
    ASSERT_TRUE(start_sim({"--slaves", "1,2"}));
    start_daemon(2, "MOD_METERSCRIBE_SEND_PERIOD=" + send_period + "\n",
                 {"LD_PRELOAD=" + library, "FAKETIME_TIMESTAMP_FILE=" + clock_file(), "FAKETIME_NO_CACHE=1",
                  "FAKETIME_DONT_FAKE_MONOTONIC=1", "TZ=UTC", asan_options_for_preload()});
  }

  std::vector<std::string> sent_names() const { return complete_lines(read_whole_file(sent_dir + ".list")); }

  bool some_sent_name_has(const std::string& text) const {
    std::vector<std::string> names = sent_names();
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.find(text) != std::string::npos; });
  }

  // Files in the log directory whose lines carry the date, by file name.
  std::set<std::string> files_with_lines_of(const std::string& date) const {
    std::set<std::string> files;
    for (const std::string& name : directory_names(log_dir)) {
      for (const std::string& line : complete_lines(read_whole_file(log_dir + "/" + name)))
        if (line_date(line) == date) files.insert(name);
    }
    return files;
  }

  // After the daemon has stopped: every exchange that did not fail is a
  // whole line in a log file or a delivered one; no file was delivered
  // twice, and no delivered name came back into the log directory.
  void expect_every_line_kept() const {
    std::vector<std::string> lines = all_log_lines(log_dir);
    std::vector<std::string> delivered = all_log_lines(sent_dir);
    lines.insert(lines.end(), delivered.begin(), delivered.end());
    for (const std::string& line : lines) EXPECT_TRUE(is_valid_log_line(line)) << line;
    ExchangeCounts counts = count_exchanges(daemon->messages());
    int expected = counts.started - counts.unanswered - counts.read_errors - counts.lost_writes;
    EXPECT_LE(static_cast<int>(lines.size()), expected);
    EXPECT_GE(static_cast<int>(lines.size()), expected - 1);
    std::vector<std::string> names = sent_names();
    std::set<std::string> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size()) << "a file was delivered twice";
    for (const std::string& name : directory_names(log_dir))
      EXPECT_EQ(unique.count(name), 0u) << name << " received lines after its release";
  }

  std::string library;
  std::string sent_dir;
};

TEST_F(ClockTest, AClockSetBackAndForwardByADayLosesNoLineAndUploadsResume) {
  std::time_t now = std::time(nullptr);
  std::string yesterday = utc_date(now - 86400);
  std::string today = utc_date(now);
  std::string tomorrow = utc_date(now + 86400);
  set_clock("+0");
  start("0");  // every new second releases the current file
  ASSERT_TRUE(wait_until([&] { return !sent_names().empty(); }, 30s)) << daemon->messages();

  set_clock("-1d");
  ASSERT_TRUE(wait_until([&] { return !files_with_lines_of(yesterday).empty(); }, 20s)) << daemon->messages();
  std::this_thread::sleep_for(2s);
  // Set back, the lines keep going to the newest file, which is not
  // released while its name lies ahead of the clock.
  std::set<std::string> holders = files_with_lines_of(yesterday);
  ASSERT_EQ(holders.size(), 1u);
  std::string newest = *holders.begin();
  EXPECT_NE(newest.find(today), std::string::npos) << newest;
  EXPECT_EQ(directory_names(log_dir).back(), newest);
  for (const std::string& name : directory_names(log_dir)) EXPECT_EQ(name.find(yesterday), std::string::npos) << name;

  set_clock("+1d");
  // Forward, that file is released at once and uploads resume.
  // One pass may send them in any order.
  EXPECT_TRUE(wait_until([&] { return some_sent_name_has(newest); }, 30s)) << daemon->messages();
  EXPECT_TRUE(wait_until([&] { return some_sent_name_has(tomorrow); }, 30s)) << daemon->messages();
  daemon->stop(SIGTERM);
  expect_every_line_kept();
}

TEST_F(ClockTest, AStartIn1970LogsUnder1970NamesUntilTheClockJumpsToThePresent) {
  std::time_t now = std::time(nullptr);
  std::string present_year = utc_date(now).substr(0, 4);
  set_clock("-" + std::to_string(now - 3600));  // about 1970-01-01 01:00
  start("1");
  ASSERT_TRUE(wait_until([&] { return !files_with_lines_of("1970-01-01").empty(); }, 20s)) << daemon->messages();
  std::this_thread::sleep_for(2s);
  for (const std::string& name : directory_names(log_dir)) EXPECT_EQ(name.rfind("log-1970-01-01-", 0), 0u) << name;
  EXPECT_TRUE(sent_names().empty()) << "released before a minute had passed";

  set_clock("+0");
  // The 1970 file is released at the first line after the jump and sent at
  // the next pass; new lines go to a file named after the present.
  EXPECT_TRUE(wait_until([&] { return some_sent_name_has("log-1970-"); }, 30s)) << daemon->messages();
  EXPECT_TRUE(wait_until([&] { return !files_with_lines_of(utc_date(std::time(nullptr))).empty(); }, 20s));
  daemon->stop(SIGTERM);
  for (const std::string& name : directory_names(log_dir)) EXPECT_EQ(name.rfind("log-" + present_year, 0), 0u) << name;
  for (const std::string& line : all_log_lines(sent_dir)) EXPECT_EQ(line_date(line), "1970-01-01") << line;
  expect_every_line_kept();
}

}  // namespace
