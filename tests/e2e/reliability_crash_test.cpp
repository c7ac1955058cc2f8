// The daemon killed with SIGKILL at random moments (while polling, while a
// send runs, in the middle of a trim's head cut) and started again, many
// times, on a small memory card kept over the trim threshold while every
// send fails. Afterwards every line that was ever seen is still in a log
// file, in a file's ".tmp", or was handed to removeFile; no file holds a
// torn line, except the kept part of a head cut that the kill interrupted,
// whose whole old content is in its ".tmp"; and each restart takes over the
// stale lock.
//
// What is sound to assert: the set of lines observed (the files are read
// every few milliseconds, and removeFile archives what it removes) can only
// lose members through removeFile. Lines that were written and lost between
// two observations without removeFile would escape the test, so it polls
// often; and a kill can in principle land between the two pages of one
// write() inside the kernel, which no program can prevent (never seen).
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

constexpr unsigned CARD_KIB = 4096;
constexpr unsigned FILLER_KIB = 1024;
constexpr unsigned REFILL_PERCENT = 72;

int kill_count() {
  const char* text = std::getenv("METERSCRIBE_CRASH_KILLS");
  int kills = text != nullptr ? std::atoi(text) : 0;
  return kills > 0 ? kills : 15;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Every complete line ever read from the log directory or the archive of
// removed files. Files are read again only when they changed.
class LineWatch {
 public:
  void harvest(const std::string& dir) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const std::string& name : directory_names(dir)) {
      std::string path = dir + "/" + name;
      struct stat info {};
      if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      Version version{info.st_ino, info.st_size, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
      auto known = versions_.find(path);
      if (known != versions_.end() && known->second == version) continue;
      versions_[path] = version;
      for (std::string& line : complete_lines(read_whole_file(path))) seen_.insert(std::move(line));
    }
  }
  void add(const std::string& line) {
    std::lock_guard<std::mutex> hold(mutex_);
    seen_.insert(line);
  }
  std::unordered_set<std::string> seen() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return seen_;
  }

 private:
  struct Version {
    ino_t ino;
    off_t size;
    long long mtime;
    bool operator==(const Version&) const = default;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Version> versions_;
  std::unordered_set<std::string> seen_;
};

enum class Moment { polling, sending, cutting };

class CrashTest : public GatewayRootTest {
 protected:
  void SetUp() override {
    if (!mount_card(CARD_KIB)) GTEST_SKIP() << card->why_not();
    archive = root.at("/removed");
    mkdir(archive.c_str(), 0755);
    // Fails slowly, so that kills can land while it runs.
    root.write_script(SEND_SCRIPT, "echo \"$1\" >> '" + root.at("/sends") + "'\nsleep 0.3\nexit 1\n");
    // Keeps a copy of what it removes, and the reason, then removes it.
    root.write_script(REMOVE_SCRIPT, "copy='" + archive + "'/$(date +%s%N).$$\ncp \"$1\" \"$copy\" || exit 1\n" +
                                         "rm -f \"$1\" || exit 1\necho \"$copy $2 $1\" >> '" + archive + ".list'\n");
    ASSERT_TRUE(start_sim({"--slaves", "1,2"}));
    root.write_settings(meter_settings(sim->device(), 2, std::string(ON_CARD) + "MOD_METERSCRIBE_SEND_PERIOD=0\n"));
    refill();
    observer = std::thread([this] {
      while (!stopping) {
        watch.harvest(log_dir);
        watch.harvest(archive);
        std::this_thread::sleep_for(10ms);
      }
    });
  }

  void TearDown() override {
    stopping = true;
    if (observer.joinable()) observer.join();
    daemon.reset();
  }

