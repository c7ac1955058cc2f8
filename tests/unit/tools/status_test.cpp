// meterscribe-status, the real binary on gateway roots built to show each
// state: its exit status and what it says needs attention. Its gauges are
// scraped through a real node exporter.
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"
#include "support/reliability.h"
#include "support/server_process.h"
#include "support/temp_root.h"
#include "tool_run.h"

namespace {

constexpr const char* EXPORTER = "/usr/bin/prometheus-node-exporter";
constexpr const char* PROMTOOL = "/usr/bin/promtool";

// Two meters (slaves 1 and 17), a cycle of at most 13 s (silent after
// 69 s), files released at 15 minutes (uploads failing 32 min 13 s after a
// file was begun).
std::string settings(const std::string& storage) {
  return "MOD_METERSCRIBE_DEVICE=ttyS1\nMOD_METERSCRIBE_PERIOD=10\nMOD_METERSCRIBE_SPLIT=100\n"
         "MOD_METERSCRIBE_SEND_PERIOD=15\nMOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\n"
         "MOD_METERSCRIBE_REG_COUNT1=1\nMOD_METERSCRIBE_ADDR2=17\nMOD_METERSCRIBE_FUNC2=3\n"
         "MOD_METERSCRIBE_REG_COUNT2=1\n" +
         storage;
}

// Every name and line time counts back from one instant, so a table's
// expectations agree with the files its cases write.
const std::time_t BASE = std::time(nullptr);

std::string local(long seconds_ago, const char* format) {
  std::time_t when = BASE - seconds_ago;
  struct tm parts {};
  localtime_r(&when, &parts);
  char text[40];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

std::string log_name(long seconds_ago) { return local(seconds_ago, "log-%Y-%m-%d-%H-%M-%S"); }

// A line as the daemon writes it: one holding register holding 42.
std::string line(unsigned meter_index, long seconds_ago) {
  return "m" + std::to_string(meter_index) + ":" + local(seconds_ago, "%Y-%m-%d-%H-%M-%S") + ":01 03 02 00 2a 39 9b \n";
}

// A gateway that is all well: a live lock, a current file begun 5 minutes
// ago with fresh lines of both meters, one file released 5 minutes ago.
// On a card, the card is a small real tmpfs, so the use the tool reads is
// known.
struct Gateway {
  TempRoot root;
  std::unique_ptr<TmpfsMount> card;
  std::string logs;

  explicit Gateway(bool on_card) {
    if (on_card) {
      card = std::make_unique<TmpfsMount>(root.at("/var/meterscribe/mnt"), 1024);
      if (!card->mounted()) return;
    }
    logs = root.at(on_card ? "/var/meterscribe/mnt/logs" : "/var/meterscribe/voldata");
    ::mkdir(logs.c_str(), 0755);
    root.write_settings(settings(on_card ? "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n" : ""));
    lock(getpid());
    log("/" + log_name(20 * 60), line(0, 20 * 60) + line(1, 20 * 60));
    log("/" + log_name(5 * 60), line(1, 30) + line(0, 5));
  }
  void lock(long pid) const {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    root.write_file("/var/lock/LCK..ttyS1", text);
  }
  void log(const std::string& name, const std::string& content) const { write_whole_file(logs + name, content); }
  // The tool finds the settings at their rooted default path.
  ToolRun status(const std::string& arguments = "") const {
    std::string tool = "METERSCRIBE_ROOT=" + root.path() + " " + MS_STATUS_TOOL;
    return run_tool(tool.c_str(), arguments, root);
  }
};

// The items under "Needs attention", without their indent.
std::vector<std::string> attention_of(const std::string& out) {
  std::vector<std::string> items;
  std::size_t block = out.find("\nNeeds attention (");
  if (block == std::string::npos) return items;
  std::istringstream lines(out.substr(out.find('\n', block + 1) + 1));
  for (std::string text; std::getline(lines, text);) items.push_back(text.substr(2));
  return items;
}

TEST(StatusTest, EachStateAndWhatNeedsAttention) {
  struct Case {
    const char* name;
    std::function<void(Gateway&)> build;
    int status;
    std::vector<std::string> attention;  // the start of each item
    std::string key_line;                // in the text above them
    bool measured = true;                // the card's use is read
  };
  long dead = dead_pid();
  const Case cases[] = {
      {"all well", [](Gateway&) {}, 0, {}, "Waiting   1 file, "},
      {"a file that is no log file needs nobody", [](Gateway& g) { g.log("/notes.txt", "x"); }, 0, {},
       "  not a log file       notes.txt\n"},
      {"uploads failing", [](Gateway& g) { g.log("/" + log_name(33 * 60), line(0, 33 * 60)); }, 1,
       {"uploads are failing: " + log_name(33 * 60) + " was released at "}, "Waiting   2 files, "},
      {"storage at the trim threshold, meter 2's line behind 700 KiB of meter 1's",
       [](Gateway& g) {
         std::string filler = line(1, 30);
         while (filler.size() < 700 * 1024) filler += line(0, 10);
         g.log("/" + log_name(60), filler);
         ASSERT_GE(g.card->use_percent(), 67u);
       },
       1, {"storage "}, "  meter 2  last line " + local(30, "%Y-%m-%d %H:%M:%S") + ", "},
      {"past the daemon's 999 names, every waiting file is counted",
       [](Gateway& g) {
         for (long i = 0; i < 1200; ++i) g.log("/" + log_name(33 * 60 + i), "");
       },
       1, {"uploads are failing: " + log_name(33 * 60 + 1199) + " was released at "}, "Waiting   1201 files, "},
      {"interrupted head cut", [](Gateway& g) { g.log("/" + log_name(20 * 60) + ".tmp", line(0, 20 * 60)); }, 1,
       {"interrupted head cut: " + log_name(20 * 60) + ".tmp holds the old content"}, "  interrupted cut      "},
      {"file named in the future", [](Gateway& g) { g.log("/" + log_name(-3600), ""); }, 1,
       {"named in the future: " + log_name(-3600)}, "Current   " + log_name(-3600) + ", 0 bytes, begun "},
      // The daemon never writes into these: they are no current file.
      {"log names of no time, or over a day ahead",
       [](Gateway& g) {
         g.log("/log-9999-99-99-99-99-99", "");
         g.log("/" + log_name(-2 * 86400), "");
       },
       1, {"no log time: " + log_name(-2 * 86400), "no log time: log-9999-99-99-99-99-99"},
       "  no log time          log-9999-99-99-99-99-99\n"},
      {"silent meter", [](Gateway& g) { g.log("/" + log_name(5 * 60), line(1, 600) + line(0, 5)); }, 1,
       {"meter 2 is silent: its last line is 10 min "}, "  meter 2  last line "},
      // A name from disk cannot forge a line, nor send an escape sequence.
      {"a name with line ends and escape sequences",
       [dead](Gateway& g) {
         g.lock(dead);
         g.log("/\n\nNothing needs attention.\n\x1b[2J\xc2\x9b\\", "x");
       },
       1, {"stale lock "}, "  not a log file       \\n\\nNothing needs attention.\\n\\x1b[2J\\xc2\\x9b\\\\\n"},
      {"stale lock", [dead](Gateway& g) { g.lock(dead); }, 1,
       {"stale lock "}, ": it names pid " + std::to_string(dead) + ", which is not running; "},
      // Anyone can write init's id into the lock directory: in a file that
      // is neither root's nor init's user's, it is forged.
      {"forged lock",
       [](Gateway& g) {
         g.lock(1);
         (void)::chown(g.root.at("/var/lock/LCK..ttyS1").c_str(), 65534, 65534);
       },
       1, {"stale lock "}, ": it names pid 1, a process of another user than the file's owner, so it is forged; "},
      {"no lock", [](Gateway& g) { ::unlink(g.root.at("/var/lock/LCK..ttyS1").c_str()); }, 1,
       {"no daemon: nothing holds the lock "}, "Daemon    not running: no lock "},
      // The daemon honours an empty lock moments old: its owner is writing it.
      {"a lock being written", [](Gateway& g) { g.root.write_file("/var/lock/LCK..ttyS1", ""); }, 0, {},
       "/var/lock/LCK..ttyS1 is being written (empty, moments old)\n"},
      {"a CACHE_DIR too long for the daemon",
       [](Gateway& g) {
         std::string too_long(107, 'd');
         ::mkdir((g.root.at("/var/meterscribe/mnt/") + too_long.substr(0, 106)).c_str(), 0755);
         g.root.write_settings(settings("MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=" + too_long + "\n"));
       },
       1,
       {"the log directory cannot be opened: error: log directory ", "meter 1 is silent: ", "meter 2 is silent: "},
       " is too long: at most 127 characters fit\n",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gateway gateway(true);
    if (!gateway.card->mounted()) GTEST_SKIP() << gateway.card->why_not();
    c.build(gateway);
    ToolRun run = gateway.status();
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, "");
    std::vector<std::string> items = attention_of(run.out);
    ASSERT_EQ(items.size(), c.attention.size()) << run.out;
    for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].rfind(c.attention[i], 0), 0u) << items[i];
    EXPECT_EQ(run.out.find("\nNothing needs attention.\n") != std::string::npos, items.empty()) << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.key_line), std::string::npos) << run.out;
    // The card's use, read as the daemon reads it.
    EXPECT_EQ(run.out.find("\n          " + std::to_string(gateway.card->use_percent()) + " % used; ") !=
                  std::string::npos,
              c.measured)
        << run.out;
  }
}

