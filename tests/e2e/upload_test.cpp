// Uploads and storage trimming with the real daemon, the sample send
// script, a real FTP server on loopback and, as root, a real small tmpfs
// as the memory card.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"
#include "support/sample_script.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* PYTHON = "/usr/bin/python3";

// Regular files of a directory with their contents, by name.
std::map<std::string, std::string> directory_files(const std::string& dir) {
  std::map<std::string, std::string> files;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* e = readdir(d)) {
    std::string path = dir + "/" + e->d_name;
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files[e->d_name] = read_whole_file(path);
  }
  closedir(d);
  return files;
}

bool has_tmp_file(const std::string& dir) {
  std::vector<std::string> names = directory_names(dir);
  return std::any_of(names.begin(), names.end(),
                     [](const std::string& name) { return name.find(".tmp") != std::string::npos; });
}

// Every failed send may start another head cut, so a daemon stopped at a
// random moment can leave one half done. The daemon is frozen, and killed
// only while no cut is under way; otherwise it runs a little longer.
bool stop_between_cuts(DaemonProcess& daemon, const std::string& dir, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // SIGSTOP takes effect some time after kill() returns; the wait says
    // when every thread has stopped.
    int status = 0;
    kill(daemon.pid(), SIGSTOP);
    if (waitpid(daemon.pid(), &status, WUNTRACED) != daemon.pid() || !WIFSTOPPED(status)) return false;
    if (!has_tmp_file(dir)) {
      daemon.stop(SIGKILL);
      return true;
    }
    kill(daemon.pid(), SIGCONT);
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

// A real FTP server on 127.0.0.1 with one user, writing into `home`.
class FtpServer {
 public:
  FtpServer(const std::string& home, const std::string& user, const std::string& password) {
    int err[2];
    if (access(PYTHON, X_OK) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(err[1], 2);
      close(err[0]);
      close(err[1]);
      execl(PYTHON, PYTHON, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", "0", "-w", "-d", home.c_str(), "-u",
            user.c_str(), "-P", password.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(err[1]);
    err_fd_ = err[0];
    // The server says "starting FTP server on 127.0.0.1:<port>".
    std::string text;
    pollfd watch{err_fd_, POLLIN, 0};
    char c = 0;
    while (port_ == 0 && poll(&watch, 1, 10000) > 0 && read(err_fd_, &c, 1) == 1) {
      text += c;
      std::size_t at = text.find("127.0.0.1:");
      if (c == '\n' && at != std::string::npos) port_ = std::atoi(text.c_str() + at + 10);
    }
  }
  ~FtpServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (err_fd_ >= 0) close(err_fd_);
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int err_fd_ = -1;
  int port_ = 0;
};

class UploadTest : public GatewayRootTest {
 protected:
  void SetUp() override {
    // The sample send script, as an integrator installs it, wrapped to record
    // every offer before the real delivery runs. Removals fail unless a test
    // says otherwise: nothing may be trimmed away by the machine's memory use.
    root.write_file(std::string(SEND_SCRIPT) + ".real", read_whole_file(std::string(MS_SOURCE_DIR) + "/etc/send"), 0755);
    install_script_functions(root, "/opt/meterscribe/etc");
    root.write_script(SEND_SCRIPT, "printf '%s|%s\\n' \"$#\" \"$1\" >> \"$0.calls\"\nexec \"$0.real\" \"$@\"\n");
    ftp_home = root.at("/ftp");
    ::mkdir(ftp_home.c_str(), 0755);
  }
  std::string settings(const std::string& device, const std::string& url_and_credentials) const {
    return url_and_credentials + "MOD_METERSCRIBE_DEVICE=" + device +
           "\nMOD_METERSCRIBE_PERIOD=0\nMOD_METERSCRIBE_SPLIT=50\nMOD_METERSCRIBE_SEND_PERIOD=0\n"
           "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=4\n";
  }
  std::vector<std::string> offers() const { return complete_lines(root.read_file(std::string(SEND_SCRIPT) + ".calls")); }

  std::string ftp_home;
};

// A delivery is finished when the file is whole on the server and gone from
// the log directory.
bool deliveries_finished(const std::map<std::string, std::string>& local,
                         const std::map<std::string, std::string>& remote) {
  return std::all_of(remote.begin(), remote.end(), [&](const auto& entry) {
    return local.count(entry.first) == 0 && !entry.second.empty() && entry.second.back() == '\n';
  });
}

// Every line the daemon wrote is either still in log_dir or on the server,
// and no line is in both.
void expect_every_line_once(const std::map<std::string, std::string>& local,
                            const std::map<std::string, std::string>& remote) {
  for (const auto& [name, content] : remote) {
    auto kept = local.find(name);
    EXPECT_TRUE(kept == local.end()) << name << " was delivered but not removed";
    EXPECT_FALSE(content.empty()) << name;
    EXPECT_EQ(content.back(), '\n') << name << " ends in a torn line";
  }
}

TEST_F(UploadTest, FailedDeliveriesAreRetriedAndNothingIsLostUntilTheUplinkWorks) {
  FtpServer server(ftp_home, "meter", "s3cret \"pw\"");
  if (server.port() == 0) GTEST_SKIP() << "no FTP server (python3-pyftpdlib) on this machine";
  if (!start_sim({"--slaves", "1"})) GTEST_SKIP() << "meter simulator not available";
  std::string url = "MOD_METERSCRIBE_REMOTE_URL=ftp://127.0.0.1:" + std::to_string(server.port()) + "/\n";
  // A wrong password first: every pass offers the released files again.
  root.write_settings(settings(sim->device(), url + "MOD_METERSCRIBE_USERNAME=meter\nMOD_METERSCRIBE_PASSWORD=wrong\n"));
  daemon = std::make_unique<DaemonProcess>(root.path());
  ASSERT_TRUE(wait_until([&] { return offers().size() >= 3; }, 40s)) << daemon->messages();
  EXPECT_TRUE(directory_files(ftp_home).empty());
  std::map<std::string, std::string> offered_names;
  for (const std::string& offer : offers()) {
    EXPECT_EQ(offer.substr(0, 2), "1|") << "one argument per offer: " << offer;
    std::string path = offer.substr(2);
    EXPECT_EQ(path.substr(0, log_dir.size() + 1), log_dir + "/");
    std::string name = path.substr(log_dir.size() + 1);
    EXPECT_EQ(name.size(), 23u) << name;
    offered_names[name] = "";
  }
  for (const auto& [name, unused] : offered_names)
    EXPECT_TRUE(directory_files(log_dir).count(name)) << name << " vanished while the uplink failed";

  // The right password (the script reads the settings at every run).
  root.write_settings(settings(sim->device(), url + "MOD_METERSCRIBE_USERNAME=meter\nMOD_METERSCRIBE_PASSWORD=\"s3cret \"pw\"\"\n"));
  ASSERT_TRUE(wait_until(
      [&] {
        std::map<std::string, std::string> remote = directory_files(ftp_home);
        return std::all_of(offered_names.begin(), offered_names.end(),
                           [&](const auto& entry) { return remote.count(entry.first) == 1; });
      },
      40s))
      << daemon->messages();
  daemon->stop();
  // A send started just before the stop goes on by itself: it uploads, and
  // removes the file once the server has it whole.
  wait_until([&] { return deliveries_finished(directory_files(log_dir), directory_files(ftp_home)); }, 15s);
  expect_every_line_once(directory_files(log_dir), directory_files(ftp_home));
}

TEST_F(UploadTest, OnlyReleasedFilesAreOfferedEachAsOneArgument) {
  if (!start_sim({"--slaves", "1"})) GTEST_SKIP() << "meter simulator not available";
  // Waiting files with awkward names that sort before any new log file, and
  // one that sorts after every name the daemon will release.
  write_whole_file(log_dir + "/a b'c;$(touch pwned)", "x\n");
  write_whole_file(log_dir + "/log-2000-01-01-00-00-00", "old\n");
  write_whole_file(log_dir + "/zz-after-everything", "never\n");
  root.write_script(std::string(SEND_SCRIPT) + ".real", "exit 1\n");
  root.write_settings(settings(sim->device(), ""));
  daemon = std::make_unique<DaemonProcess>(root.path());
  // With a send period of 0 the daemon releases a file of its own every
  // second, and a pass offers in directory order: the waiting files may come
  // after any number of those, so wait for them by name.
  auto offered = [&](const std::string& wanted) {
    std::vector<std::string> calls = offers();
    return std::any_of(calls.begin(), calls.end(),
                       [&](const std::string& offer) { return offer == "1|" + log_dir + "/" + wanted; });
  };
  const std::string awkward = "a b'c;$(touch pwned)";
  const std::string old = "log-2000-01-01-00-00-00";
  EXPECT_TRUE(wait_until([&] { return offered(awkward) && offered(old); }, 40s)) << daemon->messages();
  daemon->stop();
  for (const std::string& offer : offers()) {
    ASSERT_EQ(offer.substr(0, 2), "1|") << offer;
    std::string name = offer.substr(2 + log_dir.size() + 1);
    EXPECT_NE(name, "zz-after-everything");
  }
  EXPECT_TRUE(offered(awkward));
  EXPECT_TRUE(offered(old));
  EXPECT_NE(access(root.at("/pwned").c_str(), F_OK), 0);
  EXPECT_NE(access((log_dir + "/pwned").c_str(), F_OK), 0);
  EXPECT_EQ(read_whole_file(log_dir + "/zz-after-everything"), "never\n");
}

std::string filler_lines(std::size_t bytes, char tag) {
  std::string line = std::string("m0:2000-01-01-00-00-00:") + tag + std::string(76, '0') + "\n";  // 100 bytes
  std::string text;
  while (text.size() + line.size() <= bytes) text += line;
  return text;
}

// A small memory card (a real tmpfs, as root) holding the log directory,
// one simulated meter, and a send that always fails.
class CardUploadTest : public UploadTest {
 protected:
  void SetUp() override {
    UploadTest::SetUp();
    card = std::make_unique<TmpfsMount>(root.at(MEMCARD_LOG_DIR), 1024);
    if (!card->mounted()) GTEST_SKIP() << card->why_not();
    if (!start_sim({"--slaves", "1"})) GTEST_SKIP() << "meter simulator not available";
    dir = root.at(MEMCARD_LOG_DIR) + "/logs";
    ::mkdir(dir.c_str(), 0755);
    root.write_script(std::string(SEND_SCRIPT) + ".real", "exit 1\n");
    root.write_settings(settings(sim->device(), "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  }

  std::string dir;
};

TEST_F(CardUploadTest, AFullCardIsTrimmedFromReleasedFilesOnlyAndCutsKeepWholeLines) {
  // About 80 % of the card in waiting files; every send fails.
  std::map<std::string, std::string> before = {
      {"log-2000-01-01-00-00-00", filler_lines(100000, 'a')},
      {"log-2000-01-01-00-00-01", filler_lines(300000, 'b')},
      {"log-2000-01-01-00-00-02", filler_lines(420000, 'c')},
  };
  for (const auto& [name, content] : before) write_whole_file(dir + "/" + name, content);
  root.write_script(REMOVE_SCRIPT, "printf '%s %s\\n' \"$1\" \"$2\" >> \"$0.calls\"\nrm -f -- \"$1\"\n");
  daemon = std::make_unique<DaemonProcess>(root.path());
  ASSERT_TRUE(wait_until([&] { return !root.read_file(std::string(REMOVE_SCRIPT) + ".calls").empty(); }, 40s))
      << daemon->messages();
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(stop_between_cuts(*daemon, dir, 30s)) << daemon->messages();
  std::map<std::string, std::string> after = directory_files(dir);
  std::size_t total_before = 0, removed = 0;
  for (const auto& [name, content] : before) {
    total_before += content.size();
    auto kept = after.find(name);
    std::size_t kept_size = kept == after.end() ? 0 : kept->second.size();
    removed += content.size() - kept_size;
    if (kept == after.end()) continue;
    // What is kept is the old content's tail, starting at a whole line.
    ASSERT_LE(kept_size, content.size());
    EXPECT_EQ(kept->second, content.substr(content.size() - kept_size)) << name;
    if (kept_size < content.size()) {
      EXPECT_EQ(content[content.size() - kept_size - 1], '\n') << name;
    }
  }
  // One trim takes a fifth of the directory, give or take the line it cuts
  // at and the daemon's own new lines; more passes may have run.
  EXPECT_GE(removed, total_before / 6);
  for (const auto& [name, content] : after) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  std::string calls = root.read_file(std::string(REMOVE_SCRIPT) + ".calls");
  EXPECT_NE(calls.find("storage_full"), std::string::npos) << calls;
}

TEST_F(CardUploadTest, ACardTooFullToCopyTheKeptPartLosesNothing) {
  // One released file of 85 % of the card: its head must be cut, but the
  // kept part does not fit beside the old content.
  std::string content = filler_lines(870000, 'z');
  write_whole_file(dir + "/log-2000-01-01-00-00-00", content);
  root.write_script(REMOVE_SCRIPT, "rm -f -- \"$1\"\n");
  daemon = std::make_unique<DaemonProcess>(root.path());
  // The new log lines go to the card too, and fail with the same message
  // while a copy fills it; a second offer shows the first cut has ended.
  ASSERT_TRUE(daemon->wait_for_message("Can not write into file", 40s)) << daemon->messages();
  ASSERT_TRUE(wait_until([&] { return offers().size() >= 2; }, 40s)) << daemon->messages();
  ASSERT_TRUE(stop_between_cuts(*daemon, dir, 30s)) << daemon->messages();
  std::map<std::string, std::string> after = directory_files(dir);
  EXPECT_EQ(after["log-2000-01-01-00-00-00"], content);
  EXPECT_EQ(after.count("log-2000-01-01-00-00-00.tmp"), 0u);
}

TEST_F(UploadTest, AFailedStorageReadingRemovesNothing) {
  if (!start_sim({"--slaves", "1"})) GTEST_SKIP() << "meter simulator not available";
  write_whole_file(log_dir + "/log-2000-01-01-00-00-00", filler_lines(10000, 'q'));
  root.write_script(std::string(SEND_SCRIPT) + ".real", "exit 1\n");
  root.write_script(REMOVE_SCRIPT, "echo \"$1\" >> \"$0.calls\"\nrm -f -- \"$1\"\n");
  root.write_settings(settings(sim->device(), ""));
  // The sanitizer runtimes want to come first; the interposer only wraps two
  // calls and does not mind.
  daemon = std::make_unique<DaemonProcess>(
      root.path(), std::vector<std::string>{std::string("LD_PRELOAD=") + INTERPOSE_STORAGE_STATS,
                                            "MS_FAKE_SYSINFO=fail", "ASAN_OPTIONS=verify_asan_link_order=0"});
  ASSERT_TRUE(daemon->wait_for_message("error reading system statistics", 40s)) << daemon->messages();
  std::this_thread::sleep_for(6s);  // one more failed pass
  daemon->stop();
  EXPECT_EQ(root.read_file(std::string(REMOVE_SCRIPT) + ".calls"), "");
  EXPECT_EQ(read_whole_file(log_dir + "/log-2000-01-01-00-00-00"), filler_lines(10000, 'q'));
}

}  // namespace