  // Old log files of filler lines, named long before anything the daemon
  // writes, until the card is over the trim threshold. The daemon releases
  // them together with its own first release.
  void refill() {
    while (card->use_percent() < REFILL_PERCENT) {
      char name[32];
      std::snprintf(name, sizeof name, "log-2001-01-01-%02d-%02d-%02d", filler_count / 3600, filler_count / 60 % 60,
                    filler_count % 60);
      std::string content;
      for (int line = 0; content.size() < FILLER_KIB * 1024; ++line) {
        std::string text = "filler " + std::to_string(filler_count) + " " + std::to_string(line) + " ";
        text.resize(200, 'x');
        fillers.insert(text);
        watch.add(text);
        content += text + "\n";
      }
      write_whole_file(log_dir + "/" + name, content);
      ++filler_count;
    }
  }

  bool is_known_line(const std::string& line) const { return fillers.count(line) != 0 || is_valid_log_line(line); }

  // removeFile runs on after the daemon is killed; waits until every copy
  // it made is also on its list.
  void wait_for_removals() const {
    auto deadline = std::chrono::steady_clock::now() + slow(10s);
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(300ms);
      std::size_t listed = complete_lines(read_whole_file(archive + ".list")).size();
      if (directory_names(archive).size() == listed) return;
    }
    ADD_FAILURE() << "removeFile did not finish";
  }

  // The state the kill left. A ".tmp" is a head cut that a kill interrupted
  // (the walk removes or restores it otherwise).
  void check_files_after_kill() {
    std::vector<std::string> names = directory_names(log_dir);
    for (const std::string& name : names) {
      std::string content = read_whole_file(log_dir + "/" + name);
      std::string tail;
      for (const std::string& line : complete_lines(content, &tail))
        EXPECT_TRUE(is_known_line(line)) << name << " holds a line nobody wrote: " << line.substr(0, 120);
      if (ends_with(name, ".tmp")) interrupted_cuts.insert(name);
      if (tail.empty()) continue;
      std::string old_content = read_whole_file(log_dir + "/" + name + ".tmp");
      if (!old_content.empty()) {
        // The kept part being copied: a piece of the old content that
        // begins right after one of its line ends.
        std::size_t at = old_content.find(content);
        bool after_line_end = at != std::string::npos && (at == 0 || old_content[at - 1] == '\n');
        EXPECT_TRUE(after_line_end) << name << " is not a piece of its .tmp";
        torn_by_kill.insert(name);
        continue;
      }
      // A kept part interrupted earlier, whose .tmp has since been trimmed:
      // its torn end is still the beginning of a line that was written.
      EXPECT_TRUE(torn_by_kill.count(name) != 0) << name << " ends in a torn line: " << tail.substr(0, 120);
    }
  }

  // Kills the running daemon at the chosen moment.
  void kill_at(Moment moment, std::mt19937& random, int inotify_fd) {
    std::string sends_path = root.at("/sends");
    if (moment == Moment::polling) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 2200));
    } else if (moment == Moment::sending) {
      std::size_t sends = read_whole_file(sends_path).size();
      auto deadline = std::chrono::steady_clock::now() + slow(15s);
      while (read_whole_file(sends_path).size() == sends && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 250));
    } else {
      wait_for_cut(inotify_fd);
    }
    daemon->stop(SIGKILL);
  }

  // Returns as soon as a filler name is created again (the kept part of a
  // head cut being written), or after a while.
  void wait_for_cut(int inotify_fd) {
    auto deadline = std::chrono::steady_clock::now() + slow(15s);
    alignas(inotify_event) char events[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd watch_fd{inotify_fd, POLLIN, 0};
      if (poll(&watch_fd, 1, 100) <= 0) continue;
      ssize_t got = read(inotify_fd, events, sizeof events);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0 && std::string(event->name).rfind("log-2001-", 0) == 0) return;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  static void drain(int inotify_fd) {
    char events[4096];
    while (read(inotify_fd, events, sizeof events) > 0) {
    }
  }

  std::string archive;
  LineWatch watch;
  std::unordered_set<std::string> fillers;
  std::set<std::string> torn_by_kill;
  int filler_count = 0;
  std::set<std::string> interrupted_cuts;
  std::atomic<bool> stopping{false};
  std::thread observer;
};

