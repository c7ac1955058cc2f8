#include "modbus/device_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "sys/log.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string owner_text(long long pid) {
  std::array<char, 32> text;
  snprintf(text.data(), text.size(), "%10lld\n", pid);
  return text.data();
}

std::string own_lock() { return owner_text(getpid()); }

// A live process of its own: `sleep`, killed and reaped at the end. As
// root it can run with other user ids, as a set-user-id tool does.
struct Sleeper {
  pid_t pid = -1;
  explicit Sleeper(uid_t real = getuid(), uid_t effective = geteuid()) {
    pid = fork();
    if (pid == 0) {
      if (setresuid(real, effective, effective) != 0) _exit(126);
      execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Sleeper() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// Sets a file's (or a link's own) modification time `ms` milliseconds ago.
void set_age(const std::string& path, long long ms) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  long long at_ns = static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec - ms * 1'000'000;
  struct timespec then {static_cast<time_t>(at_ns / 1'000'000'000), static_cast<long>(at_ns % 1'000'000'000)};
  struct timespec times[2] = {then, then};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::vector<std::string> lock_dir_entries(const TempRoot& root) {
  std::vector<std::string> names;
  std::string listing = root.at("/var/lock");
  if (DIR* dir = opendir(listing.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

class DeviceLockTest : public TempRootTest {
 protected:
  std::string lock_path() const { return root.at("/var/lock/LCK..ttyS0"); }
};

TEST_F(DeviceLockTest, AFreeLockIsTakenWithTheOwnerInUucpFormat) {
  ASSERT_EQ(lock_device("/dev/ttyS0", 1), 1);
  EXPECT_EQ(read_whole_file(lock_path()), own_lock());
  EXPECT_EQ(own_lock().size(), 11u);
  struct stat info {};
  ASSERT_EQ(stat(lock_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  // The draft the lock was published from is gone.
  EXPECT_EQ(lock_dir_entries(root), std::vector<std::string>{"LCK..ttyS0"});
}

// Every kind of entry at the lock path, and the one verdict judge_lock
// gives it. The daemon takes the line by that verdict (lock_device), and so
// does the probe, which then explains a refusal by the state; the status
// tool reports the state and the owner. So `taken` is what the daemon and
// the probe do, `state` and `owner` what the status tool and the probe say.
TEST_F(DeviceLockTest, EveryEntryAtTheLockPathGetsOneVerdict) {
  constexpr uid_t OURS = static_cast<uid_t>(-1);
  constexpr uid_t NOBODY = 65534;
  constexpr uid_t DAEMON_USER = 1;
  const bool root_runs = geteuid() == 0;
  Sleeper holder;
  ASSERT_GT(holder.pid, 0);
  // Another user's process, and a set-user-id tool run by that user: its
  // lock is its effective user's file.
  Sleeper nobody(NOBODY, NOBODY);
  Sleeper set_user_id(NOBODY, DAEMON_USER);
  const pid_t dead = dead_pid();
  const std::string own = std::to_string(getpid());
  const std::string live_lock = root.at("/live-lock");
  write_whole_file(live_lock, owner_text(1));
  ASSERT_EQ(mkfifo(root.at("/fifo").c_str(), 0644), 0);
  const std::string forged = "lock " + lock_path() + " was forged: pid ";
  const std::string linked = "lock " + lock_path() + " was a symbolic link: removed";
  const std::string moved = "lock " + lock_path() + " was a directory: moved to " + root.at("/var/lock/not-a-lock.");
  enum Entry { none, file, link, fifo, directory };
  struct Case {
    const char* what;
    Entry entry;
    std::string content;  // of a file; the target of a link
    long long age_ms;     // negative: changed in the future, the clock set back since
    uid_t file_user;      // the lock file's owner
    LockState state;
    pid_t owner;
    int taken;
    std::string logged;  // the start of the one message, if any
  } cases[] = {
      {"no entry", none, "", 0, OURS, LockState::none, 0, 1, ""},
      // Where hard links are refused, a lock is empty for the instant between
      // its creation and its owner's write; half a second covers that.
      {"empty and young", file, "", 0, OURS, LockState::being_written, 0, 0, ""},
      {"empty, 0.25 s old", file, "", 250, OURS, LockState::being_written, 0, 0, ""},
      {"empty, 0.25 s in the future", file, "", -250, OURS, LockState::being_written, 0, 0, ""},
      // Within the 1 s a starter waits, an empty lock of a dead writer goes.
      {"empty, 0.75 s old", file, "", 750, OURS, LockState::stale, 0, 1, ""},
      {"empty and old", file, "", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"empty, 1 s in the future", file, "", -1000, OURS, LockState::stale, 0, 1, ""},
      {"empty, an hour in the future", file, "", -3'600'000, OURS, LockState::stale, 0, 1, ""},
      {"text", file, "junk\n", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"0", file, "0\n", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"a negative number", file, "-5\n", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"a negative number in UUCP form", file, owner_text(-5), 60'000, OURS, LockState::stale, 0, 1, ""},
      // Beyond the range of a process id: "%d" would wrap 4294967297 to 1.
      {"a huge number", file, "4294967297\n", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"one past the largest id", file, "2147483648\n", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"a number beyond 64 bits", file, "99999999999999999999999999\n", 60'000, OURS, LockState::stale, 0, 1, ""},
      {"a live id", file, owner_text(holder.pid), 60'000, OURS, LockState::held, holder.pid, 0, ""},
      {"this process's own id", file, owner_text(getpid()), 0, OURS, LockState::held, getpid(), 0, ""},
      {"a live id without padding", file, own, 0, OURS, LockState::held, getpid(), 0, ""},
      {"a live id after blanks, text after it", file, "\n\t " + own + " trailing text", 0, OURS, LockState::held,
       getpid(), 0, ""},
      {"init, in a file of root's", file, owner_text(1), 0, 0, LockState::held, 1, 0, ""},
      {"another user's process, in a file of root's", file, owner_text(nobody.pid), 0, 0, LockState::held,
       nobody.pid, 0, ""},
      {"another user's process, in a file of that user's", file, owner_text(nobody.pid), 0, NOBODY, LockState::held,
       nobody.pid, 0, ""},
      {"a set-user-id tool, in a file of its effective user's", file, owner_text(set_user_id.pid), 0, DAEMON_USER,
       LockState::held, set_user_id.pid, 0, ""},
      // Anyone may write any id into the world-writable lock directory.
      {"init, in a file of another user's", file, owner_text(1), 0, NOBODY, LockState::stale, 1, 1, forged + "1 "},
      {"a root process, in a file of another user's", file, owner_text(holder.pid), 0, NOBODY, LockState::stale,
       holder.pid, 1, forged + std::to_string(holder.pid) + " "},
      {"a process of one user, in a file of another's", file, owner_text(nobody.pid), 0, DAEMON_USER,
       LockState::stale, nobody.pid, 1, forged + std::to_string(nobody.pid) + " "},
      {"a dead id", file, owner_text(dead), 60'000, OURS, LockState::stale, dead, 1, ""},
      {"a dead id, in a file of another user's", file, owner_text(dead), 60'000, NOBODY, LockState::stale, dead, 1,
       ""},
      {"a dangling link", link, "/nonexistent/owner", 0, OURS, LockState::not_regular_file, 0, 1, linked},
      {"a link to a live owner's lock", link, live_lock, 0, OURS, LockState::not_regular_file, 0, 1, linked},
      {"a link to a device", link, "/dev/null", 0, OURS, LockState::not_regular_file, 0, 1, linked},
      {"a link to a FIFO", link, root.at("/fifo"), 0, OURS, LockState::not_regular_file, 0, 1, linked},
      {"a FIFO", fifo, "", 0, OURS, LockState::not_regular_file, 0, 1, ""},
      // Any user can make one in /run/lock; it is moved aside unentered.
      {"a directory", directory, "", 0, OURS, LockState::not_regular_file, 0, 1, moved},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.file_user != OURS && !root_runs) continue;  // only root gives files away
    if (c.entry == file) {
      write_whole_file(lock_path(), c.content);
      if (c.file_user != OURS) {
        ASSERT_EQ(chown(lock_path().c_str(), c.file_user, 0), 0);
      }
      set_age(lock_path(), c.age_ms);
    }
    if (c.entry == link) {
      ASSERT_EQ(symlink(c.content.c_str(), lock_path().c_str()), 0);
    }
    if (c.entry == fifo) {
      ASSERT_EQ(mkfifo(lock_path().c_str(), 0644), 0);
    }
    if (c.entry == directory) {
      ASSERT_EQ(mkdir(lock_path().c_str(), 0755), 0);
      write_whole_file(lock_path() + "/inside", "kept\n");
    }
    PathBuffer path;
    ASSERT_TRUE(lock_path_of("/dev/ttyS0", path));
    EXPECT_EQ(path.data(), lock_path());
    LockJudgement verdict = judge_lock(path.data());
    EXPECT_EQ(verdict.state, c.state);
    EXPECT_EQ(verdict.owner, c.owner);
    EXPECT_EQ(verdict.forged, c.logged.rfind(forged, 0) == 0);
    EXPECT_EQ(lock_is_taken_over(verdict.state), c.state == LockState::stale || c.state == LockState::not_regular_file);
    LogCapture log;
    // One attempt, as many as a starter makes in 100 ms.
    EXPECT_EQ(lock_device("/dev/ttyS0", -1), c.taken);
    if (c.taken == 1) {
      EXPECT_EQ(read_whole_file(lock_path()), own_lock());
    }
    if (c.taken == 0 && c.entry == file) {
      EXPECT_EQ(read_whole_file(lock_path()), c.content);
    }
    // What somebody put there is worth a word: a forged lock, a link, a directory.
    std::vector<std::string> said;
    for (const auto& message : log.messages()) said.push_back(message.text);
    if (c.logged.empty()) {
      EXPECT_EQ(said, std::vector<std::string>{});
    } else {
      ASSERT_EQ(said.size(), 1u);
      EXPECT_EQ(said[0].substr(0, c.logged.size()), c.logged);
    }
    if (c.logged.rfind(forged, 0) == 0) {
      EXPECT_EQ(said[0], c.logged + "is another user's process; removed");
    }
    if (c.entry == directory) {
      // Moved whole, with what it holds, into a directory of our own.
      std::string aside = said[0].substr(said[0].rfind(" to ") + 4);
      EXPECT_EQ(aside.substr(aside.size() - std::string("/LCK..ttyS0").size()), "/LCK..ttyS0");
      EXPECT_EQ(read_whole_file(aside + "/inside"), "kept\n");
    }
    for (const std::string& name : lock_dir_entries(root)) std::filesystem::remove_all(root.at("/var/lock/" + name));
  }
  // Links are removed, never followed: their targets stay as they were.
  EXPECT_EQ(read_whole_file(live_lock), owner_text(1));
  struct stat info {};
  EXPECT_EQ(lstat(root.at("/fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(DeviceLockTest, ALiveHolderKeepsTheLockUntilTheTimeout) {
  Sleeper holder;
  ASSERT_GT(holder.pid, 0);
  std::string content = owner_text(holder.pid);
  write_whole_file(lock_path(), content);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(lock_device("/dev/ttyS0", 1), 0);
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  // One to two seconds by the whole-second deadline; slack for slow runners.
  EXPECT_GE(waited, 0.9);
  EXPECT_LE(waited, 3.5);
  EXPECT_EQ(read_whole_file(lock_path()), content);
}

// Not even opened, by the daemon or by a tool that judges the lock: a
// writer waiting on a FIFO at the lock path would be let through by any
// open for reading.
TEST_F(DeviceLockTest, AFifoAtTheLockPathIsNeverOpened) {
  ASSERT_EQ(mkfifo(lock_path().c_str(), 0644), 0);
  pid_t writer = fork();
  if (writer == 0) {
    alarm(10);
    _exit(open(lock_path().c_str(), O_WRONLY) >= 0 ? 0 : 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(judge_lock(lock_path().c_str()).state, LockState::not_regular_file);
  EXPECT_EQ(lock_device("/dev/ttyS0", 0), 1);
  EXPECT_EQ(waitpid(writer, nullptr, WNOHANG), 0) << "the FIFO at the lock path was opened";
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  unlink(lock_path().c_str());
}

// The daemon is a session leader without a terminal. A terminal at the lock
// path, linked or (as root) a device node of it, must not become its
// controlling terminal, or that terminal's hangup would end it.
TEST_F(DeviceLockTest, ATerminalAtTheLockPathNeverBecomesTheControllingTerminal) {
  int master = -1, slave = -1;
  std::array<char, 64> slave_name{};
  ASSERT_EQ(openpty(&master, &slave, slave_name.data(), nullptr, nullptr), 0);
  struct stat slave_info {};
  ASSERT_EQ(fstat(slave, &slave_info), 0);
  close(slave);
  std::string node = root.at("/dev/tty-node");
  // Root can make the node; a container's device policy may still keep it shut.
  bool have_node = mknod(node.c_str(), S_IFCHR | 0620, slave_info.st_rdev) == 0;
  if (have_node) {
    int probe = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    have_node = probe >= 0;
    if (probe >= 0) close(probe);
  }
  std::vector<std::pair<std::string, std::string>> cases = {{"link to a terminal", slave_name.data()}};
  if (have_node) cases.emplace_back("terminal node", node);
  for (const auto& [what, target] : cases) {
    if (what == "terminal node") {
      ASSERT_EQ(link(node.c_str(), lock_path().c_str()), 0);
    } else {
      ASSERT_EQ(symlink(target.c_str(), lock_path().c_str()), 0);
    }
    pid_t child = fork();
    if (child == 0) {
      setsid();
      int taken = lock_device("/dev/ttyS0", 0);
      // Without a controlling terminal /dev/tty cannot be opened.
      int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
      _exit(taken == 1 && tty < 0 ? 0 : (tty >= 0 ? 1 : 2));
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << what << ": status " << status;
    unlink(lock_path().c_str());
  }
  close(master);
}

TEST_F(DeviceLockTest, ALockThatCannotBeOpenedIsNeitherReadNorRemoved) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads a file of mode 0 all the same";
  std::string content = owner_text(dead_pid());
  root.write_file("/var/lock/LCK..ttyS0", content, 0);
  LockJudgement verdict = judge_lock(lock_path().c_str());
  EXPECT_EQ(verdict.state, LockState::unreadable);
  EXPECT_EQ(verdict.error, EACCES);
  EXPECT_EQ(lock_device("/dev/ttyS0", 0), 0);
  chmod(lock_path().c_str(), 0644);
  EXPECT_EQ(read_whole_file(lock_path()), content);
}

// A starter killed between writing its draft and linking it leaves the
// draft behind; the next start removes it when it is a draft of ours
// ("LTMP.<writer>.XXXXXX", a regular file) and its writer has died, however
// young. A live writer's draft stays, however old, and so does every
// other tool's file.
TEST_F(DeviceLockTest, DraftsOfDeadStartersAreRemovedByTheNextStart) {
  Sleeper writer;
  ASSERT_GT(writer.pid, 0);
  const std::string dead = std::to_string(dead_pid());
  const std::string live = std::to_string(writer.pid);
  std::string outside = root.at("/outside");
  write_whole_file(outside, "kept\n");
  enum Entry { file, link, directory };
  struct Case {
    std::string name;
    long long age_ms;
    Entry entry;
    bool kept;
  } cases[] = {
      {"LTMP." + dead + ".aB3xZ9", 60'000, file, false},
      {"LTMP." + dead + ".Qw7e1R", 0, file, false},
      {"LTMP." + live + ".aB3xZ9", 3'600'000, file, true},
      {"LTMP." + dead + ".link01", 60'000, link, true},
      {"LTMP." + dead + ".dir001", 60'000, directory, true},
      // Names of other kinds: the classic "LTMP.<pid>", our older drafts, others.
      {"LTMP." + dead, 60'000, file, true},
      {"LTMP." + dead + ".aB3xZ9x", 60'000, file, true},
      {"LTMP.0" + dead + ".aB3xZ9", 60'000, file, true},
      {"LTMP.aB3xZ9", 60'000, file, true},
      {"LTMP" + dead + ".aB3xZ9", 60'000, file, true},
      {"other.old", 60'000, file, true},
  };
  for (const Case& c : cases) {
    std::string path = root.at("/var/lock/") + c.name;
    if (c.entry == link) {
      ASSERT_EQ(symlink(outside.c_str(), path.c_str()), 0);
    }
    if (c.entry == directory) {
      ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    }
    if (c.entry == file) write_whole_file(path, owner_text(std::atoll(c.name.c_str() + 5)));
    set_age(path, c.age_ms);
  }
  ASSERT_EQ(lock_device("/dev/ttyS0", 0), 1);
  std::vector<std::string> expected = {"LCK..ttyS0"};
  for (const Case& c : cases)
    if (c.kept) expected.push_back(c.name);
  std::vector<std::string> entries = lock_dir_entries(root);
  std::sort(entries.begin(), entries.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entries, expected);
  EXPECT_EQ(read_whole_file(outside), "kept\n");
}

// Children wait behind a pipe until all exist, race for the lock, report,
// and stay alive until every one has reported, so no lock turns stale.
TEST_F(DeviceLockTest, ExactlyOneOfManyRacingProcessesWins) {
  constexpr int ROUNDS = 20;
  constexpr int RACERS = 16;
  for (int round = 0; round < ROUNDS; ++round) {
    int start[2], results[2], release[2];
    ASSERT_EQ(pipe(start), 0);
    ASSERT_EQ(pipe(results), 0);
    ASSERT_EQ(pipe(release), 0);
    std::set<pid_t> racers;
    for (int i = 0; i < RACERS; ++i) {
      pid_t child = fork();
      if (child == 0) {
        close(start[1]);
        close(release[1]);
        close(results[0]);
        char byte = 0;
        if (read(start[0], &byte, 1) != 0) _exit(2);
        // One attempt each (a negative timeout): the contest is decided there.
        char won = lock_device("/dev/ttyS0", -1) == 1 ? '1' : '0';
        if (write(results[1], &won, 1) != 1) _exit(3);
        if (read(release[0], &byte, 1) != 0) _exit(4);
        _exit(0);
      }
      ASSERT_GT(child, 0);
      racers.insert(child);
    }
    close(start[0]);
    close(results[1]);
    close(release[0]);
    close(start[1]);  // the starting shot
    std::string reported;
    char byte = 0;
    while (reported.size() < RACERS && read(results[0], &byte, 1) == 1) reported += byte;
    std::string content = read_whole_file(lock_path());
    close(release[1]);
    close(results[0]);
    for (pid_t child : racers) {
      int status = -1;
      waitpid(child, &status, 0);
      EXPECT_EQ(status, 0);
    }
    ASSERT_EQ(reported.size(), static_cast<std::size_t>(RACERS)) << "round " << round;
    ASSERT_EQ(std::count(reported.begin(), reported.end(), '1'), 1) << "round " << round << ": " << reported;
    long long owner = std::atoll(content.c_str());
    EXPECT_TRUE(racers.count(static_cast<pid_t>(owner)) == 1 && content == owner_text(owner)) << content;
    unlink(lock_path().c_str());
  }
}

TEST_F(DeviceLockTest, UnlockRemovesAnyonesLockAndIsSilentWithoutOne) {
  LogCapture log;
  write_whole_file(lock_path(), owner_text(1));
  unlock_device("/dev/ttyS0");
  EXPECT_NE(access(lock_path().c_str(), F_OK), 0);
  unlock_device("/dev/ttyS0");
  EXPECT_TRUE(log.messages().empty());
}

TEST_F(DeviceLockTest, TheLockIsNamedAfterTheWholeLastComponent) {
  struct Case {
    const char* device;
    const char* lock;
  } cases[] = {
      {"/dev/ttyS0", "LCK..ttyS0"},
      {"ttyUSB0", "LCK..ttyUSB0"},
      {"pts/3", "LCK..3"},
      {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0",
       "LCK..usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(lock_device(c.device, 0), 1) << c.device;
    EXPECT_EQ(lock_dir_entries(root), std::vector<std::string>{c.lock});
    unlock_device(c.device);
    EXPECT_TRUE(lock_dir_entries(root).empty()) << c.device;
  }
}

TEST_F(DeviceLockTest, ANameTooLongForTheLockPathIsRefusedNotCut) {
  // 258 bytes after the root hold "/var/lock/LCK.." and 242 characters.
  std::string longest = "/dev/" + std::string(242, 'x');
  ASSERT_EQ(lock_device(longest.c_str(), 0), 1);
  unlock_device(longest.c_str());
  LogCapture log;
  std::string too_long = longest + "y";
  PathBuffer path;
  EXPECT_FALSE(lock_path_of(too_long.c_str(), path));
  EXPECT_EQ(lock_device(too_long.c_str(), 0), 0);
  EXPECT_TRUE(lock_dir_entries(root).empty());
  ASSERT_EQ(log.messages().size(), 1u);
  EXPECT_EQ(log.messages()[0].level, LOG_ERR);
  EXPECT_EQ(log.messages()[0].text, "lock name too long: " + too_long);
}

TEST(ProcessProbe, NoGroupIsEverSignalledAndOnlyEsrchMeansDead) {
  // kill(0, 0) and kill(-1, 0) would succeed: a refusal shows nothing was sent.
  for (pid_t group : {0, -1}) {
    errno = 0;
    EXPECT_EQ(signal_process(group, 0), -1) << group;
    EXPECT_EQ(errno, ESRCH) << group;
  }
  struct Case {
    pid_t pid;
    int alive;
  } cases[] = {{getpid(), 1}, {1, 1}, {dead_pid(), 0}, {0, 0}, {-1, 0}};
  for (const Case& c : cases) EXPECT_EQ(process_alive(c.pid), c.alive) << c.pid;
}

// The child names itself, so the name is known however the tests are run
// (under an emulator, the kernel's name for the test is the emulator's).
TEST(ProcessProbe, TheNameOfALiveProcessOnly) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_NAME, "ms-name-probe");
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  ProcessName name;
  bool named = process_name(child, name);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  ASSERT_TRUE(named);
  EXPECT_STREQ(name.data(), "ms-name-probe");
  for (pid_t gone : {dead_pid(), pid_t{0}, pid_t{-1}}) {
    EXPECT_FALSE(process_name(gone, name)) << gone;
    EXPECT_STREQ(name.data(), "") << gone;
  }
}

}  // namespace
