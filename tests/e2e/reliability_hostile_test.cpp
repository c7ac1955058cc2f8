// The daemon in a hostile environment: a send script that never ends, a log
// directory that turns read-only or full, a meter that floods the line, and
// a serial device that disappears. It must keep polling, never write a torn
// or bogus line, and lose only the lines it reports as lost.
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

class HostileTest : public GatewayRootTest {
 protected:
  std::size_t line_count() const { return all_log_lines(log_dir).size(); }

  // Waits until the log files hold more than `count` lines.
  bool wait_for_lines_beyond(std::size_t count, std::chrono::milliseconds limit) const {
    return wait_until([&] { return line_count() > count; }, limit);
  }

  // Every line written is whole and valid; every exchange the daemon began
  // ended in a line or in a reported failure (the last may still run).
  void expect_lines_accounted_for() const {
    std::vector<std::string> lines = all_log_lines(log_dir);
    for (const std::string& line : lines) EXPECT_TRUE(is_valid_log_line(line)) << line;
    for (const std::string& name : directory_names(log_dir)) {
      std::string content = read_whole_file(log_dir + "/" + name);
      EXPECT_TRUE(content.empty() || content.back() == '\n') << name << " ends in a torn line";
    }
    ExchangeCounts counts = count_exchanges(daemon->messages());
    int ended_without_line = counts.unanswered + counts.read_errors + counts.lost_writes;
    EXPECT_LE(static_cast<int>(lines.size()), counts.started - ended_without_line);
    EXPECT_GE(static_cast<int>(lines.size()), counts.started - ended_without_line - 1);
  }
};

// A child process whose id a script wrote into a file, killed at the end.
struct PidFileGuard {
  std::string path;
  ~PidFileGuard() {
    pid_t pid = static_cast<pid_t>(std::atol(read_whole_file(path).c_str()));
    if (pid > 0) kill(pid, SIGKILL);
  }
};

TEST_F(HostileTest, ASendScriptThatNeverEndsStopsUploadsButNotPolling) {
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  PidFileGuard hanging{root.at("/send.pid")};
  root.write_script(SEND_SCRIPT, "echo $$ > '" + hanging.path + "'\nexec sleep 600\n");
  // Every second releases the current file; the first pass hangs in send.
  start_daemon(1, "MOD_METERSCRIBE_SEND_PERIOD=0\n");
  wait_until([&] { return !read_whole_file(hanging.path).empty(); }, 20s);
  ASSERT_FALSE(read_whole_file(hanging.path).empty()) << "send was never run\n" << daemon->messages();
  std::size_t files = directory_names(log_dir).size();
  std::size_t lines = line_count();
  std::this_thread::sleep_for(3s);
  // Lines still come, and releases still begin new files.
  EXPECT_GT(line_count(), lines);
  EXPECT_GT(directory_names(log_dir).size(), files);
  EXPECT_EQ(kill(daemon->pid(), 0), 0);
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();
}

TEST_F(HostileTest, AReadOnlyLogDirectoryLosesLinesUntilItIsWritableAgain) {
  if (!mount_card(1024)) GTEST_SKIP() << card->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1,2"}));
  start_daemon(2, std::string(ON_CARD) + "MOD_METERSCRIBE_SEND_PERIOD=1\n");
  ASSERT_TRUE(wait_for_lines_beyond(3, 20s)) << daemon->messages();
  ASSERT_TRUE(card->set_read_only(true));
  ASSERT_TRUE(daemon->wait_for_message("Can not create file", 20s)) << daemon->messages();
  std::size_t lines_while_read_only = line_count();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(line_count(), lines_while_read_only);
  ASSERT_TRUE(card->set_read_only(false));
  EXPECT_TRUE(wait_for_lines_beyond(lines_while_read_only + 3, 20s)) << "no recovery\n" << daemon->messages();
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();
}