TEST_F(CrashTest, KillsAtRandomMomentsLoseNoLineAndLeaveNoTornLine) {
  int inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_fd, 0);
  ASSERT_GE(inotify_add_watch(inotify_fd, log_dir.c_str(), IN_CREATE), 0);
  std::mt19937 random(std::random_device{}());
  std::string lock_path = lock_file(sim->device());
  int kills = kill_count();
  for (int cycle = 0; cycle < kills; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    refill();
    drain(inotify_fd);
    daemon = std::make_unique<DaemonProcess>(root.path());
    // Each start after the first finds the lock of a killed owner.
    // Tagged with the new process id: the message file of the killed one
    // is only emptied once the new child runs.
    std::string polling = "meterscribe[" + std::to_string(daemon->pid()) + "]: starting read meter 1";
    ASSERT_TRUE(daemon->wait_for_message(polling, 15s)) << daemon->messages();
    EXPECT_NE(read_whole_file(lock_path).find(std::to_string(daemon->pid())), std::string::npos)
        << "stale lock not taken over: " << read_whole_file(lock_path) << " " << daemon->pid();
    kill_at(static_cast<Moment>(cycle % 3), random, inotify_fd);
    wait_for_removals();
    watch.harvest(log_dir);
    watch.harvest(archive);
    check_files_after_kill();
  }
  close(inotify_fd);
  // The kills come before a cut can finish or at its start; one last run
  // without a kill lets a head cut run to its end, so the accounting below
  // always covers a completed cut as well as interrupted ones.
  refill();
  daemon = std::make_unique<DaemonProcess>(root.path());
  auto completed_cuts = [&] { return count_occurrences(read_whole_file(archive + ".list"), " storage_full_tmp "); };
  int cuts_before = completed_cuts();
  wait_until([&] { return completed_cuts() != cuts_before; }, 60s);
  daemon->stop(SIGKILL);
  wait_for_removals();
  stopping = true;
  observer.join();
  watch.harvest(log_dir);
  watch.harvest(archive);

  // Where every line is now: a file of the log directory (".tmp" files
  // included) or the archive of removed files.
  std::unordered_set<std::string> kept;
  for (const std::string& dir : {log_dir, archive}) {
    for (const std::string& name : directory_names(dir))
      for (std::string& line : complete_lines(read_whole_file(dir + "/" + name))) kept.insert(std::move(line));
  }
  std::unordered_set<std::string> seen = watch.seen();
  std::size_t missing = 0;
  for (const std::string& line : seen) {
    if (kept.count(line) == 0 && ++missing <= 5) ADD_FAILURE() << "line lost: " << line.substr(0, 120);
  }
  EXPECT_EQ(missing, 0u) << "of " << seen.size() << " lines seen";

  // Reasons: a ".tmp" whose head was cut goes as storage_full_tmp; whole
  // files (a left-over ".tmp" among them) as storage_full.
  int whole = 0;
  int cut = 0;
  for (const std::string& entry : complete_lines(read_whole_file(archive + ".list"))) {
    std::string reason = entry.substr(entry.find(' ') + 1);
    reason = reason.substr(0, reason.find(' '));
    if (reason == "storage_full_tmp") {
      ++cut;
      EXPECT_TRUE(ends_with(entry, ".tmp")) << entry;
    } else {
      ++whole;
      EXPECT_EQ(reason, "storage_full") << entry;
    }
  }
  EXPECT_GT(whole + cut, 0) << "nothing was ever trimmed";
  EXPECT_GT(cut, 0) << "no head was ever cut";
  std::cout << "kills " << kills << ", lines seen " << seen.size() << ", removed whole " << whole << ", heads cut "
            << cut << ", head cuts a kill interrupted " << interrupted_cuts.size() << ", torn kept parts " << torn_by_kill.size()
            << "\n";
}

}  // namespace