// Volatile storage on a disk needs attention (unless the test's own disk is
// in RAM); a tmpfs mounted there does not.
TEST(StatusTest, VolatileStorageOffRamNeedsAttention) {
  Gateway gateway(false);
  auto warned = [&] {
    std::vector<std::string> items = attention_of(gateway.status().out);
    return std::count_if(items.begin(), items.end(), [](const std::string& item) {
      return item.rfind("volatile storage is not on a RAM file system (tmpfs or ramfs): ", 0) == 0;
    });
  };
  struct statfs disk {};
  ASSERT_EQ(statfs(gateway.logs.c_str(), &disk), 0);
  EXPECT_EQ(warned(), disk.f_type == TMPFS_MAGIC ? 0 : 1);
  TmpfsMount ram(gateway.logs, 1024);
  if (!ram.mounted()) GTEST_SKIP() << ram.why_not();
  EXPECT_EQ(warned(), 0);
}

// The service mounts the card in its own mount namespace: from here the
// mount point is empty, and the tool reads the card through the root of the
// process that holds the lock.
TEST(StatusTest, TheCardIsReadThroughTheLockHoldersMountNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "a mount namespace needs root";
  Gateway gateway(false);
  gateway.root.write_settings(settings("MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  std::string card = gateway.root.at("/var/meterscribe/mnt");
  std::string name = log_name(60);
  gateway.root.write_file("/holder.sh", "mount -t tmpfs -o size=1024k tmpfs " + card + " && mkdir " + card +
                                            "/logs && printf '" + line(0, 5) + "' >" + card + "/logs/" + name +
                                            " && printf '%10d\\n' $$ >" + gateway.root.at("/var/lock/LCK..ttyS1") +
                                            " && exec sleep 600\n");
  ::unlink(gateway.root.at("/var/lock/LCK..ttyS1").c_str());
  ServerProcess holder({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", gateway.root.at("/holder.sh")},
                       gateway.root.at("/holder.log"));
  if (!holder.wait_ready([&] { return gateway.root.read_file("/var/lock/LCK..ttyS1").size() == 11; }, std::chrono::seconds(10)))
    GTEST_SKIP() << "no mount namespace here: " << holder.log();
  EXPECT_EQ(directory_names(card), std::vector<std::string>{});
  ToolRun run = gateway.status();
  EXPECT_NE(run.out.find("Current   " + name + ", "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  meter 1  last line " + local(5, "%Y-%m-%d %H:%M:%S")), std::string::npos) << run.out;
}

// A node exporter serving only its textfile collector on a free loopback
// port, for as long as the object lives.
class NodeExporter {
 public:
  NodeExporter(const std::string& dir, const std::string& log)
      : port_(free_loopback_port()),
        process_({EXPORTER, "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--collector.disable-defaults",
                  "--collector.textfile", "--collector.textfile.directory=" + dir},
                 log) {}

  // /metrics as served, "" until the exporter answers.
  std::string scrape(const TempRoot& root) const {
    std::string command = "curl -sf -o " + root.at("/metrics") + " http://127.0.0.1:" + std::to_string(port_) + "/metrics";
    return std::system(command.c_str()) == 0 ? root.read_file("/metrics") : "";
  }

 private:
  int port_;
  ServerProcess process_;
};

// Sample lines ("name{labels} value") of the text format, by name and labels.
std::map<std::string, std::string> samples(const std::string& text, const std::string& prefix) {
  std::map<std::string, std::string> found;
  std::istringstream lines(text);
  for (std::string sample; std::getline(lines, sample);) {
    std::size_t blank = sample.rfind(' ');
    if (sample.rfind(prefix, 0) == 0 && blank != std::string::npos) found[sample.substr(0, blank)] = sample.substr(blank + 1);
  }
  return found;
}

bool same_number(const std::string& a, const std::string& b) {
  double x = std::stod(a);
  double y = std::stod(b);
  return (std::isnan(x) && std::isnan(y)) || x == y;
}

TEST(StatusTest, TheNodeExporterServesEveryGaugeAsWritten) {
  if (access(EXPORTER, X_OK) != 0) GTEST_SKIP() << EXPORTER << " is missing (Debian package prometheus-node-exporter)";
  // Volatile storage; uploads failing, a foreign file. In the hour, four
  // cycles show: (m0 m1) (m0) (m0) (m0); the lines of 70 minutes ago are
  // outside it.
  Gateway gateway(false);
  gateway.log("/" + log_name(70 * 60), line(0, 70 * 60) + line(1, 70 * 60));
  gateway.log("/" + log_name(40 * 60), line(0, 40 * 60) + line(1, 40 * 60 - 1) + line(0, 39 * 60));
  gateway.log("/" + log_name(20 * 60), line(0, 20 * 60));
  gateway.log("/" + log_name(5 * 60), line(0, 5));
  gateway.log("/notes.txt", "x");
  std::string dir = gateway.root.at("/textfile");
  ::mkdir(dir.c_str(), 0755);
  ToolRun run = gateway.status("--prometheus --output " + dir + "/meterscribe.prom");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out + run.err, "");
  std::string prom = dir + "/meterscribe.prom";
  std::map<std::string, std::string> written = samples(gateway.root.read_file("/textfile/meterscribe.prom"), "meterscribe_");
  bool linted = access(PROMTOOL, X_OK) == 0;
  if (linted) {
    EXPECT_EQ(std::system((std::string(PROMTOOL) + " check metrics <" + prom).c_str()), 0);
  }

  NodeExporter exporter(dir, gateway.root.at("/exporter.log"));
  std::string scraped;
  ASSERT_TRUE(wait_until([&] { return !(scraped = exporter.scrape(gateway.root)).empty(); }, std::chrono::seconds(10)))
      << gateway.root.read_file("/exporter.log");
  EXPECT_EQ(samples(scraped, "node_textfile_scrape_error")["node_textfile_scrape_error"], "0") << scraped;
  std::map<std::string, std::string> served = samples(scraped, "meterscribe_");
  EXPECT_EQ(served.size(), written.size()) << scraped;
  for (const auto& [name, value] : written)
    EXPECT_TRUE(served.count(name) == 1 && same_number(served[name], value)) << name << " " << value << " " << served[name];

  const std::string one_line = line(0, 0);
  auto at = [](long seconds_ago) { return std::to_string(BASE - seconds_ago); };
  const std::map<std::string, std::string> expected = {
      {"meterscribe_build_info{version=\"" MS_PROJECT_VERSION "\"}", "1"},
      {"meterscribe_daemon_running", "1"},
      {"meterscribe_lock_stale", "0"},
      {"meterscribe_log_dir_open", "1"},
      {"meterscribe_storage_on_card", "0"},
      {"meterscribe_trim_threshold_ratio", "0.67"},
      {"meterscribe_current_file_begin_timestamp_seconds", at(5 * 60)},
      {"meterscribe_current_file_bytes", std::to_string(one_line.size())},
      {"meterscribe_waiting_files", "3"},
      {"meterscribe_waiting_bytes", std::to_string(6 * one_line.size())},
      {"meterscribe_oldest_waiting_begin_timestamp_seconds", at(70 * 60)},
      {"meterscribe_uploads_failing", "1"},
      {"meterscribe_interrupted_cuts", "0"},
      {"meterscribe_future_files", "0"},
      {"meterscribe_foreign_files", "1"},
      {"meterscribe_meter_last_line_timestamp_seconds{meter=\"1\",slave=\"1\"}", at(5)},
      {"meterscribe_meter_last_line_timestamp_seconds{meter=\"2\",slave=\"17\"}", at(40 * 60 - 1)},
      {"meterscribe_meter_silent{meter=\"1\",slave=\"1\"}", "0"},
      {"meterscribe_meter_silent{meter=\"2\",slave=\"17\"}", "1"},
      {"meterscribe_meter_answer_ratio{meter=\"1\",slave=\"1\"}", "1"},
      {"meterscribe_meter_answer_ratio{meter=\"2\",slave=\"17\"}", "0.25"},
      {"meterscribe_silent_after_seconds", "69"},
      {"meterscribe_attention", "1"},
  };
  for (const auto& [name, value] : expected)
    EXPECT_TRUE(served.count(name) == 1 && same_number(served[name], value)) << name << " " << value << " " << served[name];
  double use = std::stod(served["meterscribe_storage_use_ratio"]);
  EXPECT_TRUE(use >= 0 && use <= 1) << use;
  EXPECT_EQ(served.size(), expected.size() + 1) << scraped;
  if (!linted) GTEST_SKIP() << PROMTOOL << " is missing (Debian package prometheus)";
}

}  // namespace