TEST_F(HostileTest, AFullFileSystemCutsThePartialLineAway) {
  if (!mount_card(64)) GTEST_SKIP() << card->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1,2"}));
  // Nothing is released, so nothing is sent or trimmed: only the current
  // file grows.
  start_daemon(2, std::string(ON_CARD) + "MOD_METERSCRIBE_SEND_PERIOD=60\n");
  ASSERT_TRUE(wait_for_lines_beyond(0, 20s)) << daemon->messages();
  // Fill every free block; the current file then has only the rest of its
  // last page.
  std::string filler_path = log_dir + "/filler";
  {
    int fd = open(filler_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
  }
  ASSERT_TRUE(daemon->wait_for_message("Can not write into file", 30s)) << daemon->messages();
  std::this_thread::sleep_for(1s);  // many more failed writes
  std::size_t lines_while_full = line_count();
  ASSERT_EQ(unlink(filler_path.c_str()), 0);
  EXPECT_TRUE(wait_for_lines_beyond(lines_while_full + 3, 20s)) << "no recovery\n" << daemon->messages();
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();
}

TEST_F(HostileTest, AFloodingMeterGetsNoBogusLineLogged) {
  ASSERT_TRUE(start_sim({"--slaves", "1,2", "--flood"}));
  start_daemon(2, "MOD_METERSCRIBE_SEND_PERIOD=60\n");
  ASSERT_TRUE(daemon->wait_for_message("starting read meter 2", 20s)) << daemon->messages();
  std::this_thread::sleep_for(3s);
  int started = count_exchanges(daemon->messages()).started;
  std::this_thread::sleep_for(2s);
  EXPECT_GT(count_exchanges(daemon->messages()).started, started) << "polling stopped";
  EXPECT_EQ(kill(daemon->pid(), 0), 0);
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();
}

// A device name below /dev short enough for the 16-byte device path; the
// test's simulator links it to its pseudo-terminal.
struct DeviceLink {
  std::string name = "msr" + std::to_string(getpid() % 1000000);
  std::string path = "/dev/" + name;
  ~DeviceLink() { unlink(path.c_str()); }
};

TEST_F(HostileTest, ADeviceThatDisappearsIsReportedWithoutSpinningAndARestartReopensIt) {
  if (geteuid() != 0) GTEST_SKIP() << "a link in /dev needs root";
  DeviceLink link;
  unlink(link.path.c_str());
  ASSERT_TRUE(start_sim({"--slaves", "1,2", "--link", link.path}));
  root.write_settings(meter_settings(link.name, 2, "MOD_METERSCRIBE_SEND_PERIOD=60\n"));
  daemon = std::make_unique<DaemonProcess>(root.path());
  ASSERT_TRUE(wait_for_lines_beyond(3, 20s)) << daemon->messages();

  sim->stop();  // the pseudo-terminal closes, as when an adapter is unplugged
  std::this_thread::sleep_for(1500ms);
  std::size_t lines = line_count();
  int started = count_exchanges(daemon->messages()).started;
  long ticks = cpu_ticks(daemon->pid());
  auto sampled_from = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(4s);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sampled_from).count();
  long used = cpu_ticks(daemon->pid()) - ticks;
  int exchanges = count_exchanges(daemon->messages()).started - started;
  // Alive, still reporting, but each exchange with a dead line waits: a few
  // exchanges a second at most, and far from a busy processor.
  EXPECT_EQ(kill(daemon->pid(), 0), 0);
  EXPECT_GT(exchanges, 0) << "no more exchanges were tried";
  EXPECT_LE(exchanges, static_cast<int>(seconds * 4) + 4) << daemon->messages().substr(0, 2000);
  EXPECT_LT(static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)), seconds * 0.3)
      << "processor time while the device is gone";
  EXPECT_EQ(line_count(), lines);
  std::string messages = daemon->messages();
  EXPECT_TRUE(messages.find("no answer from meter") != std::string::npos ||
              messages.find("read error") != std::string::npos);
  // A hung-up line is named as such; the wait itself never failed.
  EXPECT_NE(messages.find("serial line hung up"), std::string::npos);
  EXPECT_EQ(messages.find("select:"), std::string::npos);
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();

  // A new simulator provides the link again; a restart takes over the stale
  // lock and reopens the port.
  ASSERT_TRUE(start_sim({"--slaves", "1,2", "--link", link.path}));
  daemon = std::make_unique<DaemonProcess>(root.path());
  EXPECT_TRUE(wait_for_lines_beyond(lines + 3, 20s)) << daemon->messages();
  EXPECT_NE(read_whole_file(lock_file(link.name)).find(std::to_string(daemon->pid())), std::string::npos);
}

}  // namespace
