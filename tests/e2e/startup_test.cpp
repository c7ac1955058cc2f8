// The real daemon binary's start-up: every exit with its message and status
// 1, the storage choices, and the lock file.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/gateway_root.h"

using namespace std::chrono_literals;

namespace {

std::string settings_for(const std::string& device, const std::string& extra = "") {
  return "MOD_METERSCRIBE_DEVICE=\"" + device + "\"\nMOD_METERSCRIBE_BAUDRATE=19200\nMOD_METERSCRIBE_PERIOD=1\n" +
         "MOD_METERSCRIBE_SPLIT=100\nMOD_METERSCRIBE_SEND_PERIOD=60\n" +
         "MOD_METERSCRIBE_ADDR1=1\nMOD_METERSCRIBE_FUNC1=3\nMOD_METERSCRIBE_REG_COUNT1=4\n" + extra;
}

class StartupTest : public GatewayRootTest {
 protected:
  // Runs a new daemon to its exit, after the last one has ended; returns
  // the wait status.
  int run_to_exit() {
    daemon.reset();
    daemon = std::make_unique<DaemonProcess>(root.path());
    return daemon->wait_for_exit(20s);
  }
};

// --help and --version answer on standard output; anything else is ignored
// with one line on standard error, and start-up goes on (here to its end for
// want of settings).
TEST_F(StartupTest, TheCommandLineIsAnsweredOrIgnored) {
  const std::string ignored = "meterscribe: ignoring 2 argument(s), starting as usual: it takes none\n";
  const struct {
    std::string arguments;
    int status;
    std::string out;
    std::string err_starts;
  } cases[] = {
      {"--version", 0, "meterscribe " MS_PROJECT_VERSION "\n", ""},
      {"--help", 0, "usage: meterscribe\n", ""},
      {"-x --config", 1, "", ignored},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::string command = "METERSCRIBE_ROOT=" + root.path() + " METERSCRIBE_LOG_STDERR=1 " MS_DAEMON_BINARY " " +
                          c.arguments + " >" + root.at("/out") + " 2>" + root.at("/err");
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_EQ(root.read_file("/out").rfind(c.out, 0), 0u) << root.read_file("/out");
    std::string err = root.read_file("/err");
    EXPECT_EQ(err.rfind(c.err_starts, 0), 0u) << err;
    EXPECT_EQ(count_occurrences(err, "ignoring"), c.err_starts.empty() ? 0 : 1);
    EXPECT_EQ(err.find("started") != std::string::npos, c.status == 1) << err;
  }
}

TEST_F(StartupTest, NoSettingsFileEndsWithNoMetersToRead) {
  int status = run_to_exit();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string messages = daemon->messages();
  EXPECT_NE(messages.find("started"), std::string::npos);
  EXPECT_NE(messages.find("no meters to read"), std::string::npos);
}

TEST_F(StartupTest, AFailedMountEndsTheDaemonAndAFailedUnmountDoesNot) {
  root.write_script(MEMCARD_SCRIPT, "echo \"$1\" >> \"$(dirname \"$0\")/memcard.calls\"\nexit 4\n");
  root.write_settings(settings_for("ttyNONE", "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  int status = run_to_exit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_NE(daemon->messages().find("error: " + root.at(MEMCARD_SCRIPT) + " mount failed"), std::string::npos);
  // Without a card the unmount failure is only reported; start-up goes on to
  // the serial device, which does not exist here.
  root.write_settings(settings_for("ttyNONE"));
  status = run_to_exit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  std::string messages = daemon->messages();
  EXPECT_NE(messages.find("error: " + root.at(MEMCARD_SCRIPT) + " umount failed"), std::string::npos);
  EXPECT_NE(messages.find("open(/dev/ttyNONE) error: No such file or directory"), std::string::npos);
  EXPECT_EQ(root.read_file("/opt/meterscribe/etc/memcard.calls"), "mount\numount\n");
  // The lock is given back when the port cannot be opened.
  EXPECT_NE(access(lock_file("ttyNONE").c_str(), F_OK), 0);
}

// The card's directory has 127 characters after the root: a CACHE_DIR of
// 106 fits. One longer is refused whole, even where the directory it would
// be cut to exists: that is another directory.
TEST_F(StartupTest, AMissingOrTooLongLogDirectoryEndsTheDaemon) {
  const std::string fits(106, 'd');
  const std::string mount_point = root.at(MEMCARD_LOG_DIR);
  ASSERT_EQ(mkdir((mount_point + "/" + fits).c_str(), 0755), 0);
  const struct {
    std::string cache_dir;
    std::string message;
  } cases[] = {
      {"logs", "error: directory " + mount_point + "/logs not exists"},
      {fits + "x", "error: log directory " + mount_point + "/" + fits + "x is too long: at most 127 characters fit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cache_dir);
    root.write_settings(settings_for("ttyNONE", "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=" + c.cache_dir + "\n"));
    int status = run_to_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(daemon->messages().find(c.message + "\n"), std::string::npos) << daemon->messages();
  }
}

TEST_F(StartupTest, ALockedDeviceEndsTheDaemonAndALiveLockIsLeftAlone) {
  root.write_settings(settings_for("ttyLOCKED"));
  std::string owner = lock_content(getpid());
  write_whole_file(lock_file("ttyLOCKED"), owner);
  int status = run_to_exit();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_NE(daemon->messages().find("device /dev/ttyLOCKED is locked"), std::string::npos);
  EXPECT_EQ(read_whole_file(lock_file("ttyLOCKED")), owner);
}

TEST_F(StartupTest, AStartedDaemonHoldsTheLockOnMemoryCardStorage) {
  if (!start_sim({"--slaves", "1"})) GTEST_SKIP() << "meter simulator not available";
  ::mkdir(root.at(MEMCARD_LOG_DIR + std::string("/logs")).c_str(), 0755);
  root.write_settings(settings_for(sim->device(), "MOD_METERSCRIBE_CACHE=1\nMOD_METERSCRIBE_CACHE_DIR=logs\n"));
  daemon = std::make_unique<DaemonProcess>(root.path());
  ASSERT_TRUE(daemon->wait_for_message("starting read meter 1", 20s)) << daemon->messages();
  EXPECT_EQ(read_whole_file(lock_file(sim->device())), lock_content(daemon->pid()));
  daemon->stop();
}

}  // namespace
