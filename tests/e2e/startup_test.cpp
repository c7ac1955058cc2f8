// The real daemon binary's start-up: every exit with its message and status
// 1, the storage choices, and the lock file.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "support/meter_sim_process.h"
#include "support/temp_root.h"
#include "sys/paths.h"

using namespace std::chrono_literals;

namespace {

std::string settings_for(const std::string& device, const std::string& extra = "") {
  return "MOD_METERSCRIBE_DEVICE=\"" + device + "\"\nMOD_METERSCRIBE_BAUDRATE=19200\nMOD_METERSCRIBE_PERIOD=1\n" +
         "MOD_METERSCRIBE_SPLIT=100\nMOD_METERSCRIBE_SEND_PERIOD=60\n" +
         "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=4\n" + extra;
}

class StartupTest : public TempRootTest {
 protected:
  void SetUp() override {
    root.write_script(MEMCARD_SCRIPT, "exit 0\n");
    root.write_script(SEND_SCRIPT, "exit 1\n");
    root.write_script(REMOVE_SCRIPT, "exit 1\n");
  }
  // Runs the daemon to its exit; returns the wait status.
  int run_to_exit(DaemonProcess& daemon) { return daemon.wait_for_exit(20s); }
};

TEST_F(StartupTest, NoSettingsFileEndsWithNoMetersToRead) {
  DaemonProcess daemon(root.path());
  int status = run_to_exit(daemon);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string messages = daemon.messages();
  EXPECT_NE(messages.find("started"), std::string::npos);
  EXPECT_NE(messages.find("no meters to read"), std::string::npos);
}

TEST_F(StartupTest, AFailedMountEndsTheDaemonAndAFailedUnmountDoesNot) {
  root.write_script(MEMCARD_SCRIPT, "echo \"$1\" >> \"$(dirname \"$0\")/memcard.calls\"\nexit 4\n");
  root.write_settings(settings_for("ttyNONE", "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  {
    DaemonProcess daemon(root.path());
    int status = run_to_exit(daemon);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(daemon.messages().find("error: " + root.at(MEMCARD_SCRIPT) + " mount failed"), std::string::npos);
  }
  // Without a card the unmount failure is only reported; start-up goes on to
  // the serial device, which does not exist here.
  root.write_settings(settings_for("ttyNONE"));
  DaemonProcess daemon(root.path());
  int status = run_to_exit(daemon);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  std::string messages = daemon.messages();
  EXPECT_NE(messages.find("error: " + root.at(MEMCARD_SCRIPT) + " umount failed"), std::string::npos);
  EXPECT_NE(messages.find("open(/dev/ttyNONE) error: No such file or directory"), std::string::npos);
  EXPECT_EQ(root.read_file("/opt/meterscribe/etc/memcard.calls"), "mount\numount\n");
  // The lock is given back when the port cannot be opened.
  EXPECT_NE(access(root.at("/var/lock/LCK..ttyNONE").c_str(), F_OK), 0);
}

TEST_F(StartupTest, AMissingLogDirectoryEndsTheDaemon) {
  root.write_settings(settings_for("ttyNONE", "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  DaemonProcess daemon(root.path());
  int status = run_to_exit(daemon);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_NE(daemon.messages().find("error: directory " + root.at(MEMCARD_LOG_DIR) + "/logs not exists"),
            std::string::npos);
}

TEST_F(StartupTest, ALockedDeviceEndsTheDaemonAndALiveLockIsLeftAlone) {
  root.write_settings(settings_for("ttyLOCKED"));
  char owner[32];
  snprintf(owner, sizeof owner, "%10d\n", static_cast<int>(getpid()));
  root.write_file("/var/lock/LCK..ttyLOCKED", owner);
  DaemonProcess daemon(root.path());
  int status = run_to_exit(daemon);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_NE(daemon.messages().find("device /dev/ttyLOCKED is locked"), std::string::npos);
  EXPECT_EQ(root.read_file("/var/lock/LCK..ttyLOCKED"), owner);
}

TEST_F(StartupTest, AStartedDaemonHoldsTheLockOnMemoryCardStorage) {
  MeterSimProcess sim({"--slaves", "1"});
  if (!sim.started()) GTEST_SKIP() << "meter simulator not available";
  ::mkdir(root.at(MEMCARD_LOG_DIR + std::string("/logs")).c_str(), 0755);
  root.write_settings(settings_for(sim.device(), "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  DaemonProcess daemon(root.path());
  ASSERT_TRUE(daemon.wait_for_message("starting read meter 1", 20s)) << daemon.messages();
  std::string lock_name = sim.device().substr(sim.device().rfind('/') + 1);
  char expected[32];
  snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(daemon.pid()));
  EXPECT_EQ(root.read_file("/var/lock/LCK.." + lock_name), expected);
  daemon.stop();
}

}  // namespace
