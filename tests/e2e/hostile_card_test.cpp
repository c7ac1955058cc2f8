// A memory card whose contents are hostile, and storage that fills while
// the daemon runs: entries that are no regular files under the names of
// the next log files, log directories reached through a link or above the
// mount point, file systems mounted below the mount point or over the log
// directory while the daemon runs, a removeFile that takes its time, a
// sparse file of a terabyte, regular files that are no log files of the
// daemon's (a log name of no time, a thousand foreign files), and a small
// tmpfs, of its own or shared, as the volatile directory on a machine with
// plenty of RAM.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

// The name of the log file begun at `when`, as the daemon forms it.
std::string log_name_at(std::time_t when) {
  struct tm local {};
  localtime_r(&when, &local);
  char name[64];
  std::snprintf(name, sizeof name, "log-%04d-%02d-%02d-%02d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return name;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Released files as a failed uplink leaves them: `count` files of `bytes`
// each (whole 100-byte lines), named after yesterday's clock. Returns the
// names.
std::vector<std::string> write_old_logs(const std::string& dir, int count, std::size_t bytes) {
  std::string line = "m0:2000-01-01-00-00-00:" + std::string(76, '0') + "\n";
  std::string content;
  while (content.size() + line.size() <= bytes) content += line;
  std::vector<std::string> names;
  std::time_t yesterday = std::time(nullptr) - 86400;
  for (int i = 0; i < count; ++i) {
    names.push_back(log_name_at(yesterday + i));
    write_whole_file(dir + "/" + names.back(), content);
  }
  return names;
}

// A short split budget: the meter is read at a brisk, steady cadence.
constexpr const char* FAST_LINE = "MOD_METERSCRIBE_SPLIT=20\n";
// An exchange waits out its split budget for the rest of an answer: with
// 20 ms the simulated meter is read about 45 times a second. A third of that
// leaves ample slack for a loaded machine; a poller blocked in an open
// shows none.
constexpr int MIN_EXCHANGES_PER_SECOND = 15;

class HostileCardTest : public GatewayRootTest {
 protected:
  int started() const { return count_exchanges(daemon->messages()).started; }

  // Every line written is whole and valid; every exchange begun ended in a
  // line or a reported failure (the last may still run). Files the test
  // wrote itself (`not_written`) are left out.
  void expect_lines_accounted_for(const std::vector<std::string>& not_written = {}) const {
    std::vector<std::string> lines;
    for (const std::string& name : directory_names(log_dir)) {
      // A test's own file, or its ".tmp" during a cut.
      if (std::find(not_written.begin(), not_written.end(), name.substr(0, 23)) != not_written.end()) continue;
      std::string path = log_dir + "/" + name;
      struct stat info {};
      if (name.rfind("log-", 0) != 0 || lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      std::vector<std::string> more = complete_lines(read_whole_file(path));
      lines.insert(lines.end(), more.begin(), more.end());
    }
    for (const std::string& line : lines) EXPECT_TRUE(is_valid_log_line(line)) << line;
    ExchangeCounts counts = count_exchanges(daemon->messages());
    int ended_without_line = counts.unanswered + counts.read_errors + counts.lost_writes;
    EXPECT_LE(static_cast<int>(lines.size()), counts.started - ended_without_line);
    EXPECT_GE(static_cast<int>(lines.size()), counts.started - ended_without_line - 1);
  }
};

// ---------------------------------------------------------------------------
// Entries that are no regular files, planted under the next log names.

enum class Plant { fifo, fifo_with_reader, terminal_device, directory, link_outside };

struct PlantCase {
  const char* name;
  Plant kind;
};
void PrintTo(const PlantCase& row, std::ostream* out) { *out << row.name; }

// Seconds of local time, from the one the test begins in, whose log names
// are taken by planted entries.
constexpr int PLANTED_SECONDS = 5;

class PlantedEntryTest : public HostileCardTest, public ::testing::WithParamInterface<PlantCase> {
 protected:
  void TearDown() override {
    daemon.reset();
    for (int fd : fifo_readers) close(fd);
    if (terminal_slave >= 0) close(terminal_slave);
    if (terminal_master >= 0) close(terminal_master);
  }

  // A pseudo-terminal whose slave's numbers the device nodes carry: what the
  // daemon might write into one arrives at the master, which the test holds.
  bool open_terminal() {
    terminal_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal_master < 0 || grantpt(terminal_master) != 0 || unlockpt(terminal_master) != 0) return false;
    // The test holds the slave open too, so the master reads what arrives
    // instead of a hang-up.
    terminal_slave = open(ptsname(terminal_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat slave {};
    if (terminal_slave < 0 || fstat(terminal_slave, &slave) != 0) return false;
    terminal_numbers = slave.st_rdev;
    return true;
  }

  bool plant(const std::string& path) {
    switch (GetParam().kind) {
      case Plant::fifo:
        return mkfifo(path.c_str(), 0644) == 0;
      case Plant::fifo_with_reader: {
        if (mkfifo(path.c_str(), 0644) != 0) return false;
        int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (reader >= 0) fifo_readers.push_back(reader);
        return reader >= 0;
      }
      case Plant::terminal_device:
        return mknod(path.c_str(), S_IFCHR | 0600, terminal_numbers) == 0;
      case Plant::directory:
        return mkdir(path.c_str(), 0755) == 0;
      case Plant::link_outside:
        return symlink(outside.c_str(), path.c_str()) == 0;
    }
    return false;
  }

  // The entry is still what was planted, and untouched.
  bool still_planted(const std::string& path) const {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return false;
    switch (GetParam().kind) {
      case Plant::fifo:
      case Plant::fifo_with_reader:
        return S_ISFIFO(info.st_mode);
      case Plant::terminal_device:
        return S_ISCHR(info.st_mode) && info.st_rdev == terminal_numbers;
      case Plant::directory:
        return S_ISDIR(info.st_mode) && directory_names(path).empty();
      case Plant::link_outside:
        return S_ISLNK(info.st_mode);
    }
    return false;
  }

  // Whatever reached the FIFO readers, the terminal or the file outside.
  std::string came_through() const {
    std::string bytes = read_whole_file(outside);
    char buffer[4096];
    for (int fd : fifo_readers) {
      for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    if (terminal_master >= 0) {
      for (ssize_t got; (got = read(terminal_master, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  std::vector<int> fifo_readers;
  int terminal_master = -1;
  int terminal_slave = -1;
  dev_t terminal_numbers = 0;
  std::string outside = root.at("/outside.log");
};

TEST_P(PlantedEntryTest, CostsTheLinesOfItsSecondsOnlyAndPollingKeepsItsCadence) {
  if (!mount_card(4096)) GTEST_SKIP() << card->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  write_whole_file(outside, "");
  if (GetParam().kind == Plant::terminal_device) {
    ASSERT_TRUE(open_terminal());
  }
  std::time_t first = std::time(nullptr);
  std::vector<std::string> planted;
  for (std::time_t second = first; second < first + PLANTED_SECONDS; ++second) {
    planted.push_back(log_dir + "/" + log_name_at(second));
    ASSERT_TRUE(plant(planted.back())) << planted.back();
  }
  start_daemon(1, std::string(ON_CARD) + FAST_LINE + "MOD_METERSCRIBE_SEND_PERIOD=60\n");
  ASSERT_TRUE(daemon->wait_for_message("Can not create file", 3s)) << daemon->messages();

  // Exchanges per second while every name the daemon wants is taken.
  double planted_until = static_cast<double>(first + PLANTED_SECONDS) - 0.2;
  std::vector<int> per_second;
  int counted = started();
  for (auto next = std::chrono::steady_clock::now() + 1s; wall_seconds() + 1.0 < planted_until; next += 1s) {
    std::this_thread::sleep_until(next);
    int now = started();
    per_second.push_back(now - counted);
    counted = now;
  }
  EXPECT_TRUE(all_log_lines(log_dir).empty()) << "a line was written while every log name was taken";
  EXPECT_EQ(controlling_tty(daemon->pid()), 0);
  ASSERT_GE(per_second.size(), 2u) << "the daemon started too late to be measured";
  for (int exchanges : per_second) {
    EXPECT_GE(exchanges, MIN_EXCHANGES_PER_SECOND)
        << "polling slowed down or stopped: " << testing::PrintToString(per_second);
  }

  // Past the planted seconds lines go into a regular file again.
  EXPECT_TRUE(wait_until([&] { return all_log_lines(log_dir).size() >= 3; }, 10s)) << daemon->messages();
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();
  // Each exchange while the names were taken cost its line, and only that.
  int measured = 0;
  for (int exchanges : per_second) measured += exchanges;
  EXPECT_GE(count_exchanges(daemon->messages()).lost_writes, measured);
  for (const std::string& path : planted) EXPECT_TRUE(still_planted(path)) << path;
  EXPECT_EQ(came_through(), "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, PlantedEntryTest,
                         ::testing::Values(PlantCase{"FifoWithoutReader", Plant::fifo},
                                           PlantCase{"FifoWithReader", Plant::fifo_with_reader},
                                           PlantCase{"TerminalDevice", Plant::terminal_device},
                                           PlantCase{"Directory", Plant::directory},
                                           PlantCase{"LinkToAFileOutside", Plant::link_outside}),
                         [](const ::testing::TestParamInfo<PlantCase>& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Log directories on the card that start-up refuses.

// What a row builds below the card's mount point `mnt`; `elsewhere` is a
// directory outside the card. A mount it needs is handed back to live
// until the daemon has ended.
using Shape = std::unique_ptr<TmpfsMount> (*)(const std::string& mnt, const std::string& elsewhere);

struct RefusedDirCase {
  const char* name;
  bool card_mounted;  // a tmpfs at the mount point, as memCard leaves it
  const char* cache_dir;
  Shape shape;
  // The message, %s standing for the log directory's path; without %s the
  // directory is accepted and start-up ends later, at the missing device.
  const char* message;
};

constexpr const char* LINK_MESSAGE =
    "error: directory %s has a symbolic link in its path; links on the memory card are not followed\n";
constexpr const char* ABOVE_MESSAGE = "error: directory %s is not below the memory card's mount point\n";
// Start-up went past the log directory and ended at the missing device.
constexpr const char* ACCEPTED = "open(/dev/ttyNONE) error: No such file or directory\n";

std::unique_ptr<TmpfsMount> nothing_mounted() { return nullptr; }

const RefusedDirCase REFUSED_DIRS[] = {
    {"LastComponentIsALink", true, "logs",
     [](const std::string& mnt, const std::string& elsewhere) {
       EXPECT_EQ(symlink(elsewhere.c_str(), (mnt + "/logs").c_str()), 0);
       return nothing_mounted();
     },
     LINK_MESSAGE},
    {"LinkInTheMiddle", true, "a/logs",
     [](const std::string& mnt, const std::string& elsewhere) {
       EXPECT_EQ(mkdir((elsewhere + "/logs").c_str(), 0755), 0);
       EXPECT_EQ(symlink(elsewhere.c_str(), (mnt + "/a").c_str()), 0);
       return nothing_mounted();
     },
     LINK_MESSAGE},
    {"NotADirectory", true, "logs",
     [](const std::string& mnt, const std::string&) {
       write_whole_file(mnt + "/logs", "");
       return nothing_mounted();
     },
     "error: %s is not a directory\n"},
    {"AFileSystemMountedOnTheCardIsAccepted", true, "card/sub",
     [](const std::string& mnt, const std::string&) {
       EXPECT_EQ(mkdir((mnt + "/card").c_str(), 0755), 0);
       return std::make_unique<TmpfsMount>(mnt + "/card/sub", 64);
     },
     ACCEPTED},
    {"AFileSystemMountedBelowAPlainMountPointIsAccepted", false, "logs",
     [](const std::string& mnt, const std::string&) { return std::make_unique<TmpfsMount>(mnt + "/logs", 64); },
     ACCEPTED},
    {"ClimbingOutOfTheCard", true, "../../../elsewhere",
     [](const std::string&, const std::string&) { return nothing_mounted(); }, ABOVE_MESSAGE},
    {"ClimbingOutOfTheCardThroughALowerMount", true, "sub/../../elsewhere",
     [](const std::string& mnt, const std::string&) { return std::make_unique<TmpfsMount>(mnt + "/sub", 64); },
     ABOVE_MESSAGE},
    {"ARealDirectoryTwoLevelsDownIsAccepted", true, "a/logs",
     [](const std::string& mnt, const std::string&) {
       EXPECT_EQ(mkdir((mnt + "/a").c_str(), 0755), 0);
       EXPECT_EQ(mkdir((mnt + "/a/logs").c_str(), 0755), 0);
       return nothing_mounted();
     },
     ACCEPTED},
    {"ClimbingBackDownOnTheCardIsAccepted", true, "a/../logs",
     [](const std::string& mnt, const std::string&) {
       EXPECT_EQ(mkdir((mnt + "/a").c_str(), 0755), 0);
       EXPECT_EQ(mkdir((mnt + "/logs").c_str(), 0755), 0);
       return nothing_mounted();
     },
     ACCEPTED},
};

void PrintTo(const RefusedDirCase& row, std::ostream* out) { *out << row.name; }

class RefusedLogDirTest : public HostileCardTest, public ::testing::WithParamInterface<RefusedDirCase> {};

TEST_P(RefusedLogDirTest, EndsStartUpNamingThePathAndWhy) {
  const RefusedDirCase& row = GetParam();
  std::string mnt = root.at(MEMCARD_LOG_DIR);
  if (row.card_mounted) {
    card = std::make_unique<TmpfsMount>(mnt, 1024);
    if (!card->mounted()) GTEST_SKIP() << card->why_not();
  }
  std::string elsewhere = root.at("/elsewhere");
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  std::unique_ptr<TmpfsMount> other = row.shape(mnt, elsewhere);
  if (other && !other->mounted()) GTEST_SKIP() << other->why_not();
  std::vector<std::string> elsewhere_before = directory_names(elsewhere);
  std::string path = mnt + "/" + row.cache_dir;
  std::vector<std::string> target_before = directory_names(path);

  root.write_settings(meter_settings(
      "ttyNONE", 1, std::string("MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=") + row.cache_dir + "\n"));
  daemon = std::make_unique<DaemonProcess>(root.path());
  int status = daemon->wait_for_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << daemon->messages();
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string expected = row.message;
  std::size_t at = expected.find("%s");
  bool refused = at != std::string::npos;
  if (refused) expected.replace(at, 2, path);
  std::string messages = daemon->messages();
  EXPECT_NE(messages.find(expected), std::string::npos) << "expected: " << expected << "got:\n" << messages;
  if (refused) {
    EXPECT_EQ(messages.find("open(/dev/"), std::string::npos) << "start-up went on:\n" << messages;
  }
  EXPECT_NE(access(lock_file("ttyNONE").c_str(), F_OK), 0);
  EXPECT_EQ(directory_names(elsewhere), elsewhere_before);
  EXPECT_EQ(directory_names(path), target_before);
  daemon.reset();
}

INSTANTIATE_TEST_SUITE_P(Shapes, RefusedLogDirTest, ::testing::ValuesIn(REFUSED_DIRS),
                         [](const ::testing::TestParamInfo<RefusedDirCase>& row) {
                           return std::string(row.param.name);
                         });

// A memCard that mounts the card one level down, at mnt/sd, with the log
// directory on it: the daemon enters that mount and logs there.
TEST_F(HostileCardTest, AMemCardThatMountsTheCardBelowTheMountPointIsLoggedInto) {
  if (geteuid() != 0) GTEST_SKIP() << "memCard's mount needs root";
  const std::string sd = root.at(MEMCARD_LOG_DIR) + "/sd";
  root.write_script(MEMCARD_SCRIPT,
                    "[ \"$1\" = mount ] || exit 0\n"
                    "sd=\"$METERSCRIBE_ROOT/var/meterscribe/mnt/sd\"\n"
                    "mkdir -p \"$sd\" && mount -t tmpfs -o size=1m tmpfs \"$sd\" && mkdir \"$sd/logs\"\n");
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{sd};
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  start_daemon(1, "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=sd/logs\n");
  log_dir = sd + "/logs";
  EXPECT_TRUE(wait_until([&] { return all_log_lines(log_dir).size() >= 3; }, 20s)) << daemon->messages();
  struct stat mount_point {};
  struct stat card_root {};
  ASSERT_EQ(stat(root.at(MEMCARD_LOG_DIR).c_str(), &mount_point), 0);
  ASSERT_EQ(stat(sd.c_str(), &card_root), 0);
  EXPECT_NE(card_root.st_dev, mount_point.st_dev) << "memCard mounted nothing";
  daemon->stop(SIGTERM);
  expect_lines_accounted_for();
}

// ---------------------------------------------------------------------------
// Trimming while polling goes on.

// A removeFile that notes each call (the wall-clock time, the path and the
// reason) before it waits `seconds` and removes its argument.
std::string recording_remove_file(int seconds) {
  std::string body = "printf '%s %s %s\\n' \"$(date +%s.%N)\" \"$1\" \"$2\" >> \"$0.calls\"\n";
  if (seconds > 0) body += "sleep " + std::to_string(seconds) + "\n";
  return body + "rm -f -- \"$1\"\n";
}

TEST_F(HostileCardTest, ARemoveFileThatTakesSecondsDoesNotSlowPolling) {
  if (!mount_card(1024)) GTEST_SKIP() << card->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  // About three quarters of the card in yesterday's files; the daemon's
  // first line releases the newest, and with it all of them.
  std::vector<std::string> old = write_old_logs(log_dir, 7, 110000);
  ASSERT_GE(card->use_percent(), 70u);
  root.write_script(REMOVE_SCRIPT, recording_remove_file(3));
  std::string calls_path = root.at(std::string(REMOVE_SCRIPT) + ".calls");
  // No release of the daemon's own file falls due during the test.
  start_daemon(1, std::string(ON_CARD) + FAST_LINE + "MOD_METERSCRIBE_SEND_PERIOD=60\n");

  // The exchanges begun so far, sampled on the wall clock the script uses.
  std::vector<std::pair<double, int>> samples;
  double call_began = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        samples.emplace_back(wall_seconds(), started());
        if (call_began == 0) call_began = std::atof(read_whole_file(calls_path).c_str());
        return call_began > 0 && samples.back().first > call_began + 2.2;
      },
      40s))
      << daemon->messages();
  auto started_at = [&](double when) {
    int count = 0;
    for (const auto& [at, started_then] : samples)
      if (at <= when) count = started_then;
    return count;
  };
  int before = started_at(call_began) - started_at(call_began - 2);
  int during = started_at(call_began + 2) - started_at(call_began);
  EXPECT_GE(before, 2 * MIN_EXCHANGES_PER_SECOND) << "polling was slow before the trim";
  EXPECT_GE(during, before / 3) << "polling slowed down while removeFile ran: " << before
                                << " exchanges in the 2 s before, " << during << " in the 2 s after it began";
  // The call was still under way: the whole measurement fell inside it.
  std::vector<std::string> calls = complete_lines(read_whole_file(calls_path));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].find(" storage_full"), std::string::npos) << calls[0];
  daemon->stop(SIGTERM);
  expect_lines_accounted_for(old);
}

// A send that fails once, as an uplink that is down, and then delivers;
// each call notes the wall-clock time and the path.
constexpr const char* SEND_FAILS_ONCE =
    "printf '%s %s\\n' \"$(date +%s.%N)\" \"$1\" >> \"$0.calls\"\n"
    "[ -e \"$0.failed\" ] && exit 0\n"
    ": > \"$0.failed\"\nexit 1\n";

// The wall-clock times of the calls a recording script noted.
std::vector<double> call_times(const std::string& calls_path) {
  std::vector<double> times;
  for (const std::string& call : complete_lines(read_whole_file(calls_path))) times.push_back(std::atof(call.c_str()));
  return times;
}

std::uint64_t file_length(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// A sparse file of a terabyte, a few lines and then holes, beside ten
// released logs on a full card. It counts for the page it holds, so the
// first trim takes about a fifth of the logs, not all of them for a fifth
// of a terabyte, and reads no holes while polling may wait for it.
TEST_F(HostileCardTest, ASparseTerabyteCountsForWhatItHoldsAndUploadsResumeWithinSeconds) {
  if (!mount_card(1024)) GTEST_SKIP() << card->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  std::vector<std::string> old = write_old_logs(log_dir, 10, 75000);
  std::uint64_t logs_held = 0;
  for (const std::string& name : old) logs_held += file_length(log_dir + "/" + name);
  std::string sparse = log_name_at(std::time(nullptr) - 2 * 86400);  // released, and older than every log
  write_whole_file(log_dir + "/" + sparse, "m0:2000-01-01-00-00-00:01 03 00 \n");
  ASSERT_EQ(truncate((log_dir + "/" + sparse).c_str(), off_t{1} << 40), 0);
  ASSERT_GE(card->use_percent(), 70u);
  root.write_script(SEND_SCRIPT, SEND_FAILS_ONCE);
  root.write_script(REMOVE_SCRIPT, recording_remove_file(0));
  std::string sends_path = root.at(std::string(SEND_SCRIPT) + ".calls");
  start_daemon(1, std::string(ON_CARD) + FAST_LINE + "MOD_METERSCRIBE_SEND_PERIOD=60\n");

  ASSERT_TRUE(wait_until([&] { return call_times(sends_path).size() >= 2; }, 30s))
      << "uploads did not resume after the trim\n"
      << read_whole_file(sends_path) << daemon->messages();
  std::vector<double> sends = call_times(sends_path);
  EXPECT_LT(sends[1] - sends[0], 5.0) << "the trim between the failed send and the next took that long";
  std::uint64_t logs_left = 0;
  for (const std::string& name : old) logs_left += file_length(log_dir + "/" + name);
  std::uint64_t removed = logs_held - logs_left;
  EXPECT_GE(removed, logs_held * 15 / 100) << removed << " of " << logs_held << " bytes";
  EXPECT_LE(removed, logs_held * 25 / 100) << removed << " of " << logs_held << " bytes";
  daemon->stop(SIGTERM);
  old.push_back(sparse);
  expect_lines_accounted_for(old);
}

// ---------------------------------------------------------------------------
// Regular files on the card that are not the daemon's to write, send or trim.

struct PlantedFilesCase {
  const char* name;
  bool bogus_log_name;  // an empty log-9999-99-99-99-99-99: the log form, but no time
  int foreign_files;    // named to sort after every log name, before and again after one old log
  bool uploads_work;    // else every send fails, on a card filled past the trim threshold
};
void PrintTo(const PlantedFilesCase& row, std::ostream* out) { *out << row.name; }

constexpr const char* BOGUS_LOG_NAME = "log-9999-99-99-99-99-99";

// A script that notes its arguments, one call a line, and exits with `status`.
std::string recording_script(int status) {
  return "printf '%s\\n' \"$*\" >> \"$0.calls\"\nexit " + std::to_string(status) + "\n";
}

class PlantedFilesTest : public HostileCardTest, public ::testing::WithParamInterface<PlantedFilesCase> {
 protected:
  // foreign_files files of no log form; whichever order the directory
  // lists in, that many of them come before the old log.
  void plant_foreign(const char* batch) const {
    for (int i = 0; i < GetParam().foreign_files; ++i)
      write_whole_file(log_dir + "/zz-foreign-" + batch + std::to_string(i), "");
  }

  std::vector<std::string> calls_of(const char* script) const {
    return complete_lines(read_whole_file(root.at(std::string(script) + ".calls")));
  }

  bool any_call_names(const char* script, const std::string& name) const {
    for (const std::string& call : calls_of(script))
      if (call.find(log_dir + "/" + name) != std::string::npos) return true;
    return false;
  }

  // What meterscribe-status prints for the gateway as it stands.
  std::string status_report() const {
    std::string out = root.at("/status.out");
    std::string command = "METERSCRIBE_ROOT=" + root.path() + " " + MS_STATUS_TOOL + " >" + out + " 2>&1";
    if (std::system(command.c_str()) == -1) return "";
    return read_whole_file(out);
  }
};

// The first line of the daemon's own that the send script received.
std::string first_own_file_sent(const std::vector<std::string>& calls, const std::string& log_dir) {
  for (const std::string& call : calls) {
    std::string name = call.substr(std::min(call.size(), log_dir.size() + 1));
    if (call.rfind(log_dir + "/log-", 0) == 0 && name != BOGUS_LOG_NAME) return name;
  }
  return "";
}

TEST_P(PlantedFilesTest, NeitherTakeLinesNorHideTheLogsFromSendAndTrim) {
  const PlantedFilesCase& row = GetParam();
  if (!mount_card(1024)) GTEST_SKIP() << card->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  plant_foreign("a");
  std::vector<std::string> old;
  if (row.foreign_files > 0) old = write_old_logs(log_dir, 1, row.uploads_work ? 10000 : 250000);
  plant_foreign("b");
  // A card filled mostly by a foreign file: a head cut of the log still
  // finds room for the part it keeps.
  if (!row.uploads_work) write_whole_file(log_dir + "/zz-foreign-a0", std::string(500 * 1024, 'f'));
  if (row.bogus_log_name) write_whole_file(log_dir + "/" + BOGUS_LOG_NAME, "");
  if (!row.uploads_work) {
    ASSERT_GE(card->use_percent(), 70u);
  }
  root.write_script(SEND_SCRIPT, recording_script(row.uploads_work ? 0 : 1));
  root.write_script(REMOVE_SCRIPT, recording_remove_file(0));
  // With a send period of 0 the daemon's own file is released a second
  // after it was begun.
  start_daemon(1, std::string(ON_CARD) + FAST_LINE + "MOD_METERSCRIBE_SEND_PERIOD=" +
                      (row.bogus_log_name ? "0" : "60") + "\n");

  if (row.bogus_log_name) {
    ASSERT_TRUE(wait_until([&] { return !first_own_file_sent(calls_of(SEND_SCRIPT), log_dir).empty(); }, 30s))
        << "no file of the daemon's own was sent\n"
        << read_whole_file(root.at(std::string(SEND_SCRIPT) + ".calls")) << daemon->messages();
    std::string sent = first_own_file_sent(calls_of(SEND_SCRIPT), log_dir);
    EXPECT_FALSE(complete_lines(read_whole_file(log_dir + "/" + sent)).empty()) << sent;
    std::string report = status_report();
    EXPECT_NE(report.find(std::string("no log time: ") + BOGUS_LOG_NAME), std::string::npos) << report;
  }
  const char* takes_old = row.uploads_work ? SEND_SCRIPT : REMOVE_SCRIPT;
  if (!old.empty()) {
    ASSERT_TRUE(wait_until([&] { return any_call_names(takes_old, old[0]); }, 30s))
        << old[0] << " was not handed to " << takes_old << "\n"
        << read_whole_file(root.at(std::string(takes_old) + ".calls")) << daemon->messages();
  }
  daemon->stop(SIGTERM);
  if (row.bogus_log_name) {
    EXPECT_EQ(read_whole_file(log_dir + "/" + BOGUS_LOG_NAME), "");
  }
  for (const char* script : {SEND_SCRIPT, REMOVE_SCRIPT}) {
    for (const std::string& call : calls_of(script)) {
      EXPECT_EQ(call.find("zz-foreign-"), std::string::npos) << call;
      EXPECT_EQ(call.find(BOGUS_LOG_NAME), std::string::npos) << call;
    }
  }
  expect_lines_accounted_for(old);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, PlantedFilesTest,
    ::testing::Values(PlantedFilesCase{"ALogNameOfNoTime", true, 0, true},
                      PlantedFilesCase{"NineHundredNinetyNineForeignFilesAndUploadsWork", false, 999, true},
                      PlantedFilesCase{"NineHundredNinetyNineForeignFilesOnAFullCard", false, 999, false}),
    [](const ::testing::TestParamInfo<PlantedFilesCase>& row) { return std::string(row.param.name); });

class VolatileTmpfsTest : public HostileCardTest {
 protected:
  void TearDown() override { daemon.reset(); }  // before the tmpfs goes
  std::unique_ptr<TmpfsMount> volatile_fs;
};

// RAM in use: MemTotal less MemAvailable, in percent of MemTotal.
unsigned ram_use_percent() {
  std::string meminfo = read_whole_file("/proc/meminfo");
  auto field = [&](const char* name) {
    std::size_t at = meminfo.find(name);
    return at == std::string::npos ? 0.0 : std::atof(meminfo.c_str() + at + std::strlen(name));
  };
  double total = field("MemTotal:");
  double available = field("MemAvailable:");
  return total > 0 ? static_cast<unsigned>((total - available) * 100 / total) : 100;
}

TEST_F(VolatileTmpfsTest, AFullVolatileTmpfsIsTrimmedWhileRamIsMostlyFree) {
  if (ram_use_percent() >= 50) GTEST_SKIP() << "RAM is " << ram_use_percent() << " % used; the tmpfs would not decide";
  volatile_fs = std::make_unique<TmpfsMount>(log_dir, 1024);
  if (!volatile_fs->mounted()) GTEST_SKIP() << volatile_fs->why_not();
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  std::vector<std::string> old = write_old_logs(log_dir, 7, 110000);
  unsigned use_before = volatile_fs->use_percent();
  ASSERT_GE(use_before, 70u);
  root.write_script(REMOVE_SCRIPT, recording_remove_file(0));
  std::string calls_path = root.at(std::string(REMOVE_SCRIPT) + ".calls");
  start_daemon(1, std::string(FAST_LINE) + "MOD_METERSCRIBE_SEND_PERIOD=60\n");

  ASSERT_TRUE(wait_until([&] { return volatile_fs->use_percent() < 67; }, 40s))
      << "not trimmed: " << volatile_fs->use_percent() << " % used\n"
      << read_whole_file(calls_path) << daemon->messages();
  // Polling goes on: the daemon's own files grow. Yesterday's may still be
  // cut by a later trim meanwhile, so their lines are not counted.
  auto daemon_lines = [&] {
    std::size_t count = 0;
    for (const std::string& name : directory_names(log_dir))
      if (name.rfind("log-", 0) == 0 && name.size() == 23 && std::find(old.begin(), old.end(), name) == old.end())
        count += complete_lines(read_whole_file(log_dir + "/" + name)).size();
    return count;
  };
  std::size_t lines = daemon_lines();
  EXPECT_TRUE(wait_until([&] { return daemon_lines() >= lines + 20; }, 10s)) << daemon->messages();
  daemon->stop(SIGTERM);
  // Only yesterday's released files went, each through removeFile.
  std::vector<std::string> calls = complete_lines(read_whole_file(calls_path));
  ASSERT_FALSE(calls.empty());
  for (const std::string& call : calls) {
    bool names_old_file = false;
    for (const std::string& name : old) names_old_file |= call.find(" " + log_dir + "/" + name) != std::string::npos;
    EXPECT_TRUE(names_old_file) << call;
    EXPECT_NE(call.find(" storage_full"), std::string::npos) << call;
  }
  expect_lines_accounted_for(old);
}

// A tmpfs mounted over the volatile directory while the daemon runs: the
// path names the new directory, and the daemon follows it, says so once,
// and writes its lines there, where send finds every file it is handed.
TEST_F(VolatileTmpfsTest, ATmpfsMountedOverTheLogDirectoryIsFollowed) {
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  root.write_script(SEND_SCRIPT, "if [ -f \"$1\" ]; then found=present; else found=missing; fi\n"
                                 "echo \"$found $1\" >> \"$0.calls\"\n");
  std::string calls_path = root.at(std::string(SEND_SCRIPT) + ".calls");
  start_daemon(1, std::string(FAST_LINE) + "MOD_METERSCRIBE_SEND_PERIOD=0\n");
  ASSERT_TRUE(wait_until([&] { return all_log_lines(log_dir).size() >= 3; }, 20s)) << daemon->messages();
  // The directory underneath stays reachable through a descriptor.
  int underneath = open(log_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(underneath, 0);
  std::string old_dir = "/proc/self/fd/" + std::to_string(underneath);
  std::vector<std::string> old_names = directory_names(old_dir);
  volatile_fs = std::make_unique<TmpfsMount>(log_dir, 1024);
  if (!volatile_fs->mounted()) GTEST_SKIP() << volatile_fs->why_not();
  const std::string message = "log directory " + log_dir + " names another directory now; opened it again";
  ASSERT_TRUE(daemon->wait_for_message(message, 10s)) << daemon->messages();
  // The message came before any line went to the new directory, and after
  // the last that went to the old one.
  std::size_t old_lines = all_log_lines(old_dir).size();
  ASSERT_TRUE(wait_until([&] { return all_log_lines(log_dir).size() >= 20; }, 20s)) << daemon->messages();
  // send is handed a file that only the new directory holds.
  auto handed_new_file = [&] {
    for (const std::string& call : complete_lines(read_whole_file(calls_path))) {
      std::string name = call.substr(call.rfind('/') + 1);
      if (std::find(old_names.begin(), old_names.end(), name) == old_names.end() &&
          call.rfind("present " + log_dir + "/log-", 0) == 0)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(wait_until(handed_new_file, 30s)) << read_whole_file(calls_path) << daemon->messages();
  daemon->stop(SIGTERM);
  EXPECT_EQ(all_log_lines(old_dir).size(), old_lines);
  EXPECT_EQ(count_occurrences(daemon->messages(), message), 1) << daemon->messages();
  // From the first new file on, every path handed over names a file.
  std::vector<std::string> calls = complete_lines(read_whole_file(calls_path));
  bool followed = false;
  for (const std::string& call : calls) {
    std::string name = call.substr(call.rfind('/') + 1);
    followed |= std::find(old_names.begin(), old_names.end(), name) == old_names.end();
    if (followed) {
      EXPECT_EQ(call.rfind("present ", 0), 0u) << call;
    }
  }
  for (const std::string& line : all_log_lines(log_dir)) EXPECT_TRUE(is_valid_log_line(line)) << line;
  close(underneath);
}

// The volatile directory as a plain directory on a tmpfs shared with other
// users, as /run or /tmp would be: their files filling it are no reason to
// trim the logs. Only RAM is measured, and RAM is mostly free.
TEST_F(VolatileTmpfsTest, AFullTmpfsSharedWithOthersTrimsNothingWhileRamIsMostlyFree) {
  if (ram_use_percent() >= 50) GTEST_SKIP() << "RAM is " << ram_use_percent() << " % used; it would trim anyway";
  std::string shared = root.at("/var/meterscribe");
  volatile_fs = std::make_unique<TmpfsMount>(shared, 1024);
  if (!volatile_fs->mounted()) GTEST_SKIP() << volatile_fs->why_not();
  ASSERT_EQ(mkdir(log_dir.c_str(), 0755), 0);
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  write_whole_file(shared + "/someone-elses", std::string(700 * 1024, 'o'));
  std::vector<std::string> old = write_old_logs(log_dir, 2, 20000);
  ASSERT_GE(volatile_fs->use_percent(), 70u);
  root.write_script(SEND_SCRIPT, "printf '%s %s\\n' \"$(date +%s.%N)\" \"$1\" >> \"$0.calls\"\nexit 1\n");
  root.write_script(REMOVE_SCRIPT, recording_remove_file(0));
  std::string sends_path = root.at(std::string(SEND_SCRIPT) + ".calls");
  start_daemon(1, std::string(FAST_LINE) + "MOD_METERSCRIBE_SEND_PERIOD=60\n");

  // A trim follows each failed send before the next one is offered.
  ASSERT_TRUE(wait_until([&] { return call_times(sends_path).size() >= 2; }, 30s)) << daemon->messages();
  daemon->stop(SIGTERM);
  EXPECT_EQ(read_whole_file(root.at(std::string(REMOVE_SCRIPT) + ".calls")), "");
  for (const std::string& name : old) EXPECT_EQ(file_length(log_dir + "/" + name), 20000u) << name;
  expect_lines_accounted_for(old);
}

}  // namespace
