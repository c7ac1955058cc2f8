// Two daemons started at once on the same serial device: the lock file lets
// exactly one of them run; the other ends with status 1. And nothing a
// local user leaves at the lock path keeps the daemon from starting, or
// can be turned against it.
#include <cerrno>
#include <csignal>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

std::string owner_text(pid_t pid) {
  std::array<char, 16> text{};
  snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(pid));
  return text.data();
}

using LockRaceTest = GatewayRootTest;

// Also where the lock directory refuses hard links, in each of the ways a
// file system says so: the lock is then created in place.
TEST_F(LockRaceTest, OfTwoDaemonsStartedAtOnceExactlyOneRuns) {
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  root.write_settings(meter_settings(sim->device(), 1, "MOD_METERSCRIBE_SEND_PERIOD=60\n"));
  std::string locked_message = "device /dev/" + sim->device() + " is locked";
  // Round 0 publishes by link; the unit tests race that path at length.
  const int refusals[] = {0, EPERM, EOPNOTSUPP, ENOSYS, EXDEV, EMLINK};
  for (int round = 0; round < 6; ++round) {
    int refusal = refusals[round];
    bool links_refused = refusal != 0;
    SCOPED_TRACE("round " + std::to_string(round) + (links_refused ? ", hard links refused: errno " : "") +
                 (links_refused ? std::to_string(refusal) : ""));
    std::vector<std::string> env;
    if (links_refused)
      env = {std::string("LD_PRELOAD=") + INTERPOSE_LINK_REFUSED, "MS_REFUSE_LINK=" + std::to_string(refusal),
             asan_options_for_preload()};
    // Both run in the same root and share its message file; their messages
    // are told apart by process id.
    auto first = std::make_unique<DaemonProcess>(root.path(), env);
    auto second = std::make_unique<DaemonProcess>(root.path(), env);
    int first_status = -1;
    int second_status = -1;
    auto deadline = std::chrono::steady_clock::now() + slow(10s);
    while (first_status == -1 && second_status == -1 && std::chrono::steady_clock::now() < deadline) {
      first_status = first->wait_for_exit(0ms);
      second_status = second->wait_for_exit(20ms);
    }
    // The winner must not end a little later either.
    if (first_status == -1) first_status = first->wait_for_exit(1s);
    if (second_status == -1) second_status = second->wait_for_exit(1s);
    ASSERT_TRUE((first_status == -1) != (second_status == -1))
        << "statuses " << first_status << " " << second_status << "\n" << first->messages();
    DaemonProcess& loser = first_status == -1 ? *second : *first;
    DaemonProcess& winner = first_status == -1 ? *first : *second;
    int status = first_status == -1 ? second_status : first_status;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    std::string messages = loser.messages();
    std::string tag = "meterscribe[" + std::to_string(loser.pid()) + "]: " + locked_message;
    EXPECT_NE(messages.find(tag), std::string::npos) << messages;
    std::string winner_tag = "meterscribe[" + std::to_string(winner.pid()) + "]: starting read meter 1";
    EXPECT_TRUE(winner.wait_for_message(winner_tag, 10s)) << winner.messages();
    EXPECT_EQ(kill(winner.pid(), 0), 0);
    EXPECT_EQ(read_whole_file(lock_file(sim->device())), owner_text(winner.pid()));
    struct stat info {};
    ASSERT_EQ(lstat(lock_file(sim->device()).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    // Killed, the winner leaves a stale lock for the next round to take over.
    winner.stop(SIGKILL);
  }
}

// The daemon runs as a session leader without a terminal. A link to a
// terminal planted at the lock path must not give it one: the terminal's
// hangup would then end the daemon with SIGHUP.
TEST_F(LockRaceTest, ATerminalLinkedAtTheLockPathCannotHangUpTheDaemon) {
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  root.write_settings(meter_settings(sim->device(), 1, "MOD_METERSCRIBE_SEND_PERIOD=60\n"));
  int master = -1, slave = -1;
  std::array<char, 64> slave_name{};
  ASSERT_EQ(openpty(&master, &slave, slave_name.data(), nullptr, nullptr), 0);
  close(slave);
  ASSERT_EQ(symlink(slave_name.data(), lock_file(sim->device()).c_str()), 0);
  daemon = std::make_unique<DaemonProcess>(root.path());
  std::string tag = "meterscribe[" + std::to_string(daemon->pid()) + "]: ";
  ASSERT_TRUE(daemon->wait_for_message(tag + "starting read meter 1", 10s)) << daemon->messages();
  EXPECT_NE(daemon->messages().find(tag + "lock " + lock_file(sim->device()) + " was a symbolic link: removed"),
            std::string::npos)
      << daemon->messages();
  // Hang the terminal up: its last master descriptor closes.
  close(master);
  EXPECT_EQ(daemon->wait_for_exit(2s), -1) << "the daemon ended\n" << daemon->messages();
  EXPECT_EQ(controlling_tty(daemon->pid()), 0);
  EXPECT_EQ(read_whole_file(lock_file(sim->device())), owner_text(daemon->pid()));
}

// /run/lock is open to every user: whatever one leaves at the lock path
// before the daemon starts, it starts and holds the line, and says what it
// found where somebody put it there.
TEST_F(LockRaceTest, WhatALocalUserLeavesAtTheLockPathIsTakenOver) {
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  root.write_settings(meter_settings(sim->device(), 1, "MOD_METERSCRIBE_SEND_PERIOD=60\n"));
  const std::string lock = lock_file(sim->device());
  const std::string aside = root.at(LOCK_DIR) + "/not-a-lock.";
  struct Case {
    const char* what;
    std::string logged;  // the start of what the daemon says about it
  } cases[] = {
      // The empty lock of a starter that died before writing its id, or a
      // prank: its grace ends within the daemon's wait.
      {"an empty lock made just before start-up", ""},
      // Init never ends; the file is nobody's, not init's user's.
      {"a forged lock naming pid 1", "lock " + lock + " was forged: pid 1 is another user's process; removed"},
      {"a directory", "lock " + lock + " was a directory: moved to " + aside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string what = c.what;
    unlink(lock.c_str());  // the previous daemon's, killed
    if (what == "a directory") {
      ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
    } else {
      root.write_file(lock.substr(root.path().size()), what == "a forged lock naming pid 1" ? owner_text(1) : "");
      if (geteuid() == 0) {
        ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
      }
    }
    daemon = std::make_unique<DaemonProcess>(root.path());
    std::string tag = "meterscribe[" + std::to_string(daemon->pid()) + "]: ";
    ASSERT_TRUE(daemon->wait_for_message(tag + "starting read meter 1", 10s)) << daemon->messages();
    EXPECT_EQ(read_whole_file(lock), owner_text(daemon->pid()));
    std::string messages = daemon->messages();
    if (!c.logged.empty()) {
      EXPECT_NE(messages.find(tag + c.logged), std::string::npos) << messages;
    }
    if (what == "a directory") {
      // Moved whole into a fresh directory beside the lock, and named there.
      std::vector<std::string> moved;
      for (const auto& entry : std::filesystem::directory_iterator(root.at(LOCK_DIR))) {
        std::string name = entry.path().string();
        if (name.rfind(aside, 0) == 0) moved.push_back(name + lock.substr(lock.rfind('/')));
      }
      ASSERT_EQ(moved.size(), 1u);
      EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::symlink_status(moved[0]))) << moved[0];
      EXPECT_NE(messages.find(tag + "lock " + lock + " was a directory: moved to " + moved[0] + "\n"),
                std::string::npos)
          << messages;
    }
    daemon->stop(SIGKILL);
  }
}

}  // namespace
