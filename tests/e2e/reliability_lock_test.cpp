// Two daemons started at once on the same serial device: the lock file lets
// exactly one of them run; the other ends with status 1.
#include <csignal>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

using LockRaceTest = GatewayRootTest;

TEST_F(LockRaceTest, OfTwoDaemonsStartedAtOnceExactlyOneRuns) {
  ASSERT_TRUE(start_sim({"--slaves", "1"}));
  root.write_settings(meter_settings(sim->device(), 1, "MOD_METERSCRIBE_SEND_PERIOD=60\n"));
  std::string locked_message = "device /dev/" + sim->device() + " is locked";
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Both run in the same root and share its message file; their messages
    // are told apart by process id.
    auto first = std::make_unique<DaemonProcess>(root.path());
    auto second = std::make_unique<DaemonProcess>(root.path());
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
    EXPECT_NE(read_whole_file(lock_file(sim->device())).find(std::to_string(winner.pid())), std::string::npos);
    // Killed, the winner leaves a stale lock for the next round to take over.
    winner.stop(SIGKILL);
  }
}

}  // namespace
